#include "index/flat/flat_index.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "distance/distance.h"
#include "encoding.h"
#include "index/topk.h"
#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Every test runs once per kernel family: the portable one and, where the processor has it, the
// AVX2+FMA one. The detected bits are put back afterwards.
enum class Family { Portable, Vector };

class FlatIndexTest : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    const std::uint32_t detected = cpu::detect();
    if (GetParam() == Family::Vector) {
      if ((detected & (cpu::kAvx2 | cpu::kFma)) != (cpu::kAvx2 | cpu::kFma)) {
        GTEST_SKIP() << "no AVX2+FMA on this processor";
      }
      cpu::set_features_for_testing(detected);
      ASSERT_TRUE(cpu::use_avx2_fma());
    } else {
      cpu::set_features_for_testing(detected & ~(cpu::kAvx2 | cpu::kFma));
      ASSERT_FALSE(cpu::use_avx2_fma());
    }
  }
  void TearDown() override { cpu::set_features_for_testing(cpu::detect()); }
};

INSTANTIATE_TEST_SUITE_P(Families, FlatIndexTest,
                         ::testing::Values(Family::Portable, Family::Vector),
                         [](const ::testing::TestParamInfo<Family>& param_info) {
                           return param_info.param == Family::Portable ? "Portable" : "Vector";
                         });

// The ids and rows an iteration yields, in order.
std::vector<std::pair<std::uint64_t, std::vector<float>>> items_of(const FlatIndex& index) {
  std::vector<std::pair<std::uint64_t, std::vector<float>>> out;
  auto it = index.iter();
  while (auto item = it->next()) out.emplace_back(item->id, std::move(item->vector));
  return out;
}

Bytes saved_bytes(const FlatIndex& index, const testing::TempDir& dir) {
  const std::string path = dir.file("snapshot.bin");
  const Result<> saved = index.save_file(path);
  EXPECT_TRUE(saved.has_value()) << saved.error().display();
  return testing::read_file(path);
}

Result<FlatIndex> load_bytes(const Bytes& bytes, const testing::TempDir& dir) {
  const std::string path = dir.file("input.bin");
  testing::write_file(path, bytes);
  return FlatIndex::load_file(path);
}

template <class T>
std::string error_text(const Result<T>& r) {
  return r ? "ok" : r.error().display();
}

// A brute-force model: distance() to every live vector, fully sorted.
std::vector<SearchHit> model_search(Metric metric,
                                    const std::map<std::uint64_t, std::vector<float>>& live,
                                    std::span<const float> query, std::size_t k) {
  std::vector<SearchHit> all;
  for (const auto& [id, v] : live) all.push_back({id, distance(metric, query, v)});
  std::sort(all.begin(), all.end(), hit_less);
  all.resize(std::min(k, all.size()));
  return all;
}

TEST_P(FlatIndexTest, SearchMatchesABruteForceModel) {
  std::mt19937_64 gen(7);
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    for (const std::size_t dims : {0, 1, 7, 8, 9, 33, 128}) {
      for (const std::size_t rows : {1, 2, 5, 10, 103}) {
        SCOPED_TRACE(::testing::Message()
                     << metric_debug_name(metric) << " dims=" << dims << " rows=" << rows);
        FlatIndex index(dims, metric);
        std::map<std::uint64_t, std::vector<float>> live;
        const std::vector<float> data = testing::random_vectors(rows, dims, gen());
        for (std::size_t r = 0; r < rows; ++r) {
          std::vector<float> v(data.begin() + r * dims, data.begin() + (r + 1) * dims);
          // One row with a NaN (its distance is NaN and sorts last) and one zero row.
          if (r == 3 && dims > 0) v[0] = std::numeric_limits<float>::quiet_NaN();
          if (r == 4) std::fill(v.begin(), v.end(), 0.0f);
          const std::uint64_t id = gen();
          ASSERT_TRUE(index.add(id, v).has_value());
          live[id] = v;
        }
        // Delete every third row, so the four-row gathering skips rows at every offset.
        std::size_t n = 0;
        for (auto it = live.begin(); it != live.end();) {
          if (n++ % 3 == 1) {
            ASSERT_TRUE(index.remove(it->first));
            it = live.erase(it);
          } else {
            ++it;
          }
        }
        ASSERT_EQ(index.len(), live.size());

        for (int q = 0; q < 3; ++q) {
          const std::vector<float> query = testing::random_vectors(1, dims, gen());
          for (const std::size_t k :
               {std::size_t{1}, std::size_t{4}, live.size(), live.size() + 3}) {
            const auto got = index.search(query, k);
            ASSERT_TRUE(got.has_value());
            const std::vector<SearchHit> want = model_search(metric, live, query, k);
            ASSERT_EQ(got->size(), want.size()) << "k=" << k;
            for (std::size_t i = 0; i < want.size(); ++i) {
              // Rank by rank the same distance bits (up to ties of equal value), and every hit
              // carries exactly distance() of its own vector.
              const SearchHit& hit = (*got)[i];
              if (std::isnan(want[i].distance)) {
                EXPECT_TRUE(std::isnan(hit.distance)) << "rank " << i;
              } else {
                EXPECT_EQ(hit.distance, want[i].distance) << "rank " << i;
              }
              ASSERT_TRUE(live.contains(hit.id));
              EXPECT_EQ(bits(hit.distance), bits(distance(metric, query, live.at(hit.id))))
                  << "rank " << i;
            }
          }
        }
      }
    }
  }
}

