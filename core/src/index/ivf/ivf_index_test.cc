#include "index/ivf/ivf_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "distance/distance.h"
#include "encoding.h"
#include "random.h"
#include "testing/filter_cases.h"
#include "testing/index_file_checks.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

IvfIndex make(std::size_t d, Metric metric, IvfConfig config) {
  Result<IvfIndex> r = IvfIndex::create(d, metric, config);
  EXPECT_TRUE(r.has_value());
  return std::move(r).value();
}

using testing::row;

// Exact hits over (id, vector) pairs by the metric's distance, ascending.
std::vector<SearchHit> brute_force(Metric metric,
                                   const std::map<std::uint64_t, std::vector<float>>& held,
                                   std::span<const float> query, std::size_t k) {
  std::vector<SearchHit> hits;
  for (const auto& [id, v] : held) hits.push_back({id, distance(metric, query, v)});
  std::sort(hits.begin(), hits.end(),
            [](const SearchHit& a, const SearchHit& b) { return a.distance < b.distance; });
  if (hits.size() > k) hits.resize(k);
  return hits;
}

std::map<std::uint64_t, std::vector<float>> items_of(const VectorIndex& index) {
  std::map<std::uint64_t, std::vector<float>> out;
  auto it = index.iter();
  while (auto item = it->next()) {
    EXPECT_TRUE(out.emplace(item->id, item->vector).second) << "id yielded twice: " << item->id;
  }
  return out;
}

TEST(IvfIndex, SearchChecksLengthFirstAndAnswersExactlyWhileUntrained) {
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    IvfIndex index = make(5, metric, {8, 2, 1000, 25});
    const std::vector<float> data = testing::random_vectors(30, 5, 1);
    std::map<std::uint64_t, std::vector<float>> held;
    for (std::size_t i = 0; i < 30; ++i) {
      ASSERT_TRUE(index.add(i * 7, row(data, i, 5)).has_value());
      held[i * 7].assign(data.begin() + i * 5, data.begin() + (i + 1) * 5);
    }
    ASSERT_FALSE(index.trained());
    const std::vector<float> q = testing::random_vectors(1, 5, 2);

    const auto wrong = index.search(std::vector<float>(4), 0);
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error().display(), "dimension mismatch: expected 5, got 4");
    EXPECT_TRUE(index.search(q, 0).value().empty());

    const auto hits = index.search(q, 10).value();
    const auto expected = brute_force(metric, held, q, 10);
    ASSERT_EQ(hits.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(hits[i].distance, expected[i].distance);
    EXPECT_EQ(index.search(q, 1000).value().size(), 30u);
  }
}

TEST(IvfIndex, TrainingTriggers) {
  struct Case {
    const char* name;
    IvfConfig config;
    std::size_t adds;
    bool flush;
    bool trained;
    std::size_t centroids;
  };
  const std::vector<Case> cases = {
      {"train_size 0: the first add trains", {4, 1, 0, 25}, 1, false, true, 1},
      {"train_size 1: the first add trains", {4, 1, 1, 25}, 1, false, true, 1},
      {"the train_size-th add trains", {4, 1, 10, 25}, 10, false, true, 4},
      {"one short of train_size buffers", {4, 1, 10, 25}, 9, false, false, 0},
      {"flush with fewer rows than lists: one centroid per row",
       {16, 1, 100, 25},
       5,
       true,
       true,
       5},
      {"flush of an empty index does nothing", {16, 1, 100, 25}, 0, true, false, 0},
      {"n_lists 0 acts as 1", {0, 1, 6, 25}, 6, false, true, 1},
  };
  const std::vector<float> data = testing::random_vectors(20, 3, 3);
  for (const Case& c : cases) {
    IvfIndex index = make(3, Metric::L2, c.config);
    for (std::size_t i = 0; i < c.adds; ++i) ASSERT_TRUE(index.add(i, row(data, i, 3)).has_value());
    if (c.flush) index.flush();
    EXPECT_EQ(index.trained(), c.trained) << c.name;
    EXPECT_EQ(index.n_centroids(), c.centroids) << c.name;
    EXPECT_EQ(index.lists().size(), c.centroids) << c.name;
    EXPECT_EQ(index.len(), c.adds) << c.name;
    EXPECT_EQ(items_of(index).size(), c.adds) << c.name;
  }
}

