#include "index/ivf_pq/ivf_pq_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "distance/distance.h"
#include "encoding.h"
#include "random.h"
#include "testing/feature_guard.h"
#include "testing/filter_cases.h"
#include "testing/index_file_checks.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

IvfPqConfig config(std::uint64_t n_lists, std::uint64_t nprobe, std::uint64_t train_size,
                   std::uint64_t m, std::uint64_t k_sub) {
  return IvfPqConfig{n_lists, nprobe, train_size, 25, PqConfig{m, k_sub, 25}};
}

IvfPqIndex make(std::size_t d, Metric metric, const IvfPqConfig& c) {
  Result<IvfPqIndex> r = IvfPqIndex::create(d, metric, c);
  EXPECT_TRUE(r.has_value()) << r.error().display();
  return std::move(r).value();
}

using testing::row;

// The score search gives every listed id of a trained index: the sum of the table entries its code
// selects, in code order from -0.0, the table built on the query's residual of the id's list.
std::map<std::uint64_t, float> code_scores(const IvfPqIndex& index, std::span<const float> q) {
  const std::size_t d = q.size();
  const ProductQuantizer& pq = *index.quantizer();
  const std::size_t m = static_cast<std::size_t>(pq.m()), k = static_cast<std::size_t>(pq.k());
  std::map<std::uint64_t, float> out;
  for (std::size_t c = 0; c < index.lists().size(); ++c) {
    std::vector<float> residual(d);
    for (std::size_t x = 0; x < d; ++x) residual[x] = q[x] - index.centroids()[c * d + x];
    const std::vector<float> table = pq.distance_table(residual);
    const CodeList& list = index.lists()[c];
    for (std::size_t e = 0; e < list.ids.size(); ++e) {
      float s = -0.0f;
      for (std::size_t j = 0; j < m; ++j) s = s + table[j * k + list.codes[e * m + j]];
      out[list.ids[e]] = s;
    }
  }
  return out;
}

std::vector<IndexItem> items_in_order(const VectorIndex& index) {
  std::vector<IndexItem> out;
  auto it = index.iter();
  while (auto item = it->next()) out.push_back(std::move(*item));
  return out;
}

TEST(IvfPqIndex, CreateRefusesUntrainableQuantizers) {
  struct Case {
    std::size_t d;
    std::uint64_t m, k_sub;
    const char* error;
  };
  const std::vector<Case> cases = {
      {10, 0, 256, "invalid configuration: dimensions (10) must be divisible by m (0)"},
      {10, 4, 256, "invalid configuration: dimensions (10) must be divisible by m (4)"},
      {8, 4, 0, "invalid configuration: k_sub must be between 1 and 256, got 0"},
      {8, 4, 300, "invalid configuration: k_sub must be between 1 and 256, got 300"},
  };
  for (const Case& c : cases) {
    const auto r = IvfPqIndex::create(c.d, Metric::L2, config(4, 2, 10, c.m, c.k_sub));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidConfig);
    EXPECT_EQ(r.error().display(), c.error);
  }
  EXPECT_TRUE(IvfPqIndex::create(0, Metric::L2, config(0, 0, 0, 1, 1)).has_value());
}

TEST(IvfPqIndex, SingleVectorTrainingGivesAZeroResidualAndCode) {
  for (const std::uint64_t train_size : {0, 1}) {
    IvfPqIndex index = make(4, Metric::L2, config(4, 4, train_size, 2, 16));
    const std::vector<float> v = {1, 2, 3, 4};
    ASSERT_TRUE(index.add(5, v).has_value());
    ASSERT_TRUE(index.trained());
    EXPECT_EQ(index.n_centroids(), 1u);
    const ProductQuantizer& pq = *index.quantizer();
    EXPECT_EQ(pq.k(), 16u);
    for (float f : pq.codebook()) EXPECT_EQ(f, 0.0f);
    EXPECT_EQ(index.lists()[0].codes, (std::vector<std::uint8_t>{0, 0}));
    const auto hits = index.search(v, 3).value();
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, 5u);
    EXPECT_EQ(hits[0].distance, 0.0f);
  }
}

