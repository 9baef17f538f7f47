#include "index/quantized_fp16/fp16_flat_index.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

#include "distance/distance.h"
#include "testing/feature_guard.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

// The shared frame of the compressed flat indexes is exercised here through the half-precision
// codec; the int8 and bit codecs' tests cover only what they change.

namespace sorvel {
namespace {

using testing::TempDir;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

std::map<std::uint64_t, float> all_hits(const Fp16FlatIndex& index, std::span<const float> q) {
  auto hits = index.search(q, index.len() + 5);
  EXPECT_TRUE(hits.has_value());
  std::map<std::uint64_t, float> out;
  for (const SearchHit& h : *hits) out[h.id] = h.distance;
  return out;
}

TEST(Fp16FlatIndex, ScoresAreDistanceOfTheDecodedVectorBitForBit) {
  testing::FeatureGuard guard;
  const std::uint32_t detected = cpu::detect();
  // The fused scan, the vector kernels with a portable decode (no F16C), and the portable family.
  for (const std::uint32_t family : {detected, detected & ~cpu::kF16c, std::uint32_t{0}}) {
    cpu::set_features_for_testing(family);
    for (const std::size_t dims : {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100}) {
      for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        Fp16FlatIndex index(dims, metric);
        // 11 rows: two groups of four and three single rows in the fused scan.
        const std::vector<float> data = testing::random_vectors(11, dims, 7 + dims);
        ASSERT_TRUE(index.add_matrix(data, 11, dims, 100).has_value());
        const std::vector<float> q = testing::random_vectors(1, dims, 99 + dims);
        const auto hits = all_hits(index, q);
        ASSERT_EQ(hits.size(), 11u);
        for (std::uint64_t id = 100; id < 111; ++id) {
          const auto e = index.entry(id);
          ASSERT_TRUE(e.has_value());
          const std::vector<float> decoded = decode_f16(e->code);
          EXPECT_EQ(bits(hits.at(id)), bits(distance(metric, q, decoded)))
              << "dims " << dims << " metric " << static_cast<int>(metric) << " family "
              << family;
        }
      }
    }
  }
}

TEST(Fp16FlatIndex, SearchChecksInOrderAndCutsToK) {
  Fp16FlatIndex index(3, Metric::L2);
  const std::vector<float> wrong = {1.0f, 2.0f};
  auto empty = index.search(wrong, 5);
  ASSERT_TRUE(empty.has_value());  // an empty index answers before looking at the query
  EXPECT_TRUE(empty->empty());

  ASSERT_TRUE(index.add(1, std::vector<float>{0, 0, 0}).has_value());
  ASSERT_TRUE(index.add(2, std::vector<float>{1, 0, 0}).has_value());
  ASSERT_TRUE(index.add(3, std::vector<float>{3, 0, 0}).has_value());
  auto bad = index.search(wrong, 5);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(), "dimension mismatch: expected 3, got 2");

  const std::vector<float> q = {0.9f, 0, 0};
  auto none = index.search(q, 0);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
  auto two = index.search(q, 2);
  ASSERT_TRUE(two.has_value());
  ASSERT_EQ(two->size(), 2u);
  EXPECT_EQ((*two)[0].id, 2u);
  EXPECT_EQ((*two)[1].id, 1u);
  auto all = index.search(q, 100);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->size(), 3u);
  EXPECT_EQ(all->back().id, 3u);
}

TEST(Fp16FlatIndex, NanScoresSortAfterEveryNumber) {
  Fp16FlatIndex index(2, Metric::L2);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  ASSERT_TRUE(index.add(1, std::vector<float>{nan, 0}).has_value());
  ASSERT_TRUE(index.add(2, std::vector<float>{5, 5}).has_value());
  ASSERT_TRUE(index.add(3, std::vector<float>{1, 1}).has_value());
  const std::vector<float> q = {0, 0};
  auto hits = index.search(q, 3);
  ASSERT_TRUE(hits.has_value());
  ASSERT_EQ(hits->size(), 3u);
  EXPECT_EQ((*hits)[0].id, 3u);
  EXPECT_EQ((*hits)[1].id, 2u);
  EXPECT_EQ((*hits)[2].id, 1u);
  EXPECT_TRUE(std::isnan((*hits)[2].distance));
  auto best = index.search(q, 2);
  ASSERT_TRUE(best.has_value());
  EXPECT_EQ(best->back().id, 2u);
}