TEST_P(FlatIndexTest, SearchEdgeCases) {
  FlatIndex empty(4, Metric::L2);
  const std::vector<float> short_query = {1, 2, 3};
  // The length is checked first, even on an empty index and with k = 0.
  EXPECT_EQ(error_text(empty.search(short_query, 10)), "dimension mismatch: expected 4, got 3");
  EXPECT_EQ(error_text(empty.search(short_query, 0)), "dimension mismatch: expected 4, got 3");
  const std::vector<float> query = {0, 0, 0, 0};
  EXPECT_TRUE(empty.search(query, 10)->empty());

  FlatIndex index(4, Metric::L2);
  ASSERT_TRUE(index.add(1, std::vector<float>{3, 0, 0, 0}).has_value());
  ASSERT_TRUE(index.add(2, std::vector<float>{1, 0, 0, 0}).has_value());
  ASSERT_TRUE(index.add(3, std::vector<float>{0, 2, 0, 0}).has_value());
  EXPECT_TRUE(index.search(query, 0)->empty());
  for (const std::size_t k :
       {std::size_t{3}, std::size_t{10}, std::numeric_limits<std::size_t>::max()}) {
    const auto hits = index.search(query, k);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), 3u);
    EXPECT_EQ((*hits)[0].id, 2u);
    EXPECT_EQ((*hits)[0].distance, 1.0f);
    EXPECT_EQ((*hits)[1].id, 3u);
    EXPECT_EQ((*hits)[1].distance, 2.0f);
    EXPECT_EQ((*hits)[2].id, 1u);
    EXPECT_EQ((*hits)[2].distance, 3.0f);
  }
  ASSERT_TRUE(index.remove(2));
  const auto after = index.search(query, 1);
  ASSERT_EQ(after->size(), 1u);
  EXPECT_EQ((*after)[0].id, 3u);
}

TEST_P(FlatIndexTest, DuplicatesAndReAddAfterDelete) {
  testing::TempDir dir;
  FlatIndex index(2, Metric::L2);
  const std::vector<float> old_vector = {1, 1};
  const std::vector<float> new_vector = {2, 2};
  ASSERT_TRUE(index.add(5, old_vector).has_value());
  EXPECT_EQ(error_text(index.add(5, new_vector)), "duplicate vector ID: 5");
  // Length comes before the id.
  EXPECT_EQ(error_text(index.add(5, std::vector<float>{1})),
            "dimension mismatch: expected 2, got 1");
  EXPECT_TRUE(index.remove(5));
  EXPECT_FALSE(index.remove(5));
  EXPECT_FALSE(index.remove(6));
  EXPECT_TRUE(index.is_empty());
  ASSERT_TRUE(index.add(5, new_vector).has_value());
  EXPECT_EQ(index.len(), 1u);

  // Both rows are in the file, the old one marked deleted.
  const Bytes file = saved_bytes(index, dir);
  ASSERT_EQ(file.size(), FlatIndex::kFileFixedBytes + 4 * 4 + 8 * 2 + 2);
  EXPECT_EQ(Bytes(file.end() - 2, file.end()), (Bytes{0, 1}));

  auto loaded = load_bytes(file, dir);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->len(), 1u);
  const auto items = items_of(*loaded);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].first, 5u);
  EXPECT_EQ(items[0].second, new_vector);
  EXPECT_EQ(error_text(loaded->add(5, old_vector)), "duplicate vector ID: 5");
}

