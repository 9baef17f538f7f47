// The vector kernel family (AVX2 + FMA), the only translation unit compiled for those instructions.
// Every header comes before the target pragma, so no inline function of the standard library is
// compiled for AVX2 by accident and then picked by the linker for a caller on an older processor.
//
// The order of roundings is fixed and every kernel here keeps it exactly:
//  1. one accumulator of eight lanes starts at +0.0;
//  2. blocks of eight floats in increasing order, lane l: l2 computes d = a - b (rounded) then
//     acc[l] = fma(d, d, acc[l]); dot computes acc[l] = fma(a, b, acc[l]). Four blocks per loop
//     step feed the same accumulator one after another (partial accumulators would change the
//     bits);
//  3. h[l] = acc[l] + acc[l + 4], s = (h[0] + h[1]) + (h[2] + h[3]);
//  4. the n % 8 tail elements in order, product rounded and then added (never fused).
// The four-row kernels run that sequence once per row, so every row gets the bits of the single-row
// kernel. Rows scattered in memory are interleaved block by block, each query block loaded once for
// all four rows (four independent FMA chains); rows that lie end to end are walked one after
// another (see consecutive() below).

#include <cstddef>

#include "distance/distance.h"
#include "target_region.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

SORVEL_TARGET_BEGIN("avx2,fma,f16c")

namespace sorvel::kernels::avx2 {
namespace {

// Step 3 for one accumulator.
inline float reduce(__m256 acc) {
  const __m128 h = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  const __m128 odd = _mm_movehdup_ps(h);             // h1 h1 h3 h3
  const __m128 pairs = _mm_add_ps(h, odd);           // h0+h1 . h2+h3 .
  const __m128 upper = _mm_movehl_ps(pairs, pairs);  // h2+h3 ...
  return _mm_cvtss_f32(_mm_add_ss(pairs, upper));
}

// Step 3 for four accumulators at once: hadd(x, y) = [x0+x1, x2+x3, y0+y1, y2+y3], so two levels
// give lane r = (h_r[0] + h_r[1]) + (h_r[2] + h_r[3]), the same additions as reduce().
inline __m128 reduce4(__m256 a0, __m256 a1, __m256 a2, __m256 a3) {
  const __m128 h0 = _mm_add_ps(_mm256_castps256_ps128(a0), _mm256_extractf128_ps(a0, 1));
  const __m128 h1 = _mm_add_ps(_mm256_castps256_ps128(a1), _mm256_extractf128_ps(a1, 1));
  const __m128 h2 = _mm_add_ps(_mm256_castps256_ps128(a2), _mm256_extractf128_ps(a2, 1));
  const __m128 h3 = _mm_add_ps(_mm256_castps256_ps128(a3), _mm256_extractf128_ps(a3, 1));
  return _mm_hadd_ps(_mm_hadd_ps(h0, h1), _mm_hadd_ps(h2, h3));
}

inline __m256 l2_step(__m256 acc, const float* a, const float* b) {
  const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
  return _mm256_fmadd_ps(d, d, acc);
}

inline __m256 l2_step_q(__m256 acc, __m256 q, const float* b) {
  const __m256 d = _mm256_sub_ps(q, _mm256_loadu_ps(b));
  return _mm256_fmadd_ps(d, d, acc);
}

inline __m256 dot_step(__m256 acc, const float* a, const float* b) {
  return _mm256_fmadd_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b), acc);
}

inline __m256 dot_step_q(__m256 acc, __m256 q, const float* b) {
  return _mm256_fmadd_ps(q, _mm256_loadu_ps(b), acc);
}

inline float l2_tail(float s, const float* a, const float* b, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < n; ++i) {
    const float d = a[i] - b[i];
    const float p = d * d;
    s = s + p;
  }
  return s;
}

inline float dot_tail(float s, const float* a, const float* b, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < n; ++i) {
    const float p = a[i] * b[i];
    s = s + p;
  }
  return s;
}

// The single-row kernels, inlined into the four-row ones for their contiguous case.
[[gnu::always_inline]] inline float l2_one(const float* a, const float* b, std::size_t n) {
  __m256 acc = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    acc = l2_step(acc, a + i, b + i);
    acc = l2_step(acc, a + i + 8, b + i + 8);
    acc = l2_step(acc, a + i + 16, b + i + 16);
    acc = l2_step(acc, a + i + 24, b + i + 24);
  }
  for (; i + 8 <= n; i += 8) acc = l2_step(acc, a + i, b + i);
  return l2_tail(reduce(acc), a, b, i, n);
}

[[gnu::always_inline]] inline float dot_one(const float* a, const float* b, std::size_t n) {
  __m256 acc = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    acc = dot_step(acc, a + i, b + i);
    acc = dot_step(acc, a + i + 8, b + i + 8);
    acc = dot_step(acc, a + i + 16, b + i + 16);
    acc = dot_step(acc, a + i + 24, b + i + 24);
  }
  for (; i + 8 <= n; i += 8) acc = dot_step(acc, a + i, b + i);
  return dot_tail(reduce(acc), a, b, i, n);
}

