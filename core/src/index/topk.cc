#include "index/topk.h"

namespace sorvel {

void select_top_k(std::vector<SearchHit>& hits, std::size_t k) {
  const std::size_t m = std::min(k, hits.size());
  if (m == 0) {
    hits.clear();
    return;
  }
  if (m < hits.size()) {
    std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(m - 1), hits.end(),
                     hit_less);
    hits.resize(m);
  }
  std::sort(hits.begin(), hits.end(), hit_less);
}

}  // namespace sorvel
