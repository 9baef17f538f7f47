#include "index/quantized_fp16/fp16_flat_index.h"

#include "distance/distance.h"
#include "index/quantized_fp16/compressed_flat_impl.h"

namespace sorvel {

void Fp16Codec::decode(const Unit* code, float /*aux*/, std::size_t dimensions, float* out) {
  decode_f16(code, dimensions, out);
}

Fp16Codec::Query Fp16Codec::prepare(Metric metric, std::span<const float> query) {
  return DecodingQuery::prepare(metric, query, cpu::use_avx2_fma() && cpu::use_f16c());
}

void Fp16Codec::score(Query& q, const Unit* codes, const float* /*aux*/, std::size_t rows,
                      std::size_t dimensions, float* out) {
  if (q.fused) {
    fused_avx2::score_fp16(q.metric, q.query.data(), q.qq, codes, rows, dimensions, out);
    return;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    decode_f16(codes + r * dimensions, dimensions, q.scratch.data());
    out[r] = distance_squared(q.metric, q.query.data(), q.scratch.data(), dimensions);
  }
}

template class CompressedFlatIndex<Fp16Codec>;

}  // namespace sorvel
