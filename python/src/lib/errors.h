#pragma once

#include <Python.h>

#include <string_view>

#include "db_error.h"

namespace sorvel::py {

// Sets the Python exception for `error` and returns null, so a method can `return
// error_to_pyerr(e);`. One table maps the 14 kinds (Io becomes OSError); the exception's single
// argument is the error's display text. Interpreter lock held.
PyObject* error_to_pyerr(const DbError& error) noexcept;

// The PanicException class: a direct BaseException subclass, created once per process the first
// time it is needed and kept for the process's life. It is not an attribute of the module. Returns
// a borrowed reference, or null with the creation's error set. Interpreter lock held.
PyObject* panic_exception_type() noexcept;

// Sets PanicException with `message` (invalid UTF-8 is replaced) and returns null.
PyObject* raise_panic(std::string_view message) noexcept;

// Sets the exception `type` with `message` (invalid UTF-8 is replaced) as its single argument and
// returns null. When the message cannot be made, that failure is the error set instead.
PyObject* raise_with_text(PyObject* type, std::string_view message) noexcept;

// Turns the C++ exception being handled into the Python error: InvariantFailure and every other
// std::exception become PanicException with their text, std::bad_alloc MemoryError, anything else
// PanicException with a fixed text. Call only inside a catch block, with the interpreter lock.
void raise_current_exception() noexcept;

// The boundary adapter every method and slot runs its body through: returns what `body` returns,
// or `on_error` after raise_current_exception() when a C++ exception escapes it. A body signals a
// Python error that it has already set by returning `on_error` itself (null, -1, ...). Nothing
// thrown below ever reaches the interpreter.
template <class R, class Body>
R guard(R on_error, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return on_error;
  }
}

}  // namespace sorvel::py