TEST(IvfIndex, SingleVectorTrainingMakesItTheOnlyCentroid) {
  IvfIndex index = make(3, Metric::L2, {4, 1, 1, 25});
  const std::vector<float> v = {1, 2, 3};
  ASSERT_TRUE(index.add(9, v).has_value());
  ASSERT_TRUE(index.trained());
  EXPECT_EQ(std::vector<float>(index.centroids().begin(), index.centroids().end()), v);
  const auto hits = index.search(v, 1).value();
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 9u);
  EXPECT_EQ(hits[0].distance, 0.0f);
}

TEST(IvfIndex, NoIterationFilesEverythingIntoListZeroAroundTheSeeds) {
  const std::vector<float> data = testing::random_vectors(50, 4, 4);
  seed_thread_random(77);
  IvfIndex index = make(4, Metric::L2, {8, 8, 50, 0});
  for (std::size_t i = 0; i < 50; ++i) ASSERT_TRUE(index.add(i, row(data, i, 4)).has_value());
  ASSERT_TRUE(index.trained());
  ASSERT_EQ(index.n_centroids(), 8u);
  EXPECT_EQ(index.lists()[0].ids.size(), 50u);
  for (std::size_t c = 1; c < 8; ++c) EXPECT_TRUE(index.lists()[c].ids.empty());
  // The centroids are the rows named by the shuffle the same seed draws.
  seed_thread_random(77);
  std::vector<std::size_t> perm(50);
  for (std::size_t i = 0; i < 50; ++i) perm[i] = i;
  for (std::size_t i = 50; i > 1; --i) std::swap(perm[i - 1], perm[thread_random_at_most(i - 1)]);
  for (std::size_t c = 0; c < 8; ++c) {
    for (std::size_t x = 0; x < 4; ++x)
      EXPECT_EQ(index.centroids()[c * 4 + x], data[perm[c] * 4 + x]);
  }
}

TEST(IvfIndex, SameSeedSameTraining) {
  const std::vector<float> data = testing::random_vectors(400, 6, 5);
  auto train = [&] {
    seed_thread_random(123);
    IvfIndex index = make(6, Metric::L2, {10, 3, 400, 25});
    EXPECT_TRUE(index.add_matrix(data, 400, 6, 0).has_value());
    return index;
  };
  const IvfIndex a = train();
  const IvfIndex b = train();
  ASSERT_TRUE(a.trained());
  EXPECT_TRUE(std::equal(a.centroids().begin(), a.centroids().end(), b.centroids().begin(),
                         b.centroids().end()));
  for (std::size_t c = 0; c < a.lists().size(); ++c) EXPECT_EQ(a.lists()[c].ids, b.lists()[c].ids);
}

// A search scans the nprobe nearest lists and, while they hold fewer than k rows, the next nearest:
// nprobe 0 still finds k hits, and a k of every vector probes every list.
TEST(IvfIndex, ProbingEveryListIsExactAndNoSearchComesBackShort) {
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    const std::size_t n = 600, d = 8;
    const std::vector<float> data = testing::random_vectors(n, d, 6);
    std::map<std::uint64_t, std::vector<float>> held;
    for (std::size_t i = 0; i < n; ++i)
      held[i].assign(data.begin() + i * d, data.begin() + (i + 1) * d);
    IvfIndex all = make(d, metric, {12, 12, 200, 25});
    IvfIndex none = make(d, metric, {12, 0, 200, 25});
    IvfIndex one = make(d, metric, {12, 1, 200, 25});
    ASSERT_TRUE(all.add_matrix(data, n, d, 0).has_value());
    ASSERT_TRUE(none.add_matrix(data, n, d, 0).has_value());
    ASSERT_TRUE(one.add_matrix(data, n, d, 0).has_value());
    ASSERT_EQ(all.len(), n);
    const std::vector<float> queries = testing::random_vectors(10, d, 7);
    for (std::size_t q = 0; q < 10; ++q) {
      const std::span<const float> query = row(queries, q, d);
      const auto hits = all.search(query, 15).value();
      const auto expected = brute_force(metric, held, query, 15);
      ASSERT_EQ(hits.size(), 15u);
      for (std::size_t i = 0; i < 15; ++i) EXPECT_EQ(hits[i].distance, expected[i].distance);
      const auto exact = brute_force(metric, held, query, n);
      std::map<std::uint64_t, float> distance_of;
      for (const SearchHit& h : exact) distance_of[h.id] = h.distance;
      const auto from_none = none.search(query, 15).value();
      ASSERT_EQ(from_none.size(), 15u);
      for (std::size_t i = 0; i < 15; ++i) {
        EXPECT_EQ(from_none[i].distance, distance_of.at(from_none[i].id));
        if (i > 0) {
          EXPECT_LE(from_none[i - 1].distance, from_none[i].distance);
        }
      }
      for (const std::size_t k : {n, n + 10}) {
        const auto every = one.search(query, k).value();
        ASSERT_EQ(every.size(), n);
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(every[i].distance, exact[i].distance);
      }
    }
  }
}

