#include "owner_process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace sorvel {

namespace {

std::atomic<pid_t> g_pid{0};

void note_process_id() noexcept { g_pid.store(::getpid(), std::memory_order_relaxed); }

}  // namespace

pid_t current_process_id() noexcept {
  // The handler is registered before any caller can have seen an id, so every child made by fork
  // after that point reads its own. (A child made by vfork or posix_spawn runs none of this code.)
  static const bool registered = [] {
    note_process_id();
    return ::pthread_atfork(nullptr, nullptr, &note_process_id) == 0;
  }();
  if (!registered) [[unlikely]] return ::getpid();
  return g_pid.load(std::memory_order_relaxed);
}

}  // namespace sorvel
