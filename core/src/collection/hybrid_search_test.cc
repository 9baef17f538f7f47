#include "collection/hybrid_search.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "collection/collection.h"
#include "collection/collection_meta.h"
#include "index/flat/flat_index.h"
#include "payload/filter_condition.h"
#include "payload/payload.h"
#include "testing/temp_dir.h"

namespace sorvel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kMaxF = 3.4028235e38f;

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// An index that answers every search with fixed hits (cut to k), so the dense side's distances
// are exact inputs. Records the k it was asked for.
class FixedHitsIndex final : public VectorIndex {
 public:
  FixedHitsIndex(std::size_t dimensions, std::vector<SearchHit> hits, std::size_t len)
      : dimensions_(dimensions), hits_(std::move(hits)), len_(len) {}

  Result<> add(std::uint64_t, std::span<const float>) override { return ok(); }
  Result<> add_batch(std::span<const IndexItem>) override { return ok(); }
  Result<std::vector<SearchHit>> search(std::span<const float> query,
                                        std::size_t k) const override {
    if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
    ++searches;
    asked_k = k;
    std::vector<SearchHit> out = hits_;
    if (out.size() > k) out.resize(k);
    return out;
  }
  bool remove(std::uint64_t) override { return false; }
  std::size_t len() const override { return len_; }
  IndexHeader header() const override { return {dimensions_, Metric::L2}; }
  std::unique_ptr<IndexIterator> iter() const override { return std::make_unique<NoItems>(); }

  mutable int searches = 0;
  mutable std::size_t asked_k = 0;

 private:
  class NoItems final : public IndexIterator {
   public:
    std::optional<IndexItem> next() override { return std::nullopt; }
    std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override { return {0, 0}; }
  };

  std::size_t dimensions_;
  std::vector<SearchHit> hits_;
  std::size_t len_;
};

SparseVector sparse_of(std::vector<std::uint32_t> indices, std::vector<float> values) {
  return SparseVector{std::move(indices), std::move(values)};
}

FilterCondition filter_of(const std::string& json) {
  Result<Payload> value = Payload::from_text(json);
  EXPECT_TRUE(value.has_value()) << json;
  std::expected<FilterCondition, std::string> f = FilterCondition::deserialize(*value);
  EXPECT_TRUE(f.has_value()) << json;
  return std::move(f).value();
}

// The fused values of each returned id.
std::map<std::uint64_t, HybridHit> by_id(const std::vector<HybridHit>& hits) {
  std::map<std::uint64_t, HybridHit> out;
  for (const HybridHit& h : hits) out.emplace(h.id, h);
  return out;
}

struct World {
  std::unique_ptr<FixedHitsIndex> index;
  PayloadMap payloads;
  SparseIndex sparse;

  Result<std::vector<HybridHit>> search(const SparseVector& query, std::uint64_t k,
                                        const FilterCondition* filter = nullptr,
                                        float dense_weight = 0.7f,
                                        float sparse_weight = 0.3f) const {
    const float dense_query[1] = {0.0f};
    return search_hybrid(*index, payloads, sparse, dense_query, query, k, dense_weight,
                         sparse_weight, filter);
  }
};

World world(std::vector<SearchHit> dense, std::vector<std::pair<std::uint64_t, float>> term5 = {}) {
  World w;
  const std::size_t len = dense.size() + 100;
  w.index = std::make_unique<FixedHitsIndex>(1, std::move(dense), len);
  for (const auto& [id, weight] : term5) w.sparse.insert(id, sparse_of({5}, {weight}));
  return w;
}

const SparseVector kTerm5 = sparse_of({5}, {1.0f});

TEST(HybridRangeTest, FoldsSkipNaNAndKeepTheirStartValues) {
  struct Case {
    const char* name;
    std::vector<float> values;
    float min, max, range;
  };
  const Case cases[] = {
      {"empty", {}, 0.0f, 1.0f, 1.0f},
      {"two values", {0.3f, 0.1f}, 0.1f, 0.3f, 0.3f - 0.1f},
      {"one value", {0.5f}, 0.5f, 0.5f, 1e-9f},
      {"all equal", {2.0f, 2.0f, 2.0f}, 2.0f, 2.0f, 1e-9f},
      {"NaN skipped", {kNaN, 1.0f, kNaN, 3.0f}, 1.0f, 3.0f, 2.0f},
      {"only NaN", {kNaN, kNaN}, kMaxF, -kMaxF, 1e-9f},
      {"+inf never lowers the min start", {kInf}, kMaxF, kInf, kInf},
      {"-inf never raises the max start", {-kInf}, -kInf, -kMaxF, kInf},
      {"range at the threshold", {0.0f, 1e-9f}, 0.0f, 1e-9f, 1e-9f},
  };
  for (const Case& c : cases) {
    const HybridRange r = hybrid_range(c.values);
    EXPECT_EQ(bits(r.min), bits(c.min)) << c.name;
    EXPECT_EQ(bits(r.max), bits(c.max)) << c.name;
    EXPECT_EQ(bits(r.range), bits(c.range)) << c.name;
  }
}

