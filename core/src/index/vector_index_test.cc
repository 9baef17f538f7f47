#include "index/vector_index.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace sorvel
