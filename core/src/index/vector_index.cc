#include "index/vector_index.h"

#include <algorithm>
#include <limits>

namespace sorvel {

Result<std::vector<SearchHit>> VectorIndex::search_filtered(std::span<const float> query,
                                                            std::size_t k,
                                                            const IdFilter& accept) const {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  auto widen = [](std::size_t n, std::size_t factor) {
    return n > kMax / factor ? kMax : n * factor;
  };
  const std::size_t live = len();
  // No search can return more than the live count, so asking for more only costs a larger heap.
  std::size_t fetch =
      std::min(std::max<std::size_t>(widen(k, 10), 1), std::max<std::size_t>(live, 1));
  std::vector<SearchHit> passing;
  for (;;) {
    SORVEL_ASSIGN_OR_RETURN(std::vector<SearchHit> hits, search(query, fetch));
    if (k == 0) return passing;
    passing.clear();
    for (const SearchHit& h : hits) {
      if (!accept(h.id)) continue;
      passing.push_back(h);
      if (passing.size() == k) return passing;
    }
    // Fewer hits than asked: the search has reached all it can; a wider one finds nothing new.
    if (hits.size() < fetch || fetch >= live) return passing;
    fetch = std::min(widen(fetch, 4), live);
  }
}

std::size_t IndexIterator::advance_by(std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!next()) return n - i;
  }
  return 0;
}

std::optional<IndexItem> IndexIterator::nth(std::size_t n) {
  if (advance_by(n) != 0) return std::nullopt;
  return next();
}

}  // namespace sorvel