TEST(HybridFuseTest, DefaultsAndFilter) {
  const HybridRange dense{0.1f, 0.3f, 0.3f - 0.1f};
  const HybridRange sparse{2.0f, 4.0f, 2.0f};
  const float d = 0.1f;
  const float s = 4.0f;

  std::optional<HybridScore> both =
      hybrid_fuse(1, &d, &s, dense, sparse, 0.7f, 0.3f, nullptr, nullptr);
  ASSERT_TRUE(both);
  EXPECT_EQ(bits(both->score), bits(1.0f));

  // A missing dense distance is the dense maximum; a missing sparse score is 0, not the minimum.
  std::optional<HybridScore> none =
      hybrid_fuse(2, nullptr, nullptr, dense, sparse, 0.7f, 0.3f, nullptr, nullptr);
  ASSERT_TRUE(none);
  EXPECT_EQ(bits(none->dense_distance), bits(0.3f));
  EXPECT_EQ(bits(none->sparse_score), bits(0.0f));
  EXPECT_EQ(bits(none->score), bits(-0.3f));

  // An id without payload is filtered as null.
  const FilterCondition and_empty = filter_of(R"({"$and": []})");
  const FilterCondition field = filter_of(R"({"tag": {"$eq": "a"}})");
  const Payload tagged = *Payload::from_text(R"({"tag": "a"})");
  EXPECT_TRUE(hybrid_fuse(3, &d, &s, dense, sparse, 0.7f, 0.3f, nullptr, &and_empty));
  EXPECT_FALSE(hybrid_fuse(3, &d, &s, dense, sparse, 0.7f, 0.3f, nullptr, &field));
  EXPECT_TRUE(hybrid_fuse(3, &d, &s, dense, sparse, 0.7f, 0.3f, &tagged, &field));
}

TEST(HybridSearchTest, WorkedCasesBitForBit) {
  struct Expect {
    std::uint64_t id;
    std::uint32_t score;
    float dense_distance;
    float sparse_score;
  };
  struct Case {
    const char* name;
    std::vector<SearchHit> dense;
    std::vector<std::pair<std::uint64_t, float>> term5;  // sparse vectors {5: weight}
    std::vector<Expect> expect;                          // best first
  };
  const Case cases[] = {
      {"0.1 and 0.3, no sparse terms",
       {{1, 0.1f}, {2, 0.3f}},
       {},
       {{1, bits(0.7f), 0.1f, 0.0f}, {2, bits(0.0f), 0.3f, 0.0f}}},
      {"a sparse-only id gets the dense maximum and a zero dense term",
       {{1, 0.1f}, {2, 0.3f}},
       {{3, 2.0f}, {4, 1.0f}},
       // s = 0 of the dense-only ids normalises below 0: (0 - 1) / 1 * 0.3.
       {{1, 0x3ecccccc, 0.1f, 0.0f},
        {3, bits(0.3f), 0.3f, 2.0f},
        {4, bits(0.0f), 0.3f, 1.0f},
        {2, bits(-0.3f), 0.3f, 0.0f}}},
      {"a single dense hit: its dense term and a sparse-only id's are the full weight",
       {{1, 0.5f}},
       {{1, 2.0f}, {9, 4.0f}},
       {{9, bits(1.0f), 0.5f, 4.0f}, {1, bits(0.7f), 0.5f, 2.0f}}},
      {"all sparse scores equal",
       {{1, 0.1f}, {2, 0.3f}},
       {{2, 0.5f}, {3, 0.5f}},
       {{2, bits(0.0f), 0.3f, 0.5f}, {3, bits(0.0f), 0.3f, 0.5f}, {1, 0xcd0f0d18, 0.1f, 0.0f}}},
      {"an empty index: every dense distance is 1 and the dense term 0",
       {},
       {{1, 1.0f}, {2, 3.0f}},
       {{2, 0x3e99999a, 1.0f, 3.0f}, {1, bits(0.0f), 1.0f, 1.0f}}},
      {"values where other operation orders round differently",
       {{0, 1.89f}, {1, 0.34f}, {2, 1.97f}},
       {{0, 0.88f}, {1, 2.73f}, {2, 0.13f}},
       {{1, bits(1.0f), 0.34f, 2.73f},
        {0, 0x3df7976f, 1.89f, 0.88f},
        {2, bits(0.0f), 1.97f, 0.13f}}},
  };
  for (const Case& c : cases) {
    const World w = world(c.dense, c.term5);
    Result<std::vector<HybridHit>> hits = w.search(kTerm5, 10);
    ASSERT_TRUE(hits) << c.name;
    ASSERT_EQ(hits->size(), c.expect.size()) << c.name;
    const auto got = by_id(*hits);
    for (std::size_t i = 0; i < c.expect.size(); ++i) {
      const Expect& e = c.expect[i];
      ASSERT_TRUE(got.count(e.id)) << c.name << " id " << e.id;
      const HybridHit& h = got.at(e.id);
      EXPECT_EQ(bits(h.score), e.score) << c.name << " id " << e.id << " score " << h.score;
      EXPECT_EQ(bits(h.dense_distance), bits(e.dense_distance)) << c.name << " id " << e.id;
      EXPECT_EQ(bits(h.sparse_score), bits(e.sparse_score)) << c.name << " id " << e.id;
      // Best first; equal scores may come in either order.
      EXPECT_EQ(bits((*hits)[i].score), e.score) << c.name << " position " << i;
    }
  }
}

