#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <utility>

#include "args.h"
#include "borrow.h"
#include "errors.h"
#include "py_ref.h"
#include "str_cat.h"

// The frame every class of the module is built on. A class is described by a traits struct:
//
//   struct FlatIndexClass {
//     using Content = FlatIndex;                  // what an instance owns
//     static constexpr const char* kName = "FlatIndex";
//     static inline PyTypeObject* type = nullptr; // set once by make_type()
//   };
//
// Its methods are written as bodies run through the frames below, which bind the arguments, check
// the receiver, hold the borrow and keep C++ exceptions inside the boundary. A body converts its
// integer and text arguments first, in signature order, then its vectors / matrices / entries, runs
// the core step (without the interpreter lock where the class's table says so, via without_gil),
// and builds its result; it returns null with a Python error set on failure.

namespace sorvel::py {

// The object layout of every class: a plain struct, so the zeroed memory of tp_alloc is a valid
// state (free flag, no content).
template <class Content>
struct Instance {
  PyObject_HEAD BorrowFlag borrow;
  // Owned: made by wrap(), deleted by dealloc(). Null only before wrap() has filled it.
  Content* content;
};

template <class Class>
using InstanceOf = Instance<typename Class::Content>;

// The signature of a METH_FASTCALL | METH_KEYWORDS method.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline constexpr int kFastFlags = METH_FASTCALL | METH_KEYWORDS;

// A PyMethodDef entry for a fastcall method (`extra_flags`: METH_STATIC for a static method).
inline PyMethodDef fast_method(const char* name, FastMethod method, const char* doc,
                               int extra_flags = 0) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method)),
                     kFastFlags | extra_flags, doc};
}

// The instance behind `self`, or null with TypeError "'{}' object cannot be converted to '{}'"
// (the receiver's type name, then the class name) when `self` is not one.
template <class Class>
InstanceOf<Class>* receiver(PyObject* self) {
  if (self == nullptr || Class::type == nullptr || !PyObject_TypeCheck(self, Class::type)) {
    raise_conversion_error(self != nullptr ? self : Py_None, Class::kName);
    return nullptr;
  }
  return reinterpret_cast<InstanceOf<Class>*>(self);
}

// A new instance of the class owning `content`, or null with an error set. Interpreter lock held.
template <class Class>
PyObject* wrap(std::unique_ptr<typename Class::Content> content) {
  PyTypeObject* type = Class::type;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return nullptr;
  reinterpret_cast<InstanceOf<Class>*>(object)->content = content.release();
  return object;
}

// The frame of an instance method: bind the arguments to `sig`, check the receiver, take the
// borrow `access`, run `body(content, args)`. The borrow is given back, then the arguments are
// dropped, on every path (errors and internal failures included).
template <class Class, class Body>
PyObject* method_frame(const Signature& sig, Access access, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_fastcall(Class::kName, sig, args, nargs, kwnames, bound)) return nullptr;
    InstanceOf<Class>* instance = receiver<Class>(self);
    if (instance == nullptr) return nullptr;
    BorrowGuard borrow(instance->borrow, access);
    if (!borrow) return nullptr;
    return body(*instance->content, bound);
  });
}

// The frame of a static method: bind the arguments, run `body(args)`.
template <class Class, class Body>
PyObject* static_frame(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, Body&& body) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_fastcall(Class::kName, sig, args, nargs, kwnames, bound)) return nullptr;
    return body(bound);
  });
}

// The frame of a constructor (tp_new): bind the arguments ("{Class}.__new__()" in messages), run
// `body(args)`, which returns wrap<Class>(...) or null.
template <class Class, class Body>
PyObject* constructor_frame(const Signature& sig, PyObject* args, PyObject* kwargs,
                            Body&& body) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_tuple(Class::kName, sig, args, kwargs, bound)) return nullptr;
    return body(bound);
  });
}

// The frame of a getter or of the repr slot: receiver check, shared borrow, `body(content)`.
template <class Class, class Body>
PyObject* reader_frame(PyObject* self, Body&& body) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    InstanceOf<Class>* instance = receiver<Class>(self);
    if (instance == nullptr) return nullptr;
    BorrowGuard borrow(instance->borrow, Access::Shared);
    if (!borrow) return nullptr;
    return body(static_cast<const typename Class::Content&>(*instance->content));
  });
}

// The frame of the length slot: as reader_frame, with -1 for an error. A length beyond
// PY_SSIZE_T_MAX raises OverflowError.
template <class Class, class Body>
Py_ssize_t length_frame(PyObject* self, Body&& body) noexcept {
  return guard<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    InstanceOf<Class>* instance = receiver<Class>(self);
    if (instance == nullptr) return -1;
    BorrowGuard borrow(instance->borrow, Access::Shared);
    if (!borrow) return -1;
    const std::size_t length =
        body(static_cast<const typename Class::Content&>(*instance->content));
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "length does not fit in a Py_ssize_t");
      return -1;
    }
    return static_cast<Py_ssize_t>(length);
  });
}

// tp_dealloc: drops the content (what that closes or unmaps is the content's business), frees the
// object through the type's free slot and drops the instance's reference to its heap type.
template <class Class>
void dealloc(PyObject* self) noexcept {
  auto* instance = reinterpret_cast<InstanceOf<Class>*>(self);
  delete std::exchange(instance->content, nullptr);
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// tp_new of a class without a constructor: TypeError "No constructor defined for {name}".
template <class Class>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", Class::kName);
  return nullptr;
}

// Creates the class's type once per process from `slots` (terminated by {0, nullptr}; must hold
// Py_tp_dealloc = dealloc<Class>, a Py_tp_new and the Py_tp_doc "Name(sig)\n--\n\ndoc") and returns
// it borrowed, or null with an error set. The type is immutable and not subclassable. Its
// __name__ and __qualname__ are the bare class name; the PyType_Spec name carries the module, so
// that __module__ is "sorvel_vector_db" (a bare PyType_Spec name leaves __module__ unset, which
// the interpreter reports with a DeprecationWarning that fails the import under -W error).
// Interpreter lock held.
template <class Class>
PyTypeObject* make_type(PyType_Slot* slots) {
  if (Class::type == nullptr) {
    static const std::string spec_name = str_cat("sorvel_vector_db.", Class::kName);
    PyType_Spec spec{spec_name.c_str(), static_cast<int>(sizeof(InstanceOf<Class>)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    Class::type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }
  return Class::type;
}

// A slot entry from a function pointer.
template <class F>
PyType_Slot slot(int id, F function) {
  return PyType_Slot{id, reinterpret_cast<void*>(function)};
}
// A slot entry from a text (Py_tp_doc); the interpreter copies it.
inline PyType_Slot slot(int id, const char* text) {
  return PyType_Slot{id, const_cast<char*>(text)};
}
// A slot entry from a table (Py_tp_methods, Py_tp_getset).
inline PyType_Slot slot(int id, PyMethodDef* table) { return PyType_Slot{id, table}; }
inline PyType_Slot slot(int id, PyGetSetDef* table) { return PyType_Slot{id, table}; }

}  // namespace sorvel::py
