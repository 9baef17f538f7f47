#include "owner_process.h"

#include <sys/mman.h>
#include <unistd.h>

namespace sorvel {

namespace {

std::size_t page_bytes() {
  const long page = ::sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

}  // namespace

OwnerProcess::OwnerProcess() noexcept : pid_(::getpid()) {
  void* page = ::mmap(nullptr, page_bytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
  if (page == MAP_FAILED) return;
  if (::madvise(page, page_bytes(), MADV_WIPEONFORK) != 0) {
    (void)::munmap(page, page_bytes());  // nothing to keep: getpid(2) decides instead
    return;
  }
  mark_ = static_cast<std::uint8_t*>(page);
  __atomic_store_n(mark_, std::uint8_t{1}, __ATOMIC_RELEASE);
}

OwnerProcess::~OwnerProcess() {
  if (mark_ != nullptr) (void)::munmap(mark_, page_bytes());  // nothing to report on release
}

bool OwnerProcess::is_current() const noexcept {
  if (mark_ != nullptr) return __atomic_load_n(mark_, __ATOMIC_ACQUIRE) != 0;
  return ::getpid() == pid_;
}

}  // namespace sorvel