// Buffered vectors carry the metric's distance; listed ones the approximate squared Euclidean
// distance, whatever the metric.
TEST(IvfPqIndex, DistancesBeforeAndAfterTraining) {
  IvfPqIndex index = make(2, Metric::L2, config(1, 1, 3, 2, 4));
  ASSERT_TRUE(index.add(1, std::vector<float>{0, 0}).has_value());
  ASSERT_TRUE(index.add(2, std::vector<float>{2, 0}).has_value());
  const std::vector<float> q = {0, 0};
  auto hits = index.search(q, 2).value();
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[1].id, 2u);
  EXPECT_EQ(hits[1].distance, 2.0f);
  ASSERT_TRUE(index.add(3, std::vector<float>{0, 2}).has_value());
  ASSERT_TRUE(index.trained());
  hits = index.search(q, 3).value();
  ASSERT_EQ(hits.size(), 3u);
  // Three vectors and four sub-centroids per subspace: every sub-vector is a codebook entry, so
  // the scores are exact squared distances.
  EXPECT_EQ(hits[0].id, 1u);
  EXPECT_EQ(hits[0].distance, 0.0f);
  EXPECT_EQ(hits[1].distance, 4.0f);
  EXPECT_EQ(hits[2].distance, 4.0f);

  IvfPqIndex dot = make(2, Metric::DotProduct, config(1, 1, 2, 1, 4));
  ASSERT_TRUE(dot.add(1, std::vector<float>{3, 4}).has_value());
  ASSERT_TRUE(dot.add(2, std::vector<float>{1, 1}).has_value());
  hits = dot.search(std::vector<float>{0, 0}, 2).value();
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].distance, 2.0f);
  EXPECT_EQ(hits[1].distance, 25.0f);
}

TEST(IvfPqIndex, ScoresAreTableSumsOverTheProbedLists) {
  const std::size_t n = 800, d = 16;
  const std::vector<float> data = testing::random_vectors(n, d, 1);
  IvfPqIndex index = make(d, Metric::L2, config(8, 8, n, 4, 32));
  ASSERT_TRUE(index.add_matrix(data, n, d, 0).has_value());
  ASSERT_TRUE(index.trained());
  const std::vector<float> q = testing::random_vectors(1, d, 2);
  const auto hits = index.search(q, n).value();
  ASSERT_EQ(hits.size(), n);
  const std::map<std::uint64_t, float> expected = code_scores(index, q);
  for (const SearchHit& h : hits) EXPECT_EQ(h.distance, expected.at(h.id)) << h.id;
  for (std::size_t i = 1; i < hits.size(); ++i) EXPECT_LE(hits[i - 1].distance, hits[i].distance);

  EXPECT_TRUE(index.search(q, 0).value().empty());
  const auto wrong = index.search(std::vector<float>(3), 0);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().display(), "dimension mismatch: expected 16, got 3");
  // Fewer probes than k needs: lists are probed on, nearest first, until k rows are scanned.
  for (const std::uint64_t nprobe : {0, 1}) {
    IvfPqIndex few = make(d, Metric::L2, config(8, nprobe, n, 4, 32));
    ASSERT_TRUE(few.add_matrix(data, n, d, 0).has_value());
    const std::map<std::uint64_t, float> scores = code_scores(few, q);
    for (const std::size_t k : {std::size_t{10}, n, n + 10}) {
      const auto got = few.search(q, k).value();
      ASSERT_EQ(got.size(), std::min(k, n)) << nprobe << " " << k;
      for (const SearchHit& h : got) EXPECT_EQ(h.distance, scores.at(h.id)) << h.id;
    }
  }
}