// A filtered search returns min(k, passing) hits with search's distances whatever lists the
// passing ids lie in: it probes further than nprobe, and scans every list when few ids pass.
TEST(IvfIndex, FilteredSearchReachesPassingIdsInAnyList) {
  const std::size_t n = 3000, d = 8;
  const std::vector<float> data = testing::random_vectors(n + 40, d, 11);
  const std::vector<float> query = testing::random_vectors(1, d, 12);
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    for (const bool trained : {true, false}) {
      SCOPED_TRACE(::testing::Message() << metric_text_name(metric) << " trained " << trained);
      IvfIndex index = make(d, metric, {32, 1, trained ? 1000 : n + 100, 25});
      std::map<std::uint64_t, std::vector<float>> held;
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(index.add(3 * i + 1, row(data, i, d)).has_value());
        held[3 * i + 1].assign(data.begin() + i * d, data.begin() + (i + 1) * d);
      }
      for (std::size_t i = 0; i < n; i += 9) {
        ASSERT_TRUE(index.remove(3 * i + 1));
        held.erase(3 * i + 1);
      }
      ASSERT_EQ(index.trained(), trained);
      const std::set<std::uint64_t> far_list =
          trained ? testing::farthest_list_ids(index, metric, query) : std::set<std::uint64_t>{};
      EXPECT_EQ(far_list.empty(), !trained);
      std::vector<testing::IdFilterCase> filters = testing::share_filters(3 * 1234 + 1);
      filters.push_back({"every id", [](std::uint64_t) { return true; }});
      filters.push_back(
          {"the farthest list", [&](std::uint64_t id) { return far_list.contains(id); }});
      for (const auto& f : filters) {
        std::map<std::uint64_t, std::vector<float>> passing;
        for (const auto& [id, v] : held) {
          if (f.accept(id)) passing.emplace(id, v);
        }
        const std::vector<SearchHit> all_passing =
            brute_force(metric, passing, query, passing.size());
        for (const std::size_t k : {std::size_t{1}, std::size_t{10}, n}) {
          SCOPED_TRACE(::testing::Message() << f.name << " k " << k);
          const auto hits = index.search_filtered(query, k, IdFilter(f.accept)).value();
          ASSERT_EQ(hits.size(), std::min(k, passing.size()));
          for (std::size_t i = 0; i < hits.size(); ++i) {
            ASSERT_TRUE(passing.contains(hits[i].id)) << hits[i].id;
            EXPECT_EQ(hits[i].distance, distance(metric, query, passing.at(hits[i].id)));
            if (i > 0) {
              EXPECT_LE(hits[i - 1].distance, hits[i].distance);
            }
            if (k >= passing.size()) {
              EXPECT_EQ(hits[i].distance, all_passing[i].distance);
            }
          }
        }
      }
      // A filter that every id passes answers as search does.
      const auto every = [](std::uint64_t) { return true; };
      const auto plain = index.search(query, 5).value();
      const auto filtered = index.search_filtered(query, 5, IdFilter(every)).value();
      ASSERT_EQ(filtered.size(), plain.size());
      for (std::size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(filtered[i].id, plain[i].id);
        EXPECT_EQ(filtered[i].distance, plain[i].distance);
      }
    }
  }
  IvfIndex empty = make(d, Metric::L2, {32, 1, 1000, 25});
  const auto every = [](std::uint64_t) { return true; };
  EXPECT_TRUE(empty.search_filtered(query, 3, IdFilter(every)).value().empty());
  const auto wrong = empty.search_filtered(std::vector<float>(3), 0, IdFilter(every));
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().display(), "dimension mismatch: expected 8, got 3");
}

