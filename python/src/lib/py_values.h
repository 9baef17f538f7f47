#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "py_ref.h"

// Building Python values from plain C++ ones. Interpreter lock held.

namespace sorvel::py {

// A new str of UTF-8 `text`, each invalid byte replaced by U+FFFD (names and messages come from
// files and users, so they are shown rather than refused). Null with an error set on failure.
inline PyObject* decode_utf8(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// A new list with one new object per element of `values` (anything with size() and operator[]),
// made by `make(element)`, which returns null with an error set on failure; the partly built list
// is then released and null returned.
template <class Values, class Make>
PyObject* list_of(const Values& values, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (item == nullptr) return nullptr;
    // Steals the item; the list's unset slots are null, which its deallocation skips.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace sorvel::py
