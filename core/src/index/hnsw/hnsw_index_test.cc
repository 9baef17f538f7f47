#include "index/hnsw/hnsw_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "distance/distance.h"
#include "index/topk.h"
#include "random.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

std::span<const float> row(const std::vector<float>& data, std::size_t dims, std::size_t i) {
  return {data.data() + i * dims, dims};
}

// Exact k nearest row numbers by distance().
std::vector<std::uint64_t> brute_force(const std::vector<float>& data, std::size_t dims,
                                       Metric metric, std::span<const float> query, std::size_t k) {
  const std::size_t rows = data.size() / dims;
  std::vector<std::pair<float, std::uint64_t>> all;
  for (std::size_t i = 0; i < rows; ++i) all.push_back({distance(metric, query, row(data, dims, i)), i});
  std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k), all.end());
  std::vector<std::uint64_t> out;
  for (std::size_t i = 0; i < k; ++i) out.push_back(all[i].second);
  return out;
}

TEST(HnswIndexTest, RecallAgainstBruteForceForEveryMetric) {
  constexpr std::size_t kDims = 24;
  constexpr std::size_t kRows = 3000;
  constexpr std::size_t k = 10;
  const std::vector<float> data = testing::random_vectors(kRows, kDims, 1);
  const std::vector<float> queries = testing::random_vectors(50, kDims, 2);
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    seed_thread_random(3);
    HnswIndex index(kDims, metric, 200, 100, 16);
    ASSERT_TRUE(index.add_matrix(data, kRows, kDims, 0));
    ASSERT_EQ(index.len(), kRows);
    std::size_t found = 0;
    for (std::size_t q = 0; q < 50; ++q) {
      const auto query = row(queries, kDims, q);
      const auto hits = index.search(query, k);
      ASSERT_TRUE(hits);
      ASSERT_EQ(hits->size(), k);
      for (std::size_t i = 0; i < k; ++i) {
        // Reported distances are the exact ones, best first.
        EXPECT_EQ((*hits)[i].distance, distance(metric, query, row(data, kDims, (*hits)[i].id)));
        if (i > 0) {
          EXPECT_LE((*hits)[i - 1].distance, (*hits)[i].distance);
        }
      }
      const auto exact = brute_force(data, kDims, metric, query, k);
      const std::set<std::uint64_t> truth(exact.begin(), exact.end());
      for (const SearchHit& hit : *hits) found += truth.count(hit.id);
    }
    EXPECT_GE(static_cast<double>(found) / (50.0 * k), 0.95) << metric_text_name(metric);
  }
}

TEST(HnswIndexTest, ChecksComeInTheirOrder) {
  HnswIndex index(3, Metric::L2, 20, 10, 4);
  const std::vector<float> two = {1, 2};
  const std::vector<float> three = {1, 2, 3};

  // An empty index still checks the query's length.
  EXPECT_EQ(index.search(two, 5).error().display(), "dimension mismatch: expected 3, got 2");
  EXPECT_TRUE(index.search(three, 5)->empty());
  EXPECT_EQ(index.add(1, two).error().display(), "dimension mismatch: expected 3, got 2");
  ASSERT_TRUE(index.add(1, three));
  EXPECT_EQ(index.add(1, three).error().display(), "duplicate vector ID: 1");
  EXPECT_TRUE(index.search(three, 0)->empty());

  // add_batch: the first failing item decides, and nothing is inserted.
  const std::vector<IndexItem> bad_length = {{5, {1, 1, 1}}, {1, {1, 1, 1}}, {6, {1}}};
  EXPECT_EQ(index.add_batch(bad_length).error().display(), "duplicate vector ID: 1");
  const std::vector<IndexItem> short_first = {{5, {1}}, {1, {1, 1, 1}}};
  EXPECT_EQ(index.add_batch(short_first).error().display(), "dimension mismatch: expected 3, got 1");
  EXPECT_EQ(index.len(), 1u);
  EXPECT_FALSE(index.graph().find_node(5).has_value());

  EXPECT_EQ(index.add_matrix(three, 1, 3, 0).has_value(), true);
  EXPECT_EQ(index.add_matrix(two, 1, 2, 0).error().display(),
            "dimension mismatch: expected 3, got 2");
}