// A filter few ids pass tests every id in the order they were filed: after removes that compact
// that order, ids removed and filed again, and replaced ones, each passing id is found once with
// its current vector.
TEST(IvfIndex, FilteredSearchOfFewPassingIdsAfterRemovesAndReAdds) {
  const std::size_t n = 4000, d = 4;
  const std::vector<float> data = testing::random_vectors(2 * n, d, 21);
  IvfIndex index = make(d, Metric::L2, {16, 2, 256, 10});
  std::map<std::uint64_t, std::vector<float>> held;
  const auto put = [&](std::uint64_t id, std::size_t r) {
    ASSERT_TRUE(index.add(id, row(data, r, d)).has_value());
    held[id].assign(data.begin() + r * d, data.begin() + (r + 1) * d);
  };
  for (std::size_t i = 0; i < n; ++i) put(i, i);
  ASSERT_TRUE(index.trained());
  for (std::uint64_t id = 0; id < 3500; ++id) {  // past the size that compacts the order
    ASSERT_TRUE(index.remove(id));
    held.erase(id);
  }
  for (std::uint64_t id = 0; id < 3500; id += 50) put(id, n + id);      // removed, filed again
  for (std::uint64_t id = 3500; id < n; id += 50) put(id, n + id + 1);  // replaced in place
  const auto one_in_50 = [](std::uint64_t id) { return id % 50 == 0; };
  std::map<std::uint64_t, std::vector<float>> passing;
  for (const auto& [id, v] : held) {
    if (one_in_50(id)) passing[id] = v;
  }
  const std::vector<float> queries = testing::random_vectors(5, d, 22);
  for (std::size_t q = 0; q < 5; ++q) {
    const auto hits = index.search_filtered(row(queries, q, d), 200, IdFilter(one_in_50)).value();
    const auto expected = brute_force(Metric::L2, passing, row(queries, q, d), 200);
    ASSERT_EQ(hits.size(), passing.size());
    std::set<std::uint64_t> ids;
    for (std::size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(hits[i].distance, expected[i].distance);
      EXPECT_TRUE(ids.insert(hits[i].id).second);
    }
  }
}

// Adding an id the index already holds replaces the old entry wherever it is.
TEST(IvfIndex, AddingAHeldIdReplacesIt) {
  const std::vector<float> old_v = {1, 1};
  const std::vector<float> new_v = {-5, 4};
  struct Case {
    const char* name;
    std::function<void(IvfIndex&)> first;   // stores id 7 with old_v
    std::function<void(IvfIndex&)> second;  // stores id 7 with new_v
  };
  auto add_old = [&](IvfIndex& i) { ASSERT_TRUE(i.add(7, old_v).has_value()); };
  auto add_new = [&](IvfIndex& i) { ASSERT_TRUE(i.add(7, new_v).has_value()); };
  auto matrix_new = [&](IvfIndex& i) { ASSERT_TRUE(i.add_matrix(new_v, 1, 2, 7).has_value()); };
  const std::vector<Case> cases = {
      {"buffered, then buffered", add_old, add_new},
      {"listed, then listed",
       [&](IvfIndex& i) {
         add_old(i);
         i.flush();
       },
       add_new},
      {"listed, then by matrix",
       [&](IvfIndex& i) {
         add_old(i);
         i.flush();
       },
       matrix_new},
      {"buffered, then by matrix while untrained", add_old, matrix_new},
  };
  const std::vector<float> others = testing::random_vectors(20, 2, 8);
  for (const Case& c : cases) {
    IvfIndex index = make(2, Metric::L2, {4, 4, 1000, 25});
    for (std::size_t i = 0; i < 20; ++i)
      ASSERT_TRUE(index.add(100 + i, row(others, i, 2)).has_value());
    c.first(index);
    c.second(index);
    EXPECT_EQ(index.len(), 21u) << c.name;
    const auto items = items_of(index);
    ASSERT_TRUE(items.count(7)) << c.name;
    EXPECT_EQ(items.at(7), new_v) << c.name;
    const auto hits = index.search(old_v, 100).value();
    EXPECT_EQ(std::count_if(hits.begin(), hits.end(), [](const SearchHit& h) { return h.id == 7; }),
              1)
        << c.name;
    EXPECT_TRUE(index.remove(7)) << c.name;
    EXPECT_FALSE(index.remove(7)) << c.name;
    EXPECT_EQ(index.len(), 20u) << c.name;
    EXPECT_EQ(items_of(index).count(7), 0u) << c.name;
  }
}

