#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace sorvel {

// Memory for the arrays that exhaustive scans read end to end: the rows of the flat index and the
// codes of the compressed flat indexes. A block of kOwnMappingBytes or more gets an anonymous
// mapping of its own, aligned to 2 MiB and offered to the kernel's transparent huge pages; smaller
// blocks come from operator new. On 4 KiB pages a scan takes a TLB miss every 4 KiB and the
// hardware prefetchers stop at every page boundary, which measured 25-40% below the read rate of
// the same scan over huge pages. Where the kernel has no huge pages to give, the mapping works with
// ordinary ones. Thread-safe.
namespace scan_memory {
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
inline constexpr std::size_t kOwnMappingBytes = kHugePageBytes;

// `bytes` of storage aligned to at least alignof(std::max_align_t); std::bad_alloc on failure.
void* allocate(std::size_t bytes);
// Releases what allocate(bytes) returned, with the same `bytes`.
void deallocate(void* p, std::size_t bytes) noexcept;
}  // namespace scan_memory

template <class T>
struct ScanAllocator {
  using value_type = T;

  ScanAllocator() = default;
  template <class U>
  ScanAllocator(const ScanAllocator<U>&) noexcept {}  // NOLINT: allocators convert implicitly

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(scan_memory::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { scan_memory::deallocate(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const ScanAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using ScanVector = std::vector<T, ScanAllocator<T>>;

}  // namespace sorvel
