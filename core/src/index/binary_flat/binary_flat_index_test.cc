#include "index/binary_flat/binary_flat_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <vector>

#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

using testing::TempDir;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(Binarize, SetsABitPerNonNegativeComponent) {
  const BinaryCode c = binarize(std::vector<float>{0.5f, -1.0f, 0.0f, -0.0f});
  EXPECT_EQ(c.bits, std::vector<std::uint64_t>{0x0D});
  EXPECT_EQ(c.norm, std::sqrt(1.25f));

  std::vector<float> long_vector(65, -1.0f);
  long_vector[64] = 2.0f;
  long_vector[3] = std::numeric_limits<float>::quiet_NaN();
  const BinaryCode two = binarize(long_vector);
  EXPECT_EQ(two.bits, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_TRUE(std::isnan(two.norm));

  const BinaryCode empty = binarize({});
  EXPECT_TRUE(empty.bits.empty());
  EXPECT_EQ(bits(empty.norm), bits(-0.0f));
}

struct ScoreCase {
  Metric metric;
  std::vector<float> query;
  float score;
};

TEST(BinaryFlatIndex, ScoresFromDifferingBits) {
  const std::vector<ScoreCase> cases = {
      {Metric::L2, {1, 1, 1, -1}, 0.25f},     {Metric::Cosine, {1, 1, 1, -1}, 0.25f},
      {Metric::DotProduct, {1, 1, 1, -1}, -2.0f}, {Metric::L2, {1, -1, 1, -1}, 0.5f},
      {Metric::Cosine, {1, -1, 1, -1}, 0.5f}, {Metric::DotProduct, {1, -1, 1, -1}, -0.0f},
  };
  for (const ScoreCase& c : cases) {
    BinaryFlatIndex index(4, c.metric);
    ASSERT_TRUE(index.add(1, std::vector<float>{1, 1, 1, 1}).has_value());
    auto hits = index.search(c.query, 1);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ(bits((*hits)[0].distance), bits(c.score)) << static_cast<int>(c.metric);
  }
}

TEST(BinaryFlatIndex, NanNormsSpoilOnlyDotProductAndSortLast) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const Metric metric : {Metric::L2, Metric::DotProduct}) {
    BinaryFlatIndex index(2, metric);
    ASSERT_TRUE(index.add(1, std::vector<float>{nan, 1}).has_value());
    ASSERT_TRUE(index.add(2, std::vector<float>{-1, -1}).has_value());
    auto hits = index.search(std::vector<float>{1, 1}, 2);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), 2u);
    if (metric == Metric::DotProduct) {
      EXPECT_EQ((*hits)[0].id, 2u);
      EXPECT_TRUE(std::isnan((*hits)[1].distance));
    } else {
      EXPECT_EQ((*hits)[0].id, 1u);  // h = 1 of 2 bits
      EXPECT_EQ((*hits)[0].distance, 0.5f);
    }
  }
  BinaryFlatIndex zero(0, Metric::L2);
  ASSERT_TRUE(zero.add(1, {}).has_value());
  auto hits = zero.search({}, 1);
  ASSERT_TRUE(hits.has_value());
  EXPECT_TRUE(std::isnan((*hits)[0].distance));
}

TEST(BinaryFlatIndex, PopcountPathsAgree) {
  const std::vector<float> data = testing::random_vectors(9, 200, 1);
  std::vector<std::uint64_t> codes(9 * 4);
  for (std::size_t r = 0; r < 9; ++r) {
    binarize_into(std::span<const float>(data).subspan(r * 200, 200), codes.data() + 4 * r);
  }
  for (const std::size_t words : {std::size_t{2}, std::size_t{4}}) {
    std::uint32_t a[18];
    std::uint32_t b[18];
    binary_scan::hamming_portable(codes.data(), codes.data(), 9 * 4 / words, words, a);
    if (binary_scan::has_popcnt()) {
      binary_scan::hamming_popcnt(codes.data(), codes.data(), 9 * 4 / words, words, b);
      for (std::size_t r = 0; r < 9 * 4 / words; ++r) EXPECT_EQ(a[r], b[r]);
    }
    EXPECT_EQ(a[0], 0u);
  }
}

