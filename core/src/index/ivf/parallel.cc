#include "index/ivf/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace sorvel {

void parallel_for(std::size_t count, std::size_t max_threads,
                  const std::function<void(std::size_t)>& task) {
  if (count == 0) return;
  std::size_t threads = max_threads;
  if (threads == 0) threads = std::max<std::size_t>(1, std::thread::hardware_concurrency());
  threads = std::min(threads, count);
  if (threads == 1) {
    for (std::size_t i = 0; i < count; ++i) task(i);
    return;
  }

  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::exception_ptr error;
  auto work = [&] {
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      try {
        task(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
        return;
      }
    }
  };

  std::vector<std::thread> helpers;
  try {
    helpers.reserve(threads - 1);
    for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  } catch (...) {
    // Fewer helpers than asked for: the threads that exist share the work.
  }
  work();
  for (auto& helper : helpers) helper.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace sorvel
