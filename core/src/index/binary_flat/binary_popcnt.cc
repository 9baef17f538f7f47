// The population-count scan. Every header comes before the target pragma, so no standard-library
// inline is compiled for the instruction by accident.

#include <bit>
#include <cstddef>
#include <cstdint>

#include "index/binary_flat/binary_flat_index.h"
#include "target_region.h"

#if defined(__x86_64__) || defined(__i386__)
SORVEL_TARGET_BEGIN("popcnt")
#endif

namespace sorvel::binary_scan {

void hamming_popcnt(const std::uint64_t* query, const std::uint64_t* codes, std::size_t rows,
                    std::size_t words, std::uint32_t* out) {
  if (words == 2) {
    // The common 128-bit code, unrolled.
    const std::uint64_t q0 = query[0];
    const std::uint64_t q1 = query[1];
    for (std::size_t r = 0; r < rows; ++r) {
      const std::uint64_t* e = codes + 2 * r;
      out[r] = static_cast<std::uint32_t>(__builtin_popcountll(q0 ^ e[0]) +
                                          __builtin_popcountll(q1 ^ e[1]));
    }
    return;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint64_t* e = codes + r * words;
    std::uint32_t h = 0;
    for (std::size_t j = 0; j < words; ++j) {
      h += static_cast<std::uint32_t>(__builtin_popcountll(query[j] ^ e[j]));
    }
    out[r] = h;
  }
}

std::size_t filter_popcnt(const std::uint64_t* query, const std::uint64_t* codes, std::size_t rows,
                          std::size_t words, std::int64_t cutoff, std::uint32_t* rows_out,
                          std::uint32_t* h_out) {
  std::size_t n = 0;
  // Once the collector is full nearly every row is rejected, so the kept branch is rarely taken
  // and well predicted; two rows per step overlap their counts.
  if (words == 2) {
    const std::uint64_t q0 = query[0];
    const std::uint64_t q1 = query[1];
    std::size_t r = 0;
    for (; r + 2 <= rows; r += 2) {
      const std::uint64_t* e = codes + 2 * r;
      const auto h0 = static_cast<std::int64_t>(__builtin_popcountll(q0 ^ e[0]) +
                                                __builtin_popcountll(q1 ^ e[1]));
      const auto h1 = static_cast<std::int64_t>(__builtin_popcountll(q0 ^ e[2]) +
                                                __builtin_popcountll(q1 ^ e[3]));
      if ((h0 < h1 ? h0 : h1) <= cutoff) [[unlikely]] {
        if (h0 <= cutoff) {
          rows_out[n] = static_cast<std::uint32_t>(r);
          h_out[n++] = static_cast<std::uint32_t>(h0);
        }
        if (h1 <= cutoff) {
          rows_out[n] = static_cast<std::uint32_t>(r + 1);
          h_out[n++] = static_cast<std::uint32_t>(h1);
        }
      }
    }
    if (r < rows) {
      const std::uint64_t* e = codes + 2 * r;
      const auto h = static_cast<std::int64_t>(__builtin_popcountll(q0 ^ e[0]) +
                                               __builtin_popcountll(q1 ^ e[1]));
      if (h <= cutoff) {
        rows_out[n] = static_cast<std::uint32_t>(r);
        h_out[n++] = static_cast<std::uint32_t>(h);
      }
    }
    return n;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint64_t* e = codes + r * words;
    std::int64_t h = 0;
    for (std::size_t j = 0; j < words; ++j) h += __builtin_popcountll(query[j] ^ e[j]);
    rows_out[n] = static_cast<std::uint32_t>(r);
    h_out[n] = static_cast<std::uint32_t>(h);
    n += h <= cutoff ? 1 : 0;
  }
  return n;
}

}  // namespace sorvel::binary_scan

#if defined(__x86_64__) || defined(__i386__)
SORVEL_TARGET_END
#endif
