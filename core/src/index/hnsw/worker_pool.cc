#include "index/hnsw/worker_pool.h"

#include <sched.h>

#include <utility>

namespace sorvel {

std::thread WorkerPool::default_launch(std::function<void()> body) {
  return std::thread(std::move(body));
}

WorkerPool::WorkerPool(std::size_t threads, const Launcher& launch) {
  if (threads == 0) threads = 1;
  threads_.reserve(threads);
  try {
    for (std::size_t i = 0; i < threads; ++i) {
      threads_.push_back(launch([this, i] { work(i); }));
    }
  } catch (...) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& t : threads_) t.join();
    throw;
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::run(std::size_t count,
                     const std::function<void(std::size_t, std::size_t)>& task) {
  if (count == 0) return;
  {
    std::lock_guard lock(mutex_);
    task_ = &task;
    count_ = count;
    next_.store(0, std::memory_order_relaxed);
    failed_.store(false, std::memory_order_relaxed);
    error_ = nullptr;
    busy_ = threads_.size();
    ++generation_;
  }
  work_ready_.notify_all();
  std::exception_ptr error;
  {
    std::unique_lock lock(mutex_);
    work_done_.wait(lock, [this] { return busy_ == 0; });
    task_ = nullptr;
    error = std::exchange(error_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

void WorkerPool::work(std::size_t worker) {
  std::uint64_t seen = 0;
  for (;;) {
    const std::function<void(std::size_t, std::size_t)>* task;
    std::size_t count;
    {
      std::unique_lock lock(mutex_);
      work_ready_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      task = task_;
      count = count_;
    }
    while (!failed_.load(std::memory_order_relaxed)) {
      const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
      if (index >= count) break;
      try {
        (*task)(index, worker);
      } catch (...) {
        std::lock_guard lock(mutex_);
        if (!error_) error_ = std::current_exception();
        failed_.store(true, std::memory_order_relaxed);
      }
    }
    std::lock_guard lock(mutex_);
    if (--busy_ == 0) work_done_.notify_one();
  }
}

std::size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

}  // namespace sorvel
