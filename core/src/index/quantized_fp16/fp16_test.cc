#include "index/quantized_fp16/fp16.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "distance/distance.h"

namespace sorvel {
namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

struct EncodeCase {
  std::uint32_t input;  // binary32 bit pattern
  std::uint16_t expected;
};

TEST(Fp16, PortableEncodeRoundsToNearestEven) {
  const EncodeCase cases[] = {
      {bits(1.0f), 0x3C00},
      {bits(65504.0f), 0x7BFF},
      {bits(65519.99f), 0x7BFF},
      {bits(65520.0f), 0x7C00},  // rounds up into infinity
      {bits(-0.0f), 0x8000},
      {bits(0.0f), 0x0000},
      {bits(std::ldexp(1.0f, -14)), 0x0400},
      {bits(std::ldexp(1.0f, -14) - std::ldexp(1.0f, -25)), 0x0400},  // tie, to even
      {bits(std::ldexp(1.0f, -24)), 0x0001},
      {bits(std::ldexp(1.0f, -25)), 0x0000},  // tie between 0 and the smallest subnormal
      {0x33000001u, 0x0001},
      {bits(std::ldexp(1.5f, -24)), 0x0002},  // tie between 1 and 2, to even
      {bits(-std::ldexp(1.0f, -26)), 0x8000},
      {bits(1e-45f), 0x0000},  // binary32 subnormal
      {bits(65536.0f), 0x7C00},
      {bits(-INFINITY), 0xFC00},
      {0x7FC00000u, 0x7E00},
      {0x7F800001u, 0x7E00},  // signalling NaN comes out quiet
      {0x7F802000u, 0x7E01},  // payload's top ten bits kept
      {0xFFFFFFFFu, 0xFFFF},
      {bits(1.0f + std::ldexp(1.0f, -11)), 0x3C00},  // tie, even stays
      {bits(1.0f + 3 * std::ldexp(1.0f, -11)), 0x3C02},  // tie, odd rounds up
  };
  for (const EncodeCase& c : cases) {
    EXPECT_EQ(f32_to_f16_portable(from_bits(c.input)), c.expected) << std::hex << c.input;
  }
}

struct DecodeCase {
  std::uint16_t input;
  std::uint32_t expected;
};

TEST(Fp16, PortableDecodeIsExact) {
  const DecodeCase cases[] = {
      {0x0001, bits(std::ldexp(1.0f, -24))}, {0x0400, bits(std::ldexp(1.0f, -14))},
      {0x03FF, bits(std::ldexp(1023.0f, -24))}, {0x7BFF, bits(65504.0f)},
      {0x7C00, bits(INFINITY)},            {0xFC00, bits(-INFINITY)},
      {0x7C01, 0x7FC02000u},               {0x7E00, 0x7FC00000u},
      {0x8000, bits(-0.0f)},               {0x3C00, bits(1.0f)},
      {0xBC00, bits(-1.0f)},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(bits(f16_to_f32_portable(c.input)), c.expected) << std::hex << c.input;
  }
}

TEST(Fp16, EveryCodeSurvivesDecodeThenEncodeExceptSignallingNaNs) {
  for (std::uint32_t h = 0; h < 65536; ++h) {
    const auto code = static_cast<std::uint16_t>(h);
    const bool signalling = (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0 && (h & 0x200) == 0;
    const std::uint16_t back = f32_to_f16_portable(f16_to_f32_portable(code));
    EXPECT_EQ(back, signalling ? (code | 0x200) : code) << h;
  }
}

class Fp16F16c : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cpu::use_f16c()) GTEST_SKIP() << "no F16C on this processor";
  }
};

TEST_F(Fp16F16c, DecodeMatchesPortableForAllCodes) {
  std::vector<std::uint16_t> codes(65536);
  for (std::uint32_t h = 0; h < 65536; ++h) codes[h] = static_cast<std::uint16_t>(h);
  // Odd lengths run the scalar tail of the instruction path too.
  for (const std::size_t n : {std::size_t{65536}, std::size_t{65533}}) {
    std::vector<float> hw(n);
    fp16_f16c::decode(codes.data(), n, hw.data());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(bits(hw[i]), bits(f16_to_f32_portable(codes[i]))) << std::hex << codes[i];
    }
  }
}

// Every f32 pattern around each binary16 value and rounding midpoint (where the rounding decides),
// every NaN payload position, both zeros and infinities, plus an even spread over all 2^32
// patterns.
std::vector<std::uint32_t> encode_sample() {
  std::vector<std::uint32_t> out;
  for (std::uint32_t h = 0; h < 0x7C00; ++h) {
    const std::uint32_t v = bits(f16_to_f32_portable(static_cast<std::uint16_t>(h)));
    const std::uint32_t next = bits(f16_to_f32_portable(static_cast<std::uint16_t>(h + 1)));
    const std::uint32_t mid = bits((from_bits(v) + from_bits(next)) / 2.0f);
    for (const std::uint32_t c : {v, mid}) {
      for (std::uint32_t delta = 0; delta < 3; ++delta) {
        for (const std::uint32_t sign : {0u, 0x80000000u}) {
          out.push_back((c + delta - 1) | sign);
        }
      }
    }
  }
  for (std::uint32_t bit = 0; bit < 23; ++bit) {
    for (const std::uint32_t sign : {0u, 0x80000000u}) {
      out.push_back(0x7F800000u | (1u << bit) | sign);           // signalling and quiet payloads
      out.push_back(0x7FC00000u | (1u << bit) | sign);
    }
  }
  for (const std::uint32_t special : {0u, 0x80000000u, 0x7F800000u, 0xFF800000u, 1u, 0x807FFFFFu}) {
    out.push_back(special);
  }
  for (std::uint64_t p = 0; p < (std::uint64_t{1} << 32); p += 4093) {
    out.push_back(static_cast<std::uint32_t>(p));
  }
  return out;
}

TEST_F(Fp16F16c, EncodeMatchesPortableOverSample) {
  const std::vector<std::uint32_t> sample = encode_sample();
  std::vector<float> values(sample.size());
  for (std::size_t i = 0; i < sample.size(); ++i) values[i] = from_bits(sample[i]);
  std::vector<std::uint16_t> hw(values.size());
  fp16_f16c::encode(values.data(), values.size() - 3, hw.data());  // leaves a scalar tail
  fp16_f16c::encode(values.data() + values.size() - 3, 3, hw.data() + values.size() - 3);
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(hw[i], f32_to_f16_portable(values[i])) << std::hex << sample[i];
  }
}

TEST(Fp16, DispatchFollowsTheFeatureCache) {
  const std::uint32_t saved = cpu::features();
  const std::vector<float> v = {1.0f, from_bits(0x7F800001u), -0.0f, 65520.0f};
  const std::vector<std::uint16_t> expected = {0x3C00, 0x7E00, 0x8000, 0x7C00};
  cpu::set_features_for_testing(0);
  EXPECT_EQ(encode_f16(v), expected);
  EXPECT_EQ(bits(decode_f16(expected)[1]), 0x7FC00000u);
  cpu::set_features_for_testing(saved);
  EXPECT_EQ(encode_f16(v), expected);
  EXPECT_EQ(bits(decode_f16(expected)[1]), 0x7FC00000u);
}

}  // namespace
}  // namespace sorvel
