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

// a * b modulo the polynomial, both in the reflected form of a CRC register (bit 31 is x^0).
constexpr std::uint32_t multiply_mod(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
    if ((a & bit) != 0) product ^= b;
    b = (b & 1) != 0 ? (b >> 1) ^ kPolynomial : b >> 1;
  }
  return product;
}

// x^(8 * bytes) modulo the polynomial: what appending `bytes` zero bytes multiplies a register by.
constexpr std::uint32_t shift_for(std::uint64_t bytes) {
  std::uint32_t result = 1u << 31;  // x^0
  std::uint32_t power = 1u << 30;   // x^1
  for (std::uint64_t e = 8 * bytes; e != 0; e >>= 1) {
    if ((e & 1) != 0) result = multiply_mod(result, power);
    power = multiply_mod(power, power);
  }
  return result;
}

// The instruction's result comes three cycles after its input, so three independent streams over
// consecutive blocks keep it busy; a register is moved past the blocks after it by a multiply.
constexpr std::size_t kStreamBlock = 32768;
constexpr std::uint32_t kShiftOneBlock = shift_for(kStreamBlock);
constexpr std::uint32_t kShiftTwoBlocks = shift_for(2 * kStreamBlock);

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
  for (; n >= 3 * kStreamBlock; p += 3 * kStreamBlock, n -= 3 * kStreamBlock) {
    std::uint64_t c1 = 0;
    std::uint64_t c2 = 0;
    for (std::size_t i = 0; i < kStreamBlock; i += 8) {
      std::uint64_t w0, w1, w2;
      std::memcpy(&w0, p + i, 8);
      std::memcpy(&w1, p + kStreamBlock + i, 8);
      std::memcpy(&w2, p + 2 * kStreamBlock + i, 8);
      c = _mm_crc32_u64(c, w0);
      c1 = _mm_crc32_u64(c1, w1);
      c2 = _mm_crc32_u64(c2, w2);
    }
    c = multiply_mod(kShiftTwoBlocks, static_cast<std::uint32_t>(c)) ^
        multiply_mod(kShiftOneBlock, static_cast<std::uint32_t>(c1)) ^ c2;
  }
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
