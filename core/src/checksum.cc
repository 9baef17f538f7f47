#include "checksum.h"

#include <array>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

#include "target_region.h"

namespace sorvel::checksum_detail {

namespace {

constexpr std::uint32_t kPolynomial = 0x82f63b78u;  // 0x1edc6f41 reflected

// Slicing by 8: table t holds the CRC of a byte followed by t zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t s = 1; s < 8; ++s) {
    for (std::size_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
  }
  return t;
}

constexpr auto kTables = make_tables();

}  // namespace

std::uint32_t crc32c_table(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  std::uint32_t c = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);  // little-endian, as the reflected algorithm reads it
    word ^= c;
    c = kTables[7][word & 0xff] ^ kTables[6][(word >> 8) & 0xff] ^
        kTables[5][(word >> 16) & 0xff] ^ kTables[4][(word >> 24) & 0xff] ^
        kTables[3][(word >> 32) & 0xff] ^ kTables[2][(word >> 40) & 0xff] ^
        kTables[1][(word >> 48) & 0xff] ^ kTables[0][word >> 56];
  }
  for (; n > 0; ++p, --n) c = (c >> 8) ^ kTables[0][(c ^ *p) & 0xff];
  return ~c;
}

bool has_crc32_instruction() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2");
#else
  return false;
#endif
}

}  // namespace sorvel::checksum_detail

#if defined(__x86_64__)
SORVEL_TARGET_BEGIN("sse4.2")

namespace sorvel::checksum_detail {

std::uint32_t crc32c_instruction(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  std::uint64_t c = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    c = _mm_crc32_u64(c, word);
  }
  auto c32 = static_cast<std::uint32_t>(c);
  for (; n > 0; ++p, --n) c32 = _mm_crc32_u8(c32, *p);
  return ~c32;
}

}  // namespace sorvel::checksum_detail

SORVEL_TARGET_END
#else
namespace sorvel::checksum_detail {
std::uint32_t crc32c_instruction(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  return crc32c_table(bytes, crc);
}
}  // namespace sorvel::checksum_detail
#endif

namespace sorvel {

std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  static const bool instruction = checksum_detail::has_crc32_instruction();
  return instruction ? checksum_detail::crc32c_instruction(bytes, crc)
                     : checksum_detail::crc32c_table(bytes, crc);
}

}  // namespace sorvel
