#include "index/scan_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

namespace sorvel {
namespace {

// Growing past the size that gets a mapping of its own moves the contents from operator new to a
// mapping and then between mappings; every block is released with the size it was made with.
TEST(ScanMemoryTest, VectorsKeepTheirContentsAcrossBothKindsOfBlock) {
  ScanVector<std::uint32_t> v;
  std::uint32_t next = 0;
  for (const std::size_t bytes :
       {std::size_t{100}, scan_memory::kOwnMappingBytes - 4, scan_memory::kOwnMappingBytes + 4,
        3 * scan_memory::kHugePageBytes, std::size_t{100}}) {
    const std::size_t n = bytes / sizeof(std::uint32_t);
    if (n < v.size()) {
      v.resize(n);
      v.shrink_to_fit();
    }
    while (v.size() < n) v.push_back(next++);
    std::vector<std::uint32_t> want(v.size());
    std::iota(want.begin(), want.end(), 0u);
    ASSERT_TRUE(std::equal(v.begin(), v.end(), want.begin())) << bytes << " bytes";
    if (v.capacity() * sizeof(std::uint32_t) >= scan_memory::kOwnMappingBytes) {
      // A block of its own starts on a huge-page boundary.
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % scan_memory::kHugePageBytes, 0u);
    }
  }
}

}  // namespace
}  // namespace sorvel
