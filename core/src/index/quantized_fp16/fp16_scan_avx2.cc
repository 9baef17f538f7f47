// The fused half-precision scan. Every header comes before the target pragma (see
// fused_scan_avx2_inl.h for the order of roundings it keeps).

#include <cstddef>
#include <cstdint>

#include "distance/distance.h"
#include "index/quantized_fp16/fp16_flat_index.h"
#include "target_region.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

SORVEL_TARGET_BEGIN("avx2,fma,f16c")

#include "index/quantized_fp16/fused_scan_avx2_inl.h"

namespace sorvel::fused_avx2 {
namespace {

struct Fp16Rows {
  const std::uint16_t* codes;
  std::size_t stride;
  __m256 load8(std::size_t row, std::size_t i) const {
    return _mm256_cvtph_ps(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + row * stride + i)));
  }
  float load1(std::size_t row, std::size_t i) const {
    return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(codes[row * stride + i])));
  }
};

}  // namespace

void score_fp16(Metric metric, const float* q, float qq, const std::uint16_t* codes,
                std::size_t rows, std::size_t n, float* out) {
  score_rows(Fp16Rows{codes, n}, metric, q, qq, rows, n, out);
}

}  // namespace sorvel::fused_avx2

SORVEL_TARGET_END

#else

#include "check.h"

namespace sorvel::fused_avx2 {
void score_fp16(Metric, const float*, float, const std::uint16_t*, std::size_t, std::size_t,
                float*) {
  invariant_failure("vector kernels unavailable");
}
}  // namespace sorvel::fused_avx2

#endif
