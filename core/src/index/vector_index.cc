#include "index/vector_index.h"

namespace sorvel {

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
