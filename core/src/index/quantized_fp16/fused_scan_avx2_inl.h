// Fused decode-and-distance scans for the compressed flat indexes. Included only by translation
// units that have already included <immintrin.h>, "distance/distance.h" and every other header and
// then switched the target to avx2,fma: this file includes nothing.
//
// Each row's score has exactly the bits of decoding the row and then calling distance_squared()
// with the vector kernels: per row one eight-lane accumulator from +0.0, blocks of eight in
// increasing order (l2: d = q - x, acc = fma(d, d, acc); dot: acc = fma(q, x, acc)), the reduction
// h[l] = acc[l] + acc[l + 4], (h0 + h1) + (h2 + h3), then the tail in order with products rounded
// before the addition. Decoding is exact per component, so fusing it changes no bit. Cosine keeps
// the dot(q, x), dot(q, q), dot(x, x) sums apart and combines them as cosine_distance() does.
//
// A decoder provides __m256 load8(row, i) and float load1(row, i): components i..i+7 or i of the
// row's decoded vector.

namespace sorvel::fused_avx2 {

inline float reduce8(__m256 acc) {
  const __m128 h = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  const float h0 = _mm_cvtss_f32(h);
  const float h1 = _mm_cvtss_f32(_mm_shuffle_ps(h, h, 1));
  const float h2 = _mm_cvtss_f32(_mm_shuffle_ps(h, h, 2));
  const float h3 = _mm_cvtss_f32(_mm_shuffle_ps(h, h, 3));
  return (h0 + h1) + (h2 + h3);
}

// reduce8 of R accumulators into s[0 .. R - 1]; four at once share the horizontal additions:
// hadd(x, y) = [x0 + x1, x2 + x3, y0 + y1, y2 + y3], so two levels give lane r the same
// (h0 + h1) + (h2 + h3) as reduce8.
template <int R>
inline void reduce_rows(const __m256 acc[R], float s[R]) {
  if constexpr (R == 4) {
    __m128 h[4];
    for (int r = 0; r < 4; ++r) {
      h[r] = _mm_add_ps(_mm256_castps256_ps128(acc[r]), _mm256_extractf128_ps(acc[r], 1));
    }
    _mm_storeu_ps(s, _mm_hadd_ps(_mm_hadd_ps(h[0], h[1]), _mm_hadd_ps(h[2], h[3])));
  } else {
    for (int r = 0; r < R; ++r) s[r] = reduce8(acc[r]);
  }
}

// The rows row[0 .. R - 1] into out[0 .. R - 1], their blocks interleaved (R independent chains).
// L2 gives the squared distance: the caller takes the square root of the hits it keeps.
template <int R, class Dec>
inline void score_group(const Dec& dec, Metric metric, const float* q, float qq,
                        const std::size_t row[R], std::size_t n, float out[R]) {
  __m256 acc[R];
  __m256 acc2[R];  // dot(x, x) for Cosine
  for (int r = 0; r < R; ++r) acc[r] = acc2[r] = _mm256_setzero_ps();
  std::size_t i = 0;
  if (metric == Metric::L2) {
    for (; i + 8 <= n; i += 8) {
      const __m256 qv = _mm256_loadu_ps(q + i);
      for (int r = 0; r < R; ++r) {
        const __m256 d = _mm256_sub_ps(qv, dec.load8(row[r], i));
        acc[r] = _mm256_fmadd_ps(d, d, acc[r]);
      }
    }
    float sums[R];
    reduce_rows<R>(acc, sums);
    for (int r = 0; r < R; ++r) {
      float s = sums[r];
      for (std::size_t j = i; j < n; ++j) {
        const float d = q[j] - dec.load1(row[r], j);
        const float p = d * d;
        s = s + p;
      }
      out[r] = s;
    }
  } else if (metric == Metric::DotProduct) {
    for (; i + 8 <= n; i += 8) {
      const __m256 qv = _mm256_loadu_ps(q + i);
      for (int r = 0; r < R; ++r) acc[r] = _mm256_fmadd_ps(qv, dec.load8(row[r], i), acc[r]);
    }
    float sums[R];
    reduce_rows<R>(acc, sums);
    for (int r = 0; r < R; ++r) {
      float s = sums[r];
      for (std::size_t j = i; j < n; ++j) {
        const float p = q[j] * dec.load1(row[r], j);
        s = s + p;
      }
      out[r] = -s;
    }
  } else {
    for (; i + 8 <= n; i += 8) {
      const __m256 qv = _mm256_loadu_ps(q + i);
      for (int r = 0; r < R; ++r) {
        const __m256 x = dec.load8(row[r], i);
        acc[r] = _mm256_fmadd_ps(qv, x, acc[r]);
        acc2[r] = _mm256_fmadd_ps(x, x, acc2[r]);
      }
    }
    float abs[R];
    float bbs[R];
    reduce_rows<R>(acc, abs);
    reduce_rows<R>(acc2, bbs);
    for (int r = 0; r < R; ++r) {
      float ab = abs[r];
      float bb = bbs[r];
      for (std::size_t j = i; j < n; ++j) {
        const float x = dec.load1(row[r], j);
        const float p = q[j] * x;
        ab = ab + p;
        const float p2 = x * x;
        bb = bb + p2;
      }
      out[r] = cosine_from_sums(ab, qq, bb);
    }
  }
}

// Scores rows 0 .. rows - 1 (distance_squared: L2 without its square root). `qq` is dot(q, q)
// through the vector kernels (used by Cosine only). As in distance_rows, the rows are cut into
// four runs read side by side: four ascending streams for the hardware prefetchers and four
// independent chains, where neighbouring rows interleaved would break the prefetchers' strides
// (measured three times slower on 784-d rows).
template <class Dec>
inline void score_rows(const Dec& dec, Metric metric, const float* q, float qq, std::size_t rows,
                       std::size_t n, float* out) {
  const std::size_t part = rows / 4;
  for (std::size_t r = 0; r < part; ++r) {
    const std::size_t four[4] = {r, r + part, r + 2 * part, r + 3 * part};
    float o[4];
    score_group<4>(dec, metric, q, qq, four, n, o);
    for (int j = 0; j < 4; ++j) out[four[j]] = o[j];
  }
  for (std::size_t r = 4 * part; r < rows; ++r) score_group<1>(dec, metric, q, qq, &r, n, out + r);
}

}  // namespace sorvel::fused_avx2
