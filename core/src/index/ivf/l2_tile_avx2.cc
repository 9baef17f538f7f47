// Squared L2 distances of many rows to many centroids with the AVX2 family's arithmetic, the only
// code of this module compiled for those instructions. Every header comes before the target
// pragma, so no inline function of the standard library is compiled for AVX2 by accident.
//
// Each (row, centroid) value is computed in the order of the single-row AVX2 kernel, so it equals
// distance_squared(L2, row, centroid) bit for bit: one eight-lane accumulator from +0.0; blocks of
// eight floats in increasing order, d = a - b rounded, then acc = fma(d, d, acc); then
// h[l] = acc[l] + acc[l + 4] and (h[0] + h[1]) + (h[2] + h[3]); then the n % 8 tail floats in
// order, each square rounded and then added. Only the loop around that sequence differs: a tile of
// rows times centroids runs side by side, so each loaded block feeds several accumulators.

#include <cstddef>

#include "index/ivf/l2_tile.h"
#include "target_region.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

SORVEL_TARGET_BEGIN("avx2,fma")

namespace sorvel::l2_tile_avx2 {
namespace {

inline float reduce(__m256 acc) {
  const __m128 h = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  const __m128 odd = _mm_movehdup_ps(h);
  const __m128 pairs = _mm_add_ps(h, odd);
  const __m128 upper = _mm_movehl_ps(pairs, pairs);
  return _mm_cvtss_f32(_mm_add_ss(pairs, upper));
}

// reduce() for four accumulators at once: hadd(x, y) = [x0+x1, x2+x3, y0+y1, y2+y3], so two levels
// give lane j = (h_j[0] + h_j[1]) + (h_j[2] + h_j[3]), the same additions.
inline __m128 reduce4(__m256 a0, __m256 a1, __m256 a2, __m256 a3) {
  const __m128 h0 = _mm_add_ps(_mm256_castps256_ps128(a0), _mm256_extractf128_ps(a0, 1));
  const __m128 h1 = _mm_add_ps(_mm256_castps256_ps128(a1), _mm256_extractf128_ps(a1, 1));
  const __m128 h2 = _mm_add_ps(_mm256_castps256_ps128(a2), _mm256_extractf128_ps(a2, 1));
  const __m128 h3 = _mm_add_ps(_mm256_castps256_ps128(a3), _mm256_extractf128_ps(a3, 1));
  return _mm_hadd_ps(_mm_hadd_ps(h0, h1), _mm_hadd_ps(h2, h3));
}

inline float tail(float s, const float* a, const float* b, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < n; ++i) {
    const float d = a[i] - b[i];
    const float p = d * d;
    s = s + p;
  }
  return s;
}

inline __m256 step(__m256 acc, __m256 a, __m256 b) {
  const __m256 d = _mm256_sub_ps(a, b);
  return _mm256_fmadd_ps(d, d, acc);
}

// R rows against C centroids (C at most 4): out[r * stride + j] for row x[r] and centroid c[j].
template <int R, int C>
inline void tile(const float* const x[R], const float* const c[C], std::size_t d, float* out,
                 std::size_t stride) {
  __m256 acc[R][C];
  for (int r = 0; r < R; ++r) {
    for (int j = 0; j < C; ++j) acc[r][j] = _mm256_setzero_ps();
  }
  std::size_t i = 0;
  for (; i + 8 <= d; i += 8) {
    __m256 cv[C];
    for (int j = 0; j < C; ++j) {
      cv[j] = _mm256_loadu_ps(c[j] + i);
      // Keeps the centroid block in a register for every row: left alone, the compiler folds the
      // load into each subtraction, and the loads instead of the arithmetic bound the loop.
      asm("" : "+x"(cv[j]));
    }
    for (int r = 0; r < R; ++r) {
      const __m256 q = _mm256_loadu_ps(x[r] + i);
      for (int j = 0; j < C; ++j) acc[r][j] = step(acc[r][j], q, cv[j]);
    }
  }
  for (int r = 0; r < R; ++r) {
    float* o = out + r * stride;
    if constexpr (C == 4) {
      _mm_storeu_ps(o, reduce4(acc[r][0], acc[r][1], acc[r][2], acc[r][3]));
    } else {
      for (int j = 0; j < C; ++j) o[j] = reduce(acc[r][j]);
    }
    if (i < d) {
      for (int j = 0; j < C; ++j) o[j] = tail(o[j], x[r], c[j], i, d);
    }
  }
}

template <int R, int C>
void rows_against(const float* const x[R], const float* centroids, std::size_t k, std::size_t d,
                  float* out, std::size_t stride) {
  std::size_t j = 0;
  for (; j + C <= k; j += C) {
    const float* c[C];
    for (int t = 0; t < C; ++t) c[t] = centroids + (j + t) * d;
    tile<R, C>(x, c, d, out + j, stride);
  }
  for (; j < k; ++j) {
    const float* c[1] = {centroids + j * d};
    tile<R, 1>(x, c, d, out + j, stride);
  }
}

// Two rows times four centroids: eight accumulators, each an independent chain of fused
// multiply-adds, with the four centroid blocks and a row block in registers. Measured at 128
// dimensions, taller or wider tiles (3 x 3, 4 x 2, 5 x 2, 6 x 2, 4 x 3) were 5 to 20% slower.
constexpr int kTileRows = 2;
constexpr int kTileCentroids = 4;

}  // namespace

void distances(const float* rows, std::size_t n, const float* centroids, std::size_t k,
               std::size_t d, float* out, std::size_t stride) {
  std::size_t i = 0;
  for (; i + kTileRows <= n; i += kTileRows) {
    const float* x[kTileRows];
    for (int r = 0; r < kTileRows; ++r) x[r] = rows + (i + r) * d;
    rows_against<kTileRows, kTileCentroids>(x, centroids, k, d, out + i * stride, stride);
  }
  for (; i < n; ++i) {
    const float* x[1] = {rows + i * d};
    rows_against<1, 4>(x, centroids, k, d, out + i * stride, stride);
  }
}

}  // namespace sorvel::l2_tile_avx2

SORVEL_TARGET_END

#else  // not x86: cpu::use_avx2_fma() is never true, so this is never called.

namespace sorvel::l2_tile_avx2 {
void distances(const float*, std::size_t, const float*, std::size_t, std::size_t, float*,
               std::size_t) {}
}  // namespace sorvel::l2_tile_avx2

#endif
