// "hnsw.graph", the graph record an HNSW collection saves at compaction, read by HnswIndex::load.
// The first input byte picks the index it is loaded into (dimensions 1 + byte % 8, metric
// byte / 8 % 3), the rest is the file; see make_seeds.cc.

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "index/hnsw/hnsw_index.h"

namespace sorvel::fuzz {
namespace {

HnswIndex index_for(std::uint8_t selector) {
  return HnswIndex(1 + selector % 8, static_cast<Metric>(selector / 8 % 3), 16, 16, 4);
}

void fuzz_graph(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  fresh_scratch();
  HnswIndex index = index_for(bytes[0]);
  Result<> loaded = index.load(write_scratch("hnsw.graph", bytes.subspan(1)));
  if (!loaded) {
    expect_refusal(loaded.error());
    FUZZ_EXPECT(index.len() == 0);
    return;
  }
  const auto round_trip = [&] {
    const std::string path = scratch_path("saved.graph");
    Result<> saved = index.save(path);
    FUZZ_EXPECT(saved.has_value());
    HnswIndex again = index_for(bytes[0]);
    Result<> reloaded = again.load(path);
    FUZZ_EXPECT(reloaded.has_value());
    FUZZ_EXPECT(snapshot_of(again) == snapshot_of(index));
  };
  round_trip();
  exercise(index, SearchKind::kApproximate);
  round_trip();
}

}  // namespace
}  // namespace sorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] { sorvel::fuzz::fuzz_graph({data, size}); });
}