// The best k scores, ascending: what any correct selection returns, whichever ties it keeps.
std::vector<float> best_scores(const std::vector<float>& data, std::size_t rows, std::size_t dims,
                               Metric metric, std::span<const float> q, std::size_t k) {
  const BinaryCode qc = binarize(q);
  std::vector<float> all;
  for (std::size_t r = 0; r < rows; ++r) {
    const BinaryCode e = binarize(std::span(data).subspan(r * dims, dims));
    std::uint32_t h = 0;
    for (std::size_t j = 0; j < e.bits.size(); ++j) h += std::popcount(qc.bits[j] ^ e.bits[j]);
    const float hf = static_cast<float>(h);
    const float d = static_cast<float>(dims);
    if (metric == Metric::DotProduct) {
      const float t = hf + hf;
      const float u = d - t;
      const float v = u * qc.norm;
      const float w = (-e.norm) * v;
      all.push_back(w / d);
    } else {
      all.push_back(hf / d);
    }
  }
  std::sort(all.begin(), all.end());
  all.resize(std::min(k, all.size()));
  return all;
}

TEST(BinaryFlatIndex, SelectionKeepsTheBestScoresForEveryCodeWidth) {
  for (const std::size_t dims : {64, 70, 128, 200}) {
    const std::size_t rows = 1500;  // several blocks of the scan
    const std::vector<float> data = testing::random_vectors(rows, dims, dims);
    for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
      BinaryFlatIndex index(dims, metric);
      ASSERT_TRUE(index.add_matrix(data, rows, dims, 0).has_value());
      const std::vector<float> q = testing::random_vectors(1, dims, 1000 + dims);
      for (const std::size_t k : {1, 10, 700, 5000}) {
        auto hits = index.search(q, k);
        ASSERT_TRUE(hits.has_value());
        std::vector<float> got;
        for (const SearchHit& h : *hits) got.push_back(h.distance);
        EXPECT_EQ(got, best_scores(data, rows, dims, metric, q, k))
            << "dims " << dims << " metric " << static_cast<int>(metric) << " k " << k;
      }
    }
  }
}

TEST(BinaryFlatIndex, IterationRebuildsSignsAndNorm) {
  BinaryFlatIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(1, std::vector<float>{3.0f, -4.0f}).has_value());
  auto it = index.iter();
  auto item = it->next();
  ASSERT_TRUE(item.has_value());
  const float s = 5.0f / std::sqrt(2.0f);
  EXPECT_EQ(item->vector, (std::vector<float>{s, -s}));
}

TEST(BinaryFlatIndex, FileLayoutRoundTripAndChecks) {
  TempDir dir;
  BinaryFlatIndex index(65, Metric::Cosine);
  std::vector<float> v(65, 1.0f);
  ASSERT_TRUE(index.add(3, v).has_value());
  ASSERT_TRUE(index.save_file(dir.file("a")).has_value());
  const std::vector<std::uint8_t> bytes = testing::read_file(dir.file("a"));
  ASSERT_EQ(bytes.size(), 20u + 20u + 16u);  // an entry of w words is 20 + 8w bytes
  EXPECT_EQ(bytes[28], 2);                  // word count
  EXPECT_EQ(bytes[44], 1);                  // word 1 holds component 64 only
  auto loaded = BinaryFlatIndex::load_file(dir.file("a"));
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->entry(3)->aux, index.entry(3)->aux);
  ASSERT_TRUE(loaded->save_file(dir.file("b")).has_value());
  EXPECT_EQ(testing::read_file(dir.file("b")), bytes);

  struct Bad {
    std::vector<std::uint8_t> bytes;
    const char* error;
  };
  const std::vector<Bad> cases = {
      {testing::overwrite_u64(bytes, 28, 1),
       "serialization error: entry 0 (id 3) holds 1 words where 65 dimensions need 2"},
      {testing::flip_byte(bytes, 44, 0x02),
       "serialization error: entry 0 (id 3): bits set beyond the 65 dimensions"},
      {testing::cut_to(bytes, bytes.size() - 4),
       "serialization error: io error: unexpected end of file"},
  };
  for (const Bad& c : cases) {
    testing::write_file(dir.file("bad"), c.bytes);
    auto r = BinaryFlatIndex::load_file(dir.file("bad"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), c.error);
  }
}

}  // namespace
}  // namespace sorvel
