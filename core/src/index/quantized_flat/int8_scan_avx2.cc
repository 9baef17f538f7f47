// The fused int8 scan. Every header comes before the target pragma (see fused_scan_avx2_inl.h for
// the order of roundings it keeps). Decoding is the IEEE division code / scale in every lane, the
// same correctly rounded quotient as the scalar division.

#include <cstddef>
#include <cstdint>

#include "distance/distance.h"
#include "index/quantized_flat/quantized_flat_index.h"
#include "target_region.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

SORVEL_TARGET_BEGIN("avx2,fma,f16c")

#include "index/quantized_fp16/fused_scan_avx2_inl.h"

namespace sorvel::fused_avx2 {
namespace {

struct Int8Rows {
  const std::int8_t* codes;
  const float* scales;
  std::size_t stride;
  __m256 load8(std::size_t row, std::size_t i) const {
    const __m128i c =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + row * stride + i));
    const __m256 x = _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(c));
    return _mm256_div_ps(x, _mm256_set1_ps(scales[row]));
  }
  float load1(std::size_t row, std::size_t i) const {
    return static_cast<float>(codes[row * stride + i]) / scales[row];
  }
};

}  // namespace

void score_int8(Metric metric, const float* q, float qq, const std::int8_t* codes,
                const float* scales, std::size_t rows, std::size_t n, float* out) {
  score_rows(Int8Rows{codes, scales, n}, metric, q, qq, rows, n, out);
}

}  // namespace sorvel::fused_avx2

SORVEL_TARGET_END

#else

#include "check.h"

namespace sorvel::fused_avx2 {
void score_int8(Metric, const float*, float, const std::int8_t*, const float*, std::size_t,
                std::size_t, float*) {
  invariant_failure("vector kernels unavailable");
}
}  // namespace sorvel::fused_avx2

#endif
