// The F16C conversions. Every header comes before the target pragma, so no inline function of the
// standard library is compiled for these instructions and later picked for an older processor.

#include <cstddef>
#include <cstdint>

#include "index/quantized_fp16/fp16.h"
#include "target_region.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

SORVEL_TARGET_BEGIN("avx2,fma,f16c")

namespace sorvel::fp16_f16c {

// The rounding is given in the instruction, so the control register's mode plays no part.
constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;

void encode(const float* in, std::size_t n, std::uint16_t* out) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + i), kRound);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), h);
  }
  for (; i < n; ++i) {
    const __m128i h = _mm_cvtps_ph(_mm_set_ss(in[i]), kRound);
    out[i] = static_cast<std::uint16_t>(_mm_extract_epi16(h, 0));
  }
}

void decode(const std::uint16_t* in, std::size_t n, float* out) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
  }
  for (; i < n; ++i) out[i] = _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(in[i])));
}

}  // namespace sorvel::fp16_f16c

SORVEL_TARGET_END

#else

#include "check.h"

namespace sorvel::fp16_f16c {
void encode(const float*, std::size_t, std::uint16_t*) { invariant_failure("F16C unavailable"); }
void decode(const std::uint16_t*, std::size_t, float*) { invariant_failure("F16C unavailable"); }
}  // namespace sorvel::fp16_f16c

#endif