// Equal fused scores are ordered by the dense distance, then the higher sparse score, then the id.
// With a single kept sparse score the sparse range is 1e-9, so every dense-only id's sparse term
// (-3e8) swallows its dense term and all of them tie; with a sparse weight of 0 ids at one distance
// tie whatever their sparse scores.
TEST(HybridSearchTest, EqualScoresKeepTheDenseOrder) {
  struct Case {
    const char* name;
    std::vector<SearchHit> dense;
    std::vector<std::pair<std::uint64_t, float>> term5;
    float sparse_weight;
    std::vector<std::uint64_t> order;
  };
  const Case cases[] = {
      {"one sparse match",
       {{0, 5.0f}, {1, 4.0f}, {2, 3.0f}, {3, 2.0f}, {4, 1.0f}},
       {{5, 1.0f}},
       0.3f,
       {5, 4, 3, 2, 1, 0}},
      {"equal distances: the higher sparse score, then the lower id",
       {{7, 2.0f}, {3, 2.0f}, {9, 2.0f}, {8, 1.0f}},
       {{9, 0.5f}, {3, 0.25f}},
       0.0f,
       {8, 9, 3, 7}},
  };
  for (const Case& c : cases) {
    const World w = world(c.dense, c.term5);
    Result<std::vector<HybridHit>> hits = w.search(kTerm5, 10, nullptr, 0.7f, c.sparse_weight);
    ASSERT_TRUE(hits) << c.name;
    ASSERT_EQ(hits->size(), c.order.size()) << c.name;
    std::vector<float> distances;
    std::vector<float> scores;
    for (const SearchHit& h : c.dense) distances.push_back(h.distance);
    for (const auto& [id, s] : c.term5) scores.push_back(s);
    const HybridRange dense = hybrid_range(distances);
    const HybridRange sparse = hybrid_range(scores);
    for (std::size_t i = 0; i < c.order.size(); ++i) {
      const HybridHit& h = (*hits)[i];
      EXPECT_EQ(h.id, c.order[i]) << c.name << " position " << i;
      const float a = (h.dense_distance - dense.min) / dense.range;
      const float b = 1.0f - a;
      const float cc = (h.sparse_score - sparse.min) / sparse.range;
      const float expected = cc * c.sparse_weight + b * 0.7f;
      EXPECT_EQ(bits(h.score), bits(expected)) << c.name << " id " << h.id;
    }
  }
  // The first case's dense-only ids all score exactly -3e8.
  const World w = world({{0, 5.0f}, {1, 4.0f}, {2, 3.0f}, {3, 2.0f}, {4, 1.0f}}, {{5, 1.0f}});
  Result<std::vector<HybridHit>> hits = w.search(kTerm5, 10);
  ASSERT_TRUE(hits);
  for (std::size_t i = 1; i < hits->size(); ++i) {
    EXPECT_EQ(bits((*hits)[i].score), bits(-300000000.0f)) << i;
  }
}

