// The HnswIndex file: load_file (the current layout, or the older one whose vectors are inserted
// again), then round trips and the index exercise.

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "index/hnsw/hnsw_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] {
    sorvel::fuzz::fuzz_index_file<sorvel::HnswIndex>({data, size},
                                                     sorvel::fuzz::SearchKind::kApproximate);
  });
}