TEST(IvfIndex, DeleteMovesTheLastRowAndIterationListsBufferFirst) {
  IvfIndex index = make(1, Metric::L2, {1, 1, 3, 25});
  for (std::uint64_t id = 0; id < 3; ++id)
    ASSERT_TRUE(index.add(id, std::vector<float>{float(id)}).has_value());
  ASSERT_TRUE(index.trained());
  EXPECT_EQ(index.lists()[0].ids, (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_TRUE(index.remove(0));
  EXPECT_EQ(index.lists()[0].ids, (std::vector<std::uint64_t>{2, 1}));
  EXPECT_EQ(index.lists()[0].vectors, (std::vector<float>{2, 1}));
  EXPECT_FALSE(index.remove(0));
  EXPECT_FALSE(index.remove(99));

  // An untrained index: buffer deletes move the last buffered row the same way.
  IvfIndex buffered = make(1, Metric::L2, {1, 1, 100, 25});
  for (std::uint64_t id = 0; id < 4; ++id)
    ASSERT_TRUE(buffered.add(id, std::vector<float>{float(id)}).has_value());
  EXPECT_TRUE(buffered.remove(1));
  auto it = buffered.iter();
  std::vector<std::uint64_t> order;
  while (auto item = it->next()) order.push_back(item->id);
  EXPECT_EQ(order, (std::vector<std::uint64_t>{0, 3, 2}));
}

TEST(IvfIndex, MatrixInsert) {
  {
    IvfIndex index = make(3, Metric::L2, {4, 4, 10, 25});
    const auto wrong = index.add_matrix(std::vector<float>(8), 2, 4, 0);
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error().display(), "dimension mismatch: expected 3, got 4");
    ASSERT_TRUE(index.add_matrix({}, 0, 3, 0).has_value());
    EXPECT_EQ(index.len(), 0u);
  }
  {
    // Ids wrap around 2^64; training starts inside the batch and later rows are filed one by one.
    const std::vector<float> data = testing::random_vectors(12, 3, 9);
    IvfIndex index = make(3, Metric::L2, {4, 4, 10, 25});
    const std::uint64_t start = std::numeric_limits<std::uint64_t>::max() - 1;
    ASSERT_TRUE(index.add_matrix(data, 12, 3, start).has_value());
    EXPECT_TRUE(index.trained());
    const auto items = items_of(index);
    EXPECT_EQ(items.size(), 12u);
    EXPECT_TRUE(items.count(start) && items.count(start + 1) && items.count(0) && items.count(9));
  }
  {
    // Trained: rows go to the lists assign_batch names.
    const std::vector<float> data = testing::random_vectors(300, 5, 10);
    IvfIndex index = make(5, Metric::L2, {6, 6, 100, 25});
    ASSERT_TRUE(index.add_matrix(std::span<const float>(data).first(500), 100, 5, 0).has_value());
    ASSERT_TRUE(index.trained());
    const std::vector<std::size_t> expected = index.assign_batch(data.data() + 500, 200);
    ASSERT_TRUE(
        index.add_matrix(std::span<const float>(data).subspan(500), 200, 5, 100).has_value());
    for (std::size_t c = 0; c < index.lists().size(); ++c) {
      for (std::uint64_t id : index.lists()[c].ids) {
        if (id >= 100) {
          EXPECT_EQ(expected[id - 100], c) << id;
        }
      }
    }
  }
  {
    // Dimension 0: a matrix of 0 columns adds one empty vector per row.
    IvfIndex index = make(0, Metric::L2, {4, 4, 3, 25});
    ASSERT_TRUE(index.add_matrix({}, 5, 0, 10).has_value());
    EXPECT_EQ(index.len(), 5u);
    EXPECT_TRUE(index.trained());
    const auto hits = index.search({}, 10).value();
    EXPECT_EQ(hits.size(), 5u);
  }
}

TEST(IvfIndex, LoadHookTrainsWhatTheReplayBuffered) {
  IvfIndex index = make(2, Metric::L2, {16, 4, 4096, 10});
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 2}).has_value());
  ASSERT_TRUE(index.load("ignored/path").has_value());
  EXPECT_TRUE(index.trained());
  EXPECT_EQ(index.n_centroids(), 1u);
}

// --- The IVF file ---