TEST(HybridSearchTest, SparseScoresAccumulateInQueryThenListOrder) {
  struct Case {
    const char* name;
    SparseVector stored;
    SparseVector query;
    float expected;
  };
  const Case cases[] = {
      // (1e8 - 1e8) + 1 = 1, while summing from the last term gives (1 - 1e8) + 1e8 = 0.
      {"query order", sparse_of({1, 2, 3}, {1e8f, -1e8f, 1.0f}),
       sparse_of({1, 2, 3}, {1.0f, 1.0f, 1.0f}), 1.0f},
      {"query order is not index order", sparse_of({1, 2, 3}, {1e8f, -1e8f, 1.0f}),
       sparse_of({3, 2, 1}, {1.0f, 1.0f, 1.0f}), 0.0f},
      // p = 0 * -1 = -0, and a new score holds p + 0.0 = +0.
      {"a new score is p + 0.0", sparse_of({1}, {0.0f}), sparse_of({1}, {-1.0f}), 0.0f},
      {"only min(len(indices), len(values)) query pairs", sparse_of({1, 2}, {2.0f, 5.0f}),
       sparse_of({1, 2}, {3.0f}), 6.0f},
  };
  for (const Case& c : cases) {
    World w = world({});
    w.sparse.insert(7, c.stored);
    Result<std::vector<HybridHit>> hits = w.search(c.query, 5);
    ASSERT_TRUE(hits) << c.name;
    ASSERT_EQ(hits->size(), 1u) << c.name;
    EXPECT_EQ(bits((*hits)[0].sparse_score), bits(c.expected)) << c.name;
  }
}

// A "sparse.bin" is not cross-checked: its posting lists may name ids without a stored vector, so
// the number of stored vectors does not bound the ids a query meets.
TEST(HybridSearchTest, PostingsOfIdsWithoutStoredVectorsAreScored) {
  std::vector<std::uint8_t> image;
  const auto put = [&](const auto& v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    image.insert(image.end(), p, p + sizeof v);
  };
  constexpr std::uint64_t kIds = 300;
  put(std::uint64_t{1});  // one posting list
  put(std::uint32_t{5});  // term 5
  put(kIds);
  for (std::uint64_t id = 0; id < kIds; ++id) {
    put(1000 + id);
    put(static_cast<float>(id));
  }
  put(std::uint64_t{0});  // no stored vector
  Result<SparseIndex> sparse = SparseIndex::read_file(image);
  ASSERT_TRUE(sparse);
  ASSERT_EQ(sparse->len(), 0u);

  World w = world({});
  w.sparse = std::move(sparse).value();
  Result<std::vector<HybridHit>> hits = w.search(kTerm5, kIds);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), kIds);
  for (std::uint64_t i = 0; i < kIds; ++i) {
    EXPECT_EQ((*hits)[i].id, 1000 + kIds - 1 - i);
    EXPECT_EQ(bits((*hits)[i].sparse_score), bits(static_cast<float>(kIds - 1 - i)));
  }
}

TEST(HybridSearchTest, NoSparseInformationLeavesTheDenseTermAlone) {
  World w = world({{1, 0.1f}, {2, 0.3f}}, {{1, 2.0f}, {2, 1.0f}});
  const SparseVector queries[] = {
      sparse_of({}, {}),        // empty query
      sparse_of({5}, {}),       // an index without a value
      sparse_of({99}, {1.0f}),  // a term no posting list holds
  };
  for (const SparseVector& q : queries) {
    Result<std::vector<HybridHit>> hits = w.search(q, 5);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 2u);
    EXPECT_EQ((*hits)[0].id, 1u);
    EXPECT_EQ(bits((*hits)[0].score), bits(0.7f));
    EXPECT_EQ(bits((*hits)[0].sparse_score), bits(0.0f));
    EXPECT_EQ(bits((*hits)[1].score), bits(0.0f));
  }
}

