#pragma once

#include <cstdint>
#include <span>

namespace sorvel {

// CRC-32C (the Castagnoli polynomial, reflected, initial value and final xor 0xffffffff) of
// `bytes`, continuing from `crc`, the checksum of the bytes before them (0 for none): so
// crc32c(b, crc32c(a)) is the checksum of a followed by b. The processor's crc32 instruction is
// used when it has one (SSE4.2), a table otherwise; both give the same value. Thread-safe.
std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

namespace checksum_detail {
// The two ways of computing it, callable directly so that tests compare them.
std::uint32_t crc32c_table(std::span<const std::uint8_t> bytes, std::uint32_t crc);
// Only on a processor with SSE4.2.
std::uint32_t crc32c_instruction(std::span<const std::uint8_t> bytes, std::uint32_t crc);
// Whether crc32c() uses the instruction on this processor.
bool has_crc32_instruction();
}  // namespace checksum_detail

}  // namespace sorvel