TEST_P(FlatIndexTest, FailedBatchesChangeNothing) {
  testing::TempDir dir;
  const std::vector<float> a = {1, 2, 3};
  const std::vector<float> b = {4, 5, 6};
  const std::vector<float> wrong = {1, 2};
  const struct {
    const char* name;
    std::vector<IndexItem> items;
    std::string error;
  } cases[] = {
      {"third item has the wrong length",
       {{10, a}, {11, b}, {12, wrong}},
       "dimension mismatch: expected 3, got 2"},
      {"same new id twice", {{10, a}, {11, b}, {10, b}}, "duplicate vector ID: 10"},
      {"id already in the index", {{10, a}, {1, b}}, "duplicate vector ID: 1"},
      {"first failing item wins", {{10, a}, {1, b}, {12, wrong}}, "duplicate vector ID: 1"},
      {"length before id", {{1, wrong}}, "dimension mismatch: expected 3, got 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FlatIndex index(3, Metric::Cosine);
    ASSERT_TRUE(index.add(1, a).has_value());
    ASSERT_TRUE(index.add(2, b).has_value());
    ASSERT_TRUE(index.remove(2));
    const Bytes before = saved_bytes(index, dir);
    EXPECT_EQ(error_text(index.add_batch(c.items)), c.error);
    EXPECT_EQ(index.len(), 1u);
    EXPECT_EQ(saved_bytes(index, dir), before);
    // The ids of the failed batch are still free.
    EXPECT_TRUE(index.add(10, a).has_value());
  }
}

TEST_P(FlatIndexTest, BatchesAppendInOrder) {
  FlatIndex index(2, Metric::DotProduct);
  EXPECT_TRUE(index.add_batch({}).has_value());
  EXPECT_TRUE(index.is_empty());
  const std::vector<IndexItem> items = {{30, {1, 0}}, {10, {0, 1}}, {20, {1, 1}}};
  ASSERT_TRUE(index.add_batch(items).has_value());
  const auto listed = items_of(index);
  ASSERT_EQ(listed.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(listed[i].first, items[i].id);
    EXPECT_EQ(listed[i].second, items[i].vector);
  }

  // Room reserved ahead changes nothing that can be seen: rows, count and file stay, and the
  // next batch still lands after the last row.
  testing::TempDir dir;
  const Bytes before = saved_bytes(index, dir);
  index.reserve(1000);
  index.reserve(0);
  EXPECT_EQ(saved_bytes(index, dir), before);
  EXPECT_EQ(index.len(), 3u);
  ASSERT_TRUE(index.add_batch(std::vector<IndexItem>{{40, {2, 2}}}).has_value());
  EXPECT_EQ(items_of(index).size(), 4u);
  EXPECT_EQ(items_of(index).back().first, 40u);
}

TEST_P(FlatIndexTest, AddMatrix) {
  {
    // Ids wrap modulo 2^64.
    FlatIndex index(2, Metric::L2);
    const std::vector<float> data = {1, 2, 3, 4};
    ASSERT_TRUE(index.add_matrix(data, 2, 2, kMaxId).has_value());
    const auto items = items_of(index);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].first, kMaxId);
    EXPECT_EQ(items[0].second, (std::vector<float>{1, 2}));
    EXPECT_EQ(items[1].first, 0u);
    EXPECT_EQ(items[1].second, (std::vector<float>{3, 4}));
    // A matrix whose second row collides inserts nothing.
    const std::vector<float> more = {5, 6, 7, 8, 9, 10};
    EXPECT_EQ(error_text(index.add_matrix(more, 3, 2, kMaxId - 1)),
              "duplicate vector ID: 18446744073709551615");
    EXPECT_EQ(index.len(), 2u);
    EXPECT_TRUE(index.add(kMaxId - 1, std::vector<float>{0, 0}).has_value());
  }
  {
    FlatIndex index(4, Metric::L2);
    const std::vector<float> data(6, 1.0f);
    EXPECT_EQ(error_text(index.add_matrix(data, 2, 3, 0)), "dimension mismatch: expected 4, got 3");
    EXPECT_TRUE(index.is_empty());
    EXPECT_TRUE(index.add_matrix({}, 0, 4, 0).has_value());
    EXPECT_TRUE(index.is_empty());
  }
  {
    // Dimension 0: the row count travels with the matrix, one empty vector per row.
    FlatIndex index(0, Metric::Cosine);
    ASSERT_TRUE(index.add_matrix({}, 3, 0, 100).has_value());
    EXPECT_EQ(index.len(), 3u);
    const auto hits = index.search({}, 10);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), 3u);
    for (const SearchHit& hit : *hits) {
      EXPECT_GE(hit.id, 100u);
      EXPECT_LE(hit.id, 102u);
      EXPECT_EQ(hit.distance, 1.0f);
    }
    const auto items = items_of(index);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(items[2].second.empty());
  }
}