TEST(Fp16FlatIndex, AddsUpdateAndBatchesStopAtTheFirstBadItem) {
  Fp16FlatIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(5, std::vector<float>{1, 1}).has_value());
  ASSERT_TRUE(index.add(5, std::vector<float>{2, 2}).has_value());
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ(index.entry(5)->code[0], 0x4000);  // 2.0

  auto bad = index.add(6, std::vector<float>{1, 2, 3});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(), "dimension mismatch: expected 2, got 3");
  EXPECT_EQ(index.len(), 1u);

  const std::vector<IndexItem> items = {
      {10, {1, 1}}, {11, {1, 1}}, {12, {1}}, {13, {1, 1}}, {14, {1, 1}}};
  auto batch = index.add_batch(items);
  ASSERT_FALSE(batch.has_value());
  EXPECT_EQ(batch.error().display(), "dimension mismatch: expected 2, got 1");
  EXPECT_TRUE(index.entry(10) && index.entry(11));
  EXPECT_FALSE(index.entry(12) || index.entry(13) || index.entry(14));
  EXPECT_EQ(index.len(), 3u);
}

TEST(Fp16FlatIndex, MatrixIdsWrapAndZeroDimensionsStoreEmptyRows) {
  Fp16FlatIndex index(1, Metric::L2);
  const std::vector<float> data = {1, 2};
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  ASSERT_TRUE(index.add_matrix(data, 2, 1, max).has_value());
  EXPECT_TRUE(index.entry(max) && index.entry(0));
  auto bad = index.add_matrix(data, 1, 2, 0);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(), "dimension mismatch: expected 1, got 2");
  EXPECT_EQ(index.len(), 2u);

  Fp16FlatIndex zero(0, Metric::Cosine);
  ASSERT_TRUE(zero.add_matrix({}, 3, 0, 10).has_value());
  EXPECT_EQ(zero.len(), 3u);
  auto hits = zero.search({}, 10);
  ASSERT_TRUE(hits.has_value());
  EXPECT_EQ(hits->size(), 3u);
}

TEST(Fp16FlatIndex, DeleteMovesTheLastSlotIntoTheHole) {
  Fp16FlatIndex index(1, Metric::L2);
  for (std::uint64_t id = 0; id < 5; ++id) {
    ASSERT_TRUE(index.add(id, std::vector<float>{static_cast<float>(id)}).has_value());
  }
  EXPECT_TRUE(index.remove(1));
  EXPECT_FALSE(index.remove(1));
  EXPECT_TRUE(index.remove(4));  // the last slot itself
  EXPECT_EQ(index.len(), 3u);
  // Every remaining id still owns its own code, wherever its slot moved.
  for (const std::uint64_t id : {0, 2, 3}) {
    ASSERT_TRUE(index.entry(id).has_value());
    EXPECT_EQ(decode_f16(index.entry(id)->code)[0], static_cast<float>(id));
  }
  // An update after the move writes the moved slot, not the old one.
  ASSERT_TRUE(index.add(3, std::vector<float>{30}).has_value());
  EXPECT_EQ(decode_f16(index.entry(3)->code)[0], 30.0f);
  EXPECT_EQ(decode_f16(index.entry(2)->code)[0], 2.0f);
  std::map<std::uint64_t, float> seen;
  auto it = index.iter();
  while (auto item = it->next()) seen[item->id] = item->vector[0];
  EXPECT_EQ(seen, (std::map<std::uint64_t, float>{{0, 0.0f}, {2, 2.0f}, {3, 30.0f}}));
}