TEST(IvfFile, NewIndexRoundTripsWithItsConfiguration) {
  testing::TempDir dir;
  const IvfIndex index = make(7, Metric::DotProduct, {3, 5, 11, 25});
  ASSERT_TRUE(index.save_file(dir.file("a.ivf")).has_value());
  EXPECT_EQ(testing::read_file(dir.file("a.ivf")).size(), IvfIndex::kEmptyFileBytes);
  const IvfIndex loaded = IvfIndex::load_file(dir.file("a.ivf")).value();
  EXPECT_EQ(loaded.header().dimensions, 7u);
  EXPECT_EQ(loaded.header().metric, Metric::DotProduct);
  EXPECT_EQ(loaded.config().n_lists, 3u);
  EXPECT_EQ(loaded.config().nprobe, 5u);
  EXPECT_EQ(loaded.config().train_size, 11u);
  EXPECT_EQ(loaded.config().max_iter, 25u);
  EXPECT_FALSE(loaded.trained());
  EXPECT_EQ(loaded.len(), 0u);
}

TEST(IvfFile, TrainedIndexRoundTripsExactly) {
  testing::TempDir dir;
  const std::size_t n = 500, d = 9;
  const std::vector<float> data = testing::random_vectors(n, d, 11);
  IvfIndex index = make(d, Metric::L2, {10, 3, 300, 25});
  ASSERT_TRUE(index.add_matrix(data, n, d, 1000).has_value());
  ASSERT_TRUE(index.remove(1003));
  ASSERT_TRUE(index.save_file(dir.file("t.ivf")).has_value());
  // Saving again over the file replaces it whole.
  ASSERT_TRUE(index.save_file(dir.file("t.ivf")).has_value());
  IvfIndex loaded = IvfIndex::load_file(dir.file("t.ivf")).value();
  EXPECT_TRUE(loaded.trained());
  EXPECT_EQ(loaded.len(), index.len());
  const std::vector<float> queries = testing::random_vectors(20, d, 12);
  for (std::size_t q = 0; q < 20; ++q) {
    testing::expect_same_hits(index.search(row(queries, q, d), 10).value(),
                              loaded.search(row(queries, q, d), 10).value());
  }
  testing::expect_same_items(index, loaded);
  EXPECT_TRUE(loaded.remove(1004));
  EXPECT_FALSE(loaded.remove(1004));
}

TEST(IvfFile, UntrainedIndexKeepsItsBufferAndTrainsLater) {
  testing::TempDir dir;
  const std::vector<float> data = testing::random_vectors(10, 2, 13);
  IvfIndex index = make(2, Metric::L2, {2, 2, 10, 25});
  ASSERT_TRUE(index.add_matrix(std::span<const float>(data).first(18), 9, 2, 0).has_value());
  ASSERT_TRUE(index.save_file(dir.file("u.ivf")).has_value());
  IvfIndex loaded = IvfIndex::load_file(dir.file("u.ivf")).value();
  EXPECT_FALSE(loaded.trained());
  EXPECT_EQ(loaded.len(), 9u);
  // The replacement map was rebuilt: re-adding a buffered id replaces it.
  ASSERT_TRUE(loaded.add(3, row(data, 3, 2)).has_value());
  EXPECT_EQ(loaded.len(), 9u);
  ASSERT_TRUE(loaded.add(9, row(data, 9, 2)).has_value());
  EXPECT_TRUE(loaded.trained());
  EXPECT_EQ(loaded.len(), 10u);
}

// A record written field by field, so each case can make one field disagree.
struct IvfRecord {
  std::uint64_t dimensions = 2;
  std::uint32_t metric = 0;
  std::uint64_t config[4] = {2, 2, 10, 25};
  std::vector<std::uint64_t> buffer_ids;
  std::vector<float> buffer_vectors;
  std::vector<float> centroids = {0, 0, 5, 5};
  std::uint64_t n_centroids = 2;
  std::vector<PostingList> lists = {{{1, 2}, {0, 1, 1, 0}, 2}, {{3}, {5, 6}, 2}};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs = {{1, 0}, {2, 0}, {3, 1}};
  std::uint8_t trained = 1;

  std::vector<std::uint8_t> encode() const {
    Encoder out = Encoder::to_memory();
    out.u64(dimensions);
    out.u32(metric);
    for (std::uint64_t c : config) out.u64(c);
    out.u64_seq(buffer_ids);
    out.f32_seq(buffer_vectors);
    out.f32_seq(centroids);
    out.u64(n_centroids);
    out.length(lists.size());
    for (const PostingList& l : lists) {
      out.u64_seq(l.ids);
      out.f32_seq(l.vectors);
      out.u64(l.dims);
    }
    out.length(pairs.size());
    for (const auto& [id, list] : pairs) {
      out.u64(id);
      out.u64(list);
    }
    out.u8(trained);
    return out.take_bytes();
  }
};

