#pragma once

#include <Python.h>

#include <utility>

namespace sorvel::py {

// The only owner of a PyObject*: holds one strong reference (or none) and drops it when destroyed.
// Every operation needs the interpreter lock, the destructor included.
class PyRef {
 public:
  PyRef() noexcept = default;

  // Takes over a new reference, e.g. the result of a call that returns one. Null stays empty.
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference to a borrowed object. Null stays empty.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = object_;
      object_ = other.release();
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  // The object, still owned here; null when empty.
  PyObject* get() const noexcept { return object_; }
  // Gives the reference to the caller (for a call that steals one, or a return value).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace sorvel::py
