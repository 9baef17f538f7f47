#include "index/hnsw/hnsw_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "distance/distance.h"
#include "index/topk.h"
#include "random.h"
#include "testing/filter_cases.h"
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
  for (std::size_t i = 0; i < rows; ++i)
    all.push_back({distance(metric, query, row(data, dims, i)), i});
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

// Tight clusters far apart: the data on which lists of the nearest m neighbours stay inside their
// cluster and leave the graph in pieces. Rows are drawn round-robin from `clusters` centres.
std::vector<float> clustered(std::size_t rows, std::size_t dims, std::size_t clusters,
                             std::uint64_t seed) {
  const std::vector<float> centres = testing::random_vectors(clusters, dims, seed);
  std::vector<float> out = testing::random_vectors(rows, dims, seed + 1);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t d = 0; d < dims; ++d) {
      out[i * dims + d] = 20.0f * centres[(i % clusters) * dims + d] + 0.05f * out[i * dims + d];
    }
  }
  return out;
}

// Own-vector reach (each stored vector searched for, found among the first 10) and recall on
// clustered data, before and after a third of the vectors are deleted; afterwards a search as wide
// as the index finds every live vector, since deleted nodes still lead on.
TEST(HnswIndexTest, ClusteredDataIsReachedAndRecalledAcrossDeletes) {
  constexpr std::size_t kDims = 16;
  constexpr std::size_t kRows = 4000;
  const std::vector<float> data = clustered(kRows + 100, kDims, 100, 31);
  const std::span<const float> queries(data.data() + kRows * kDims, 100 * kDims);
  seed_thread_random(32);
  HnswIndex index(kDims, Metric::L2, 200, 64, 16);
  ASSERT_TRUE(index.add_matrix({data.data(), kRows * kDims}, kRows, kDims, 0));

  std::vector<bool> live(kRows, true);
  const auto check = [&](const char* stage) {
    std::size_t reached = 0;
    std::size_t searched = 0;
    for (std::size_t i = 0; i < kRows; ++i) {
      if (!live[i]) continue;
      ++searched;
      const auto hits = index.search(row(data, kDims, i), 10);
      for (const SearchHit& h : *hits) reached += h.id == i;
    }
    EXPECT_GE(static_cast<double>(reached) / static_cast<double>(searched), 0.995) << stage;
    std::size_t found = 0;
    for (std::size_t q = 0; q < 100; ++q) {
      const std::span<const float> query = queries.subspan(q * kDims, kDims);
      std::vector<std::pair<float, std::uint64_t>> exact;
      for (std::size_t i = 0; i < kRows; ++i) {
        if (live[i]) exact.push_back({distance(Metric::L2, query, row(data, kDims, i)), i});
      }
      std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
      std::set<std::uint64_t> truth;
      for (std::size_t i = 0; i < 10; ++i) truth.insert(exact[i].second);
      const auto hits = index.search(query, 10);
      for (const SearchHit& h : *hits) found += truth.count(h.id);
    }
    EXPECT_GE(static_cast<double>(found) / 1000.0, 0.95) << stage;
  };
  check("built");

  seed_thread_random(33);
  std::size_t deleted = 0;
  while (deleted < kRows / 3) {
    const std::uint64_t id = thread_random_at_most(kRows - 1);
    if (!live[id]) continue;
    ASSERT_TRUE(index.remove(id));
    live[id] = false;
    ++deleted;
  }
  check("after deletes");
  for (std::size_t q = 0; q < 10; ++q) {
    const auto hits = *index.search(queries.subspan(q * kDims, kDims), index.len());
    std::size_t live_hits = 0;
    for (const SearchHit& h : hits) live_hits += live[h.id];
    EXPECT_EQ(live_hits, index.len());
    EXPECT_EQ(hits.size(), index.len());
  }
}

