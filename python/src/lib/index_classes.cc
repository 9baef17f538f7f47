#include "index_classes.h"

#include "py_values.h"
#include "str_cat.h"

namespace sorvel::py {

namespace {

// The two keys of a hit dict, interned once and kept for the process's life.
PyObject* g_id_key = nullptr;
PyObject* g_distance_key = nullptr;

bool hit_keys_ready() {
  if (g_id_key == nullptr) g_id_key = PyUnicode_InternFromString("id");
  if (g_distance_key == nullptr) g_distance_key = PyUnicode_InternFromString("distance");
  return g_id_key != nullptr && g_distance_key != nullptr;
}

}  // namespace

PyObject* hits_to_list(std::span<const SearchHit> hits) {
  if (!hit_keys_ready()) return nullptr;
  return list_of(hits, [](const SearchHit& hit) -> PyObject* {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(hit.id));
    if (!id || PyDict_SetItem(dict.get(), g_id_key, id.get()) != 0) return nullptr;
    PyRef distance = PyRef::steal(PyFloat_FromDouble(static_cast<double>(hit.distance)));
    if (!distance || PyDict_SetItem(dict.get(), g_distance_key, distance.get()) != 0) {
      return nullptr;
    }
    return dict.release();
  });
}

PyObject* index_repr(const char* class_name, const VectorIndex& index) {
  const IndexHeader header = index.header();
  const std::string text = str_cat(class_name, "(dimensions=", header.dimensions, ", metric=\"",
                                   metric_text_name(header.metric), "\", len=", index.len(), ")");
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace sorvel::py
