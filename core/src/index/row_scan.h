#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "distance/distance.h"
#include "distance/metric.h"

namespace sorvel {

// Rows scored per kernel call of a scan: the scores fit in 4 KiB of stack.
inline constexpr std::size_t kScanBlockRows = 1024;

// The exhaustive scan of `count` rows of `d` floats laid end to end (row r at rows + r * d) into
// `top` (a BasicTopK): each row's score is distance_squared (its square root when `root`), and a
// row enters when `candidate(r)` (r in [0, count)) gives its id rather than nullopt. The hits
// pushed, and their order, are those of scoring every row and offering it, so the result is too.
//
// While `top` is not full nothing can be passed over by its score, so every row's candidate test
// runs anyway: until then the test comes first and only the rows that pass are measured, four at
// a time with distance_batch4. A filter that few rows pass so costs its tests and a few distances.
// Once `top` is full, blocks of kScanBlockRows rows are scored by one distance_rows call each and
// offered, so the test runs only for rows that would enter. Allocates nothing.
template <class Top, class Candidate>
void offer_rows(Metric metric, const float* query, const float* rows, std::size_t d,
                std::size_t count, bool root, Top& top, Candidate&& candidate) {
  const auto score = [root](float squared) { return root ? std::sqrt(squared) : squared; };
  std::size_t next = 0;
  std::size_t held[4];
  std::uint64_t ids[4];
  std::size_t n = 0;
  while (next < count && !top.full()) {
    if (const std::optional<std::uint64_t> id = candidate(next)) {
      held[n] = next;
      ids[n++] = *id;
    }
    ++next;
    if (n == 4) {
      const float* four[4] = {rows + held[0] * d, rows + held[1] * d, rows + held[2] * d,
                              rows + held[3] * d};
      float out[4];
      distance_batch4(metric, query, four, d, out);
      for (std::size_t i = 0; i < 4; ++i) top.push(ids[i], score(out[i]));
      n = 0;
    }
  }
  // Rows tested but not yet measured; pushing them into a full collector is what offering them
  // would do.
  for (std::size_t i = 0; i < n; ++i) {
    top.push(ids[i], score(distance_squared(metric, query, rows + held[i] * d, d)));
  }
  float scores[kScanBlockRows];
  for (std::size_t start = next; start < count; start += kScanBlockRows) {
    const std::size_t m = std::min(kScanBlockRows, count - start);
    distance_rows(metric, query, rows + start * d, d, m, d, scores);
    if (root) {
      for (std::size_t r = 0; r < m; ++r) scores[r] = std::sqrt(scores[r]);
    }
    top.offer(scores, m,
              [&](std::size_t r) -> std::optional<std::uint64_t> { return candidate(start + r); });
  }
}

}  // namespace sorvel
