// "wal.log" replay: Collection::open over a directory holding a valid "meta.json" and the input
// as its log. The first input byte picks the collection (index type byte % 8, metric byte / 8 % 3,
// every kind small enough to train and promote within a few records), the rest is the log; see
// make_seeds.cc. A second opening must find what the first served; the opened collection must
// answer searches, take an upsert and a delete, compact, and reopen to the same ids, payloads and
// sparse vectors.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "collection/collection.h"
#include "collection/hybrid_search.h"
#include "fuzz_support.h"
#include "wal_fuzz_meta.h"

namespace sorvel::fuzz {

namespace {

// Index types whose iteration yields exactly the vectors a log replay gives them again.
bool keeps_vector_bits(IndexType type) {
  return type == IndexType::Flat || type == IndexType::Hnsw || type == IndexType::Ivf ||
         type == IndexType::Fp16Flat || type == IndexType::MmapFlat;
}

struct State {
  Snapshot items;
  PayloadMap payloads;
  std::size_t sparse_count = 0;
};

State state_of(const Collection& c) {
  FUZZ_EXPECT(c.len() == c.index().len());
  for (const auto& [id, payload] : c.payloads()) FUZZ_EXPECT(c.payload(id) == &payload);
  return {snapshot_of(c.index()), c.payloads(), c.sparse_count()};
}

void expect_same(const State& a, const State& b, IndexType type) {
  FUZZ_EXPECT(a.items.ids == b.items.ids);
  if (keeps_vector_bits(type)) FUZZ_EXPECT(a.items.bits == b.items.bits);
  FUZZ_EXPECT(a.payloads == b.payloads);
  FUZZ_EXPECT(a.sparse_count == b.sparse_count);
}

void search(const Collection& c, std::span<const float> query) {
  for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{8}}) {
    Result<std::vector<CollectionHit>> hits = c.search(query, k);
    FUZZ_EXPECT(hits.has_value());
    FUZZ_EXPECT(hits->size() <= k && hits->size() <= c.len());
    for (const CollectionHit& hit : *hits) {
      const Payload* stored = c.payload(hit.id);
      FUZZ_EXPECT(hit.payload.has_value() == (stored != nullptr));
      if (stored != nullptr) FUZZ_EXPECT(*hit.payload == *stored);
    }
    const SparseVector sparse{{0, 1, 2}, {1.0f, 0.5f, 0.25f}};
    Result<std::vector<HybridHit>> hybrid = search_hybrid(c, query, sparse, k, 0.5f, 0.5f, nullptr);
    FUZZ_EXPECT(hybrid.has_value());
    FUZZ_EXPECT(hybrid->size() <= k);
  }
}

void fuzz_wal(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const CollectionMeta meta = wal_fuzz_meta(bytes[0]);
  const std::string dir = fresh_scratch();
  const std::string text = meta.to_json();
  write_scratch(kMetaFileName, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  write_scratch(kWalFileName, bytes.subspan(1));

  Result<std::unique_ptr<Collection>> opened = Collection::open(dir);
  if (!opened) finding("open failed: " + opened.error().debug());
  const State replayed = state_of(**opened);
  // The opening settled the log, so the next one reads it in step and finds the same.
  opened->reset();
  opened = Collection::open(dir);
  if (!opened) finding("second open failed: " + opened.error().debug());
  expect_same(state_of(**opened), replayed, meta.index_type);
  Collection& c = **opened;
  const std::vector<float> query = replayed.items.ids.empty()
                                       ? std::vector<float>(4, 0.25f)
                                       : std::vector<float>{0.5f, -1.0f, 2.0f, 0.0f};
  search(c, query);

  // One upsert with a payload and a sparse vector, one delete, then a compaction.
  std::uint64_t fresh = 0x5eed;
  while (std::binary_search(replayed.items.ids.begin(), replayed.items.ids.end(), fresh)) ++fresh;
  Result<> upserted = c.upsert_hybrid(fresh, query, SparseVector{{1, 4}, {2.0f, 1.0f}},
                                      Payload::object({{"k", Payload::integer(1)}}));
  if (!upserted) finding("upsert failed: " + upserted.error().debug());
  if (!replayed.items.ids.empty()) {
    Result<bool> removed = c.remove(replayed.items.ids.front());
    FUZZ_EXPECT(removed.has_value() && *removed);
  }
  search(c, query);
  const State changed = state_of(c);
  Result<> compacted = c.compact_wal();
  if (!compacted) finding("compaction failed: " + compacted.error().debug());
  expect_same(state_of(c), changed, c.meta().index_type);
  const IndexType type = c.meta().index_type;
  opened->reset();

  Result<std::unique_ptr<Collection>> reopened = Collection::open(dir);
  if (!reopened) finding("reopen failed: " + reopened.error().debug());
  expect_same(state_of(**reopened), changed, type);
}

}  // namespace
}  // namespace sorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] { sorvel::fuzz::fuzz_wal({data, size}); });
}