TEST_P(FlatIndexTest, IteratorWalksLiveRowsInRowOrder) {
  FlatIndex index(1, Metric::L2);
  for (std::uint64_t id = 0; id < 6; ++id) {
    ASSERT_TRUE(index.add(100 + id, std::vector<float>{static_cast<float>(id)}).has_value());
  }
  ASSERT_TRUE(index.remove(100));
  ASSERT_TRUE(index.remove(103));
  auto it = index.iter();
  // Rows not yet walked, deleted ones included.
  EXPECT_EQ(it->size_hint(), (std::pair<std::size_t, std::optional<std::size_t>>{0, 6}));
  auto first = it->next();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->id, 101u);
  EXPECT_EQ(first->vector, std::vector<float>{1});
  EXPECT_EQ(it->size_hint().second, 4u);
  EXPECT_EQ(it->nth(1)->id, 104u);
  EXPECT_EQ(it->advance_by(3), 2u);
  EXPECT_FALSE(it->next().has_value());
  EXPECT_EQ(it->size_hint().second, 0u);
}

TEST_P(FlatIndexTest, CompactRowsDropsDeletedRowsAndKeepsTheRest) {
  FlatIndex index(2, Metric::L2);
  for (std::uint64_t id = 0; id < 5; ++id) {
    const float x = static_cast<float>(id);
    ASSERT_TRUE(index.add(id, std::vector<float>{x, -x}).has_value());
  }
  ASSERT_TRUE(index.remove(0));
  ASSERT_TRUE(index.remove(3));
  ASSERT_TRUE(index.add(3, std::vector<float>{30, -30}).has_value());  // a new row for id 3
  const auto before = items_of(index);
  const auto hits_before = index.search(std::vector<float>{2, -2}, 10);

  index.compact_rows();
  EXPECT_EQ(index.iter()->size_hint().second, 4u);  // only the live rows remain
  EXPECT_EQ(items_of(index), before);
  EXPECT_EQ(index.len(), 4u);
  const auto hits_after = index.search(std::vector<float>{2, -2}, 10);
  ASSERT_TRUE(hits_after.has_value());
  ASSERT_EQ(hits_after->size(), hits_before->size());
  for (std::size_t i = 0; i < hits_after->size(); ++i) {
    EXPECT_EQ((*hits_after)[i].id, (*hits_before)[i].id);
    EXPECT_EQ((*hits_after)[i].distance, (*hits_before)[i].distance);
  }
  // The map follows the moved rows: deletes and duplicate checks still find them.
  EXPECT_FALSE(index.add(4, std::vector<float>{0, 0}).has_value());
  EXPECT_TRUE(index.remove(4));
  EXPECT_FALSE(index.remove(0));
  EXPECT_EQ(index.len(), 3u);
}

