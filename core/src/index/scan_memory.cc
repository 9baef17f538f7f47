#include "index/scan_memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace sorvel::scan_memory {
namespace {

std::size_t mapped_size(std::size_t bytes) {
  return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

}  // namespace

void* allocate(std::size_t bytes) {
  if (bytes < kOwnMappingBytes) return ::operator new(bytes);
  if (bytes > static_cast<std::size_t>(-1) - 2 * kHugePageBytes) throw std::bad_alloc();
  const std::size_t size = mapped_size(bytes);
  // Map a huge page more than needed and trim both ends, so the block starts on a 2 MiB boundary
  // and every huge page of it can be backed by one.
  void* raw = ::mmap(nullptr, size + kHugePageBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + size;
  const std::uintptr_t end = start + size + kHugePageBytes;
  if (end > tail) ::munmap(reinterpret_cast<void*>(tail), end - tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  // Advice only: without transparent huge pages the block keeps ordinary pages.
  (void)::madvise(block, size, MADV_HUGEPAGE);
#endif
  return block;
}

void deallocate(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  if (bytes < kOwnMappingBytes) {
    ::operator delete(p);
    return;
  }
  ::munmap(p, mapped_size(bytes));
}

}  // namespace sorvel::scan_memory
