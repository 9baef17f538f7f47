#include "index/hnsw/hnsw_graph.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "random.h"

namespace sorvel {
namespace {

// A graph whose levels are all 0 unless a test inserts at a given level (level multiplier 0).
HnswGraph flat_graph(std::size_t dims, std::size_t m, std::size_t m_max0, std::size_t ef = 16) {
  return HnswGraph(dims, Metric::L2, m, m_max0, ef, 0.0);
}

// Inserts 2-d points as ids 0, 1, ... at the given levels.
void insert_points(HnswGraph& graph, HnswSearchScratch& scratch,
                   const std::vector<std::vector<float>>& points,
                   const std::vector<std::uint64_t>& levels) {
  for (std::size_t i = 0; i < points.size(); ++i) {
    const HnswNode node = graph.node_for(i);
    scratch.cover(graph.node_count());
    graph.insert_at_level(node, points[i].data(), levels[i], scratch);
  }
}

std::vector<HnswNode> list_of(const HnswGraph& graph, HnswNode node, std::size_t layer) {
  const auto list = graph.neighbors(node, layer);
  return {list.begin(), list.end()};
}

TEST(HnswGraphTest, EntryPointFollowsStrictlyHigherLevels) {
  HnswGraph graph = flat_graph(2, 4, 8);
  HnswSearchScratch scratch;
  insert_points(graph, scratch, {{0, 0}}, {1});
  EXPECT_EQ(graph.entry_point(), 0u);
  EXPECT_TRUE(graph.neighbors(0, 0).empty());
  EXPECT_TRUE(graph.neighbors(0, 1).empty());

  // Equal level: the entry point stays; higher: it moves.
  HnswNode node = graph.node_for(1);
  scratch.cover(graph.node_count());
  const float p1[] = {1, 0};
  graph.insert_at_level(node, p1, 1, scratch);
  EXPECT_EQ(graph.entry_point(), 0u);
  EXPECT_EQ(list_of(graph, 1, 1), std::vector<HnswNode>{0});
  EXPECT_EQ(list_of(graph, 0, 1), std::vector<HnswNode>{1});

  node = graph.node_for(2);
  scratch.cover(graph.node_count());
  const float p2[] = {2, 0};
  graph.insert_at_level(node, p2, 3, scratch);
  EXPECT_EQ(graph.entry_point(), 2u);
  EXPECT_EQ(graph.level(2), 3);
  EXPECT_EQ(graph.upper_list_count(2), 3u);
  EXPECT_EQ(graph.count(), 3u);
}

TEST(HnswGraphTest, LayerSearchBreaksDistanceTiesByNode) {
  HnswGraph graph = flat_graph(2, 4, 8);
  HnswSearchScratch scratch;
  // Nodes 1 and 2 are both at distance 1 from the origin.
  insert_points(graph, scratch, {{0, 0}, {1, 0}, {-1, 0}, {0, 3}}, {0, 0, 0, 0});
  const float origin[] = {0, 0};

  const auto all = graph.search_layer(origin, 0, 10, 0, scratch);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].node, 0u);
  EXPECT_EQ(all[1].node, 1u);
  EXPECT_EQ(all[2].node, 2u);
  EXPECT_EQ(all[3].node, 3u);

  // With room for two, the larger node of the tie is the one dropped.
  const auto two = graph.search_layer(origin, 3, 2, 0, scratch);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].node, 0u);
  EXPECT_EQ(two[1].node, 1u);

  // A width of 0 behaves as 1.
  const auto zero = graph.search_layer(origin, 3, 0, 0, scratch);
  ASSERT_EQ(zero.size(), 1u);
  EXPECT_EQ(zero[0].node, 0u);
}

TEST(HnswGraphTest, LayerSearchClearsStampsWhenTheEpochWraps) {
  HnswGraph graph = flat_graph(2, 4, 8);
  HnswSearchScratch scratch;
  insert_points(graph, scratch, {{0, 0}, {1, 0}, {2, 0}}, {0, 0, 0});
  // Stamps of 1 are what the wrapped search uses: unless they are cleared, every node looks visited.
  std::fill(scratch.visited.begin(), scratch.visited.end(), 1u);
  scratch.epoch = std::numeric_limits<std::uint32_t>::max();
  const float query[] = {2, 0};
  const auto found = graph.search_layer(query, 0, 10, 0, scratch);
  EXPECT_EQ(found.size(), 3u);
  EXPECT_EQ(scratch.epoch, 1u);
}

