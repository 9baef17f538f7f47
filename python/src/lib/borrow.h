#pragma once

#include <Python.h>

namespace sorvel::py {

// The borrow state of one Python object: 0 free, n > 0 shared borrows, -1 one exclusive borrow.
// Read and written only with the interpreter lock held, so it needs no atomics.
struct BorrowFlag {
  Py_ssize_t value = 0;
};

enum class Access { Shared, Exclusive };

// Holds one borrow of a flag for its lifetime. Made and destroyed with the interpreter lock held
// (in a method frame it outlives every AllowThreads scope of the call).
//
// Exclusive needs the flag free, else RuntimeError "Already borrowed"; shared needs it not
// exclusively borrowed, else RuntimeError "Already mutably borrowed". On a conflict the error is
// set, the flag is untouched and the guard tests false. There is no waiting.
class BorrowGuard {
 public:
  BorrowGuard(BorrowFlag& flag, Access access) noexcept : access_(access) {
    if (access == Access::Exclusive) {
      if (flag.value != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      flag.value = -1;
    } else {
      if (flag.value == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++flag.value;
    }
    flag_ = &flag;
  }
  ~BorrowGuard() {
    if (flag_ == nullptr) return;
    if (access_ == Access::Exclusive) {
      flag_->value = 0;
    } else {
      --flag_->value;
    }
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

  // True when the borrow was taken.
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_ = nullptr;
  Access access_;
};

}  // namespace sorvel::py
