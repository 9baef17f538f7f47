#include "index/quantized_flat/quantized_flat_index.h"

#include <cmath>

#include "distance/distance.h"
#include "index/quantized_fp16/compressed_flat_impl.h"

namespace sorvel {

float quantize_i8_into(std::span<const float> x, std::int8_t* out) {
  // The maximum does not depend on the order of the fold, so the compiler may run it in lanes.
  float m = 0.0f;
  for (const float v : x) {
    const float a = std::fabs(v);
    if (a > m) m = a;  // false for NaN: a NaN never enters the maximum
  }
  const float scale = m > 0.0f ? 127.0f / m : 1.0f;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const float p = x[i] * scale;
    std::int8_t code = 0;
    if (!std::isnan(p)) {
      const float r = std::round(p);  // half away from zero
      code = r >= 127.0f ? 127 : r <= -127.0f ? -127 : static_cast<std::int8_t>(r);
    }
    out[i] = code;
  }
  return scale;
}

QuantizedVector quantize_i8(std::span<const float> x) {
  QuantizedVector q{std::vector<std::int8_t>(x.size()), 0.0f};
  q.scale = quantize_i8_into(x, q.codes.data());
  return q;
}

void dequantize_i8(const std::int8_t* codes, float scale, std::size_t n, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(codes[i]) / scale;
}

Int8Codec::Query Int8Codec::prepare(Metric metric, std::span<const float> query) {
  return DecodingQuery::prepare(metric, query, cpu::use_avx2_fma());
}

void Int8Codec::score(Query& q, const Unit* codes, const float* scales, std::size_t rows,
                      std::size_t dimensions, float* out) {
  if (q.fused) {
    fused_avx2::score_int8(q.metric, q.query.data(), q.qq, codes, scales, rows, dimensions, out);
    return;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    dequantize_i8(codes + r * dimensions, scales[r], dimensions, q.scratch.data());
    out[r] = distance_squared(q.metric, q.query.data(), q.scratch.data(), dimensions);
  }
}

template class CompressedFlatIndex<Int8Codec>;

}  // namespace sorvel