TEST(HnswGraphTest, PruningDropsADeletedEntryBeforeTheFarthestLiveOne) {
  // Node 0 at the origin holds its full list {1, 2} (m_max0 = 2); node 3 then back-links to it.
  const auto build = [] {
    HnswGraphSnapshot s;
    s.m = 1;
    s.m_max0 = 2;
    s.ef_construction = 8;
    s.level_mult = 0;
    s.entry_point = 0;
    s.nodes = {{0, {0, 0}, {{1, 2}}, 0},
               {1, {1, 0}, {{}}, 0},
               {2, {5, 0}, {{}}, 0},
               {3, {3, 0}, {{}}, 0}};
    return *HnswGraph::from_snapshot(s, 2, Metric::L2);
  };
  const HnswPair to_zero[] = {{9, 0}};

  HnswGraph all_live = build();
  all_live.link_layer(3, 0, to_zero);
  // Node 2 (distance 25) is the farthest; the last entry moves into its place.
  EXPECT_EQ(list_of(all_live, 0, 0), (std::vector<HnswNode>{1, 3}));

  HnswGraph with_deleted = build();
  ASSERT_TRUE(with_deleted.remove(1));  // node 1 names nobody, so node 0 still names it
  with_deleted.link_layer(3, 0, to_zero);
  EXPECT_EQ(list_of(with_deleted, 0, 0), (std::vector<HnswNode>{3, 2}));
}

// Pruning measures entries against their current vectors, also when an entry was stored again
// after it entered the row.
TEST(HnswGraphTest, PruningSeesAReplacedVector) {
  HnswGraph graph = flat_graph(2, 1, 2);
  HnswSearchScratch scratch;
  insert_points(graph, scratch, {{0, 0}, {1, 0}, {5, 0}}, {0, 0, 0});
  ASSERT_EQ(list_of(graph, 0, 0), (std::vector<HnswNode>{1, 2}));
  const float closer[] = {0.1f, 0};
  graph.store(2, closer, 0);
  const HnswNode node = graph.node_for(3);
  const float p3[] = {3, 0};
  graph.store(node, p3, 0);
  const HnswPair to_zero[] = {{9, 0}};
  graph.link_layer(node, 0, to_zero);
  // Node 3 (distance 9) is now the farthest from node 0, not node 2 (0.01 after its move).
  EXPECT_EQ(list_of(graph, 0, 0), (std::vector<HnswNode>{1, 2}));
}

// NaN counts as farther than every number; among NaN distances the first entry goes.
TEST(HnswGraphTest, PruningDropsNaNDistancesFirst) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<float> owner;
    std::vector<float> first;
  };
  const Case cases[] = {
      {"every distance NaN", {nan, 0}, {1, 0}},
      {"one NaN entry among numbers", {0, 0}, {nan, 0}},
  };
  for (const Case& c : cases) {
    HnswGraphSnapshot s;
    s.m = 1;
    s.m_max0 = 2;
    s.ef_construction = 8;
    s.entry_point = 0;
    s.nodes = {{0, c.owner, {{1, 2}}, 0}, {1, c.first, {{}}, 0}, {2, {5, 0}, {{}}, 0},
               {3, {3, 0}, {{}}, 0}};
    HnswGraph graph = *HnswGraph::from_snapshot(s, 2, Metric::L2);
    const HnswPair to_zero[] = {{9, 0}};
    graph.link_layer(3, 0, to_zero);
    EXPECT_EQ(list_of(graph, 0, 0), (std::vector<HnswNode>{3, 2})) << c.name;
  }
}

TEST(HnswGraphTest, ReinsertingTheEntryPointLeavesItNamingOnlyItself) {
  HnswGraph graph = flat_graph(2, 4, 8);
  HnswSearchScratch scratch;
  insert_points(graph, scratch, {{0, 0}, {1, 0}, {2, 0}}, {1, 0, 0});
  ASSERT_EQ(graph.entry_point(), 0u);
  const float moved[] = {10, 10};
  graph.insert_at_level(0, moved, 1, scratch);
  EXPECT_EQ(list_of(graph, 0, 0), std::vector<HnswNode>{0});
  EXPECT_EQ(list_of(graph, 0, 1), std::vector<HnswNode>{0});
  EXPECT_EQ(graph.count(), 3u);
  // The others keep their links to node 0.
  EXPECT_EQ(list_of(graph, 1, 0)[0], 0u);
}

TEST(HnswGraphTest, WithoutEdgesASearchReachesOnlyTheEntryPoint) {
  HnswGraph graph = flat_graph(2, 0, 0);
  HnswSearchScratch scratch;
  insert_points(graph, scratch, {{0, 0}, {1, 0}, {2, 0}}, {0, 0, 0});
  for (HnswNode n = 0; n < 3; ++n) EXPECT_TRUE(graph.neighbors(n, 0).empty());
  const float query[] = {2, 0};
  const auto found = graph.search_layer(query, 0, 10, 0, scratch);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].node, 0u);
}

