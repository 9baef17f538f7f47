#pragma once

#include <cmath>
#include <span>
#include <vector>

#include "distance/metric.h"

namespace sorvel {

// The per-search state of a codec whose search scores distance(metric, query, decoded row) exactly
// (half precision, int8 with a scale): either its fused scan runs over the codes, or each row is
// decoded into `scratch` and scored by the plain kernels. One search owns it; `query` borrows the
// caller's query for that search.
struct DecodingQuery {
  Metric metric;
  std::span<const float> query;
  float qq;                    // dot(query, query) when the fused scan runs for Cosine, else 0
  bool fused;                  // whether the fused scan runs
  std::vector<float> scratch;  // query.size() floats on the plain path, empty otherwise

  // `fused`: whether this machine can run the codec's fused scan. Never fails.
  static DecodingQuery prepare(Metric metric, std::span<const float> query, bool fused);
  // distance() from a distance_squared() score: rows are ranked by the squared L2 distance (the
  // rounded square root is monotone) and only the kept ones are square-rooted.
  float finish(float score) const { return metric == Metric::L2 ? std::sqrt(score) : score; }
};

}  // namespace sorvel
