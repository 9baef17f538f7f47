#include "index/hnsw/hnsw_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "distance/distance.h"
#include "random.h"
#include "testing/test_data.h"

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
  // Stamps of 1 are what the wrapped search uses: unless they are cleared, every node looks
  // visited.
  std::fill(scratch.visited.begin(), scratch.visited.end(), 1u);
  scratch.epoch = std::numeric_limits<std::uint32_t>::max();
  const float query[] = {2, 0};
  const auto found = graph.search_layer(query, 0, 10, 0, scratch);
  EXPECT_EQ(found.size(), 3u);
  EXPECT_EQ(scratch.epoch, 1u);
}

// A 2-d graph rebuilt from hand-written records, entry point id 0, level multiplier 0.
HnswGraph graph_of(std::size_t m, std::size_t m_max0, std::vector<HnswNodeSnapshot> nodes) {
  HnswGraphSnapshot s;
  s.m = m;
  s.m_max0 = m_max0;
  s.ef_construction = 8;
  s.entry_point = 0;
  s.nodes = std::move(nodes);
  return *HnswGraph::from_snapshot(std::move(s), 2, Metric::L2);
}

// Places 2-d points as live nodes for ids 0, 1, ... without linking them.
void place_points(HnswGraph& graph, const std::vector<std::vector<float>>& points) {
  for (std::size_t i = 0; i < points.size(); ++i) {
    const HnswNode node = graph.node_for(i);
    graph.store(node, points[i].data(), 0);
  }
}

std::vector<HnswNode> nodes_of(std::span<const HnswPair> pairs) {
  std::vector<HnswNode> out;
  for (const HnswPair& p : pairs) out.push_back(p.node);
  return out;
}

TEST(HnswGraphTest, SelectionKeepsCandidatesCloserToTheBaseThanToEveryKeptOne) {
  HnswGraph graph = flat_graph(2, 4, 8);
  // Around a base at the origin: 2 and 5 hide behind 1; 6 is exactly as close to 1 as to the base,
  // which keeps it.
  place_points(graph, {{0, 0}, {1, 0}, {1, 0.25f}, {0, 2}, {-3, 0}, {2.5f, 0}, {0.5f, -1}});
  const float base[] = {0, 0};
  std::vector<HnswPair> candidates;
  for (HnswNode n = 1; n < 7; ++n) {
    candidates.push_back({distance_squared(Metric::L2, base, graph.vector(n).data(), 2), n});
  }
  std::sort(candidates.begin(), candidates.end(), hnsw_pair_less);
  ASSERT_EQ(nodes_of(candidates), (std::vector<HnswNode>{1, 2, 6, 3, 5, 4}));

  struct Case {
    const char* name;
    std::size_t limit;
    HnswNode exclude;
    std::vector<HnswNode> chosen;
  };
  const Case cases[] = {
      {"room for all", 8, 0, {1, 6, 3, 4}},
      {"the limit keeps the nearest", 3, 0, {1, 6, 3}},
      {"an excluded node is skipped", 8, 1, {2, 6, 3, 4}},
      {"limit 0", 0, 0, {}},
  };
  for (const Case& c : cases) {
    std::vector<HnswPair> out = {{7, 99}};  // selection appends and compares only with its own
    graph.select_neighbors(candidates, c.limit, c.exclude, out);
    EXPECT_EQ(nodes_of(std::span<const HnswPair>(out).subspan(1)), c.chosen) << c.name;
  }
}

// A back-link that overflows a list drops its non-live entries; only when the live ones still do
// not fit is the list chosen again by diversity.
TEST(HnswGraphTest, OverflowingListsAreChosenAgain) {
  // Node 0 at the origin holds a full layer-0 list {1, 2, 3} (m_max0 = 3) and a full layer-1 list
  // {1, 2} (m = 2); node 4 back-links to it at both layers.
  const auto build = [] {
    return graph_of(2, 3,
                    {{0, {0, 0}, {{1, 2, 3}, {1, 2}}, 1},
                     {1, {1, 0}, {{}, {}}, 1},
                     {2, {1, 0.25f}, {{}, {}}, 1},
                     {3, {0, 2}, {{}}, 0},
                     {4, {-3, 0}, {{}, {}}, 1}});
  };
  struct Case {
    const char* name;
    std::vector<HnswNode> deleted;
    std::vector<HnswNode> layer0;
    std::vector<HnswNode> layer1;
  };
  const Case cases[] = {
      // Seen from 0, 2 hides behind 1; the list comes out nearest first.
      {"all live", {}, {1, 3, 4}, {1, 4}},
      // Without 3 every live entry fits, 2 included, in list order.
      {"a deleted entry makes room", {3}, {1, 2, 4}, {1, 4}},
      {"a deleted entry goes even when nearest", {1}, {2, 3, 4}, {2, 4}},
  };
  for (const Case& c : cases) {
    HnswGraph graph = build();
    for (const HnswNode n : c.deleted) ASSERT_TRUE(graph.remove(n));
    HnswSearchScratch scratch;
    graph.add_link(0, 0, 4, scratch);
    graph.add_link(0, 1, 4, scratch);
    EXPECT_EQ(list_of(graph, 0, 0), c.layer0) << c.name;
    EXPECT_EQ(list_of(graph, 0, 1), c.layer1) << c.name;
  }
  // Below the limit a back-link is appended as it is.
  HnswGraph graph = build();
  HnswSearchScratch scratch;
  graph.add_link(3, 0, 4, scratch);
  EXPECT_EQ(list_of(graph, 3, 0), std::vector<HnswNode>{4});
}

