// "sparse.bin": SparseIndex::read_file, then the image round trip, hybrid searches over what was
// read, removals and an insert, and the round trip again.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <vector>

#include "collection/hybrid_search.h"
#include "collection/sparse_index.h"
#include "fuzz_support.h"
#include "index/flat/flat_index.h"

namespace sorvel::fuzz {
namespace {

// Both maps in an order that does not depend on hashing: (term, list) and (id, vector) by key.
using Canonical = std::tuple<std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint32_t>>,
                             std::vector<std::uint32_t>,
                             std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>>;

Canonical canonical(const SparseIndex& index) {
  Canonical c;
  auto& [entries, list_terms, vectors] = c;
  for (const auto& [term, list] : index.posting_lists()) {
    list_terms.push_back(term);
    for (const PostingEntry& e : list) {
      const std::uint64_t id = e.id;  // a packed field: copied, never bound to a reference
      entries.emplace_back(term, id, std::bit_cast<std::uint32_t>(e.weight));
    }
  }
  // Lists keep their order within a term: a stable sort by term alone.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
  std::sort(list_terms.begin(), list_terms.end());
  index.for_each_vector([&](std::uint64_t id, const SparseVector& vector) {
    vectors.emplace_back(id, vector.encode());
  });
  std::sort(vectors.begin(), vectors.end());
  return c;
}

void expect_round_trip(const SparseIndex& index) {
  const std::vector<std::uint8_t> image = index.encode();
  Result<SparseIndex> again = SparseIndex::read_file(image);
  FUZZ_EXPECT(again.has_value());
  FUZZ_EXPECT(canonical(*again) == canonical(index));
}

void search(const SparseIndex& sparse, const SparseVector& query) {
  FlatIndex dense(2, Metric::L2);
  FUZZ_EXPECT(dense.add(1, std::vector<float>{0.0f, 1.0f}).has_value());
  const PayloadMap payloads;
  for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{10}}) {
    Result<std::vector<HybridHit>> hits = search_hybrid(
        dense, payloads, sparse, std::vector{0.0f, 0.5f}, query, k, 0.5f, 0.5f, nullptr);
    FUZZ_EXPECT(hits.has_value());
    FUZZ_EXPECT(hits->size() <= k);
  }
}

void fuzz_sparse(std::span<const std::uint8_t> bytes) {
  Result<SparseIndex> read = SparseIndex::read_file(bytes);
  if (!read) {
    expect_refusal(read.error());
    return;
  }
  SparseIndex& index = *read;
  expect_round_trip(index);

  SparseVector query{{1, 2, 3}, {1.0f, 0.5f, 0.25f}};
  std::vector<std::uint64_t> ids;
  index.for_each_vector([&](std::uint64_t id, const SparseVector&) { ids.push_back(id); });
  std::sort(ids.begin(), ids.end());
  if (!ids.empty()) query = *index.find(ids.front());
  search(index, query);

  // Remove up to three stored ids, insert one of their vectors under a new id.
  const std::size_t stored = index.len();
  for (std::size_t i = 0; i < std::min<std::size_t>(3, ids.size()); ++i) {
    index.remove(ids[i]);
    FUZZ_EXPECT(index.find(ids[i]) == nullptr);
  }
  FUZZ_EXPECT(index.len() == stored - std::min<std::size_t>(3, ids.size()));
  index.insert(0xfeed, query);
  FUZZ_EXPECT(index.find(0xfeed) != nullptr);
  search(index, query);
  expect_round_trip(index);
}

}  // namespace
}  // namespace sorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] { sorvel::fuzz::fuzz_sparse({data, size}); });
}
