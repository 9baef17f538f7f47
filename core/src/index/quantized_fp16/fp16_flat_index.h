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
#include "index/quantized_fp16/fp16.h"

namespace sorvel {

// Half precision: each component as a binary16 code (two bytes); a search scores
// distance(metric, query, decoded vector) exactly, so the only loss is the rounding at add time.
struct Fp16Codec {
  using Unit = std::uint16_t;
  static constexpr bool kHasAux = false;
  static constexpr const char* kUnitName = "components";

  static std::size_t units(std::size_t dimensions) { return dimensions; }
  static float encode(std::span<const float> vector, Unit* out) {
    encode_f16(vector.data(), vector.size(), out);
    return 0.0f;
  }
  static void decode(const Unit* code, float aux, std::size_t dimensions, float* out);

  // The fused scan needs AVX2, FMA and F16C. Scores are distance_squared() of the decoded rows;
  // finish() turns a kept one into distance().
  using Query = DecodingQuery;
  static Query prepare(Metric metric, std::span<const float> query);
  static void score(Query& q, const Unit* codes, const float* aux, std::size_t rows,
                    std::size_t dimensions, float* out);
  static float finish(const Query& q, float score) { return q.finish(score); }
  static std::optional<std::string> check_code(const Unit*, std::size_t) { return std::nullopt; }
};

extern template class CompressedFlatIndex<Fp16Codec>;
using Fp16FlatIndex = CompressedFlatIndex<Fp16Codec>;

namespace fused_avx2 {
// distance_squared() of `rows` consecutive half-precision codes of `n` components, decoded. Only
// callable when cpu::use_avx2_fma() and cpu::use_f16c() are true. `qq` is dot(q, q).
void score_fp16(Metric metric, const float* q, float qq, const std::uint16_t* codes,
                std::size_t rows, std::size_t n, float* out);
}  // namespace fused_avx2

}  // namespace sorvel