TEST_P(FlatIndexTest, SmallIndexFileHasItsExactBytes) {
  testing::TempDir dir;
  FlatIndex index(2, Metric::DotProduct);
  ASSERT_TRUE(index.add(7, std::vector<float>{1.0f, -2.0f}).has_value());
  ASSERT_TRUE(index.add(0x0102030405060708ULL, std::vector<float>{0.5f, -0.0f}).has_value());
  ASSERT_TRUE(index.remove(7));
  const Bytes expected = {
      2,    0,    0,    0,    0,    0,    0,    0,     // dimensions
      2,    0,    0,    0,                             // metric: DotProduct
      4,    0,    0,    0,    0,    0,    0,    0,     // V
      0x00, 0x00, 0x80, 0x3f, 0x00, 0x00, 0x00, 0xc0,  // 1.0, -2.0
      0x00, 0x00, 0x00, 0x3f, 0x00, 0x00, 0x00, 0x80,  // 0.5, -0.0
      2,    0,    0,    0,    0,    0,    0,    0,     // R
      7,    0,    0,    0,    0,    0,    0,    0,     // ids
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  //
      2,    0,    0,    0,    0,    0,    0,    0,     // L
      0,    1,                                         // live flags
  };
  EXPECT_EQ(saved_bytes(index, dir), expected);
}

TEST_P(FlatIndexTest, SaveAndLoadKeepRowsLiveSetAndResults) {
  testing::TempDir dir;
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    SCOPED_TRACE(metric_debug_name(metric));
    FlatIndex index(16, metric);
    const std::vector<float> data = testing::random_vectors(300, 16, 11);
    ASSERT_TRUE(index.add_matrix(data, 300, 16, 1000).has_value());
    for (std::uint64_t id = 1000; id < 1300; id += 7) ASSERT_TRUE(index.remove(id));
    const std::string path = dir.file("index.bin");
    // Saving over an existing file replaces it.
    testing::write_file(path, Bytes(5000, 0xee));
    ASSERT_TRUE(index.save_file(path).has_value());
    auto loaded = FlatIndex::load_file(path);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
    EXPECT_EQ(loaded->header().dimensions, 16u);
    EXPECT_EQ(loaded->header().metric, metric);
    EXPECT_EQ(loaded->len(), index.len());
    EXPECT_EQ(items_of(*loaded), items_of(index));
    const std::vector<float> query = testing::random_vectors(1, 16, 12);
    const auto a = index.search(query, 25);
    const auto b = loaded->search(query, 25);
    ASSERT_EQ(a->size(), b->size());
    for (std::size_t i = 0; i < a->size(); ++i) {
      EXPECT_EQ((*a)[i].id, (*b)[i].id);
      EXPECT_EQ(bits((*a)[i].distance), bits((*b)[i].distance));
    }
    // Saving the loaded index reproduces the file.
    EXPECT_EQ(saved_bytes(*loaded, dir), testing::read_file(path));
  }
}

TEST_P(FlatIndexTest, SaveAndLoadReportIoErrors) {
  testing::TempDir dir;
  FlatIndex index(2, Metric::L2);
  const Result<> saved = index.save_file(dir.file("missing/index.bin"));
  ASSERT_FALSE(saved.has_value());
  EXPECT_EQ(saved.error().display(), "I/O error: No such file or directory (os error 2)");
  const auto loaded = FlatIndex::load_file(dir.file("missing.bin"));
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().display(), "I/O error: No such file or directory (os error 2)");
}

TEST_P(FlatIndexTest, AFailedSaveKeepsThePreviousFile) {
  testing::TempDir dir;
  const std::string path = dir.file("index.bin");
  FlatIndex small(4, Metric::L2);
  ASSERT_TRUE(small.add(1, std::vector<float>{1, 2, 3, 4}).has_value());
  ASSERT_TRUE(small.save_file(path).has_value());
  const Bytes before = testing::read_file(path);

  FlatIndex big(4, Metric::L2);
  ASSERT_TRUE(big.add_matrix(testing::random_vectors(5000, 4, 3), 5000, 4, 0).has_value());
  Result<> saved = ok();
  {
    testing::FileSizeLimit limit(20000);
    saved = big.save_file(path);
  }
  ASSERT_FALSE(saved.has_value());
  EXPECT_EQ(saved.error().display(), "serialization error: io error: File too large (os error 27)");
  EXPECT_EQ(testing::read_file(path), before);
  // No temporary file is left beside it.
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
}

