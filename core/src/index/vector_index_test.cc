#include "index/vector_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace sorvel {
namespace {

// The default advance_by and nth over a plain list of ids.
class ListIterator final : public IndexIterator {
 public:
  explicit ListIterator(std::vector<std::uint64_t> ids) : ids_(std::move(ids)) {}
  std::optional<IndexItem> next() override {
    if (pos_ == ids_.size()) return std::nullopt;
    return IndexItem{ids_[pos_++], {}};
  }
  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override {
    return {0, ids_.size() - pos_};
  }

 private:
  std::vector<std::uint64_t> ids_;
  std::size_t pos_ = 0;
};

TEST(IndexIteratorTest, AdvanceByReportsTheItemsItCouldNotSkip) {
  const struct {
    std::size_t n;
    std::size_t not_skipped;
    std::optional<std::uint64_t> next_id;
  } cases[] = {{0, 0, 10}, {2, 0, 12}, {3, 0, std::nullopt}, {5, 2, std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    ListIterator it({10, 11, 12});
    EXPECT_EQ(it.advance_by(c.n), c.not_skipped);
    const auto item = it.next();
    EXPECT_EQ(item.has_value(), c.next_id.has_value());
    if (item && c.next_id) {
      EXPECT_EQ(item->id, *c.next_id);
    }
  }
}

TEST(IndexIteratorTest, NthSkipsThenReturnsTheFollowingItem) {
  ListIterator it({10, 11, 12, 13});
  EXPECT_EQ(it.nth(1)->id, 11u);
  EXPECT_EQ(it.nth(0)->id, 12u);
  EXPECT_EQ(it.size_hint().second, 1u);
  EXPECT_FALSE(it.nth(1).has_value());
  EXPECT_FALSE(it.next().has_value());
}

// An index whose search returns ids 0, 1, 2, ... at distance = id, capped at `reach` hits (an
// approximate index that cannot reach everything), and counts the searches.
class LineIndex final : public VectorIndex {
 public:
  LineIndex(std::size_t live, std::size_t reach) : live_(live), reach_(reach) {}
  Result<> add(std::uint64_t, std::span<const float>) override { return ok(); }
  Result<> add_batch(std::span<const IndexItem>) override { return ok(); }
  Result<std::vector<SearchHit>> search(std::span<const float>, std::size_t k) const override {
    ++searches;
    std::vector<SearchHit> hits;
    for (std::size_t i = 0; i < std::min({k, live_, reach_}); ++i) {
      hits.push_back({i, static_cast<float>(i)});
    }
    return hits;
  }
  bool remove(std::uint64_t) override { return false; }
  std::size_t len() const override { return live_; }
  IndexHeader header() const override { return {0, Metric::L2}; }
  std::unique_ptr<IndexIterator> iter() const override {
    return std::make_unique<ListIterator>(std::vector<std::uint64_t>{});
  }
  mutable int searches = 0;

 private:
  std::size_t live_;
  std::size_t reach_;
};

std::vector<std::uint64_t> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<std::uint64_t> ids;
  for (const SearchHit& h : hits) ids.push_back(h.id);
  return ids;
}

TEST(SearchFilteredTest, DefaultWidensUntilKPassOrTheSearchRunsDry) {
  const auto every_100th = [](std::uint64_t id) { return id % 100 == 7; };
  const struct {
    const char* name;
    std::size_t live, reach, k;
    std::vector<std::uint64_t> want;
  } cases[] = {
      {"k pass after widening", 100000, 100000, 3, {7, 107, 207}},
      {"fewer pass than k: all of them", 250, 250, 5, {7, 107, 207}},
      {"the search reaches only part", 100000, 150, 5, {7, 107}},
      {"k of 0", 1000, 1000, 0, {}},
      {"empty index", 0, 0, 4, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LineIndex index(c.live, c.reach);
    const std::vector<float> q;
    auto hits = index.search_filtered(q, c.k, IdFilter(every_100th));
    ASSERT_TRUE(hits.has_value());
    EXPECT_EQ(ids_of(*hits), c.want);
    EXPECT_LE(index.searches, 6);
  }
}

}  // namespace
}  // namespace sorvel