TEST(HnswIndexTest, BatchWithTheSameIdTwiceKeepsTheSecondVector) {
  HnswIndex index(2, Metric::L2, 20, 10, 4);
  const std::vector<IndexItem> items = {{9, {1, 1}}, {4, {0, 0}}, {9, {5, 5}}};
  ASSERT_TRUE(index.add_batch(items));
  EXPECT_EQ(index.len(), 2u);
  auto it = index.iter();
  const auto first = it->next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->id, 9u);
  EXPECT_EQ(first->vector, (std::vector<float>{5, 5}));
  EXPECT_TRUE(index.add_batch({}));
}

TEST(HnswIndexTest, EveryIdIsAcceptedWithoutAliasing) {
  HnswIndex index(1, Metric::L2, 20, 10, 4);
  const std::uint64_t ids[] = {5, (1ull << 32) + 5, UINT64_MAX, 0, 20'000'000'000ull};
  for (std::size_t i = 0; i < std::size(ids); ++i) {
    const float v = static_cast<float>(i);
    ASSERT_TRUE(index.add(ids[i], {&v, 1})) << ids[i];
  }
  EXPECT_EQ(index.len(), std::size(ids));
  // Memory follows the number of ids, not their size.
  EXPECT_EQ(index.graph().node_count(), std::size(ids));
  for (std::size_t i = 0; i < std::size(ids); ++i) {
    const float v = static_cast<float>(i);
    const auto hits = index.search({&v, 1}, 1);
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0].id, ids[i]);
    EXPECT_EQ((*hits)[0].distance, 0.0f);
  }
}

TEST(HnswIndexTest, DeleteAndReAdd) {
  HnswIndex index(2, Metric::L2, 20, 10, 4);
  const std::vector<float> data = testing::random_vectors(50, 2, 4);
  ASSERT_TRUE(index.add_matrix(data, 50, 2, 100));
  EXPECT_FALSE(index.remove(7));
  ASSERT_TRUE(index.remove(110));
  EXPECT_FALSE(index.remove(110));
  EXPECT_EQ(index.len(), 49u);
  for (std::size_t q = 0; q < 50; ++q) {
    const auto hits = index.search(row(data, 2, q), 50);
    for (const SearchHit& hit : *hits) EXPECT_NE(hit.id, 110u);
  }
  // The id comes back on its old node.
  const std::size_t nodes = index.graph().node_count();
  ASSERT_TRUE(index.add(110, row(data, 2, 10)));
  EXPECT_EQ(index.graph().node_count(), nodes);
  EXPECT_EQ(index.graph().find_node(110), 10u);
  EXPECT_EQ((*index.search(row(data, 2, 10), 1))[0].id, 110u);

  // Deleting every vector leaves no entry point; the next add becomes it.
  for (std::uint64_t id = 100; id < 150; ++id) ASSERT_TRUE(index.remove(id));
  EXPECT_EQ(index.len(), 0u);
  EXPECT_TRUE(index.is_empty());
  EXPECT_FALSE(index.graph().entry_point().has_value());
  EXPECT_TRUE(index.search(row(data, 2, 0), 3)->empty());
  ASSERT_TRUE(index.add(120, row(data, 2, 0)));
  EXPECT_EQ(index.graph().entry_point(), 20u);
  EXPECT_EQ((*index.search(row(data, 2, 0), 3))[0].id, 120u);
}

TEST(HnswIndexTest, DeletingTheEntryPointElectsTheHighestLevel) {
  seed_thread_random(5);
  HnswIndex index(4, Metric::L2, 40, 10, 2);  // m = 2 gives many levels
  const std::vector<float> data = testing::random_vectors(300, 4, 6);
  ASSERT_TRUE(index.add_matrix(data, 300, 4, 0));
  const HnswGraph& g = index.graph();
  for (int round = 0; round < 20; ++round) {
    const HnswNode ep = *g.entry_point();
    ASSERT_TRUE(index.remove(g.id_of(ep)));
    HnswNode expected = 0;
    int best = -1;
    for (HnswNode n = 0; n < g.node_count(); ++n) {
      if (g.is_live(n) && g.level(n) >= best) {
        best = g.level(n);
        expected = n;
      }
    }
    EXPECT_EQ(g.entry_point(), expected);
  }
}

