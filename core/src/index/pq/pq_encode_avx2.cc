// Sub-vector distances of the product quantizer on eight lanes, the only code of this module
// compiled for AVX2. Every header comes before the target pragma, so no inline function of the
// standard library is compiled for AVX2 by accident.
//
// The arithmetic is the portable squared Euclidean sum of every sub-centroid, unchanged: the eight
// lanes hold eight sub-centroids, and each lane runs the scalar sequence (from -0.0, positions in
// increasing order, difference, square and sum each rounded to f32). No fused multiply-add is
// used. The first sum, -0.0 + square, equals the square bit for bit, so it is not computed.

#include <cstddef>
#include <cstdint>

#include "index/pq/pq_encode.h"
#include "target_region.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

SORVEL_TARGET_BEGIN("avx2,fma")

namespace sorvel::pq_avx2 {
namespace {

constexpr std::size_t kGroups = 8;  // accumulators in flight: kGroups x 8 sub-centroids

inline __m256 square_of_difference(__m256 x, const float* column) {
  const __m256 diff = _mm256_sub_ps(x, _mm256_loadu_ps(column));
  return _mm256_mul_ps(diff, diff);
}

}  // namespace

void distances(const float* x, const float* by_position, std::size_t k, std::size_t ds,
               float* out) {
  std::size_t c = 0;
  if (ds > 0) {
    for (; c + 8 * kGroups <= k; c += 8 * kGroups) {
      __m256 acc[kGroups];
      {
        const __m256 xp = _mm256_set1_ps(x[0]);
        const float* column = by_position + c;
        for (std::size_t g = 0; g < kGroups; ++g) {
          acc[g] = square_of_difference(xp, column + 8 * g);
        }
      }
      for (std::size_t p = 1; p < ds; ++p) {
        const __m256 xp = _mm256_set1_ps(x[p]);
        const float* column = by_position + p * k + c;
        for (std::size_t g = 0; g < kGroups; ++g) {
          acc[g] = _mm256_add_ps(acc[g], square_of_difference(xp, column + 8 * g));
        }
      }
      for (std::size_t g = 0; g < kGroups; ++g) _mm256_storeu_ps(out + c + 8 * g, acc[g]);
    }
    for (; c + 8 <= k; c += 8) {
      __m256 acc = square_of_difference(_mm256_set1_ps(x[0]), by_position + c);
      for (std::size_t p = 1; p < ds; ++p) {
        acc =
            _mm256_add_ps(acc, square_of_difference(_mm256_set1_ps(x[p]), by_position + p * k + c));
      }
      _mm256_storeu_ps(out + c, acc);
    }
  }
  for (; c < k; ++c) {
    float acc = -0.0f;
    for (std::size_t p = 0; p < ds; ++p) {
      const float diff = x[p] - by_position[p * k + c];
      const float square = diff * diff;
      acc = acc + square;
    }
    out[c] = acc;
  }
}

std::size_t first_minimum(const float* v, std::size_t k, float none) {
  // Lane-wise minimum first (max_ps/min_ps keep the second operand when either is NaN, so a NaN
  // never replaces a lane's value), then the first element equal to it.
  __m256 lane = _mm256_set1_ps(none);
  std::size_t j = 0;
  for (; j + 8 <= k; j += 8) lane = _mm256_min_ps(_mm256_loadu_ps(v + j), lane);
  __m128 h = _mm_min_ps(_mm256_castps256_ps128(lane), _mm256_extractf128_ps(lane, 1));
  h = _mm_min_ps(_mm_movehl_ps(h, h), h);
  h = _mm_min_ss(_mm_movehdup_ps(h), h);
  float m = _mm_cvtss_f32(h);
  for (; j < k; ++j) m = v[j] < m ? v[j] : m;
  if (!(m < none)) return 0;
  const __m256 target = _mm256_set1_ps(m);
  for (j = 0; j + 8 <= k; j += 8) {
    const int hits = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(v + j), target, _CMP_EQ_OQ));
    if (hits != 0) return j + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
  for (; j < k; ++j) {
    if (v[j] == m) return j;
  }
  return 0;
}

}  // namespace sorvel::pq_avx2

SORVEL_TARGET_END

#else  // not x86: cpu::use_avx2_fma() is never true, so these are never called.

namespace sorvel::pq_avx2 {
void distances(const float*, const float*, std::size_t, std::size_t, float*) {}
std::size_t first_minimum(const float*, std::size_t, float) { return 0; }
}  // namespace sorvel::pq_avx2

#endif
