#include "collection/node_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>

#include "collection/collection.h"

namespace sorvel {
namespace {

// The reason for the pool: ids stored in order get nodes in ascending memory, whatever the heap
// held before, so a filtered scan in store order reads its payloads front to back.
TEST(PayloadMapPool, NodesOfIdsStoredInOrderLieInOrder) {
  // Scatter the heap first, as an earlier collection's freed buffers would.
  std::vector<std::unique_ptr<char[]>> holes;
  for (int i = 0; i < 2000; ++i) holes.push_back(std::make_unique<char[]>(48 + (i % 7) * 16));
  for (std::size_t i = 0; i < holes.size(); i += 2) holes[i].reset();

  PayloadMap map;
  map.reserve(5000);
  for (std::uint64_t id = 0; id < 5000; ++id) map.emplace(id, Payload::integer(std::int64_t(id)));
  std::size_t ascending = 0;
  for (std::uint64_t id = 1; id < 5000; ++id) {
    if (&map.find(id)->second > &map.find(id - 1)->second) ++ascending;
  }
  // Only a step to a new slab may go backwards.
  EXPECT_GE(ascending, 4999u - 16u);
}

TEST(PayloadMapPool, ErasedNodesAreReusedAndCopiesOwnTheirNodes) {
  auto original = std::make_unique<PayloadMap>();
  for (std::uint64_t id = 0; id < 300; ++id) {
    original->emplace(id, Payload::string("value " + std::to_string(id)));
  }
  const Payload* erased_at = &original->find(7)->second;
  original->erase(7);
  original->emplace(1000, Payload::integer(1));
  EXPECT_EQ(&original->find(1000)->second, erased_at);

  // A copy gets a pool of its own and outlives the original; a moved map keeps its nodes.
  PayloadMap copy = *original;
  PayloadMap moved = std::move(*original);
  original.reset();
  ASSERT_EQ(copy.size(), 300u);
  EXPECT_EQ(copy.at(299), Payload::string("value 299"));
  EXPECT_EQ(moved.at(1000), Payload::integer(1));
  copy.emplace(2000, Payload::integer(2));
  moved.clear();
  EXPECT_EQ(copy.at(2000), Payload::integer(2));

  PayloadMap assigned;
  assigned = copy;
  copy.clear();
  EXPECT_EQ(assigned.at(5), Payload::string("value 5"));
}

}  // namespace
}  // namespace sorvel
