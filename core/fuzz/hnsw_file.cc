// The HnswIndex file: load_file (the current layout, or the older one whose vectors are inserted
// again), then round trips and the index exercise.

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "hnsw_budget.h"
#include "index/hnsw/hnsw_index.h"

namespace sorvel::fuzz {
namespace {

// The header's dimensions and m (whose double is the older layout's layer-0 limit), and the
// current layout's graph record, within the budget of hnsw_budget.h.
bool within_budget(std::span<const std::uint8_t> bytes) {
  if (read_field<std::uint64_t>(bytes, 0) > kMaxFuzzDimensions) return false;
  if (read_field<std::uint64_t>(bytes, 28) > kMaxFuzzLayer0Limit / 2) return false;
  return bytes.size() < HnswIndex::kFileHeaderBytes ||
         graph_within_budget(bytes.subspan(HnswIndex::kFileHeaderBytes));
}

}  // namespace
}  // namespace sorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] {
    if (!sorvel::fuzz::within_budget({data, size})) return;
    sorvel::fuzz::fuzz_index_file<sorvel::HnswIndex>({data, size},
                                                     sorvel::fuzz::SearchKind::kApproximate);
  });
}
