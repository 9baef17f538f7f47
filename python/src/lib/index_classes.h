#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <string>

#include "args.h"
#include "class_frame.h"
#include "errors.h"
#include "gil.h"
#include "index/vector_index.h"

// The eight standalone index classes share one set of method bodies, written here once over the
// core type. A class file declares its traits struct (see class_frame.h), its constructor (or uses
// plain_new), and a method table built from IndexMethods<Class> plus its own extra methods; it
// creates its type with make_index_type and registers the class through a `PyTypeObject*
// <name>_type()` function declared at the end of this file, which the registration table of
// module.cc lists.
//
// Requirements on Class::Content (the core index): the VectorIndex operations add, add_batch,
// search, remove, len, header and flush; for add_batch_np `Result<> add_matrix(std::span<const
// float>, std::size_t rows, std::size_t cols, std::uint64_t start_id)`; for save / load `Result<>
// save_file(const std::string&) const` and `static Result<Content> load_file(const std::string&)`;
// for plain_new a constructor Content(std::size_t dimensions, Metric). Only the members a class
// lists in its table are instantiated.

// Text signature headers of the shared methods; a method's doc is the header, then its text.
#define SORVEL_DOC_ADD "add($self, id, vector)\n--\n\n"
#define SORVEL_DOC_ADD_BATCH "add_batch($self, entries)\n--\n\n"
#define SORVEL_DOC_ADD_BATCH_NP "add_batch_np($self, vectors, start_id=0)\n--\n\n"
#define SORVEL_DOC_SEARCH "search($self, query, k)\n--\n\n"
#define SORVEL_DOC_DELETE "delete($self, id)\n--\n\n"
#define SORVEL_DOC_FLUSH "flush($self)\n--\n\n"
#define SORVEL_DOC_SAVE "save($self, path)\n--\n\n"
#define SORVEL_DOC_LOAD "load(path)\n--\n\n"

// The add_batch_np text of every class, and the line that FlatIndex and HnswIndex add after it.
#define SORVEL_TEXT_ADD_BATCH_NP \
  "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`."
#define SORVEL_TEXT_ADD_BATCH_NP_FASTEST \
  "\nThis is the fastest way to insert vectors — no per-element Python extraction."

namespace sorvel::py {

// A new list of new dicts, one per hit in order, each {"id": int, "distance": float} with the keys
// inserted in that order and the f32 distance widened exactly. On failure every dict built so far
// is released and null returned with the error set. Interpreter lock held.
PyObject* hits_to_list(std::span<const SearchHit> hits);

// "{name}(dimensions={}, metric=\"{}\", len={})" with the metric's text name.
PyObject* index_repr(const char* class_name, const VectorIndex& index);

// Returns None, or raises the error of `result`.
inline PyObject* none_or_raise(const Result<>& result) {
  if (!result) return error_to_pyerr(result.error());
  Py_RETURN_NONE;
}

inline constexpr Signature kAddSig{"add", {{"id"}, {"vector"}}};
inline constexpr Signature kAddBatchSig{"add_batch", {{"entries"}}};
inline constexpr Signature kAddBatchNpSig{"add_batch_np",
                                          {{"vectors"}, optional_param("start_id")}};
inline constexpr Signature kSearchSig{"search", {{"query"}, {"k"}}};
inline constexpr Signature kDeleteSig{"delete", {{"id"}}};
inline constexpr Signature kFlushSig{"flush", {}};
inline constexpr Signature kSaveSig{"save", {{"path"}}};
inline constexpr Signature kLoadSig{"load", {{"path"}}};

// The add_batch_np doc of the classes that add nothing to the shared text.
inline constexpr const char kAddBatchNpDoc[] = SORVEL_DOC_ADD_BATCH_NP SORVEL_TEXT_ADD_BATCH_NP;

// Doc texts of the getters every index class shares.
inline constexpr const char kDimensionsDoc[] = "Number of dimensions per vector.";
inline constexpr const char kMetricDoc[] =
    "Distance metric (\"l2\", \"cosine\", or \"dot_product\").";

// The methods every index class shares, as fastcall entry points and slots. Borrow and interpreter
// lock per method: add, add_batch, delete exclusive with the lock held; add_batch_np exclusive
// with the core step released; search shared with the core step released; save shared, load
// static, both holding the lock for the file work; flush exclusive with the core step released;
// len, repr and the getters shared.
template <class Class>
struct IndexMethods {
  using Core = typename Class::Content;

