#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "distance/metric.h"
#include "index/quantized_fp16/compressed_flat.h"
#include "index/quantized_fp16/decoding_query.h"

namespace sorvel {

// One vector quantized to signed bytes: component i decodes to codes[i] / scale (a single-precision
// division). Quantization yields codes in [-127, 127]; -128 only comes from a file.
struct QuantizedVector {
  std::vector<std::int8_t> codes;
  float scale;
};

// Quantizes with the scale 127 / max|x_i| (NaN components skipped; 1.0 when the maximum is 0), each
// product x_i * scale rounded half away from zero and clamped to [-127, 127]; a NaN product gives 0.
// Writes x.size() codes to `out` and returns the scale.
float quantize_i8_into(std::span<const float> x, std::int8_t* out);
QuantizedVector quantize_i8(std::span<const float> x);
// codes[i] / scale for each of the n codes.
void dequantize_i8(const std::int8_t* codes, float scale, std::size_t n, float* out);

// Int8: one signed byte per component plus one f32 scale per vector; a search scores
// distance(metric, query, decoded vector) exactly.
struct Int8Codec {
  using Unit = std::int8_t;
  static constexpr bool kHasAux = true;
  static constexpr const char* kUnitName = "codes";

  static std::size_t units(std::size_t dimensions) { return dimensions; }
  static float encode(std::span<const float> vector, Unit* out) {
    return quantize_i8_into(vector, out);
  }
  static void decode(const Unit* code, float scale, std::size_t dimensions, float* out) {
    dequantize_i8(code, scale, dimensions, out);
  }

  // The fused scan needs AVX2 and FMA. Scores are distance_squared() of the decoded rows;
  // finish() turns a kept one into distance().
  using Query = DecodingQuery;
  static Query prepare(Metric metric, std::span<const float> query);
  static void score(Query& q, const Unit* codes, const float* scales, std::size_t rows,
                    std::size_t dimensions, float* out);
  static float finish(const Query& q, float score) { return q.finish(score); }
  static std::optional<std::string> check_code(const Unit*, std::size_t) { return std::nullopt; }
};

extern template class CompressedFlatIndex<Int8Codec>;
using QuantizedFlatIndex = CompressedFlatIndex<Int8Codec>;

namespace fused_avx2 {
// distance_squared() of `rows` consecutive int8 codes of `n` components with their scales, decoded.
// Only callable when cpu::use_avx2_fma() is true. `qq` is dot(q, q).
void score_int8(Metric metric, const float* q, float qq, const std::int8_t* codes,
                const float* scales, std::size_t rows, std::size_t n, float* out);
}  // namespace fused_avx2

}  // namespace sorvel