TEST(HnswIndexTest, MatrixInsertOverwritesLiveIds) {
  HnswIndex index(3, Metric::L2, 40, 20, 4);
  const std::vector<float> data = testing::random_vectors(100, 3, 7);
  ASSERT_TRUE(index.add_matrix(data, 100, 3, 0));
  ASSERT_TRUE(index.add_matrix(data, 100, 3, 50));
  EXPECT_EQ(index.len(), 150u);
  // Id 60 now holds row 10; ids 0..49 keep theirs; iteration keeps the order of first insertion.
  auto it = index.iter();
  for (std::uint64_t id = 0; id < 150; ++id) {
    const auto item = it->next();
    ASSERT_TRUE(item);
    ASSERT_EQ(item->id, id);
    const std::size_t source = id < 50 ? id : id - 50;
    const auto expected = row(data, 3, source);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), item->vector.begin())) << id;
  }
  EXPECT_TRUE(index.add_matrix({}, 0, 3, 1'000'000));
  EXPECT_EQ(index.len(), 150u);
}

TEST(HnswIndexTest, IterationFollowsInsertionOrderAndSkipsDeleted) {
  HnswIndex index(1, Metric::L2, 20, 10, 4);
  const std::uint64_t ids[] = {30, 10, 20, 40};
  for (const std::uint64_t id : ids) {
    const float v = static_cast<float>(id);
    ASSERT_TRUE(index.add(id, {&v, 1}));
  }
  ASSERT_TRUE(index.remove(10));
  auto it = index.iter();
  EXPECT_EQ(it->size_hint().second, 4u);
  std::vector<std::uint64_t> seen;
  while (auto item = it->next()) {
    EXPECT_EQ(item->vector, std::vector<float>{static_cast<float>(item->id)});
    seen.push_back(item->id);
  }
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{30, 20, 40}));
  auto skipping = index.iter();
  EXPECT_EQ(skipping->advance_by(2), 0u);
  EXPECT_EQ(skipping->next()->id, 40u);
  EXPECT_EQ(skipping->advance_by(3), 3u);
  EXPECT_EQ(index.iter()->nth(1)->id, 20u);
}

TEST(HnswIndexTest, SearchDistancesPerMetric) {
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    HnswIndex index(2, metric, 20, 10, 4);
    const std::vector<float> a = {3, 4};
    ASSERT_TRUE(index.add(1, a));
    const std::vector<float> q = {0.6f, 0.8f};
    const auto hits = index.search(q, 5);
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0].distance, distance(metric, q, a)) << metric_text_name(metric);
  }
  HnswIndex dot(2, Metric::DotProduct, 20, 10, 4);
  const std::vector<float> a = {3, 4};
  ASSERT_TRUE(dot.add(1, a));
  EXPECT_LT((*dot.search(a, 1))[0].distance, 0.0f);
}

// Vectors holding NaN neither crash a search nor break its order: NaN distances come last.
TEST(HnswIndexTest, NanDistancesComeLast) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  HnswIndex index(4, Metric::L2, 40, 20, 4);
  std::vector<float> data = testing::random_vectors(60, 4, 9);
  data[3 * 4] = nan;
  data[17 * 4 + 2] = nan;
  data[29 * 4 + 1] = inf;
  ASSERT_TRUE(index.add_matrix(data, 60, 4, 0));
  const std::vector<float> queries[] = {{0.25f, 0.25f, 0.25f, 0.25f}, {nan, 0, 0, 0}};
  for (const auto& query : queries) {
    for (const std::size_t k : {3u, 10u, 62u}) {
      const auto hits = index.search(query, k);
      ASSERT_TRUE(hits);
      for (std::size_t i = 1; i < hits->size(); ++i) {
        EXPECT_FALSE(distance_less((*hits)[i].distance, (*hits)[i - 1].distance)) << k << " " << i;
      }
    }
  }
  EXPECT_EQ(index.search(queries[0], 10)->size(), 10u);
}

TEST(HnswIndexTest, ConcurrentSearchesShareTheScratchSafely) {
  HnswIndex index(8, Metric::L2, 100, 40, 8);
  const std::vector<float> data = testing::random_vectors(2000, 8, 8);
  ASSERT_TRUE(index.add_matrix(data, 2000, 8, 0));
  std::vector<std::vector<SearchHit>> expected;
  for (std::size_t q = 0; q < 64; ++q) expected.push_back(*index.search(row(data, 8, q), 5));
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int rep = 0; rep < 5; ++rep) {
        for (std::size_t q = 0; q < 64; ++q) {
          const auto hits = *index.search(row(data, 8, q), 5);
          for (std::size_t i = 0; i < hits.size(); ++i) {
            if (hits[i].id != expected[q][i].id) ++mismatches;
          }
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace sorvel
