#pragma once

#include <Python.h>

#include <utility>

namespace sorvel::py {

// Releases the interpreter lock for its lifetime and takes it back when destroyed, also while an
// exception unwinds. Made with the lock held. In between, no Python object may be touched: convert
// every argument before, build every result after.
class AllowThreads {
 public:
  AllowThreads() noexcept : saved_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(saved_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* saved_;
};

// Runs `step` (pure C++ work on converted arguments) without the interpreter lock; returns its
// result once the lock is held again.
template <class Step>
decltype(auto) without_gil(Step&& step) {
  AllowThreads allow;
  return std::forward<Step>(step)();
}

}  // namespace sorvel::py
