#include "index/topk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "distance/distance.h"
#include "index/row_scan.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Candidates with many ties, both zeros, infinities and NaN mixed into ordinary values.
std::vector<SearchHit> random_hits(std::size_t n, std::mt19937_64& gen) {
  const float specials[] = {kNaN, 0.0f, -0.0f, kInf, -kInf, 1.0f, 1.0f, -2.5f};
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_int_distribution<int> small(-20, 20);
  std::vector<SearchHit> hits(n);
  for (std::size_t i = 0; i < n; ++i) {
    const int p = pick(gen);
    // Small integers make ties frequent; the specials cover NaN and signed zeros.
    hits[i] = {i, p < 8 ? static_cast<float>(small(gen)) : specials[small(gen) & 7]};
  }
  return hits;
}

// The kept distances must equal the first min(k, n) of a full sort, position by position (NaN
// equal to NaN, -0.0 equal to +0.0: ties).
void expect_same_distances(const std::vector<SearchHit>& got, std::vector<SearchHit> all,
                           std::size_t k) {
  std::sort(all.begin(), all.end(), hit_less);
  const std::size_t m = std::min(k, all.size());
  ASSERT_EQ(got.size(), m);
  std::set<std::uint64_t> ids;
  for (std::size_t i = 0; i < m; ++i) {
    const float want = all[i].distance;
    const float have = got[i].distance;
    if (std::isnan(want)) {
      EXPECT_TRUE(std::isnan(have)) << "rank " << i;
    } else {
      EXPECT_EQ(have, want) << "rank " << i;
    }
    EXPECT_TRUE(ids.insert(got[i].id).second) << "id " << got[i].id << " kept twice";
  }
}

TEST(TopKTest, DistanceOrderPutsNaNLastAndIsAStrictWeakOrder) {
  const float values[] = {-kInf, -1.0f, -0.0f, 0.0f, 1e-30f, 2.0f, kInf, kNaN};
  for (const float a : values) {
    EXPECT_FALSE(distance_less(a, a)) << a;
    for (const float b : values) {
      // Asymmetric.
      if (distance_less(a, b)) {
        EXPECT_FALSE(distance_less(b, a)) << a << " " << b;
      }
      const bool nan_a = std::isnan(a), nan_b = std::isnan(b);
      const bool expected = nan_a ? false : (nan_b ? true : a < b);
      EXPECT_EQ(distance_less(a, b), expected) << a << " " << b;
    }
  }
}

TEST(TopKTest, SelectionAndCollectorAgreeWithAFullSort) {
  std::mt19937_64 gen(42);
  for (const std::size_t n : {0, 1, 2, 5, 17, 100, 1000}) {
    for (const std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{3}, n, n + 5,
                                std::numeric_limits<std::size_t>::max()}) {
      for (int trial = 0; trial < 5; ++trial) {
        SCOPED_TRACE(::testing::Message() << "n=" << n << " k=" << k << " trial=" << trial);
        const std::vector<SearchHit> all = random_hits(n, gen);

        std::vector<SearchHit> selected = all;
        select_top_k(selected, k);
        expect_same_distances(selected, all, k);

        TopK top(k);
        for (const SearchHit& h : all) top.push(h.id, h.distance);
        expect_same_distances(top.take_sorted(), all, k);

        TopK bounded(k, n);
        for (const SearchHit& h : all) bounded.push(h.id, h.distance);
        expect_same_distances(bounded.take_sorted(), all, k);

        // Offered as a scan does, in blocks (37 rows: groups of eight and a tail), with every
        // third row passed over by its candidate test.
        std::vector<float> scores;
        std::vector<SearchHit> passing;
        for (std::size_t i = 0; i < n; ++i) {
          scores.push_back(all[i].distance);
          if (i % 3 != 0) passing.push_back(all[i]);
        }
        TopK offered(k, n);
        for (std::size_t start = 0; start < n; start += 37) {
          offered.offer(scores.data() + start, std::min<std::size_t>(37, n - start),
                        [&](std::size_t r) -> std::optional<std::uint64_t> {
                          if ((start + r) % 3 == 0) return std::nullopt;
                          return all[start + r].id;
                        });
        }
        const std::vector<SearchHit> kept = offered.take_sorted();
        expect_same_distances(kept, passing, k);
        for (const SearchHit& h : kept) EXPECT_NE(h.id % 3, 0u) << "a passed-over row was kept";

        // Ties broken by id: the kept hits are exactly the first of a sort by (distance, id),
        // pushed one by one or offered in blocks.
        std::vector<SearchHit> by_id = passing;
        std::sort(by_id.begin(), by_id.end(), [](const SearchHit& a, const SearchHit& b) {
          return hit_less(a, b) || (!hit_less(b, a) && a.id < b.id);
        });
        by_id.resize(std::min(k, by_id.size()));
        BasicTopK<TopKTies::kLowerId> lowest(k, n);
        for (const SearchHit& h : passing) lowest.push(h.id, h.distance);
        BasicTopK<TopKTies::kLowerId> lowest_offered(k, n);
        for (std::size_t start = 0; start < n; start += 37) {
          lowest_offered.offer(scores.data() + start, std::min<std::size_t>(37, n - start),
                               [&](std::size_t r) -> std::optional<std::uint64_t> {
                                 if ((start + r) % 3 == 0) return std::nullopt;
                                 return all[start + r].id;
                               });
        }
        for (BasicTopK<TopKTies::kLowerId>* collector : {&lowest, &lowest_offered}) {
          const std::vector<SearchHit> got = collector->take_sorted();
          ASSERT_EQ(got.size(), by_id.size());
          for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, by_id[i].id) << "rank " << i;
          }
        }
      }
    }
  }
}