// A filtered search returns min(k, passing) hits whatever lists the passing ids lie in, listed ones
// with their table sums (the scores of search) and buffered ones with the metric's distance.
TEST(IvfPqIndex, FilteredSearchReachesPassingIdsInAnyList) {
  const std::size_t n = 3000, d = 16;
  const std::vector<float> data = testing::random_vectors(n, d, 21);
  const std::vector<float> q = testing::random_vectors(1, d, 22);
  for (const bool trained : {true, false}) {
    SCOPED_TRACE(::testing::Message() << "trained " << trained);
    IvfPqIndex index = make(d, Metric::L2, config(32, 1, trained ? 1000 : n + 1, 4, 32));
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(index.add(3 * i + 1, row(data, i, d)).has_value());
    }
    for (std::size_t i = 0; i < n; i += 9) ASSERT_TRUE(index.remove(3 * i + 1));
    ASSERT_EQ(index.trained(), trained);
    // What search scores each held id by: its code once trained, else the metric's distance.
    std::map<std::uint64_t, float> score;
    std::set<std::uint64_t> far_list;
    if (trained) {
      score = code_scores(index, q);
      far_list = testing::farthest_list_ids(index, Metric::L2, q);
      EXPECT_FALSE(far_list.empty());
    } else {
      for (const IndexItem& item : items_in_order(index)) {
        score[item.id] = distance(Metric::L2, q, item.vector);
      }
    }
    std::vector<testing::IdFilterCase> filters = testing::share_filters(3 * 1234 + 1);
    filters.push_back(
        {"the farthest list", [&](std::uint64_t id) { return far_list.contains(id); }});
    for (const auto& f : filters) {
      std::vector<float> passing;
      for (const auto& [id, s] : score) {
        if (f.accept(id)) passing.push_back(s);
      }
      std::sort(passing.begin(), passing.end());
      for (const std::size_t k : {std::size_t{1}, std::size_t{10}, n}) {
        SCOPED_TRACE(::testing::Message() << f.name << " k " << k);
        const auto hits = index.search_filtered(q, k, IdFilter(f.accept)).value();
        ASSERT_EQ(hits.size(), std::min(k, passing.size()));
        for (std::size_t i = 0; i < hits.size(); ++i) {
          ASSERT_TRUE(f.accept(hits[i].id) && score.contains(hits[i].id)) << hits[i].id;
          EXPECT_EQ(hits[i].distance, score.at(hits[i].id)) << hits[i].id;
          if (i > 0) {
            EXPECT_LE(hits[i - 1].distance, hits[i].distance);
          }
          if (k >= passing.size()) {
            EXPECT_EQ(hits[i].distance, passing[i]);
          }
        }
      }
    }
  }
}

// The matrix insert on a trained index computes codes side by side; its outcome must be that of
// one add per row.
TEST(IvfPqIndex, MatrixInsertMatchesAddPerRow) {
  for (const Metric metric : {Metric::L2, Metric::Cosine}) {
    const std::size_t n = 1500, d = 12;
    const std::vector<float> data = testing::random_vectors(n, d, 3);
    seed_thread_random(4);
    IvfPqIndex by_matrix = make(d, metric, config(6, 2, 500, 3, 16));
    ASSERT_TRUE(by_matrix.add_matrix(data, n, d, 10).has_value());
    seed_thread_random(4);
    IvfPqIndex by_row = make(d, metric, config(6, 2, 500, 3, 16));
    for (std::size_t i = 0; i < n; ++i)
      ASSERT_TRUE(by_row.add(10 + i, row(data, i, d)).has_value());
    ASSERT_EQ(by_matrix.lists().size(), by_row.lists().size());
    for (std::size_t c = 0; c < by_row.lists().size(); ++c) {
      EXPECT_EQ(by_matrix.lists()[c].ids, by_row.lists()[c].ids);
      EXPECT_EQ(by_matrix.lists()[c].codes, by_row.lists()[c].codes);
    }
  }
  IvfPqIndex index = make(2, Metric::L2, config(2, 2, 3, 1, 4));
  EXPECT_EQ(index.add_matrix(std::vector<float>(3), 1, 3, 0).error().display(),
            "dimension mismatch: expected 2, got 3");
  ASSERT_TRUE(index.add_matrix({}, 0, 2, 0).has_value());
  EXPECT_EQ(index.len(), 0u);
  const std::uint64_t start = std::numeric_limits<std::uint64_t>::max();
  ASSERT_TRUE(index.add_matrix(testing::random_vectors(5, 2, 5), 5, 2, start).has_value());
  std::vector<std::uint64_t> ids;
  for (const IndexItem& item : items_in_order(index)) ids.push_back(item.id);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{0, 1, 2, 3, start}));

  IvfPqIndex empty_rows = make(0, Metric::L2, config(2, 2, 2, 1, 4));
  ASSERT_TRUE(empty_rows.add_matrix({}, 4, 0, 0).has_value());
  EXPECT_EQ(empty_rows.len(), 4u);
  EXPECT_EQ(empty_rows.search({}, 10).value().size(), 4u);
}

