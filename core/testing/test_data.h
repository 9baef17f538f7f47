#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Seeded test data and byte corruption helpers for format tests.

namespace sorvel::testing {

// rows x dims floats, uniform in [-1, 1), from a fixed seed: the same arguments give the same data.
std::vector<float> random_vectors(std::size_t rows, std::size_t dims, std::uint64_t seed);

// A copy of `bytes` with the byte at `offset` XOR-ed with `mask`.
std::vector<std::uint8_t> flip_byte(std::vector<std::uint8_t> bytes, std::size_t offset,
                                    std::uint8_t mask = 0xff);
// The first `size` bytes of `bytes`.
std::vector<std::uint8_t> cut_to(std::vector<std::uint8_t> bytes, std::size_t size);
// A copy with the little-endian u64 at `offset` replaced by `value` (a length made to lie).
std::vector<std::uint8_t> overwrite_u64(std::vector<std::uint8_t> bytes, std::size_t offset,
                                        std::uint64_t value);
// A copy with the little-endian u32 at `offset` replaced by `value`.
std::vector<std::uint8_t> overwrite_u32(std::vector<std::uint8_t> bytes, std::size_t offset,
                                        std::uint32_t value);

// Writes `bytes` as the whole content of `path`, replacing it; throws on failure.
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
// The whole content of `path`; throws on failure.
std::vector<std::uint8_t> read_file(const std::string& path);

}  // namespace sorvel::testing