TEST(TopKTest, KeptHitsKeepTheirIds) {
  // Distinct distances: the result is fully determined.
  const std::vector<SearchHit> all = {{10, 3.0f}, {11, kNaN}, {12, -1.0f}, {13, 2.0f}, {14, 0.5f}};
  const std::vector<std::pair<std::uint64_t, float>> want = {{12, -1.0f}, {14, 0.5f}, {13, 2.0f}};
  std::vector<SearchHit> selected = all;
  select_top_k(selected, 3);
  TopK top(3);
  for (const SearchHit& h : all) top.push(h.id, h.distance);
  const std::vector<SearchHit> collected = top.take_sorted();
  for (const std::vector<SearchHit>* got :
       std::initializer_list<const std::vector<SearchHit>*>{&selected, &collected}) {
    ASSERT_EQ(got->size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ((*got)[i].id, want[i].first);
      EXPECT_EQ((*got)[i].distance, want[i].second);
    }
  }
}

TEST(TopKTest, HugeKDoesNotReserveForIt) {
  // A caller's k is not bounded; the collector must not try to reserve k hits up front.
  TopK top(std::numeric_limits<std::size_t>::max());
  top.push(1, 2.0f);
  top.push(2, 1.0f);
  const std::vector<SearchHit> hits = top.take_sorted();
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, 2u);
}

// The scan that tests a filter first until its collector is full pushes what scoring every row and
// offering it would push, so its result is that one, ids and bits, ties included.
TEST(OfferRowsTest, EqualsScoringEveryRowAndOfferingIt) {
  constexpr std::size_t kDims = 9;
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    for (const std::size_t rows : {0, 3, 5, 1030, 2500}) {
      std::vector<float> data = testing::random_vectors(rows, kDims, rows + 1);
      // Repeated rows give equal distances, so the order of pushes shows in the result.
      for (std::size_t r = 10; r + 1 < rows; r += 10) {
        std::copy_n(data.begin() + r * kDims, kDims, data.begin() + (r + 1) * kDims);
      }
      const std::vector<float> query = testing::random_vectors(1, kDims, 7);
      for (const std::size_t percent : {0, 1, 30, 100}) {
        const auto passes = [&](std::size_t r) { return (r * 37 + 11) % 100 < percent; };
        const auto candidate = [&](std::size_t r) -> std::optional<std::uint64_t> {
          if (!passes(r)) return std::nullopt;
          return 1000 + r;
        };
        for (const std::size_t k : {std::size_t{1}, std::size_t{10}, rows + 3}) {
          for (const bool root : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "rows " << rows << " passing " << percent << "% k "
                                              << k << " root " << root);
            TopK model(k);
            std::vector<float> scores(rows);
            if (rows > 0) {
              distance_rows(metric, query.data(), data.data(), kDims, rows, kDims, scores.data());
            }
            for (std::size_t r = 0; r < rows; ++r) {
              if (passes(r)) model.push(1000 + r, root ? std::sqrt(scores[r]) : scores[r]);
            }
            TopK top(k);
            offer_rows(metric, query.data(), data.data(), kDims, rows, root, top, candidate);
            const std::vector<SearchHit> want = model.take_sorted();
            const std::vector<SearchHit> got = top.take_sorted();
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
              EXPECT_EQ(got[i].id, want[i].id) << "rank " << i;
              EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].distance),
                        std::bit_cast<std::uint32_t>(want[i].distance))
                  << "rank " << i;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace sorvel