// A trained matrix insert assigns and encodes a chunk of rows at a time with the tiled kernels;
// every row must land in the list and carry the code that the plain rules give: the first strict
// minimum of distance_squared over the centroids in order, then per subspace the first strict
// minimum of the portable sum over the sub-centroids of the residual. Shapes leave partial tiles
// and tails everywhere; repeated training rows give equal centroids (ties); a NaN row and an
// infinite row go to list 0; both kernel families run.
TEST(IvfPqIndex, TrainedMatrixInsertFilesWhatThePlainRulesGive) {
  struct Case {
    Metric metric;
    std::size_t d, m, k_sub, n_lists, trained, added;
    bool repeated_rows;  // the training set is a few rows repeated, so centroids repeat
  };
  const std::vector<Case> cases = {
      {Metric::L2, 128, 16, 256, 37, 600, 301, false},
      {Metric::L2, 12, 3, 37, 7, 300, 259, false},
      {Metric::L2, 16, 2, 64, 12, 18, 133, true},
      {Metric::Cosine, 20, 5, 9, 10, 200, 130, false},
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  testing::FeatureGuard guard;
  for (const std::uint32_t features : {cpu::features(), cpu::kDetected}) {
    cpu::set_features_for_testing(features);
    for (const Case& c : cases) {
      const std::size_t d = c.d;
      std::vector<float> train = testing::random_vectors(c.trained, d, c.d + c.k_sub);
      if (c.repeated_rows) {
        for (std::size_t i = 3; i < c.trained; ++i)
          std::copy_n(train.begin() + (i % 3) * d, d, train.begin() + i * d);
      }
      std::vector<float> added = testing::random_vectors(c.added, d, 7 + c.added);
      std::copy_n(train.begin(), d, added.begin() + 5 * d);  // on a (possibly repeated) centroid
      added[7 * d] = nan;
      added[8 * d + 1] = std::numeric_limits<float>::infinity();
      seed_thread_random(3);
      IvfPqIndex index = make(d, c.metric, config(c.n_lists, 2, c.trained, c.m, c.k_sub));
      ASSERT_TRUE(index.add_matrix(train, c.trained, d, 0).has_value());
      ASSERT_TRUE(index.trained());
      ASSERT_TRUE(index.add_matrix(added, c.added, d, 1000).has_value());

      std::map<std::uint64_t, std::pair<std::size_t, std::vector<std::uint8_t>>> filed;
      for (std::size_t l = 0; l < index.lists().size(); ++l) {
        const CodeList& list = index.lists()[l];
        for (std::size_t e = 0; e < list.ids.size(); ++e) {
          filed[list.ids[e]] = {l, std::vector<std::uint8_t>(list.codes.begin() + e * c.m,
                                                             list.codes.begin() + (e + 1) * c.m)};
        }
      }
      const float* centroids = index.centroids().data();
      const ProductQuantizer& pq = *index.quantizer();
      const std::size_t ds = d / c.m;
      std::vector<float> residual(d);
      for (std::size_t i = 0; i < c.added; ++i) {
        const float* x = added.data() + i * d;
        float best = kNoDistance;
        std::size_t list = 0;
        for (std::size_t j = 0; j < index.n_centroids(); ++j) {
          const float dist = distance_squared(c.metric, x, centroids + j * d, d);
          if (dist < best) {
            best = dist;
            list = j;
          }
        }
        for (std::size_t p = 0; p < d; ++p) residual[p] = x[p] - centroids[list * d + p];
        std::vector<std::uint8_t> code(c.m);
        for (std::size_t s = 0; s < c.m; ++s) {
          float best_sub = kNoDistance;
          for (std::size_t j = 0; j < c.k_sub; ++j) {
            const float* sub = pq.codebook().data() + (s * c.k_sub + j) * ds;
            const float dist = kernels::scalar::l2_squared(residual.data() + s * ds, sub, ds);
            if (dist < best_sub) {
              best_sub = dist;
              code[s] = static_cast<std::uint8_t>(j);
            }
          }
        }
        const auto where = filed.find(1000 + i);
        ASSERT_NE(where, filed.end()) << i;
        EXPECT_EQ(where->second.first, list) << "d " << d << " row " << i;
        EXPECT_EQ(where->second.second, code) << "d " << d << " row " << i;
      }
      EXPECT_EQ(filed.at(1007).first, 0u);
      EXPECT_EQ(filed.at(1008).first, 0u);
    }
  }
}

TEST(IvfPqIndex, AddingAHeldIdReplacesIt) {
  const std::vector<float> old_v = {1, 1, 1, 1};
  const std::vector<float> new_v = {-3, 2, 0, 5};
  struct Case {
    const char* name;
    bool train_between;
    bool by_matrix;
  };
  const std::vector<Case> cases = {
      {"buffered, then buffered", false, false},
      {"listed, then listed", true, false},
      {"listed, then by matrix", true, true},
  };
  const std::vector<float> others = testing::random_vectors(30, 4, 6);
  for (const Case& c : cases) {
    IvfPqIndex index = make(4, Metric::L2, config(3, 3, 1000, 2, 8));
    ASSERT_TRUE(index.add_matrix(others, 30, 4, 100).has_value());
    ASSERT_TRUE(index.add(7, old_v).has_value());
    if (c.train_between) index.flush();
    if (c.by_matrix) {
      ASSERT_TRUE(index.add_matrix(new_v, 1, 4, 7).has_value());
    } else {
      ASSERT_TRUE(index.add(7, new_v).has_value());
    }
    EXPECT_EQ(index.len(), 31u) << c.name;
    std::size_t sevens = 0;
    for (const IndexItem& item : items_in_order(index)) {
      if (item.id != 7) continue;
      ++sevens;
      EXPECT_EQ(item.vector, new_v) << c.name;
    }
    EXPECT_EQ(sevens, 1u) << c.name;
    const auto hits = index.search(old_v, 100).value();
    EXPECT_EQ(std::count_if(hits.begin(), hits.end(), [](const SearchHit& h) { return h.id == 7; }),
              1)
        << c.name;
    EXPECT_TRUE(index.remove(7)) << c.name;
    EXPECT_FALSE(index.remove(7)) << c.name;
    EXPECT_EQ(index.len(), 30u) << c.name;
  }
}

TEST(IvfPqIndex, DeleteMovesTheLastEntryAndIterationYieldsFullVectors) {
  const std::vector<float> data = testing::random_vectors(6, 4, 7);
  IvfPqIndex index = make(4, Metric::L2, config(1, 1, 6, 2, 2));
  ASSERT_TRUE(index.add_matrix(data, 6, 4, 0).has_value());
  ASSERT_TRUE(index.trained());
  EXPECT_EQ(index.lists()[0].ids, (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5}));
  const std::vector<std::uint8_t> last_code(index.lists()[0].codes.end() - 2,
                                            index.lists()[0].codes.end());
  EXPECT_TRUE(index.remove(1));
  EXPECT_EQ(index.lists()[0].ids, (std::vector<std::uint64_t>{0, 5, 2, 3, 4}));
  EXPECT_EQ(std::vector<std::uint8_t>(index.lists()[0].codes.begin() + 2,
                                      index.lists()[0].codes.begin() + 4),
            last_code);
  const auto items = items_in_order(index);
  ASSERT_EQ(items.size(), 5u);
  const std::uint64_t order[5] = {0, 5, 2, 3, 4};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(items[i].id, order[i]);
    // Two sub-centroids cannot reproduce six vectors: the full copies are what comes back.
    EXPECT_EQ(items[i].vector,
              std::vector<float>(row(data, order[i], 4).begin(), row(data, order[i], 4).end()));
  }
  EXPECT_FALSE(index.remove(1));
}