TEST(HnswGraphTest, DeleteUnlinksAndElectsTheHighestLatestNode) {
  HnswGraph graph = flat_graph(2, 4, 8);
  HnswSearchScratch scratch;
  insert_points(graph, scratch, {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}, {3, 1, 2, 2, 0});
  ASSERT_EQ(graph.entry_point(), 0u);
  ASSERT_TRUE(graph.remove(0));
  EXPECT_FALSE(graph.remove(0));
  // Nodes 2 and 3 share the highest level; the later one wins.
  EXPECT_EQ(graph.entry_point(), 3u);
  for (HnswNode n = 1; n < 5; ++n) {
    for (std::size_t l = 0; l <= graph.level(n); ++l) {
      for (const HnswNode v : graph.neighbors(n, l)) {
        EXPECT_NE(v, 0u) << "node " << n << " layer " << l;
      }
    }
  }
  EXPECT_EQ(graph.upper_list_count(0), 0u);
  EXPECT_TRUE(graph.neighbors(0, 0).empty());
  for (HnswNode n = 1; n < 5; ++n) ASSERT_TRUE(graph.remove(n));
  EXPECT_FALSE(graph.entry_point().has_value());
  EXPECT_EQ(graph.count(), 0u);
}

TEST(HnswGraphTest, ADescentEndingOnADeletedNodeGivesNoNeighbours) {
  // Node 1 (deleted, level 1) is still named by the entry point's upper list and is closest to
  // the new point, so the descent ends there and the layer-0 search finds nothing.
  HnswGraphSnapshot s;
  s.m = 2;
  s.m_max0 = 4;
  s.ef_construction = 8;
  s.entry_point = 0;
  s.nodes = {{0, {0, 0}, {{}, {1}}, 1}, {1, {9, 0}, {{}, {}}, 1}};
  HnswGraph graph = *HnswGraph::from_snapshot(s, 2, Metric::L2);
  ASSERT_TRUE(graph.remove(1));
  HnswSearchScratch scratch;
  const HnswNode node = graph.node_for(2);
  scratch.cover(graph.node_count());
  const float p[] = {10, 0};
  graph.insert_at_level(node, p, 0, scratch);
  EXPECT_TRUE(graph.neighbors(node, 0).empty());
}

TEST(HnswGraphTest, LevelDrawFollowsTheMultiplier) {
  struct Case {
    double level_mult;
    std::uint64_t lowest;
    std::uint64_t highest;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {0.0, 0, 0},
      {-1.0, 0, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0, 0},
      {1.0 / std::log(16.0), 0, 12},  // -ln(1e-15) / ln 16 < 13
      {1e20, 255, 255},  // every draw above 255 is held at 255
      {inf, 255, 255},
  };
  seed_thread_random(7);
  for (const Case& c : cases) {
    const HnswGraph graph(1, Metric::L2, 16, 32, 10, c.level_mult);
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t level = graph.draw_level();
      EXPECT_GE(level, c.lowest) << c.level_mult;
      EXPECT_LE(level, c.highest) << c.level_mult;
    }
  }
}

// Large limits: lists grow past the 64-node chunk of the searches and every list stays within its
// limit.
TEST(HnswGraphTest, LargeNeighbourLimitsAreSafe) {
  seed_thread_random(11);
  for (const std::size_t m : {33u, 48u, 100u}) {
    HnswGraph graph(8, Metric::L2, m, 2 * m, 64, 1.0 / std::log(static_cast<double>(m)));
    HnswSearchScratch scratch;
    std::vector<float> v(8);
    for (std::uint64_t id = 0; id < 400; ++id) {
      for (std::size_t d = 0; d < 8; ++d) v[d] = std::sin(static_cast<float>(id * 8 + d));
      const HnswNode node = graph.node_for(id);
      scratch.cover(graph.node_count());
      graph.insert(node, v.data(), scratch);
    }
    std::size_t longest = 0;
    for (HnswNode n = 0; n < graph.node_count(); ++n) {
      EXPECT_LE(graph.neighbors(n, 0).size(), 2 * m);
      longest = std::max(longest, graph.neighbors(n, 0).size());
      for (std::size_t l = 1; l <= graph.level(n); ++l) EXPECT_LE(graph.neighbors(n, l).size(), m);
    }
    EXPECT_GT(longest, 64u) << m;
    const auto found = graph.search_layer(v.data(), *graph.entry_point(), 10, 0, scratch);
    ASSERT_FALSE(found.empty());
  }
}

}  // namespace
}  // namespace sorvel
