#include "index/ivf/inverted_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <utility>
#include <vector>

namespace sorvel {
namespace {

TrainingBuffer buffer_of(std::initializer_list<std::uint64_t> ids) {
  TrainingBuffer buffer(2);
  for (const std::uint64_t id : ids) {
    const float v[2] = {float(id), -float(id)};
    buffer.append(id, v);
  }
  return buffer;
}

// A removal moves the last row into the hole; the moved row must stay findable by its id.
TEST(TrainingBuffer, RemovalMovesTheLastRowAndKeepsItFindable) {
  TrainingBuffer buffer = buffer_of({10, 11, 12, 13});
  EXPECT_TRUE(buffer.remove(11));
  EXPECT_EQ(buffer.ids(), (std::vector<std::uint64_t>{10, 13, 12}));
  EXPECT_EQ(buffer.vectors(), (std::vector<float>{10, -10, 13, -13, 12, -12}));
  EXPECT_TRUE(buffer.remove(13));
  EXPECT_EQ(buffer.ids(), (std::vector<std::uint64_t>{10, 12}));
  EXPECT_EQ(buffer.vectors(), (std::vector<float>{10, -10, 12, -12}));
  EXPECT_FALSE(buffer.remove(13));
  EXPECT_FALSE(buffer.remove(99));
  EXPECT_TRUE(buffer.remove(12));
  EXPECT_TRUE(buffer.remove(10));
  EXPECT_TRUE(buffer.empty());
  EXPECT_FALSE(buffer.remove(10));
}

TEST(TrainingBuffer, TakeHandsOverEverythingAndForgetsTheIds) {
  TrainingBuffer buffer = buffer_of({4, 5});
  const TrainingBuffer::Taken taken = buffer.take();
  EXPECT_EQ(taken.ids, (std::vector<std::uint64_t>{4, 5}));
  EXPECT_EQ(taken.vectors, (std::vector<float>{4, -4, 5, -5}));
  EXPECT_TRUE(buffer.empty());
  EXPECT_TRUE(buffer.vectors().empty());
  EXPECT_FALSE(buffer.remove(4));
}

// A decoded buffer finds its ids again, so a load followed by a replacing add or a delete works.
TEST(TrainingBuffer, DecodeRebuildsTheRowOfEveryId) {
  const TrainingBuffer written = buffer_of({7, 8, 9});
  Encoder out = Encoder::to_memory();
  written.encode(out);
  const std::vector<std::uint8_t> bytes = out.take_bytes();
  Decoder in = Decoder::from_memory(bytes);
  TrainingBuffer read(2);
  ASSERT_TRUE(read.decode(in).has_value());
  EXPECT_TRUE(read.check_shape().has_value());
  EXPECT_EQ(read.vectors(), written.vectors());
  EXPECT_TRUE(read.remove(7));
  EXPECT_EQ(read.ids(), (std::vector<std::uint64_t>{9, 8}));
  EXPECT_TRUE(read.remove(9));
  EXPECT_EQ(read.vectors(), (std::vector<float>{8, -8}));
}

TEST(NearestLists, NearestFirstNanLastCutToNprobe) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Six one-float centroids: one batch of four, then two one at a time.
  const std::vector<float> centroids = {5, 1, nan, 3, 0, 2};
  const float query = 0;
  struct Case {
    std::uint64_t nprobe;
    std::vector<std::size_t> lists;
  };
  const std::vector<Case> cases = {
      {0, {}},
      {1, {4}},
      {4, {4, 1, 5, 3}},
      {6, {4, 1, 5, 3, 0, 2}},
      {100, {4, 1, 5, 3, 0, 2}},
  };
  for (const Case& c : cases) {
    const auto ranked = nearest_lists(Metric::L2, &query, centroids.data(), 6, 1, c.nprobe);
    std::vector<std::size_t> lists;
    for (const auto& [d, list] : ranked) lists.push_back(list);
    EXPECT_EQ(lists, c.lists) << c.nprobe;
    if (ranked.size() == 6) {
      EXPECT_TRUE(std::isnan(ranked.back().first));
    }
    if (!ranked.empty()) {
      EXPECT_EQ(ranked[0].first, 0.0f);
    }
  }
  EXPECT_TRUE(nearest_lists(Metric::L2, &query, nullptr, 0, 1, 16).empty());
}

TEST(SamplePassing, EvenlySpreadOverTheListsEndToEndAndWiderWhenFewPass) {
  // 100 lists of 256 ids 0 .. 25599 end to end: the sample takes every 100th id.
  struct List {
    std::vector<std::uint64_t> ids;
  };
  std::vector<List> lists(100);
  for (std::uint64_t id = 0; id < 25600; ++id) lists[id / 256].ids.push_back(id);
  const std::span<const List> all(lists);
  const auto one_in_100 = [](std::uint64_t id) { return id % 100 == 50; };
  const auto even = [](std::uint64_t id) { return id % 2 == 0; };
  const auto few = [](std::uint64_t id) { return id % 10000 == 0; };
  // The first sample (ids 0, 100, ...) finds none, so it is taken four times as wide (every
  // 25th id), where every fourth id passes.
  EXPECT_EQ(sample_passing(all, 25600, IdFilter(one_in_100)),
            std::make_pair(kFilterSampleIds, kFilterSampleIds * kFilterResampleFactor));
  EXPECT_EQ(sample_passing(all, 25600, IdFilter(even)),
            std::make_pair(kFilterSampleIds, kFilterSampleIds));
  // Ids 0, 10000 and 20000 pass: 3 of the first sample, fewer than kFilterResampleBelow, so it
  // is taken again four times as wide (every 25th id), which finds the same 3.
  EXPECT_EQ(sample_passing(all, 25600, IdFilter(few)),
            std::make_pair(std::size_t{3}, kFilterSampleIds * kFilterResampleFactor));
}

// A list's filtered scan gives what testing and scoring every row gives, whether the collector
// fills in the first batch of tests, half way or never, and the filter sees its ids in batches.
TEST(OfferFiltered, KeepsTheNearestPassingRowsOfAnExhaustiveScan) {
  constexpr std::size_t kRows = 3000;
  std::mt19937_64 rng(7);
  std::vector<std::uint64_t> ids(kRows);
  std::vector<float> scores(kRows);
  for (std::size_t r = 0; r < kRows; ++r) {
    ids[r] = rng();
    scores[r] = static_cast<float>(r) * 0.5f;  // distinct, so the answer has no ties
  }
  std::shuffle(scores.begin(), scores.end(), rng);
  scores[17] = std::numeric_limits<float>::quiet_NaN();  // never beats a number

  struct Case {
    const char* name;
    std::uint64_t one_in;  // an id passes when id % one_in == 0
    std::size_t k;
  };
  const Case cases[] = {
      {"every row passes: full in the first batch", 1, 10},
      {"a third pass", 3, 10},
      {"one in 300: full near the end", 300, 10},
      {"one in 1000: never full", 1000, 10},
      {"k above the rows", 2, 5000},
  };
  for (const Case& c : cases) {
    struct Filter {
      std::uint64_t one_in;
      mutable std::size_t largest_batch = 0;
      bool operator()(std::uint64_t id) const { return id % one_in == 0; }
      void batch(const std::uint64_t* batch_ids, std::size_t n, bool* out) const {
        largest_batch = std::max(largest_batch, n);
        for (std::size_t i = 0; i < n; ++i) out[i] = (*this)(batch_ids[i]);
      }
    } filter{c.one_in};
    TopK top(c.k);
    offer_filtered(
        ids.data(), kRows, top, IdFilter(filter), [&](std::size_t r) { return scores[r]; },
        [&](std::size_t begin, std::size_t count, float* out) {
          std::copy_n(scores.begin() + static_cast<std::ptrdiff_t>(begin), count, out);
        });
    std::vector<SearchHit> want;
    for (std::size_t r = 0; r < kRows; ++r) {
      if (filter(ids[r])) want.push_back({ids[r], scores[r]});
    }
    std::sort(want.begin(), want.end(), hit_less);
    want.resize(std::min(want.size(), c.k));
    const std::vector<SearchHit> got = top.take_sorted();
    ASSERT_EQ(got.size(), want.size()) << c.name;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].id, want[i].id) << c.name << " at " << i;
    }
    EXPECT_LE(filter.largest_batch, kIdFilterBatch) << c.name;
    EXPECT_GT(filter.largest_batch, 1u) << c.name;
  }
}