// Rounds of deletes, new ids and updates at a constant count: the nodes of deleted ids are
// reclaimed as they pile up, so the graph never holds more than the live count and the reclaim
// threshold, and recall holds. After reclaim() every list names live nodes only, within its limit,
// and a search as wide as the index still reaches every live vector. An index that saw no delete
// is left exactly as it was.
TEST(HnswIndexTest, ChurnIsReclaimedAndRecallHolds) {
  constexpr std::size_t kDims = 16;
  constexpr std::size_t kLive = 2000;
  constexpr std::size_t kChurn = 250;
  constexpr std::size_t kRounds = 12;
  constexpr std::size_t kQueries = 100;
  const std::vector<float> data =
      clustered(kLive + 2 * kChurn * kRounds + kQueries, kDims, 50, 41);
  const std::span<const float> queries(data.data() + (data.size() - kQueries * kDims),
                                       kQueries * kDims);
  seed_thread_random(42);
  HnswIndex index(kDims, Metric::L2, 100, 32, 8);
  ASSERT_TRUE(index.add_matrix({data.data(), kLive * kDims}, kLive, kDims, 0));
  const HnswGraphSnapshot untouched = index.graph().to_snapshot();
  EXPECT_EQ(index.reclaim(), 0u);
  EXPECT_EQ(index.graph().to_snapshot(), untouched);

  // Slot s holds id ids[s] with row rows[s] of `data`.
  std::vector<std::uint64_t> ids(kLive);
  std::vector<std::size_t> rows(kLive);
  for (std::size_t s = 0; s < kLive; ++s) ids[s] = rows[s] = s;
  std::size_t next_row = kLive;
  std::uint64_t next_id = kLive;
  const auto recall = [&] {
    std::size_t found = 0;
    for (std::size_t q = 0; q < kQueries; ++q) {
      const std::span<const float> query = queries.subspan(q * kDims, kDims);
      std::vector<std::pair<float, std::uint64_t>> exact;
      for (std::size_t s = 0; s < kLive; ++s) {
        exact.push_back({distance(Metric::L2, query, row(data, kDims, rows[s])), ids[s]});
      }
      std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
      std::set<std::uint64_t> truth;
      for (std::size_t i = 0; i < 10; ++i) truth.insert(exact[i].second);
      const std::vector<SearchHit> hits = index.search(query, 10).value();
      for (const SearchHit& h : hits) found += truth.count(h.id);
    }
    return static_cast<double>(found) / (10.0 * kQueries);
  };
  const double built = recall();
  EXPECT_GE(built, 0.95);

  seed_thread_random(43);
  std::size_t reclaimed_rounds = 0;
  for (std::size_t round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    std::set<std::size_t> picked;
    while (picked.size() < 2 * kChurn) picked.insert(thread_random_at_most(kLive - 1));
    std::vector<std::size_t> slots(picked.begin(), picked.end());
    const std::size_t nodes_before = index.graph().node_count();
    for (std::size_t i = 0; i < kChurn; ++i) ASSERT_TRUE(index.remove(ids[slots[i]]));
    for (std::size_t i = 0; i < 2 * kChurn; ++i) {
      const std::size_t s = slots[i];
      if (i < kChurn) {
        ids[s] = next_id++;
      } else {
        ASSERT_TRUE(index.remove(ids[s]));  // an update
      }
      rows[s] = next_row++;
      ASSERT_TRUE(index.add(ids[s], row(data, kDims, rows[s])));
    }
    ASSERT_EQ(index.len(), kLive);
    reclaimed_rounds += index.graph().node_count() < nodes_before;
    EXPECT_LE(index.graph().node_count(), kLive + HnswIndex::kReclaimMinNodes);
  }
  EXPECT_GE(reclaimed_rounds, 2u);
  EXPECT_GE(recall(), built - 0.03);

  const std::size_t dropped = index.graph().node_count() - kLive;
  EXPECT_EQ(index.reclaim(), dropped);
  const HnswGraph& g = index.graph();
  ASSERT_EQ(g.node_count(), kLive);
  for (HnswNode n = 0; n < g.node_count(); ++n) {
    ASSERT_TRUE(g.is_live(n));
    for (std::size_t l = 0; l <= g.upper_list_count(n); ++l) {
      const std::span<const HnswNode> list = g.neighbors(n, l);
      EXPECT_LE(list.size(), l == 0 ? g.m_max0() : g.m());
      for (const HnswNode v : list) ASSERT_LT(v, g.node_count());
    }
  }
  std::set<std::uint64_t> live_ids(ids.begin(), ids.end());
  std::set<std::uint64_t> iterated;
  const auto it = index.iter();
  while (const auto item = it->next()) iterated.insert(item->id);
  EXPECT_EQ(iterated, live_ids);
  EXPECT_GE(recall(), built - 0.03);
  for (std::size_t q = 0; q < 5; ++q) {
    EXPECT_EQ(index.search(queries.subspan(q * kDims, kDims), kLive)->size(), kLive);
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
  EXPECT_EQ(index.add_batch(short_first).error().display(),
            "dimension mismatch: expected 3, got 1");
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
  const auto nine = index.iter()->nth(1);
  ASSERT_TRUE(nine);
  EXPECT_EQ(nine->id, 9u);
  EXPECT_EQ(nine->vector, (std::vector<float>{5, 5}));
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

TEST(HnswIndexTest, DeletingTheEntryPointElectsTheHighestLevelThenTheHighestId) {
  seed_thread_random(5);
  HnswIndex index(4, Metric::L2, 40, 10, 2);  // m = 2 gives many levels
  const std::vector<float> data = testing::random_vectors(300, 4, 6);
  // Ids descend while nodes ascend, so the two tie rules differ.
  std::vector<IndexItem> items;
  for (std::size_t i = 0; i < 300; ++i)
    items.push_back({1000 - i, {row(data, 4, i).begin(), row(data, 4, i).end()}});
  ASSERT_TRUE(index.add_batch(items));
  const HnswGraph& g = index.graph();
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(index.remove(g.id_of(*g.entry_point())));
    std::optional<HnswNode> expected;
    for (HnswNode n = 0; n < g.node_count(); ++n) {
      if (!g.is_live(n)) continue;
      if (!expected || g.level(n) > g.level(*expected) ||
          (g.level(n) == g.level(*expected) && g.id_of(n) > g.id_of(*expected))) {
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
  // Id 60 now holds row 10; ids 0..49 keep theirs.
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

TEST(HnswIndexTest, IterationYieldsAscendingIdsAndSkipsDeleted) {
  for (const bool ascending : {false, true}) {
    HnswIndex index(1, Metric::L2, 20, 10, 4);
    const std::vector<std::uint64_t> ids = ascending ? std::vector<std::uint64_t>{10, 20, 30, 40}
                                                     : std::vector<std::uint64_t>{30, 10, 20, 40};
    for (const std::uint64_t id : ids) {
      const float v = static_cast<float>(id);
      ASSERT_TRUE(index.add(id, {&v, 1}));
    }
    ASSERT_TRUE(index.remove(10));
    auto it = index.iter();
    EXPECT_GE(it->size_hint().second, 3u);
    std::vector<std::uint64_t> seen;
    while (auto item = it->next()) {
      EXPECT_EQ(item->vector, std::vector<float>{static_cast<float>(item->id)});
      seen.push_back(item->id);
    }
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{20, 30, 40})) << ascending;
    auto skipping = index.iter();
    EXPECT_EQ(skipping->advance_by(2), 0u);
    EXPECT_EQ(skipping->next()->id, 40u);
    EXPECT_EQ(skipping->advance_by(3), 3u);
    EXPECT_EQ(index.iter()->nth(1)->id, 30u);
  }
}

// Equal distances come out in ascending id, whatever order the ids arrived in, also where the tie
// crosses the cut at k.
TEST(HnswIndexTest, EqualDistancesComeOutInAscendingId) {
  for (const Metric metric : {Metric::L2, Metric::DotProduct}) {
    HnswIndex index(2, metric, 40, 16, 4);
    const std::vector<float> near = {1, 0};
    const std::vector<float> far = {0, 3};
    for (const std::uint64_t id : {50u, 7u, 900u, 8u, 12u}) ASSERT_TRUE(index.add(id, near));
    for (const std::uint64_t id : {3u, 1u}) ASSERT_TRUE(index.add(id, far));
    const auto ids_of = [](const std::vector<SearchHit>& hits) {
      std::vector<std::uint64_t> out;
      for (const SearchHit& h : hits) out.push_back(h.id);
      return out;
    };
    EXPECT_EQ(ids_of(*index.search(near, 7)), (std::vector<std::uint64_t>{7, 8, 12, 50, 900, 1, 3}))
        << metric_text_name(metric);
    EXPECT_EQ(ids_of(*index.search(near, 3)), (std::vector<std::uint64_t>{7, 8, 12}))
        << metric_text_name(metric);
  }
}

// The k nearest passing vectors, or all of them when fewer pass, with search's distances, equal
// ones in ascending id: over deletes, for every metric and share of passing ids, and on a graph
// without edges, whose walk reaches only its entry point.
TEST(HnswIndexTest, FilteredSearchNeverComesBackShort) {
  constexpr std::size_t kDims = 32;
  constexpr std::size_t kRows = 12000;
  // Large enough, and clustered, for walks to be worth starting and to end within their budget.
  const std::vector<float> data = clustered(kRows + 3, kDims, 50, 41);
  const std::vector<float> queries(data.begin() + kRows * kDims, data.end());
  std::vector<testing::IdFilterCase> filters = testing::share_filters(1234);
  filters.push_back({"5 %", [](std::uint64_t id) { return id % 20 == 3; }});
  filters.push_back({"a deleted id", [](std::uint64_t id) { return id == 7; }});
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    for (const std::size_t m : {std::size_t{8}, std::size_t{0}}) {
      seed_thread_random(43);
      HnswIndex index(kDims, metric, 64, 16, m);
      ASSERT_TRUE(index.add_matrix({data.data(), kRows * kDims}, kRows, kDims, 0));
      for (std::uint64_t id = 7; id < kRows; id += 50) ASSERT_TRUE(index.remove(id));
      for (const auto& f : filters) {
        const IdFilter accept(f.accept);
        for (std::size_t qi = 0; qi < 3; ++qi) {
          const auto query = row(queries, kDims, qi);
          // Every live passing vector by (distance, id).
          std::vector<SearchHit> passing;
          for (std::uint64_t id = 0; id < kRows; ++id) {
            if ((id < 7 || (id - 7) % 50 != 0) && f.accept(id)) {
              passing.push_back({id, distance(metric, query, row(data, kDims, id))});
            }
          }
          std::sort(passing.begin(), passing.end(), [](const SearchHit& a, const SearchHit& b) {
            return a.distance < b.distance || (a.distance == b.distance && a.id < b.id);
          });
          for (const std::size_t k : {std::size_t{1}, std::size_t{10}, kRows}) {
            SCOPED_TRACE(::testing::Message() << metric_text_name(metric) << " m " << m << " "
                                              << f.name << " query " << qi << " k " << k);
            const auto hits = index.search_filtered(query, k, accept);
            ASSERT_TRUE(hits);
            ASSERT_EQ(hits->size(), std::min(k, passing.size()));
            for (std::size_t i = 0; i < hits->size(); ++i) {
              const SearchHit& h = (*hits)[i];
              ASSERT_TRUE(f.accept(h.id) && (h.id < 7 || (h.id - 7) % 50 != 0)) << h.id;
              EXPECT_EQ(h.distance, distance(metric, query, row(data, kDims, h.id)));
              if (i > 0) {
                const SearchHit& p = (*hits)[i - 1];
                EXPECT_TRUE(p.distance < h.distance || (p.distance == h.distance && p.id < h.id));
              }
              // Where every passing vector comes back the answer is exact.
              if (k >= passing.size()) {
                EXPECT_EQ(h.id, passing[i].id);
              }
            }
          }
        }
      }
    }
  }
  HnswIndex index(kDims, Metric::L2, 64, 16, 8);
  const auto every = [](std::uint64_t) { return true; };
  const IdFilter any(every);
  EXPECT_EQ(index.search_filtered(row(queries, kDims, 0), 3, any)->size(), 0u);
  const std::vector<float> wrong(kDims + 1, 0.0f);
  EXPECT_FALSE(index.search_filtered(wrong, 3, any).has_value());
}

// Where the exact scan answers, equal distances come out in ascending id as search's do, also where
// the tie crosses the cut.
TEST(HnswIndexTest, FilteredEqualDistancesComeOutInAscendingId) {
  HnswIndex index(2, Metric::L2, 40, 16, 4);
  const std::vector<float> near = {1, 0};
  const std::vector<float> far = {0, 3};
  for (const std::uint64_t id : {50u, 7u, 900u, 8u, 12u, 13u}) ASSERT_TRUE(index.add(id, near));
  for (const std::uint64_t id : {3u, 1u}) ASSERT_TRUE(index.add(id, far));
  const auto but_13 = [](std::uint64_t id) { return id != 13; };
  const auto hits = index.search_filtered(near, 3, IdFilter(but_13));
  ASSERT_TRUE(hits);
  std::vector<std::uint64_t> ids;
  for (const SearchHit& h : *hits) ids.push_back(h.id);
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{7, 8, 12}));
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

// Searches of one index from many threads at once give exactly what one thread gives, deleted
// nodes and wide searches included.
TEST(HnswIndexTest, ParallelSearchesGiveSequentialResults) {
  HnswIndex index(8, Metric::L2, 100, 40, 8);
  const std::vector<float> data = testing::random_vectors(3000, 8, 8);
  ASSERT_TRUE(index.add_matrix(data, 3000, 8, 0));
  for (std::uint64_t id = 0; id < 3000; id += 3) ASSERT_TRUE(index.remove(id));
  const std::vector<float> queries = testing::random_vectors(200, 8, 9);
  const auto k_of = [](std::size_t q) { return q % 10 == 0 ? std::size_t{500} : std::size_t{10}; };
  std::vector<std::vector<SearchHit>> expected;
  for (std::size_t q = 0; q < 200; ++q)
    expected.push_back(*index.search(row(queries, 8, q), k_of(q)));
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int rep = 0; rep < 3; ++rep) {
        for (std::size_t i = 0; i < 200; ++i) {
          const std::size_t q = (i + 25 * static_cast<std::size_t>(t)) % 200;
          const auto hits = *index.search(row(queries, 8, q), k_of(q));
          bool same = hits.size() == expected[q].size();
          for (std::size_t j = 0; same && j < hits.size(); ++j) {
            same = hits[j].id == expected[q][j].id && hits[j].distance == expected[q][j].distance;
          }
          if (!same) ++mismatches;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace sorvel