TEST_P(FlatIndexTest, AFileCutShortAnywhereFailsWithThePrematureEndText) {
  testing::TempDir dir;
  FlatIndex index(3, Metric::Cosine);
  ASSERT_TRUE(index.add(1, std::vector<float>{1, 2, 3}).has_value());
  ASSERT_TRUE(index.add(2, std::vector<float>{4, 5, 6}).has_value());
  const Bytes file = saved_bytes(index, dir);
  for (std::size_t size = 0; size < file.size(); ++size) {
    SCOPED_TRACE(size);
    const auto loaded = load_bytes(testing::cut_to(file, size), dir);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().display(),
              "serialization error: io error: failed to fill whole buffer");
  }
  // Bytes after the last field are ignored.
  Bytes longer = file;
  longer.insert(longer.end(), {9, 9, 9});
  EXPECT_TRUE(load_bytes(longer, dir).has_value());
}

// Builds a file field by field, so the lists can be made to disagree.
Bytes flat_file(std::uint64_t dims, std::uint32_t metric, const std::vector<float>& vectors,
                const std::vector<std::uint64_t>& ids, const std::vector<std::uint8_t>& live) {
  Encoder e = Encoder::to_memory();
  e.u64(dims);
  e.u32(metric);
  e.f32_seq(vectors);
  e.u64_seq(ids);
  e.length(live.size());
  for (const std::uint8_t b : live) e.u8(b);
  return e.take_bytes();
}

TEST_P(FlatIndexTest, MalformedFilesAreRefused) {
  testing::TempDir dir;
  const std::vector<float> four = {1, 2, 3, 4};
  const struct {
    const char* name;
    Bytes bytes;
    std::string error;
  } cases[] = {
      {"metric code 3", flat_file(2, 3, four, {1, 2}, {1, 1}),
       "serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"live byte 2", flat_file(2, 0, four, {1, 2}, {1, 2}),
       "serialization error: invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {"huge vector count",
       testing::overwrite_u64(flat_file(2, 0, four, {1, 2}, {1, 1}), 12, 1ULL << 62),
       "serialization error: io error: failed to fill whole buffer"},
      {"too few values", flat_file(2, 0, {1, 2, 3}, {1, 2}, {1, 1}),
       "serialization error: inconsistent flat index file: 3 vector values for 2 ids of 2 "
       "dimensions"},
      {"too many values", flat_file(2, 0, {1, 2, 3, 4, 5, 6}, {1, 2}, {1, 1}),
       "serialization error: inconsistent flat index file: 6 vector values for 2 ids of 2 "
       "dimensions"},
      {"values with dimension 0", flat_file(0, 0, {1}, {1}, {1}),
       "serialization error: inconsistent flat index file: 1 vector values for 1 ids of 0 "
       "dimensions"},
      {"product overflows", flat_file(1ULL << 63, 0, {}, {1, 2}, {1, 1}),
       "serialization error: inconsistent flat index file: 0 vector values for 2 ids of "
       "9223372036854775808 dimensions"},
      {"too few live flags", flat_file(2, 0, four, {1, 2}, {1}),
       "serialization error: inconsistent flat index file: 1 live flags for 2 ids"},
      {"too many live flags", flat_file(2, 0, four, {1, 2}, {1, 1, 0}),
       "serialization error: inconsistent flat index file: 3 live flags for 2 ids"},
      {"id live twice", flat_file(1, 0, {1, 2, 3}, {4, 9, 4}, {1, 1, 1}),
       "serialization error: inconsistent flat index file: id 4 is live in rows 0 and 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto loaded = load_bytes(c.bytes, dir);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.error().kind(), ErrorKind::Serialization);
    EXPECT_EQ(loaded.error().display(), c.error);
  }
}

TEST_P(FlatIndexTest, AnIdDeletedInOneRowMayBeLiveInAnother) {
  testing::TempDir dir;
  auto loaded = load_bytes(flat_file(1, 0, {1, 2, 3}, {4, 4, 5}, {0, 1, 1}), dir);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
  EXPECT_EQ(loaded->len(), 2u);
  const auto hits = loaded->search(std::vector<float>{2}, 1);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, 4u);
  EXPECT_EQ((*hits)[0].distance, 0.0f);
  EXPECT_TRUE(loaded->remove(4));
  EXPECT_EQ(items_of(*loaded).size(), 1u);
}

}  // namespace
}  // namespace sorvel
