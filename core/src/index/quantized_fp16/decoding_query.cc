#include "index/quantized_fp16/decoding_query.h"

#include "distance/distance.h"

namespace sorvel {

DecodingQuery DecodingQuery::prepare(Metric metric, std::span<const float> query, bool fused) {
  DecodingQuery q{metric, query, 0.0f, fused, {}};
  if (q.fused) {
    if (metric == Metric::Cosine) q.qq = dot(query.data(), query.data(), query.size());
  } else {
    q.scratch.resize(query.size());
  }
  return q;
}

}  // namespace sorvel
