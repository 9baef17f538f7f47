// "meta.json": CollectionMeta::from_json, then the text round trip and, as Collection::open does
// next, the index factory, whose index must then take vectors and answer searches.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "collection/collection_meta.h"
#include "collection/index_factory.h"
#include "fuzz_support.h"

namespace sorvel::fuzz {
namespace {

// Dimensions up to this are given vectors (any other is only built).
constexpr std::uint64_t kMaxVectorDimensions = 64;

void fuzz_meta(std::string_view text) {
  Result<CollectionMeta> meta = CollectionMeta::from_json(text);
  if (!meta) {
    expect_refusal(meta.error());
    return;
  }
  const std::string written = meta->to_json();
  Result<CollectionMeta> again = CollectionMeta::from_json(written);
  FUZZ_EXPECT(again.has_value());
  FUZZ_EXPECT(*again == *meta);
  FUZZ_EXPECT(again->to_json() == written);

  // Settings no index can hold (the faiss type among them) are refused before anything is built.
  const std::string& dir = fresh_scratch();
  Result<std::unique_ptr<VectorIndex>> index = create_index(*meta, dir, MmapFileUse::kRebuild);
  if (!index) {
    FUZZ_EXPECT(index.error().kind() == ErrorKind::InvalidConfig);
    return;
  }
  FUZZ_EXPECT((*index)->len() == 0);
  FUZZ_EXPECT((*index)->header().dimensions == meta->dimensions);
  if (meta->dimensions > kMaxVectorDimensions) return;
  std::vector<float> v(meta->dimensions);
  for (std::uint64_t id = 0; id < 3; ++id) {
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(id + i);
    FUZZ_EXPECT((*index)->add(id, v).has_value());
  }
  (*index)->flush();
  exercise(**index, SearchKind::kApproximate);
}

}  // namespace
}  // namespace sorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] {
    sorvel::fuzz::fuzz_meta({reinterpret_cast<const char*>(data), size});
  });
}