TEST(HybridSearchTest, NaNDistancesAreSkippedByTheFoldsAndSortLast) {
  const World w = world({{1, 0.1f}, {2, kNaN}, {3, 0.3f}});
  Result<std::vector<HybridHit>> hits = w.search(kTerm5, 3);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 3u);
  EXPECT_EQ((*hits)[0].id, 1u);
  EXPECT_EQ(bits((*hits)[0].score), bits(0.7f));  // the range is 0.1..0.3, NaN skipped
  EXPECT_EQ((*hits)[1].id, 3u);
  EXPECT_EQ((*hits)[2].id, 2u);
  EXPECT_TRUE(std::isnan((*hits)[2].score));

  Result<std::vector<HybridHit>> two = w.search(kTerm5, 2);
  ASSERT_TRUE(two);
  ASSERT_EQ(two->size(), 2u);
  EXPECT_EQ((*two)[1].id, 3u);

  // A NaN sparse score likewise goes after every number.
  World s = world({}, {{1, 1.0f}, {2, kNaN}, {3, 2.0f}});
  Result<std::vector<HybridHit>> sparse_hits = s.search(kTerm5, 3);
  ASSERT_TRUE(sparse_hits);
  ASSERT_EQ(sparse_hits->size(), 3u);
  EXPECT_EQ((*sparse_hits)[0].id, 3u);
  EXPECT_EQ((*sparse_hits)[1].id, 1u);
  EXPECT_EQ((*sparse_hits)[2].id, 2u);
}

TEST(HybridSearchTest, OverFetchBoundsBothSides) {
  // Dense: ten times k, saturating, and never more than the index holds.
  struct Case {
    std::uint64_t k;
    std::size_t expected_fetch;
  };
  const Case cases[] = {
      {1, 10}, {3, 30}, {50, 102}, {std::numeric_limits<std::uint64_t>::max() / 10 + 1, 102}};
  for (const Case& c : cases) {
    const World w = world({{1, 0.1f}, {2, 0.2f}});  // len 102
    ASSERT_TRUE(w.search(kTerm5, c.k));
    EXPECT_EQ(w.index->asked_k, c.expected_fetch) << c.k;
  }

  // Sparse: ids 1..25 score 1..25; k = 2 keeps the 20 best (6..25), so smin is 6 and ids 1..5
  // never reach the fusion without a filter.
  std::vector<std::pair<std::uint64_t, float>> term5;
  for (std::uint64_t id = 1; id <= 25; ++id) term5.push_back({id, static_cast<float>(id)});
  World w = world({}, term5);
  Result<std::vector<HybridHit>> hits = w.search(kTerm5, 2);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].id, 25u);
  EXPECT_EQ(bits((*hits)[0].score), bits(0.3f));
  EXPECT_EQ((*hits)[1].id, 24u);
  EXPECT_EQ(bits((*hits)[1].score), 0x3e91840bu);  // (24 - 6) / 19 * 0.3

  // A filter picks the n best among the passing ids: 1..5 now compete, and their own scores
  // make the range (smin 1, smax 5).
  const FilterCondition low = filter_of(R"({"n": {"$lte": 5}})");
  for (std::uint64_t id = 1; id <= 25; ++id) {
    w.payloads.emplace(id, *Payload::from_text("{\"n\": " + std::to_string(id) + "}"));
  }
  Result<std::vector<HybridHit>> filtered = w.search(kTerm5, 2, &low);
  ASSERT_TRUE(filtered);
  ASSERT_EQ(filtered->size(), 2u);
  EXPECT_EQ((*filtered)[0].id, 5u);
  EXPECT_EQ(bits((*filtered)[0].score), bits(0.3f));
  EXPECT_EQ((*filtered)[1].id, 4u);
  EXPECT_EQ(bits((*filtered)[1].score), bits(0.75f * 0.3f));
}

TEST(HybridSearchTest, FilterPicksEachSidesCandidatesAndCopiesPayloads) {
  World w = world({{1, 0.1f}, {2, 0.3f}, {3, 0.2f}}, {{1, 4.0f}, {2, 1.0f}, {5, 2.0f}});
  w.payloads.emplace(2, *Payload::from_text(R"({"keep": true})"));
  w.payloads.emplace(3, *Payload::from_text(R"({"keep": true, "x": [1, 2]})"));
  w.payloads.emplace(4, *Payload::from_text(R"({"keep": true})"));  // not a candidate
  w.payloads.emplace(5, *Payload::from_text(R"({"keep": true})"));  // sparse side only
  const FilterCondition keep = filter_of(R"({"keep": {"$eq": true}})");

  Result<std::vector<HybridHit>> hits = w.search(kTerm5, 10, &keep);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 3u);
  // The filtered search is the unfiltered one over the passing ids alone: id 1 takes no part in
  // either side's range.
  World passing = world({{2, 0.3f}, {3, 0.2f}}, {{2, 1.0f}, {5, 2.0f}});
  passing.payloads = w.payloads;
  Result<std::vector<HybridHit>> alone = passing.search(kTerm5, 10);
  ASSERT_TRUE(alone);
  ASSERT_EQ(alone->size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ((*hits)[i].id, (*alone)[i].id);
    EXPECT_EQ(bits((*hits)[i].score), bits((*alone)[i].score));
    EXPECT_EQ(bits((*hits)[i].dense_distance), bits((*alone)[i].dense_distance));
    EXPECT_EQ(bits((*hits)[i].sparse_score), bits((*alone)[i].sparse_score));
  }
  EXPECT_EQ((*hits)[0].id, 3u);
  // dmin is 0.2, the nearest passing distance: (1 - 0 / 0.1) * 0.7 + (0 - 1) / 1 * 0.3.
  EXPECT_EQ(bits((*hits)[0].score), bits(0.7f - 0.3f));
  ASSERT_TRUE((*hits)[0].payload);
  EXPECT_EQ(*(*hits)[0].payload, w.payloads.at(3));

  const FilterCondition none = filter_of(R"({"keep": {"$eq": false}})");
  Result<std::vector<HybridHit>> empty = w.search(kTerm5, 10, &none);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  // Without a filter an id without payload has none in its hit.
  Result<std::vector<HybridHit>> all = w.search(kTerm5, 10);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 4u);
  EXPECT_EQ((*all)[0].id, 1u);
  EXPECT_FALSE((*all)[0].payload);
}

