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
// The four-row and many-row kernels run that sequence once per row, so every row gets the bits of
// the single-row kernel. Rows scattered in memory are interleaved block by block, each query block
// loaded once for all four rows (four independent FMA chains); four rows that lie end to end are
// walked one after another (see consecutive() below); a scan of many rows reads four runs of them
// side by side (see scan_rows() below).

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

// Four rows anywhere in memory, interleaved block by block: each row's blocks still enter its own
// accumulator in increasing order, so its bits are the single-row kernel's, while the processor
// runs four independent FMA chains instead of one.
inline void l2_four(const float* query, const float* r0, const float* r1, const float* r2,
                    const float* r3, std::size_t n, float out[4]) {
  __m256 acc0 = _mm256_setzero_ps();
  __m256 acc1 = _mm256_setzero_ps();
  __m256 acc2 = _mm256_setzero_ps();
  __m256 acc3 = _mm256_setzero_ps();
  std::size_t i = 0;
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

inline void dot_four(const float* query, const float* r0, const float* r1, const float* r2,
                     const float* r3, std::size_t n, float out[4]) {
  __m256 acc0 = _mm256_setzero_ps();
  __m256 acc1 = _mm256_setzero_ps();
  __m256 acc2 = _mm256_setzero_ps();
  __m256 acc3 = _mm256_setzero_ps();
  std::size_t i = 0;
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

// dot(q, x) and dot(x, x) of four rows in one pass, each sum in its own accumulator and order.
inline void cosine_four(const float* query, float qq, const float* const x[4], std::size_t n,
                        float out[4]) {
  __m256 ab[4];
  __m256 bb[4];
  for (int r = 0; r < 4; ++r) ab[r] = bb[r] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 q = _mm256_loadu_ps(query + i);
    for (int r = 0; r < 4; ++r) {
      const __m256 v = _mm256_loadu_ps(x[r] + i);
      ab[r] = _mm256_fmadd_ps(q, v, ab[r]);
      bb[r] = _mm256_fmadd_ps(v, v, bb[r]);
    }
  }
  float sab[4];
  float sbb[4];
  _mm_storeu_ps(sab, reduce4(ab[0], ab[1], ab[2], ab[3]));
  _mm_storeu_ps(sbb, reduce4(bb[0], bb[1], bb[2], bb[3]));
  for (int r = 0; r < 4; ++r) {
    out[r] = cosine_from_sums(dot_tail(sab[r], query, x[r], i, n), qq,
                              dot_tail(sbb[r], x[r], x[r], i, n));
  }
}

inline float cosine_one(const float* query, float qq, const float* x, std::size_t n) {
  return cosine_from_sums(dot_one(query, x, n), qq, dot_one(x, x, n));
}

// The scan order of the *_rows kernels. One stream of rows lets the processor overlap little
// more than two rows' FMA chains, and interleaving neighbouring rows breaks the constant stride
// per load instruction that the hardware prefetchers follow (measured 2 to 2.5 times slower from
// memory). So the rows are cut into four equal runs, each read in ascending order, and the four
// runs advance together: four sequential streams that the prefetchers follow, four independent
// FMA chains, and more memory requests in flight than one stream gets (on 4 KiB pages a stream's
// prefetching stalls at every page boundary). The rows left over by the cut go one at a time.
template <class Four, class One>
inline void scan_rows(const float* rows, std::size_t stride, std::size_t count, float* out,
                      Four four, One one) {
  const std::size_t part = count / 4;
  const float* x0 = rows;
  const float* x1 = rows + part * stride;
  const float* x2 = rows + 2 * part * stride;
  const float* x3 = rows + 3 * part * stride;
  for (std::size_t r = 0; r < part; ++r) {
    float o[4];
    four(x0 + r * stride, x1 + r * stride, x2 + r * stride, x3 + r * stride, o);
    out[r] = o[0];
    out[r + part] = o[1];
    out[r + 2 * part] = o[2];
    out[r + 3 * part] = o[3];
  }
  for (std::size_t r = 4 * part; r < count; ++r) out[r] = one(rows + r * stride);
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
  l2_four(query, rows[0], rows[1], rows[2], rows[3], n, out);
}

void dot_batch4(const float* query, const float* const rows[4], std::size_t n, float out[4]) {
  if (consecutive(rows, n)) {
    for (int r = 0; r < 4; ++r) out[r] = dot_one(query, rows[r], n);
    return;
  }
  dot_four(query, rows[0], rows[1], rows[2], rows[3], n, out);
}

void l2_squared_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
                     std::size_t n, float* out) {
  scan_rows(
      rows, stride, count, out,
      [&](const float* a, const float* b, const float* c, const float* d, float* o) {
        l2_four(query, a, b, c, d, n, o);
      },
      [&](const float* x) { return l2_one(query, x, n); });
}

void dot_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
              std::size_t n, float* out) {
  scan_rows(
      rows, stride, count, out,
      [&](const float* a, const float* b, const float* c, const float* d, float* o) {
        dot_four(query, a, b, c, d, n, o);
      },
      [&](const float* x) { return dot_one(query, x, n); });
}

void cosine_rows(const float* query, float qq, const float* rows, std::size_t stride,
                 std::size_t count, std::size_t n, float* out) {
  scan_rows(
      rows, stride, count, out,
      [&](const float* a, const float* b, const float* c, const float* d, float* o) {
        const float* const x[4] = {a, b, c, d};
        cosine_four(query, qq, x, n, o);
      },
      [&](const float* x) { return cosine_one(query, qq, x, n); });
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
void l2_squared_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
                     std::size_t n, float* out) {
  kernels::scalar::l2_squared_rows(query, rows, stride, count, n, out);
}
void dot_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
              std::size_t n, float* out) {
  kernels::scalar::dot_rows(query, rows, stride, count, n, out);
}
void cosine_rows(const float* query, float qq, const float* rows, std::size_t stride,
                 std::size_t count, std::size_t n, float* out) {
  kernels::scalar::cosine_rows(query, qq, rows, stride, count, n, out);
}

}  // namespace sorvel::kernels::avx2

#endif
