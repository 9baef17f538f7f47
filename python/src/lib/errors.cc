#include "errors.h"

#include <array>
#include <exception>
#include <new>
#include <string>

#include "check.h"
#include "py_ref.h"
#include "py_values.h"

namespace sorvel::py {

namespace {

// The exception of each DbError kind, indexed by the kind's number.
const std::array<PyObject* const*, kErrorKindCount>& kind_exceptions() {
  static const std::array<PyObject* const*, kErrorKindCount> table = {
      &PyExc_ValueError,    // DimensionMismatch
      &PyExc_KeyError,      // DuplicateId
      &PyExc_KeyError,      // NotFound
      &PyExc_ValueError,    // EmptyIndex
      &PyExc_ValueError,    // InvalidConfig
      &PyExc_RuntimeError,  // Serialization
      &PyExc_OSError,       // Io
      &PyExc_KeyError,      // CollectionAlreadyExists
      &PyExc_KeyError,      // CollectionNotFound
      &PyExc_RuntimeError,  // WalCorruption
      &PyExc_RuntimeError,  // EmbeddingError
      &PyExc_RuntimeError,  // NoEmbedder
      &PyExc_KeyError,      // SnapshotAlreadyExists
      &PyExc_KeyError,      // SnapshotNotFound
  };
  return table;
}

constexpr const char kPanicDoc[] =
    "Raised when an internal invariant of sorvel_vector_db fails. The call was aborted; the object "
    "it was changing may be left half-changed.";

// Created under the interpreter lock and never released: the class lives as long as the process.
PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* error_to_pyerr(const DbError& error) noexcept {
  try {
    const std::string text = error.display();
    raise_with_text(*kind_exceptions()[static_cast<std::size_t>(error.kind())], text);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

PyObject* panic_exception_type() noexcept {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("sorvel_vector_db.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

PyObject* raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  return raise_with_text(type, message);
}

PyObject* raise_with_text(PyObject* type, std::string_view message) noexcept {
  PyRef text = PyRef::steal(decode_utf8(message));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const InvariantFailure& failure) {
    raise_panic(failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
  } catch (...) {
    raise_panic("internal failure of an unknown kind");
  }
}

}  // namespace sorvel::py
