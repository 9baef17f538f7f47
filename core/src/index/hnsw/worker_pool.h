#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sorvel {

// A fixed set of worker threads owned by one caller, which runs batches of independent tasks on
// them and waits for each batch. The threads end when the pool is destroyed.
class WorkerPool {
 public:
  // Starts one thread running `body`; throws std::system_error when the system cannot start it.
  using Launcher = std::function<std::thread(std::function<void()> body)>;
  static std::thread default_launch(std::function<void()> body);

  // Starts `threads` workers (at least one). Throws std::system_error when one cannot be started;
  // the workers already started are stopped and joined first.
  explicit WorkerPool(std::size_t threads, const Launcher& launch = default_launch);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t size() const { return threads_.size(); }

  // Runs task(index, worker) once for every index in [0, count), spread over the workers as they
  // become free; `worker` is the running worker's number in [0, size()), so a task may use per-worker
  // state without locking. Returns when every task has run. When a task throws, tasks not yet
  // started are skipped and the first exception is rethrown here once every worker is idle.
  // Called from the owner's thread only, one batch at a time.
  void run(std::size_t count, const std::function<void(std::size_t, std::size_t)>& task);

 private:
  void work(std::size_t worker);

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable work_done_;
  std::uint64_t generation_ = 0;
  bool stopping_ = false;
  std::size_t busy_ = 0;
  const std::function<void(std::size_t, std::size_t)>* task_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;
  std::vector<std::thread> threads_;
};

// The number of processors this process may run on (its affinity mask), at least 1.
std::size_t available_processors();

}  // namespace sorvel
