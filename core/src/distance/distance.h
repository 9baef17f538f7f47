#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "distance/metric.h"

// Distances between f32 vectors. The order of every floating-point operation is fixed: search
// results are ordered by these values and graph and clustering decisions compare them, so every
// index in a process must compute identical bits for identical inputs. Two kernel families exist,
// the AVX2+FMA family and the portable one; they round differently. The family is chosen by the
// processor feature cache, once per process. None of these functions allocates; all may run on any
// number of threads.

namespace sorvel {

// The exact distance that search results report: L2 is sqrt(l2_squared), Cosine is
// cosine_distance, DotProduct is -dot. Throws InvariantFailure "vector dimension mismatch" when the
// lengths differ (callers check lengths first and return DimensionMismatch).
float distance(Metric metric, std::span<const float> a, std::span<const float> b);

// As distance() but without the square root of L2, and without the length check: `a` and `b` both
// hold `n` floats.
float distance_squared(Metric metric, const float* a, const float* b, std::size_t n);

// One query against four rows of `n` floats: out[i] equals distance_squared(metric, query, rows[i],
// n) bit for bit, so rows may be scored four at a time or one at a time interchangeably. The rows
// may lie anywhere and may repeat; four rows laid end to end (rows[i + 1] == rows[i] + n, as in a
// flat scan) take the path that streams best from memory.
void distance_batch4(Metric metric, const float* query, const float* const rows[4], std::size_t n,
                     float out[4]);

// `count` rows of `n` floats, row r starting at rows + r * stride (stride >= n, in floats), against
// one query: out[r] equals distance_squared(metric, query, row r, n) bit for bit. The kernel for
// exhaustive scans: it reads the rows as several ascending streams at once, which keeps more of
// memory's bandwidth busy than one row after another. Pass a few hundred rows or more per call;
// `out` holds `count` floats. For Cosine, dot(query, query) is computed once per call.
void distance_rows(Metric metric, const float* query, const float* rows, std::size_t stride,
                   std::size_t count, std::size_t n, float* out);

// The sums behind the metrics, through the chosen family.
float l2_squared(const float* a, const float* b, std::size_t n);
float dot(const float* a, const float* b, std::size_t n);
// 1 - ab / (sqrt(aa) * sqrt(bb)); 1.0 when either squared norm compares equal to 0.
float cosine_distance(const float* a, const float* b, std::size_t n);
// The combination step of cosine_distance from its three sums ab = dot(a, b), aa = dot(a, a),
// bb = dot(b, b): every kernel that gathers the sums its own way finishes through this one.
inline float cosine_from_sums(float ab, float aa, float bb) {
  // A comparison, not a bit test: -0.0 is a zero norm, a NaN norm is not.
  if (aa == 0.0f || bb == 0.0f) return 1.0f;
  const float sa = std::sqrt(aa);
  const float sb = std::sqrt(bb);
  const float p = sa * sb;
  const float q = ab / p;
  return 1.0f - q;
}

// Processor feature cache: one process-wide word, 0 until detection has run. Every function here is
// safe to call from any thread; threads racing at the first call each detect and store the same
// value.
namespace cpu {
inline constexpr std::uint32_t kDetected = 1u << 0;
inline constexpr std::uint32_t kAvx2 = 1u << 1;
inline constexpr std::uint32_t kFma = 1u << 2;
inline constexpr std::uint32_t kF16c = 1u << 3;

// The feature bits, detecting them at the first call (CPUID and XGETBV).
std::uint32_t features();
// True when the vector kernels run: AVX2 and FMA are both usable.
bool use_avx2_fma();
// True when the F16C half-precision conversions are usable.
bool use_f16c();
// Detection alone, without touching the cache.
std::uint32_t detect();
// Replaces the cached word (kDetected is added), so tests and benchmarks can run the portable
// family on a processor that has the vector one; restore the saved features() afterwards. Never
// called by the library: one process must keep one family, or equal inputs would give unequal bits.
void set_features_for_testing(std::uint32_t bits);
}  // namespace cpu

// The two families, callable directly (tests compare them with scalar models of each order).
namespace kernels::scalar {
float l2_squared(const float* a, const float* b, std::size_t n);
float dot(const float* a, const float* b, std::size_t n);
// Each row bit-identical to the single-row loop on that row.
void l2_squared_batch4(const float* query, const float* const rows[4], std::size_t n, float out[4]);
void dot_batch4(const float* query, const float* const rows[4], std::size_t n, float out[4]);
// The many-row kernels of distance_rows: out[r] is l2_squared, dot, or (with qq = dot(query,
// query)) cosine_distance of the query and row r, each bit-identical to the single-row kernels.
void l2_squared_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
                     std::size_t n, float* out);
void dot_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
              std::size_t n, float* out);
void cosine_rows(const float* query, float qq, const float* rows, std::size_t stride,
                 std::size_t count, std::size_t n, float* out);
}  // namespace kernels::scalar

namespace kernels::avx2 {
// Only callable when cpu::use_avx2_fma() is true. Each row of the four-row kernels is bit-identical
// to the single-row kernel on that row.
float l2_squared(const float* a, const float* b, std::size_t n);
float dot(const float* a, const float* b, std::size_t n);
void l2_squared_batch4(const float* query, const float* const rows[4], std::size_t n, float out[4]);
void dot_batch4(const float* query, const float* const rows[4], std::size_t n, float out[4]);
void l2_squared_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
                     std::size_t n, float* out);
void dot_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
              std::size_t n, float* out);
void cosine_rows(const float* query, float qq, const float* rows, std::size_t stride,
                 std::size_t count, std::size_t n, float* out);
}  // namespace kernels::avx2

}  // namespace sorvel
