// "hnsw.graph", the graph record an HNSW collection saves behind its trailer, read by
// HnswIndex::load. The first input byte picks the index it is loaded into (dimensions
// 1 + byte % 8, metric byte / 8 % 3) and, with byte / 24 odd, that the rest is a bare record which
// the target seals with a valid trailer for that index, so the record's decoder is reached past the
// checksum; otherwise the rest is the whole file. See make_seeds.cc.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "index/hnsw/hnsw_index.h"

namespace sorvel::fuzz {
namespace {

HnswIndex index_for(std::uint8_t selector) {
  return HnswIndex(1 + selector % 8, static_cast<Metric>(selector / 8 % 3), 16, 16, 4);
}

std::vector<std::uint8_t> sealed(std::span<const std::uint8_t> record, const HnswIndex& index) {
  Encoder out = Encoder::to_memory();
  out.start_checksum();
  out.raw(record.data(), record.size());
  HnswIndex::encode_graph_trailer(out, index.metric(), index.dimensions());
  return out.take_bytes();
}

void fuzz_graph(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  fresh_scratch();
  HnswIndex index = index_for(bytes[0]);
  const std::vector<std::uint8_t> file =
      bytes[0] / 24 % 2 == 1 ? sealed(bytes.subspan(1), index)
                             : std::vector<std::uint8_t>(bytes.begin() + 1, bytes.end());
  Result<> loaded = index.load(write_scratch("hnsw.graph", file));
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
