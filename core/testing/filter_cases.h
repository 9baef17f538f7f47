#pragma once

// Test-only cases shared by the filtered-search tests of the approximate index kinds: filters by
// the share of ids they pass, and the ids that an unfiltered search near a query never reaches.
// Header-only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "distance/distance.h"

namespace sorvel::testing {

// A filter of a filtered-search test: its name and the ids it passes.
struct IdFilterCase {
  const char* name;
  std::function<bool(std::uint64_t)> accept;
};

// Filters that pass the even ids, 1 % of the ids, the id `one` alone, and none.
inline std::vector<IdFilterCase> share_filters(std::uint64_t one) {
  return {{"half", [](std::uint64_t id) { return id % 2 == 0; }},
          {"1 %", [](std::uint64_t id) { return id % 100 == 4; }},
          {"one id", [one](std::uint64_t id) { return id == one; }},
          {"none", [](std::uint64_t) { return false; }}};
}

// The ids of the non-empty list of an inverted-file index whose centroid lies farthest from
// `query` by distance_squared: no probe of an unfiltered search near the query reaches them.
template <class Index>
std::set<std::uint64_t> farthest_list_ids(const Index& index, Metric metric,
                                          std::span<const float> query) {
  // Scores may be negative (the dot product's), so the search starts from the first non-empty
  // list rather than from a fixed score.
  const std::size_t d = query.size();
  std::optional<std::size_t> far;
  float worst = 0.0f;
  for (std::size_t c = 0; c < index.lists().size(); ++c) {
    if (index.lists()[c].ids.empty()) continue;
    const float dc = distance_squared(metric, query.data(), &index.centroids()[c * d], d);
    if (!far || dc > worst) {
      worst = dc;
      far = c;
    }
  }
  if (!far) return {};
  const auto& ids = index.lists()[*far].ids;
  return {ids.begin(), ids.end()};
}

}  // namespace sorvel::testing
