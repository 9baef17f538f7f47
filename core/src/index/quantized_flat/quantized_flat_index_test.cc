#include "index/quantized_flat/quantized_flat_index.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <vector>

#include "distance/distance.h"
#include "testing/feature_guard.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

using testing::TempDir;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

struct QuantizeCase {
  std::vector<float> input;
  float scale;
  std::vector<std::int8_t> codes;
};

TEST(QuantizeI8, ScalesToTheLargestMagnitudeAndRoundsHalfAwayFromZero) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<QuantizeCase> cases = {
      {{1.0f, -0.5f, 0.25f}, 127.0f, {127, -64, 32}},
      {{1.0f, 0.5f}, 127.0f, {127, 64}},
      {{-1.0f, -0.5f}, 127.0f, {-127, -64}},
      {{0.0f, 0.0f, 0.0f}, 1.0f, {0, 0, 0}},
      {{nan, 2.0f}, 63.5f, {0, 127}},
      {{inf, 1.0f}, 0.0f, {0, 0}},
      {{1e-37f}, inf, {127}},
      {{1.0f, 2.0f}, 63.5f, {64, 127}},
      {{2.0f, 4.0f}, 31.75f, {64, 127}},
      {{}, 1.0f, {}},
  };
  for (const QuantizeCase& c : cases) {
    const QuantizedVector q = quantize_i8(c.input);
    EXPECT_EQ(bits(q.scale), bits(c.scale));
    EXPECT_EQ(q.codes, c.codes);
  }
}

TEST(QuantizeI8, DecodesByDivision) {
  const QuantizedVector q = quantize_i8(std::vector<float>{1.0f, -0.5f, 0.25f});
  std::vector<float> out(3);
  dequantize_i8(q.codes.data(), q.scale, 3, out.data());
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], -64.0f / 127.0f);
  EXPECT_EQ(out[2], 32.0f / 127.0f);
  // A zero scale (whose codes are all 0) decodes to NaN, an infinite one to zeros carrying the
  // code's sign.
  const std::int8_t zeros[2] = {0, 0};
  dequantize_i8(zeros, 0.0f, 2, out.data());
  const std::int8_t codes[2] = {5, -5};
  EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
  dequantize_i8(codes, std::numeric_limits<float>::infinity(), 2, out.data());
  EXPECT_EQ(bits(out[0]), bits(0.0f));
  EXPECT_EQ(bits(out[1]), bits(-0.0f));
}

TEST(QuantizedFlatIndex, ScoresAreDistanceOfTheDecodedVectorBitForBit) {
  testing::FeatureGuard guard;
  for (const std::uint32_t family : {cpu::detect(), std::uint32_t{0}}) {
    cpu::set_features_for_testing(family);
    for (const std::size_t dims : {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100}) {
      for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
        QuantizedFlatIndex index(dims, metric);
        std::vector<float> data = testing::random_vectors(11, dims, 5 + dims);
        // Scales that are not powers of two, so the division rounds.
        for (std::size_t i = 0; i < data.size(); ++i) data[i] *= 0.37f + static_cast<float>(i % 5);
        ASSERT_TRUE(index.add_matrix(data, 11, dims, 0).has_value());
        const std::vector<float> q = testing::random_vectors(1, dims, 77 + dims);
        auto hits = index.search(q, 20);
        ASSERT_TRUE(hits.has_value());
        ASSERT_EQ(hits->size(), 11u);
        for (const SearchHit& h : *hits) {
          const auto e = index.entry(h.id);
          std::vector<float> decoded(dims);
          dequantize_i8(e->code.data(), e->aux, dims, decoded.data());
          EXPECT_EQ(bits(h.distance), bits(distance(metric, q, decoded)))
              << "dims " << dims << " metric " << static_cast<int>(metric) << " family "
              << family;
        }
      }
    }
  }
}

TEST(QuantizedFlatIndex, FileRoundTripsScalesAndCodes) {
  TempDir dir;
  QuantizedFlatIndex index(3, Metric::DotProduct);
  ASSERT_TRUE(index.add(7, std::vector<float>{1.0f, -0.5f, 0.25f}).has_value());
  ASSERT_TRUE(index.save_file(dir.file("a")).has_value());
  const std::vector<std::uint8_t> bytes = testing::read_file(dir.file("a"));
  // header, then id 7, count 3, codes 127 -64 32, scale 127.0f
  const std::vector<std::uint8_t> expected = {
      3, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,  //
      7, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 127, 0xC0, 32, 0x00, 0x00, 0xFE, 0x42};
  EXPECT_EQ(bytes, expected);

  // A NaN scale and the code -128 only come from a file; both are taken as stored.
  std::vector<std::uint8_t> odd = bytes;
  odd[36] = 0x80;
  odd[39] = 0x01;
  odd[40] = 0x00;
  odd[41] = 0xC0;
  odd[42] = 0x7F;
  testing::write_file(dir.file("b"), odd);
  auto loaded = QuantizedFlatIndex::load_file(dir.file("b"));
  ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
  EXPECT_EQ(loaded->entry(7)->code[0], -128);
  EXPECT_EQ(bits(loaded->entry(7)->aux), 0x7FC00001u);
  ASSERT_TRUE(loaded->save_file(dir.file("c")).has_value());
  EXPECT_EQ(testing::read_file(dir.file("c")), odd);

  testing::write_file(dir.file("d"), testing::cut_to(bytes, bytes.size() - 1));
  auto cut = QuantizedFlatIndex::load_file(dir.file("d"));
  ASSERT_FALSE(cut.has_value());
  EXPECT_EQ(cut.error().display(), "serialization error: io error: unexpected end of file");

  testing::write_file(dir.file("e"), testing::overwrite_u64(bytes, 28, 2));
  auto wrong = QuantizedFlatIndex::load_file(dir.file("e"));
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().display(),
            "serialization error: entry 0 (id 7) holds 2 codes where 3 dimensions need 3");
}

TEST(QuantizedFlatIndex, RandomIndexRoundTripsByteForByte) {
  TempDir dir;
  QuantizedFlatIndex index(17, Metric::L2);
  const std::vector<float> data = testing::random_vectors(30, 17, 11);
  ASSERT_TRUE(index.add_matrix(data, 30, 17, 0).has_value());
  ASSERT_TRUE(index.remove(4));
  ASSERT_TRUE(index.save_file(dir.file("a")).has_value());
  auto loaded = QuantizedFlatIndex::load_file(dir.file("a"));
  ASSERT_TRUE(loaded.has_value());
  ASSERT_TRUE(loaded->save_file(dir.file("b")).has_value());
  EXPECT_EQ(testing::read_file(dir.file("a")), testing::read_file(dir.file("b")));
  EXPECT_EQ(testing::read_file(dir.file("a")).size(), 20u + 29u * (20u + 17u));
}

}  // namespace
}  // namespace sorvel