TEST(IvfPqIndex, LoadHookTrainsWhatTheReplayBuffered) {
  IvfPqIndex index = make(4, Metric::L2, config(256, 16, 4096, 2, 256));
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 2, 3, 4}).has_value());
  ASSERT_TRUE(index.load("ignored").has_value());
  EXPECT_TRUE(index.trained());
  EXPECT_EQ(index.len(), 1u);
  ASSERT_TRUE(index.load("ignored").has_value());
  EXPECT_EQ(index.n_centroids(), 1u);
}

// --- The IVF-PQ file ---

TEST(IvfPqFile, NewIndexIs126BytesAndRoundTrips) {
  testing::TempDir dir;
  const IvfPqIndex index = make(8, Metric::Cosine, IvfPqConfig{3, 4, 5, 6, PqConfig{2, 7, 9}});
  ASSERT_TRUE(index.save_file(dir.file("n.ivfpq")).has_value());
  const std::vector<std::uint8_t> bytes = testing::read_file(dir.file("n.ivfpq"));
  EXPECT_EQ(bytes.size(), 126u);
  EXPECT_EQ(IvfPqIndex::kEmptyFileBytes, 126u);
  const IvfPqIndex loaded = IvfPqIndex::load_file(dir.file("n.ivfpq")).value();
  EXPECT_EQ(loaded.header().dimensions, 8u);
  EXPECT_EQ(loaded.header().metric, Metric::Cosine);
  const IvfPqConfig& c = loaded.config();
  EXPECT_EQ(std::vector<std::uint64_t>(
                {c.n_lists, c.nprobe, c.train_size, c.max_iter, c.pq.m, c.pq.k_sub, c.pq.max_iter}),
            std::vector<std::uint64_t>({3, 4, 5, 6, 2, 7, 9}));
  EXPECT_FALSE(loaded.trained());
  EXPECT_FALSE(loaded.quantizer().has_value());
}

