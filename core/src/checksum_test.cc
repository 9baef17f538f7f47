#include "checksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace sorvel {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Crc32cTest, KnownValuesAndChaining) {
  // The check value of the Castagnoli CRC, and the published test of 32 zero bytes.
  EXPECT_EQ(crc32c(bytes_of("123456789")), 0xe3069283u);
  EXPECT_EQ(crc32c(std::vector<std::uint8_t>(32, 0)), 0x8a9136aau);
  EXPECT_EQ(crc32c({}), 0u);
  EXPECT_EQ(crc32c(bytes_of("56789"), crc32c(bytes_of("1234"))), 0xe3069283u);
}

TEST(Crc32cTest, InstructionAndTableAgreeAtEveryLengthAndAlignment) {
  std::vector<std::uint8_t> data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
  if (!checksum_detail::has_crc32_instruction()) GTEST_SKIP() << "no SSE4.2 on this processor";
  for (std::size_t offset = 0; offset < 9; ++offset) {
    for (std::size_t n = 0; n + offset <= data.size(); n += 7) {
      const std::span<const std::uint8_t> part(data.data() + offset, n);
      ASSERT_EQ(checksum_detail::crc32c_instruction(part, 0x1234u),
                checksum_detail::crc32c_table(part, 0x1234u))
          << offset << " " << n;
    }
  }
  // Long inputs go through three interleaved streams, in blocks of 32 KiB.
  std::vector<std::uint8_t> large(3 * 98304 + 77);
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
  }
  for (const std::size_t n : {std::size_t{98303}, std::size_t{98304}, std::size_t{98305},
                              std::size_t{196613}, large.size()}) {
    const std::span<const std::uint8_t> part(large.data() + 3, n - 3);
    ASSERT_EQ(checksum_detail::crc32c_instruction(part, 0), checksum_detail::crc32c_table(part, 0))
        << n;
  }
}

}  // namespace
}  // namespace sorvel