// Deleted nodes are waypoints: a layer search walks through them to the live nodes behind them and
// never returns them, and an insert whose descent ends on one still finds neighbours.
TEST(HnswGraphTest, DeletedNodesStillGuideSearches) {
  // A chain 0 - 1 - 2 - 3 - 4 on a line; the middle three get deleted.
  HnswGraph graph = graph_of(2, 4,
                             {{0, {0, 0}, {{1}, {1}}, 1},
                              {1, {1, 0}, {{0, 2}, {0}}, 1},
                              {2, {2, 0}, {{1, 3}}, 0},
                              {3, {3, 0}, {{2, 4}}, 0},
                              {4, {4, 0}, {{3}}, 0}});
  for (const HnswNode n : {1u, 2u, 3u}) ASSERT_TRUE(graph.remove(n));
  HnswSearchScratch scratch;
  scratch.cover(graph.node_count());
  const float far[] = {4, 0};
  EXPECT_EQ(nodes_of(graph.search_layer(far, 0, 1, 0, scratch)), std::vector<HnswNode>{4});
  // From a deleted entry, with room for everything: both live nodes and nothing else.
  EXPECT_EQ(nodes_of(graph.search_layer(far, 2, 10, 0, scratch)), (std::vector<HnswNode>{4, 0}));

  // The descent of a new node at (1.2, 0) ends on deleted node 1 at layer 1; layer 0 goes on
  // through it.
  const HnswNode node = graph.node_for(5);
  scratch.cover(graph.node_count());
  const float p[] = {1.2f, 0};
  graph.insert_at_level(node, p, 0, scratch);
  EXPECT_EQ(list_of(graph, node, 0), (std::vector<HnswNode>{0, 4}));
}