// Four rows laid end to end, as a flat scan passes them. Walking such rows one after another
// keeps the loads in one ascending stream with a constant stride per load instruction, which the
// hardware prefetchers follow across calls; interleaving the four rows breaks that pattern at every
// call and measured 2 to 2.5 times slower than memory bandwidth allows on 100,000-row scans. The
// rows' chains are independent, so out-of-order execution still overlaps them. (On rows already in
// the L2 cache the interleaved order is about twice as fast, but such a scan is short; a scan that
// streams from memory is the one that bounds search time.)
inline bool consecutive(const float* const rows[4], std::size_t n) {
  return rows[1] == rows[0] + n && rows[2] == rows[1] + n && rows[3] == rows[2] + n;
}

}  // namespace

float l2_squared(const float* a, const float* b, std::size_t n) { return l2_one(a, b, n); }

float dot(const float* a, const float* b, std::size_t n) { return dot_one(a, b, n); }

void l2_squared_batch4(const float* query, const float* const rows[4], std::size_t n,
                       float out[4]) {
  if (consecutive(rows, n)) {
    for (int r = 0; r < 4; ++r) out[r] = l2_one(query, rows[r], n);
    return;
  }
  const float* r0 = rows[0];
  const float* r1 = rows[1];
  const float* r2 = rows[2];
  const float* r3 = rows[3];
  __m256 acc0 = _mm256_setzero_ps();
  __m256 acc1 = _mm256_setzero_ps();
  __m256 acc2 = _mm256_setzero_ps();
  __m256 acc3 = _mm256_setzero_ps();
  std::size_t i = 0;
  // Rows scattered in memory (graph neighbours, cluster members): each row's blocks still enter
  // its own accumulator in increasing order; interleaving the rows gives the processor four
  // independent FMA chains instead of one.
  for (; i + 32 <= n; i += 32) {
    for (std::size_t k = i; k < i + 32; k += 8) {
      const __m256 q = _mm256_loadu_ps(query + k);
      acc0 = l2_step_q(acc0, q, r0 + k);
      acc1 = l2_step_q(acc1, q, r1 + k);
      acc2 = l2_step_q(acc2, q, r2 + k);
      acc3 = l2_step_q(acc3, q, r3 + k);
    }
  }
  for (; i + 8 <= n; i += 8) {
    const __m256 q = _mm256_loadu_ps(query + i);
    acc0 = l2_step_q(acc0, q, r0 + i);
    acc1 = l2_step_q(acc1, q, r1 + i);
    acc2 = l2_step_q(acc2, q, r2 + i);
    acc3 = l2_step_q(acc3, q, r3 + i);
  }
  _mm_storeu_ps(out, reduce4(acc0, acc1, acc2, acc3));
  if (i < n) {
    out[0] = l2_tail(out[0], query, r0, i, n);
    out[1] = l2_tail(out[1], query, r1, i, n);
    out[2] = l2_tail(out[2], query, r2, i, n);
    out[3] = l2_tail(out[3], query, r3, i, n);
  }
}

void dot_batch4(const float* query, const float* const rows[4], std::size_t n, float out[4]) {
  if (consecutive(rows, n)) {
    for (int r = 0; r < 4; ++r) out[r] = dot_one(query, rows[r], n);
    return;
  }
  const float* r0 = rows[0];
  const float* r1 = rows[1];
  const float* r2 = rows[2];
  const float* r3 = rows[3];
  __m256 acc0 = _mm256_setzero_ps();
  __m256 acc1 = _mm256_setzero_ps();
  __m256 acc2 = _mm256_setzero_ps();
  __m256 acc3 = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (std::size_t k = i; k < i + 32; k += 8) {
      const __m256 q = _mm256_loadu_ps(query + k);
      acc0 = dot_step_q(acc0, q, r0 + k);
      acc1 = dot_step_q(acc1, q, r1 + k);
      acc2 = dot_step_q(acc2, q, r2 + k);
      acc3 = dot_step_q(acc3, q, r3 + k);
    }
  }
  for (; i + 8 <= n; i += 8) {
    const __m256 q = _mm256_loadu_ps(query + i);
    acc0 = dot_step_q(acc0, q, r0 + i);
    acc1 = dot_step_q(acc1, q, r1 + i);
    acc2 = dot_step_q(acc2, q, r2 + i);
    acc3 = dot_step_q(acc3, q, r3 + i);
  }
  _mm_storeu_ps(out, reduce4(acc0, acc1, acc2, acc3));
  if (i < n) {
    out[0] = dot_tail(out[0], query, r0, i, n);
    out[1] = dot_tail(out[1], query, r1, i, n);
    out[2] = dot_tail(out[2], query, r2, i, n);
    out[3] = dot_tail(out[3], query, r3, i, n);
  }
}

}  // namespace sorvel::kernels::avx2

SORVEL_TARGET_END

#else  // not x86: cpu::use_avx2_fma() is never true, so these are never called.

namespace sorvel::kernels::avx2 {

float l2_squared(const float* a, const float* b, std::size_t n) {
  return kernels::scalar::l2_squared(a, b, n);
}
float dot(const float* a, const float* b, std::size_t n) { return kernels::scalar::dot(a, b, n); }
void l2_squared_batch4(const float* query, const float* const rows[4], std::size_t n,
                       float out[4]) {
  for (int r = 0; r < 4; ++r) out[r] = kernels::scalar::l2_squared(query, rows[r], n);
}
void dot_batch4(const float* query, const float* const rows[4], std::size_t n, float out[4]) {
  for (int r = 0; r < 4; ++r) out[r] = kernels::scalar::dot(query, rows[r], n);
}

}  // namespace sorvel::kernels::avx2

#endif