TEST(IvfFile, LoadRefusesRecordsThatDoNotDescribeAnIndex) {
  const std::vector<testing::RecordCase<IvfRecord>> cases = {
      {"consistent", [](IvfRecord&) {}, ""},
      {"metric 3", [](IvfRecord& r) { r.metric = 3; },
       "serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"trained byte 2", [](IvfRecord& r) { r.trained = 2; },
       "serialization error: invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {"buffer floats",
       [](IvfRecord& r) {
         r.buffer_ids = {9};
         r.buffer_vectors = {1};
       },
       "serialization error: buffer holds 1 floats for 1 ids of 2 dimensions"},
      {"centroid floats", [](IvfRecord& r) { r.centroids.pop_back(); },
       "serialization error: 3 centroid floats for 2 centroids of 2 dimensions"},
      {"lists for centroids",
       [](IvfRecord& r) {
         r.n_centroids = 1;
         r.centroids.resize(2);
       },
       "serialization error: 2 lists for 1 centroids"},
      {"list dims", [](IvfRecord& r) { r.lists[1].dims = 1; },
       "serialization error: list 1 has rows of 1 floats, expected 2"},
      {"list floats", [](IvfRecord& r) { r.lists[0].vectors.push_back(0); },
       "serialization error: list 0 holds 5 floats for 2 ids"},
      {"pair naming no list",
       [](IvfRecord& r) {
         r.pairs.push_back({4, 2});
       },
       "serialization error: id 4 names list 2 of 2"},
      {"listed id mapped elsewhere",
       [](IvfRecord& r) {
         r.pairs[2] = {3, 0};
       },
       "serialization error: id 3 of list 1 is not mapped to it"},
      {"pair without a listed id",
       [](IvfRecord& r) {
         r.pairs.push_back({4, 1});
       },
       "serialization error: id_to_list holds 4 entries for 3 listed ids"},
      {"id held twice",
       [](IvfRecord& r) {
         r.buffer_ids = {3};
         r.buffer_vectors = {0, 0};
       },
       "serialization error: id 3 is held twice"},
      {"untrained with centroids", [](IvfRecord& r) { r.trained = 0; },
       "serialization error: an untrained index holds centroids"},
      {"trained without centroids",
       [](IvfRecord& r) {
         r.n_centroids = 0;
         r.centroids = {};
         r.lists = {};
         r.pairs = {};
       },
       "serialization error: a trained index has no centroids"},
      {"later pair replaces an earlier one",
       [](IvfRecord& r) {
         r.pairs.insert(r.pairs.begin(), {3, 0});
       },
       ""},
  };
  testing::TempDir dir;
  testing::expect_record_outcomes(
      dir.file("r.ivf"), cases, IvfIndex::load_file, [](const IvfIndex& loaded, const char* name) {
        EXPECT_EQ(loaded.len(), 3u) << name;
        EXPECT_EQ(loaded.search(std::vector<float>{5, 6}, 1).value().at(0).id, 3u) << name;
      });
}

TEST(IvfFile, CutFilesFailAndTrailingBytesAreIgnored) {
  testing::TempDir dir;
  const std::vector<std::uint8_t> bytes = IvfRecord{}.encode();
  testing::expect_cut_files_fail(dir.file("c.ivf"), bytes, IvfIndex::load_file);
  // A huge declared count fails at the end of the data instead of allocating it.
  testing::write_file(dir.file("c.ivf"), testing::overwrite_u64(bytes, IvfIndex::kFixedHeaderBytes,
                                                                std::uint64_t{1} << 62));
  EXPECT_FALSE(IvfIndex::load_file(dir.file("c.ivf")).has_value());
}

TEST(IvfFile, OpenAndCreateFailuresAreIo) {
  testing::TempDir dir;
  const Result<IvfIndex> missing = IvfIndex::load_file(dir.file("missing"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  const IvfIndex index = make(2, Metric::L2, {});
  const Result<> save = index.save_file(dir.file("no/such/dir/x.ivf"));
  ASSERT_FALSE(save.has_value());
  EXPECT_EQ(save.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace sorvel