// A filtered walk passes through the nodes its filter refuses as through deleted ones, returns
// only passing live nodes, and gives up once it has measured more than its budget.
TEST(HnswGraphTest, FilteredWalkPassesRefusedNodesAndKeepsItsBudget) {
  // A chain 0 - 1 - 2 - 3 - 4 - 5 on a line; node 5 is deleted.
  HnswGraph graph = graph_of(2, 4,
                             {{0, {0, 0}, {{1}}, 0},
                              {1, {1, 0}, {{0, 2}}, 0},
                              {2, {2, 0}, {{1, 3}}, 0},
                              {3, {3, 0}, {{2, 4}}, 0},
                              {4, {4, 0}, {{3, 5}}, 0},
                              {5, {5, 0}, {{4}}, 0}});
  ASSERT_TRUE(graph.remove(5));
  HnswSearchScratch scratch;
  scratch.cover(graph.node_count());
  const float near[] = {0, 0};
  const auto odd = [](std::uint64_t id) { return id % 2 == 1; };
  const IdFilter accept(odd);
  const struct {
    const char* name;
    std::size_t ef, budget;
    std::optional<std::vector<HnswNode>> want;
  } cases[] = {
      // Nodes 0, 2 and 4 lead on but are never returned; deleted 5 is never returned either.
      {"room for every passing node", 10, 100, std::vector<HnswNode>{1, 3}},
      {"the nearest passing node", 1, 100, std::vector<HnswNode>{1}},
      {"the whole chain fits the budget", 10, 6, std::vector<HnswNode>{1, 3}},
      {"over budget", 10, 3, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto got = graph.search_filtered(near, 0, c.ef, c.budget, accept, scratch);
    ASSERT_EQ(got.has_value(), c.want.has_value());
    if (got) {
      EXPECT_EQ(nodes_of(*got), *c.want);
    }
  }
  const auto none = [](std::uint64_t) { return false; };
  const auto nothing = graph.search_filtered(near, 0, 10, 100, IdFilter(none), scratch);
  ASSERT_TRUE(nothing.has_value());
  EXPECT_TRUE(nothing->empty());
}

// A file holds live nodes only: a saved list keeps its live entries and fills the room of the
// deleted ones with the live nodes those named, nearest first.
TEST(HnswGraphTest, SavedListsStepOverDeletedEntries) {
  HnswGraph graph = graph_of(2, 4,
                             {{0, {0, 0}, {{1, 3}}, 0},
                              {1, {1, 0}, {{0, 2, 3}}, 0},
                              {2, {2, 0}, {{1, 4}}, 0},
                              {3, {0, 5}, {{0}}, 0},
                              {4, {3, 3}, {{0}}, 0}});
  ASSERT_TRUE(graph.remove(1));
  ASSERT_TRUE(graph.remove(4));
  HnswSearchScratch scratch;
  scratch.cover(graph.node_count());
  std::vector<HnswNode> saved;
  graph.saved_neighbors(0, 0, scratch, saved);
  EXPECT_EQ(saved, (std::vector<HnswNode>{3, 2}));
  // 1 and 4 both name 0; 3 comes through 1 as well, since the list has room.
  graph.saved_neighbors(2, 0, scratch, saved);
  EXPECT_EQ(saved, (std::vector<HnswNode>{0, 3}));
  const HnswGraphSnapshot snapshot = graph.to_snapshot();
  ASSERT_EQ(snapshot.nodes.size(), 3u);
  EXPECT_EQ(snapshot.nodes[0].neighbors, (std::vector<std::vector<std::uint64_t>>{{3, 2}}));
}

// Storing the entry point again must not strand it: its old lists guide its own search, and it
// links to real neighbours instead of itself.
TEST(HnswGraphTest, ReinsertingTheEntryPointKeepsItLinked) {
  HnswGraph graph = flat_graph(2, 4, 8);
  HnswSearchScratch scratch;
  insert_points(graph, scratch, {{0, 0}, {1, 0}, {2, 0}}, {1, 0, 0});
  ASSERT_EQ(graph.entry_point(), 0u);
  const float moved[] = {2.5f, 0};
  graph.insert_at_level(0, moved, 1, scratch);
  EXPECT_EQ(graph.entry_point(), 0u);
  EXPECT_EQ(list_of(graph, 0, 0), std::vector<HnswNode>{2});
  EXPECT_EQ(graph.count(), 3u);
  const float query[] = {1, 0};
  EXPECT_EQ(graph.search_layer(query, 0, 10, 0, scratch).size(), 3u);

  // Stored again at a lower level, it hands the entry point to the highest level left.
  const HnswNode high = graph.node_for(7);
  scratch.cover(graph.node_count());
  const float p7[] = {5, 0};
  graph.insert_at_level(high, p7, 1, scratch);
  ASSERT_EQ(graph.entry_point(), 0u);
  graph.insert_at_level(0, moved, 0, scratch);
  EXPECT_EQ(graph.entry_point(), high);
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

TEST(HnswGraphTest, DeleteKeepsListsAndElectsTheHighestLevelThenTheHighestId) {
  HnswGraph graph = flat_graph(2, 4, 8);
  HnswSearchScratch scratch;
  // Nodes 0..4 get ids 50, 10, 40, 20, 0: node order and id order differ.
  const std::uint64_t ids[] = {50, 10, 40, 20, 0};
  const std::uint64_t levels[] = {3, 1, 2, 2, 0};
  for (std::size_t i = 0; i < 5; ++i) {
    const HnswNode node = graph.node_for(ids[i]);
    scratch.cover(graph.node_count());
    const float p[] = {static_cast<float>(i), 0};
    graph.insert_at_level(node, p, levels[i], scratch);
  }
  ASSERT_EQ(graph.entry_point(), 0u);
  const auto before = list_of(graph, 0, 0);
  ASSERT_TRUE(graph.remove(0));
  EXPECT_FALSE(graph.remove(0));
  // Nodes 2 (id 40) and 3 (id 20) share the highest level; the higher id wins.
  EXPECT_EQ(graph.entry_point(), 2u);
  EXPECT_EQ(list_of(graph, 0, 0), before);
  EXPECT_EQ(graph.count(), 4u);
  for (HnswNode n = 1; n < 5; ++n) ASSERT_TRUE(graph.remove(n));
  EXPECT_FALSE(graph.entry_point().has_value());
  EXPECT_EQ(graph.count(), 0u);
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
      {1e20, 255, 255},               // every draw above 255 is held at 255
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
// limit. Wide random vectors are nearly equidistant, so diversity leaves long lists.
TEST(HnswGraphTest, LargeNeighbourLimitsAreSafe) {
  seed_thread_random(11);
  constexpr std::size_t kDims = 256;
  const std::vector<float> data = testing::random_vectors(400, kDims, 12);
  for (const std::size_t m : {48u, 100u}) {
    HnswGraph graph(kDims, Metric::L2, m, 2 * m, 64, 1.0 / std::log(static_cast<double>(m)));
    HnswSearchScratch scratch;
    for (std::uint64_t id = 0; id < 400; ++id) {
      const HnswNode node = graph.node_for(id);
      scratch.cover(graph.node_count());
      graph.insert(node, data.data() + id * kDims, scratch);
    }
    std::size_t longest = 0;
    for (HnswNode n = 0; n < graph.node_count(); ++n) {
      EXPECT_LE(graph.neighbors(n, 0).size(), 2 * m);
      longest = std::max(longest, graph.neighbors(n, 0).size());
      for (std::size_t l = 1; l <= graph.level(n); ++l) EXPECT_LE(graph.neighbors(n, l).size(), m);
    }
    EXPECT_GT(longest, 64u) << m;
    const auto found = graph.search_layer(data.data(), *graph.entry_point(), 10, 0, scratch);
    ASSERT_FALSE(found.empty());
  }
}

}  // namespace
}  // namespace sorvel