// Adds, updates and deletes at random against a plain map: every id must keep its own code through
// the slot moves of deletes and the id table's growth and backward-shift removals.
TEST(Fp16FlatIndex, RandomChurnMatchesAMap) {
  Fp16FlatIndex index(1, Metric::L2);
  std::map<std::uint64_t, float> model;
  std::uint64_t state = 12345;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (int step = 0; step < 60000; ++step) {
    // Ids spread over the whole range, so their hashes collide in every way the table meets.
    const std::uint64_t id = (next() % 700) * 0x9E3779B97F4A7C15ull;
    if (next() % 3 == 0) {
      EXPECT_EQ(index.remove(id), model.erase(id) == 1);
    } else {
      const auto value = static_cast<float>(next() % 2048);
      ASSERT_TRUE(index.add(id, std::vector<float>{value}).has_value());
      model[id] = value;
    }
    if (step % 5000 == 0 || step == 59999) {
      ASSERT_EQ(index.len(), model.size());
      for (std::uint64_t i = 0; i < 700; ++i) {
        const std::uint64_t key = i * 0x9E3779B97F4A7C15ull;
        const auto e = index.entry(key);
        const auto m = model.find(key);
        ASSERT_EQ(e.has_value(), m != model.end()) << key;
        if (e) {
          EXPECT_EQ(f16_to_f32_portable(e->code[0]), m->second);
        }
      }
    }
  }
}

std::vector<std::uint8_t> le(std::uint64_t v, int n) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  return out;
}

std::vector<std::uint8_t> cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(Fp16FlatIndex, FileLayoutIsExact) {
  TempDir dir;
  Fp16FlatIndex empty(3, Metric::DotProduct);
  ASSERT_TRUE(empty.save_file(dir.file("e")).has_value());
  EXPECT_EQ(testing::read_file(dir.file("e")), cat({le(3, 8), le(2, 4), le(0, 8)}));

  Fp16FlatIndex one(2, Metric::Cosine);
  ASSERT_TRUE(one.add(7, std::vector<float>{1.0f, -2.0f}).has_value());
  ASSERT_TRUE(one.save_file(dir.file("one")).has_value());
  EXPECT_EQ(testing::read_file(dir.file("one")),
            cat({le(2, 8), le(1, 4), le(1, 8), le(7, 8), le(2, 8), le(0x3C00, 2), le(0xC000, 2)}));
}

TEST(Fp16FlatIndex, SaveLoadRoundTripsByteForByte) {
  TempDir dir;
  Fp16FlatIndex index(5, Metric::Cosine);
  const std::vector<float> data = testing::random_vectors(40, 5, 3);
  ASSERT_TRUE(index.add_matrix(data, 40, 5, 1000).has_value());
  for (std::uint64_t id = 1000; id < 1040; id += 3) ASSERT_TRUE(index.remove(id));
  ASSERT_TRUE(index.save_file(dir.file("a")).has_value());
  auto loaded = Fp16FlatIndex::load_file(dir.file("a"));
  ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
  EXPECT_EQ(loaded->header().dimensions, 5u);
  EXPECT_EQ(loaded->header().metric, Metric::Cosine);
  EXPECT_EQ(loaded->len(), index.len());
  for (std::uint64_t id = 1000; id < 1040; ++id) {
    const auto a = index.entry(id);
    const auto b = loaded->entry(id);
    ASSERT_EQ(a.has_value(), b.has_value());
    if (a) {
      EXPECT_TRUE(std::equal(a->code.begin(), a->code.end(), b->code.begin()));
    }
  }
  ASSERT_TRUE(loaded->save_file(dir.file("b")).has_value());
  EXPECT_EQ(testing::read_file(dir.file("a")), testing::read_file(dir.file("b")));
}

TEST(Fp16FlatIndex, SaveReplacesTheFileAndFailsWithIo) {
  TempDir dir;
  Fp16FlatIndex index(1, Metric::L2);
  testing::write_file(dir.file("x"), std::vector<std::uint8_t>(100, 0xAB));
  ASSERT_TRUE(index.save_file(dir.file("x")).has_value());
  EXPECT_EQ(testing::read_file(dir.file("x")).size(), 20u);
  auto failed = index.save_file(dir.file("missing/x"));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
}

struct LoadCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  const char* error;  // nullptr: loads
  std::size_t len;
};

