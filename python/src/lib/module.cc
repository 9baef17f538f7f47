#include <Python.h>

#include <atomic>
#include <cstdint>

#include "client_classes.h"
#include "errors.h"
#include "index_classes.h"
#include "py_ref.h"

namespace sorvel::py {

namespace {

// The registration table: the module's classes in their fixed order (FlatIndex, HnswIndex,
// QuantizedFlatIndex, Fp16FlatIndex, IvfIndex, IvfPqIndex, MmapFlatIndex, BinaryFlatIndex, Client,
// Collection). Each entry creates its type once per process; its name is the type's name.
using TypeFactory = PyTypeObject* (*)();
constexpr TypeFactory kClasses[] = {
    flat_index_type,
    hnsw_index_type,
    quantized_flat_index_type,
    fp16_flat_index_type,
    ivf_index_type,
    ivf_pq_index_type,
    mmap_flat_index_type,
    binary_flat_index_type,
    client_type,
    collection_type,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "sorvel_vector_db",
    "",
    0,  // no per-module state, so a re-import runs the init again and gets the cached module
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The first interpreter that initialised the module; -1 until then. Set once.
std::atomic<std::int64_t> g_interpreter_id{-1};
// The module object, kept for the process's life. Set under the interpreter lock.
PyObject* g_module = nullptr;

// Adds one class as a module attribute and appends its name to __all__.
bool register_class(PyObject* module, PyObject* all, TypeFactory factory) {
  PyTypeObject* type = factory();
  if (type == nullptr) return false;
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return false;
  if (PyList_Append(all, name.get()) != 0) return false;
  return PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "sorvel_vector_db does not yet support sub-interpreters: it can be imported "
                    "in one interpreter per process only");
    return nullptr;
  }
  if (g_module != nullptr) return PyRef::borrow(g_module).release();

  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyRef all;
  for (const TypeFactory factory : kClasses) {
    if (!all) {
      all = PyRef::steal(PyList_New(0));
      if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) != 0) return nullptr;
    }
    if (!register_class(module.get(), all.get(), factory)) return nullptr;
  }
  // Creating the types can run Python code; if an import finished meanwhile, keep its module.
  if (g_module == nullptr) g_module = module.release();
  return PyRef::borrow(g_module).release();
}

}  // namespace

}  // namespace sorvel::py

PyMODINIT_FUNC PyInit_sorvel_vector_db(void) {
  return sorvel::py::guard<PyObject*>(nullptr, [] { return sorvel::py::init_module(); });
}
