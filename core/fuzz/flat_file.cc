// The FlatIndex file: load_file, then round trips and the index exercise.

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "index/flat/flat_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] {
    sorvel::fuzz::fuzz_index_file<sorvel::FlatIndex>({data, size},
                                                     sorvel::fuzz::SearchKind::kExact);
  });
}