TEST(HybridSearchTest, KZeroAndDenseErrors) {
  World w = world({{1, 0.1f}}, {{1, 1.0f}});
  const float wrong[2] = {0.0f, 0.0f};

  // k = 0 answers before any search, even for a query the index would refuse.
  Result<std::vector<HybridHit>> zero =
      search_hybrid(*w.index, w.payloads, w.sparse, wrong, kTerm5, 0, 0.7f, 0.3f, nullptr);
  ASSERT_TRUE(zero);
  EXPECT_TRUE(zero->empty());
  EXPECT_EQ(w.index->searches, 0);

  // The index's refusal ends the call, although the sparse side alone would find id 1.
  Result<std::vector<HybridHit>> refused =
      search_hybrid(*w.index, w.payloads, w.sparse, wrong, kTerm5, 3, 0.7f, 0.3f, nullptr);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(), DbError::dimension_mismatch(1, 2).display());

  // A real empty index still checks the query.
  FlatIndex empty(3, Metric::L2);
  Result<std::vector<HybridHit>> on_empty =
      search_hybrid(empty, w.payloads, w.sparse, wrong, kTerm5, 3, 0.7f, 0.3f, nullptr);
  ASSERT_FALSE(on_empty);
  EXPECT_EQ(on_empty.error().kind(), ErrorKind::DimensionMismatch);
}

TEST(HybridSearchTest, SearchesACollection) {
  testing::TempDir tmp;
  Result<std::unique_ptr<Collection>> created = Collection::create(
      tmp.file("c"),
      CollectionMeta::for_new_collection("c", 2, Metric::DotProduct, IndexType::Flat));
  ASSERT_TRUE(created);
  Collection& c = **created;
  ASSERT_TRUE(c.upsert_hybrid(1, std::vector<float>{1.0f, 0.0f}, sparse_of({4, 8}, {1.0f, 2.0f}),
                              *Payload::from_text(R"({"name": "one"})")));
  ASSERT_TRUE(
      c.upsert_hybrid(2, std::vector<float>{0.0f, 1.0f}, sparse_of({8}, {5.0f}), std::nullopt));
  ASSERT_TRUE(c.upsert(3, std::vector<float>{0.5f, 0.5f}, std::nullopt));

  const float query[2] = {1.0f, 0.0f};
  Result<std::vector<HybridHit>> hits =
      search_hybrid(c, query, sparse_of({8}, {1.0f}), 3, 0.5f, 0.5f, nullptr);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 3u);
  const auto got = by_id(*hits);
  EXPECT_EQ(bits(got.at(1).sparse_score), bits(2.0f));
  EXPECT_EQ(bits(got.at(2).sparse_score), bits(5.0f));
  EXPECT_EQ(bits(got.at(3).sparse_score), bits(0.0f));
  ASSERT_TRUE(got.at(1).payload);
  EXPECT_EQ(*got.at(1).payload, *Payload::from_text(R"({"name": "one"})"));
  EXPECT_FALSE(got.at(2).payload);
  for (std::size_t i = 1; i < hits->size(); ++i) {
    EXPECT_FALSE(hybrid_score_greater((*hits)[i].score, (*hits)[i - 1].score));
  }
}

}  // namespace
}  // namespace sorvel
