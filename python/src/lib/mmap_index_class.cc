#include "index/mmap_flat/mmap_flat_index.h"

#include <string>

#include "index_classes.h"

namespace sorvel::py {

namespace {

struct MmapFlatIndexClass {
  using Content = MmapFlatIndex;
  static constexpr const char* kName = "MmapFlatIndex";
  static inline PyTypeObject* type = nullptr;
};
using Methods = IndexMethods<MmapFlatIndexClass>;

constexpr Signature kNewSig{
    "__new__", {{"dimensions"}, optional_param("metric"), optional_param("path")}};

// MmapFlatIndex(dimensions, metric="l2", path="./mmap_index.kvec"): opens the file when its status
// can be read (raising what the open fails with), otherwise starts with no file.
PyObject* mmap_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return constructor_frame<MmapFlatIndexClass>(
      kNewSig, args, kwargs, [](const BoundArgs& a) -> PyObject* {
        const PyResult<std::uint64_t> dimensions = u64_arg(a[0], "dimensions");
        if (!dimensions) return nullptr;
        const PyResult<Metric> metric = metric_arg_or(a[1], "metric", Metric::L2);
        if (!metric) return nullptr;
        const PyResult<std::string_view> path = text_arg_or(a[2], "path", "./mmap_index.kvec");
        if (!path) return nullptr;
        Result<MmapFlatIndex> index =
            MmapFlatIndex::open_or_new(std::string(*path), *dimensions, *metric);
        if (!index) return error_to_pyerr(index.error());
        return wrap<MmapFlatIndexClass>(std::make_unique<MmapFlatIndex>(std::move(*index)));
      });
}

// flush(): exclusive borrow, the file work without the interpreter lock; always None.
PyObject* mmap_flush(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return method_frame<MmapFlatIndexClass>(kFlushSig, Access::Exclusive, self, args, nargs,
                                          kwnames, [](MmapFlatIndex& index, const BoundArgs&) -> PyObject* {
                                            without_gil([&] { index.flush(); });
                                            Py_RETURN_NONE;
                                          });
}

constexpr const char kClassDoc[] =
    "MmapFlatIndex(dimensions, metric=\"l2\", path=\"./mmap_index.kvec\")\n--\n\n"
    "Memory-mapped brute-force index. Near-zero RAM usage.\n\n"
    "Vectors are stored in a flat binary file and memory-mapped by the OS.\n"
    "Pages are loaded on demand. Best when dataset is larger than available RAM.\n\n"
    "Args:\n"
    "    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric - \"l2\", \"cosine\", or \"dot_product\".\n"
    "    path: Path to the memory-mapped vector file.";

PyMethodDef g_methods[] = {
    fast_method("add", &Methods::add, SORVEL_DOC_ADD),
    fast_method("add_batch", &Methods::add_batch, SORVEL_DOC_ADD_BATCH),
    fast_method("add_batch_np", &Methods::add_batch_np,
                SORVEL_DOC_ADD_BATCH_NP
                "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from "
                "`start_id`."),
    fast_method("search", &Methods::search, SORVEL_DOC_SEARCH),
    fast_method("delete", &Methods::remove, SORVEL_DOC_DELETE),
    fast_method("flush", &mmap_flush, SORVEL_DOC_FLUSH),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"dimensions", &Methods::dimensions, nullptr, kDimensionsDoc, nullptr},
    {"metric", &Methods::metric, nullptr, kMetricDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    SORVEL_INDEX_COMMON_SLOTS(MmapFlatIndexClass),
    slot(Py_tp_new, &mmap_new),
    slot(Py_tp_doc, kClassDoc),
    slot(Py_tp_methods, g_methods),
    slot(Py_tp_getset, g_getset),
    {0, nullptr},
};

}  // namespace

PyTypeObject* mmap_flat_index_type() { return make_type<MmapFlatIndexClass>(g_slots); }

}  // namespace sorvel::py