TEST(IvfPqFile, TrainedIndexRoundTripsExactly) {
  testing::TempDir dir;
  const std::size_t n = 700, d = 16;
  const std::vector<float> data = testing::random_vectors(n, d, 8);
  IvfPqIndex index = make(d, Metric::L2, config(8, 3, 400, 4, 64));
  ASSERT_TRUE(index.add_matrix(data, n, d, 0).has_value());
  ASSERT_TRUE(index.remove(17));
  ASSERT_TRUE(index.save_file(dir.file("t.ivfpq")).has_value());
  IvfPqIndex loaded = IvfPqIndex::load_file(dir.file("t.ivfpq")).value();
  EXPECT_EQ(loaded.len(), index.len());
  const std::vector<float> queries = testing::random_vectors(20, d, 9);
  for (std::size_t q = 0; q < 20; ++q) {
    testing::expect_same_hits(index.search(row(queries, q, d), 10).value(),
                              loaded.search(row(queries, q, d), 10).value());
  }
  testing::expect_same_items(index, loaded);
  EXPECT_TRUE(loaded.remove(18));
  EXPECT_FALSE(loaded.remove(18));
  // New vectors are encoded with the loaded quantizer.
  ASSERT_TRUE(loaded.add(5000, row(data, 3, d)).has_value());
  EXPECT_EQ(loaded.len(), index.len());
}