// Every id is tested once in order where probing would cost about as much or more (filters almost
// nothing passes, below about 0.2 %, and a sample with one passing id); above that probing is
// taken.
TEST(PreferInOrderPass, ProbesOnlyWhereFewIdsAreTested) {
  struct Case {
    const char* name;
    std::size_t passing;
    std::size_t sampled;
    std::size_t probe_rows;
    bool in_order;
  };
  constexpr std::size_t kTotal = 100000;
  constexpr std::size_t kWide = kFilterSampleIds * kFilterResampleFactor;
  const Case cases[] = {
      {"no sampled id passes", 0, kFilterSampleIds, kTotal, true},
      {"0.1 %: one sampled id counts as none", 1, kWide, kTotal, true},
      {"0.3 %: probing costs less", 3, kWide, kTotal, false},
      {"a tenth pass", 26, kFilterSampleIds, 6000, false},
      {"half pass", 128, kFilterSampleIds, 1300, false},
      {"1 %: k / share rows tested in list order", 3, kFilterSampleIds, 54000, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(prefer_in_order_pass(kTotal, 64, 10, {c.passing, c.sampled}, c.probe_rows),
              c.in_order)
        << c.name;
  }
  // The rows probing scans: the nprobe average lists divided by the share, at most every row.
  EXPECT_EQ(expected_probe_rows(8, 1000, {256, 256}, kTotal), 800u);
  EXPECT_EQ(expected_probe_rows(8, 1000, {1, 256}, kTotal), kTotal);
  EXPECT_EQ(expected_probe_rows(0, 1000, {1, 256}, kTotal), 0u);
}

}  // namespace
}  // namespace sorvel