TEST(Fp16FlatIndex, LoadChecksInOrder) {
  const auto entry = [](std::uint64_t id, std::uint64_t c, std::vector<std::uint16_t> codes) {
    std::vector<std::uint8_t> out = cat({le(id, 8), le(c, 8)});
    for (const std::uint16_t h : codes) {
      out.push_back(static_cast<std::uint8_t>(h));
      out.push_back(static_cast<std::uint8_t>(h >> 8));
    }
    return out;
  };
  const auto head = [](std::uint64_t dims, std::uint32_t metric, std::uint64_t n) {
    return cat({le(dims, 8), le(metric, 4), le(n, 8)});
  };
  const char* eof = "serialization error: io error: unexpected end of file";
  const std::vector<LoadCase> cases = {
      {"11 bytes", std::vector<std::uint8_t>(11, 0), eof, 0},
      {"19 bytes, metric 1", testing::cut_to(head(2, 1, 0), 19), eof, 0},
      {"19 bytes, metric 7", testing::cut_to(head(2, 7, 0), 19),
       "serialization error: invalid value: integer `7`, expected variant index 0 <= i < 3", 0},
      {"count 3, two entries", cat({head(2, 0, 3), entry(1, 2, {1, 2}), entry(2, 2, {3, 4})}),
       eof, 0},
      {"codes cut off", testing::cut_to(cat({head(2, 0, 1), entry(1, 2, {1, 2})}), 37), eof, 0},
      {"wrong component count", cat({head(2, 0, 1), entry(9, 3, {1, 2, 3})}),
       "serialization error: entry 0 (id 9) holds 3 components where 2 dimensions need 2", 0},
      {"huge component count", cat({head(2, 0, 1), entry(9, ~0ull, {})}),
       "serialization error: entry 0 (id 9) holds 18446744073709551615 components where 2 "
       "dimensions need 2",
       0},
      {"repeated id keeps the later", cat({head(2, 0, 2), entry(4, 2, {1, 2}), entry(4, 2, {5, 6})}),
       nullptr, 1},
      {"trailing bytes ignored", cat({head(2, 0, 1), entry(4, 2, {1, 2}), {1, 2, 3}}), nullptr, 1},
      {"huge count, no entries", head(2, 0, ~0ull), eof, 0},
      // Ends early before making room for a code of 2^58 components.
      {"huge dimension, entry without its code",
       cat({head(1ull << 58, 0, 1), entry(1, 1ull << 58, {})}), eof, 0},
  };
  TempDir dir;
  for (const LoadCase& c : cases) {
    testing::write_file(dir.file("f"), c.bytes);
    auto r = Fp16FlatIndex::load_file(dir.file("f"));
    if (c.error != nullptr) {
      ASSERT_FALSE(r.has_value()) << c.name;
      EXPECT_EQ(r.error().display(), c.error) << c.name;
    } else {
      ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().display();
      EXPECT_EQ(r->len(), c.len) << c.name;
    }
  }
  testing::write_file(dir.file("f"),
                      cat({head(2, 0, 2), entry(4, 2, {1, 2}), entry(4, 2, {5, 6})}));
  auto dup = Fp16FlatIndex::load_file(dir.file("f"));
  ASSERT_TRUE(dup.has_value());
  EXPECT_EQ(dup->entry(4)->code[0], 5);
  EXPECT_EQ(dup->entry(4)->code[1], 6);

  auto missing = Fp16FlatIndex::load_file(dir.file("nope"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

TEST(Fp16FlatIndex, IterationDecodesEveryEntry) {
  Fp16FlatIndex index(2, Metric::L2);
  ASSERT_TRUE(index.add(1, std::vector<float>{0.1f, 65520.0f}).has_value());
  auto it = index.iter();
  auto item = it->next();
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->id, 1u);
  EXPECT_EQ(item->vector[0], f16_to_f32_portable(f32_to_f16_portable(0.1f)));
  EXPECT_TRUE(std::isinf(item->vector[1]));
  EXPECT_FALSE(it->next().has_value());
}

}  // namespace
}  // namespace sorvel