TEST(IvfPqFile, UntrainedIndexKeepsItsBufferAndTrainsLater) {
  testing::TempDir dir;
  const std::vector<float> data = testing::random_vectors(10, 4, 10);
  IvfPqIndex index = make(4, Metric::L2, config(2, 2, 10, 2, 4));
  ASSERT_TRUE(index.add_matrix(std::span<const float>(data).first(36), 9, 4, 0).has_value());
  ASSERT_TRUE(index.save_file(dir.file("u.ivfpq")).has_value());
  IvfPqIndex loaded = IvfPqIndex::load_file(dir.file("u.ivfpq")).value();
  EXPECT_FALSE(loaded.trained());
  EXPECT_EQ(loaded.len(), 9u);
  ASSERT_TRUE(loaded.add(9, row(data, 9, 4)).has_value());
  EXPECT_TRUE(loaded.trained());
  EXPECT_EQ(loaded.len(), 10u);
}

// A record written field by field, so each case can make one field disagree. The consistent record
// is a trained index of 2 dimensions, one subspace of 2 sub-centroids, two lists.
struct IvfPqRecord {
  std::uint64_t dimensions = 2;
  std::uint32_t metric = 0;
  std::uint64_t config[7] = {2, 2, 10, 25, 1, 2, 25};
  std::vector<std::uint64_t> buffer_ids;
  std::vector<float> buffer_vectors;
  std::vector<float> centroids = {0, 0, 5, 5};
  std::uint64_t n_centroids = 2;
  std::uint8_t pq_tag = 1;
  std::uint64_t pq_fields[3] = {1, 2, 2};
  std::vector<float> codebook = {0, 0, 1, 1};
  struct Entry {
    std::uint64_t id;
    std::vector<std::uint8_t> code;
  };
  std::vector<std::vector<Entry>> lists = {{{1, {0}}, {2, {1}}}, {{3, {0}}}};
  std::vector<std::pair<std::uint64_t, std::vector<float>>> vectors = {
      {1, {0, 0}}, {2, {1, 1}}, {3, {5, 5}}};
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
    out.u8(pq_tag);
    if (pq_tag == 1) {
      for (std::uint64_t f : pq_fields) out.u64(f);
      out.f32_seq(codebook);
    }
    out.length(lists.size());
    for (const auto& list : lists) {
      out.length(list.size());
      for (const Entry& e : list) {
        out.u64(e.id);
        out.byte_string(e.code);
      }
    }
    out.length(vectors.size());
    for (const auto& [id, v] : vectors) {
      out.u64(id);
      out.f32_seq(v);
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

TEST(IvfPqFile, LoadRefusesRecordsThatDoNotDescribeAnIndex) {
  using R = IvfPqRecord;
  const std::vector<testing::RecordCase<R>> cases = {
      {"consistent", [](R&) {}, ""},
      {"metric 3", [](R& r) { r.metric = 3; },
       "serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"quantizer tag 2", [](R& r) { r.pq_tag = 2; },
       "serialization error: tag for enum is not valid, found 2"},
      {"trained byte 2", [](R& r) { r.trained = 2; },
       "serialization error: invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {"untrainable configuration", [](R& r) { r.config[4] = 3; },
       "serialization error: configuration refused: dimensions (2) must be divisible by m (3)"},
      {"buffer floats", [](R& r) { r.buffer_ids = {9}; },
       "serialization error: buffer holds 0 floats for 1 ids of 2 dimensions"},
      {"centroid floats", [](R& r) { r.centroids.push_back(1); },
       "serialization error: 5 centroid floats for 2 centroids of 2 dimensions"},
      {"lists for centroids", [](R& r) { r.lists.push_back({}); },
       "serialization error: 3 lists for 2 centroids"},
      {"trained without a quantizer", [](R& r) { r.pq_tag = 0; },
       "serialization error: list 0 holds codes but there is no quantizer"},
      {"trained, empty, without a quantizer",
       [](R& r) {
         r.pq_tag = 0;
         r.lists = {{}, {}};
         r.vectors = {};
         r.pairs = {};
       },
       "serialization error: a trained index has no quantizer"},
      {"quantizer of other subspaces", [](R& r) { r.pq_fields[0] = 2; },
       "serialization error: quantizer has 2 subspaces, the configuration 1"},
      {"quantizer not covering the dimensions", [](R& r) { r.pq_fields[2] = 1; },
       "serialization error: quantizer covers 1 x 1 floats of 2 dimensions"},
      {"codebook length", [](R& r) { r.codebook.pop_back(); },
       "serialization error: quantizer codebook holds 3 floats, expected 1 x 2 x 2"},
      {"code length",
       [](R& r) {
         r.lists[0][1].code = {1, 0};
       },
       "serialization error: code of id 2 in list 0 has 2 bytes, expected 1"},
      {"code byte not below k", [](R& r) { r.lists[1][0].code = {2}; },
       "serialization error: code byte 2 of id 3 in list 1 is not below 2"},
      {"full copy length", [](R& r) { r.vectors[1].second = {1}; },
       "serialization error: full copy of id 2 has 1 floats, expected 2"},
      {"pair naming no list",
       [](R& r) {
         r.pairs.push_back({9, 5});
       },
       "serialization error: id 9 names list 5 of 2"},
      {"listed id mapped elsewhere",
       [](R& r) {
         r.pairs[0] = {1, 1};
       },
       "serialization error: id 1 of list 0 is not mapped to it"},
      {"listed id without full copy", [](R& r) { r.vectors.pop_back(); },
       "serialization error: id 3 of list 1 has no full copy"},
      {"extra full copy",
       [](R& r) {
         r.vectors.push_back({8, {1, 2}});
       },
       "serialization error: 3 list entries and 4 full copies for 3 listed ids"},
      {"id held twice",
       [](R& r) {
         r.buffer_ids = {2};
         r.buffer_vectors = {0, 0};
       },
       "serialization error: id 2 is held twice"},
      {"untrained with a quantizer", [](R& r) { r.trained = 0; },
       "serialization error: an untrained index holds centroids or a quantizer"},
      {"later full copy replaces an earlier one",
       [](R& r) {
         r.vectors.insert(r.vectors.begin(), {3, {9, 9}});
       },
       ""},
  };
  testing::TempDir dir;
  testing::expect_record_outcomes(
      dir.file("r.ivfpq"), cases, IvfPqIndex::load_file,
      [](const IvfPqIndex& loaded, const char* name) {
        EXPECT_EQ(loaded.len(), 3u) << name;
        const auto items = items_in_order(loaded);
        EXPECT_EQ(items.back().vector, (std::vector<float>{5, 5})) << name;
        EXPECT_EQ(loaded.search(std::vector<float>{5, 5}, 1).value().at(0).id, 3u) << name;
      });
}

TEST(IvfPqFile, CutFilesFailAndTrailingBytesAreIgnored) {
  testing::TempDir dir;
  const std::vector<std::uint8_t> bytes = IvfPqRecord{}.encode();
  testing::expect_cut_files_fail(dir.file("c.ivfpq"), bytes, IvfPqIndex::load_file);
  const Result<> save = make(2, Metric::L2, config(1, 1, 1, 1, 1)).save_file(dir.file("no/dir/x"));
  ASSERT_FALSE(save.has_value());
  EXPECT_EQ(save.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace sorvel
