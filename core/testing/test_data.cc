#include "test_data.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace sorvel::testing {

std::vector<float> random_vectors(std::size_t rows, std::size_t dims, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> out(rows * dims);
  for (float& x : out) x = uniform(gen);
  return out;
}

std::vector<std::uint8_t> flip_byte(std::vector<std::uint8_t> bytes, std::size_t offset,
                                    std::uint8_t mask) {
  bytes.at(offset) ^= mask;
  return bytes;
}

std::vector<std::uint8_t> cut_to(std::vector<std::uint8_t> bytes, std::size_t size) {
  if (size > bytes.size()) throw std::out_of_range("cut_to beyond the end");
  bytes.resize(size);
  return bytes;
}

std::vector<std::uint8_t> overwrite_u64(std::vector<std::uint8_t> bytes, std::size_t offset,
                                        std::uint64_t value) {
  if (offset + 8 > bytes.size()) throw std::out_of_range("overwrite_u64 beyond the end");
  std::memcpy(bytes.data() + offset, &value, 8);
  return bytes;
}

std::vector<std::uint8_t> overwrite_u32(std::vector<std::uint8_t> bytes, std::size_t offset,
                                        std::uint32_t value) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("overwrite_u32 beyond the end");
  std::memcpy(bytes.data() + offset, &value, 4);
  return bytes;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace sorvel::testing