  static PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    return method_frame<Class>(kAddSig, Access::Exclusive, self, args, nargs, kwnames,
                               [](Core& index, const BoundArgs& a) -> PyObject* {
                                 const PyResult<std::uint64_t> id = u64_arg(a[0], "id");
                                 if (!id) return nullptr;
                                 const PyResult<std::vector<float>> vector = extract_vector(a[1]);
                                 if (!vector) return nullptr;
                                 return none_or_raise(index.add(*id, *vector));
                               });
  }

  static PyObject* add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return method_frame<Class>(kAddBatchSig, Access::Exclusive, self, args, nargs, kwnames,
                               [](Core& index, const BoundArgs& a) -> PyObject* {
                                 if (!list_arg(a[0], "entries")) return nullptr;
                                 const PyResult<std::vector<IndexItem>> items =
                                     extract_entries(a[0]);
                                 if (!items) return nullptr;
                                 return none_or_raise(index.add_batch(*items));
                               });
  }

  static PyObject* add_batch_np(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return method_frame<Class>(
        kAddBatchNpSig, Access::Exclusive, self, args, nargs, kwnames,
        [](Core& index, const BoundArgs& a) -> PyObject* {
          const PyResult<std::uint64_t> start_id = u64_arg_or(a[1], "start_id", 0);
          if (!start_id) return nullptr;
          const PyResult<Matrix> matrix = extract_matrix(a[0]);
          if (!matrix) return nullptr;
          const Result<> result = without_gil([&] {
            return index.add_matrix(matrix->data(), matrix->rows, matrix->cols, *start_id);
          });
          return none_or_raise(result);
        });
  }

  static PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return method_frame<Class>(
        kSearchSig, Access::Shared, self, args, nargs, kwnames,
        [](const Core& index, const BoundArgs& a) -> PyObject* {
          const PyResult<std::uint64_t> k = u64_arg(a[1], "k");
          if (!k) return nullptr;
          const PyResult<std::vector<float>> query = extract_vector(a[0]);
          if (!query) return nullptr;
          const Result<std::vector<SearchHit>> hits =
              without_gil([&] { return index.search(*query, *k); });
          if (!hits) return error_to_pyerr(hits.error());
          return hits_to_list(*hits);
        });
  }

  static PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return method_frame<Class>(kDeleteSig, Access::Exclusive, self, args, nargs, kwnames,
                               [](Core& index, const BoundArgs& a) -> PyObject* {
                                 const PyResult<std::uint64_t> id = u64_arg(a[0], "id");
                                 if (!id) return nullptr;
                                 return PyBool_FromLong(index.remove(*id) ? 1 : 0);
                               });
  }

  static PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return method_frame<Class>(kSaveSig, Access::Shared, self, args, nargs, kwnames,
                               [](const Core& index, const BoundArgs& a) -> PyObject* {
                                 const PyResult<std::string_view> path = text_arg(a[0], "path");
                                 if (!path) return nullptr;
                                 return none_or_raise(index.save_file(std::string(*path)));
                               });
  }

  static PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return static_frame<Class>(kLoadSig, args, nargs, kwnames,
                               [](const BoundArgs& a) -> PyObject* {
                                 const PyResult<std::string_view> path = text_arg(a[0], "path");
                                 if (!path) return nullptr;
                                 Result<Core> loaded = Core::load_file(std::string(*path));
                                 if (!loaded) return error_to_pyerr(loaded.error());
                                 return wrap<Class>(std::make_unique<Core>(std::move(*loaded)));
                               });
  }

  static Py_ssize_t length(PyObject* self) noexcept {
    return length_frame<Class>(self, [](const Core& index) { return index.len(); });
  }

  static PyObject* repr(PyObject* self) noexcept {
    return reader_frame<Class>(
        self, [](const Core& index) { return index_repr(Class::kName, index); });
  }

  static PyObject* dimensions(PyObject* self, void*) noexcept {
    return reader_frame<Class>(self, [](const Core& index) {
      return PyLong_FromSize_t(index.header().dimensions);
    });
  }

  static PyObject* metric(PyObject* self, void*) noexcept {
    return reader_frame<Class>(self, [](const Core& index) {
      const std::string_view name = metric_text_name(index.header().metric);
      return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
  }

  // flush(): the core's flush (training, file work) without the interpreter lock; always None.
  static PyObject* flush(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return method_frame<Class>(kFlushSig, Access::Exclusive, self, args, nargs, kwnames,
                               [](Core& index, const BoundArgs&) -> PyObject* {
                                 without_gil([&] { index.flush(); });
                                 Py_RETURN_NONE;
                               });
  }

  // The getters dimensions and metric, as a Py_tp_getset table.
  static inline PyGetSetDef getset[] = {
      {"dimensions", &IndexMethods::dimensions, nullptr, kDimensionsDoc, nullptr},
      {"metric", &IndexMethods::metric, nullptr, kMetricDoc, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

inline constexpr Signature kPlainNewSig{"__new__", {{"dimensions"}, optional_param("metric")}};

// tp_new of the classes built as Class(dimensions, metric="l2"), owning Content(dimensions,
// metric): checks nothing beyond the conversions.
template <class Class>
PyObject* plain_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return constructor_frame<Class>(kPlainNewSig, args, kwargs, [](const BoundArgs& a) -> PyObject* {
    const PyResult<std::uint64_t> dimensions = u64_arg(a[0], "dimensions");
    if (!dimensions) return nullptr;
    const PyResult<std::string_view> metric_text = metric_text_arg(a[1]);
    if (!metric_text) return nullptr;
    const PyResult<Metric> metric = parse_metric(*metric_text);
    if (!metric) return nullptr;
    return wrap<Class>(std::make_unique<typename Class::Content>(*dimensions, *metric));
  });
}

// The slots every index class shares (dealloc, repr, len), to be followed by the class's own
// tp_new, tp_doc, tp_methods and tp_getset entries.
#define SORVEL_INDEX_COMMON_SLOTS(Class)                              \
  ::sorvel::py::slot(Py_tp_dealloc, &::sorvel::py::dealloc<Class>),   \
      ::sorvel::py::slot(Py_tp_repr, &::sorvel::py::IndexMethods<Class>::repr), \
      ::sorvel::py::slot(Py_mp_length, &::sorvel::py::IndexMethods<Class>::length)

// The first entries of the method table of a class whose shared methods carry only their signatures
// as docs (add_batch_np its shared text): add, add_batch, add_batch_np, search, delete, from
// `Methods` (an IndexMethods<Class>). The class's own entries and the terminator follow.
#define SORVEL_INDEX_PLAIN_METHODS(Methods)                                                    \
  ::sorvel::py::fast_method("add", &Methods::add, SORVEL_DOC_ADD),                             \
      ::sorvel::py::fast_method("add_batch", &Methods::add_batch, SORVEL_DOC_ADD_BATCH),       \
      ::sorvel::py::fast_method("add_batch_np", &Methods::add_batch_np,                        \
                                ::sorvel::py::kAddBatchNpDoc),                                 \
      ::sorvel::py::fast_method("search", &Methods::search, SORVEL_DOC_SEARCH),                \
      ::sorvel::py::fast_method("delete", &Methods::remove, SORVEL_DOC_DELETE)

// The type of an index class (see make_type): the common slots, then `tp_new`, the class doc
// `doc`, its method table `methods` (static, terminated) and IndexMethods<Class>::getset. The slot
// table is built on the first call, so a class calls this from one place only. Borrowed, or null
// with an error set. Interpreter lock held.
template <class Class>
PyTypeObject* make_index_type(newfunc tp_new, const char* doc, PyMethodDef* methods) {
  static PyType_Slot slots[] = {
      SORVEL_INDEX_COMMON_SLOTS(Class),
      slot(Py_tp_new, tp_new),
      slot(Py_tp_doc, doc),
      slot(Py_tp_methods, methods),
      slot(Py_tp_getset, IndexMethods<Class>::getset),
      {0, nullptr},
  };
  return make_type<Class>(slots);
}

// The registered index classes: each creates its type once and returns it borrowed, or null with
// an error set.
PyTypeObject* flat_index_type();
PyTypeObject* hnsw_index_type();
PyTypeObject* quantized_flat_index_type();
PyTypeObject* fp16_flat_index_type();
PyTypeObject* ivf_index_type();
PyTypeObject* ivf_pq_index_type();
PyTypeObject* mmap_flat_index_type();
PyTypeObject* binary_flat_index_type();

}  // namespace sorvel::py
