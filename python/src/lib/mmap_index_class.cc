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
        const PyResult<std::string_view> metric_text = metric_text_arg(a[1]);
        if (!metric_text) return nullptr;
        const PyResult<std::string_view> path = text_arg_or(a[2], "path", "./mmap_index.kvec");
        if (!path) return nullptr;
        const PyResult<Metric> metric = parse_metric(*metric_text);
        if (!metric) return nullptr;
        Result<MmapFlatIndex> index =
            MmapFlatIndex::open_or_new(std::string(*path), *dimensions, *metric);
        if (!index) return error_to_pyerr(index.error());
        return wrap<MmapFlatIndexClass>(std::make_unique<MmapFlatIndex>(std::move(*index)));
      });
}

// flush(): brings the file up to date without the interpreter lock; raises what it failed with, the
// pending vectors and tombstones kept for the next flush.
PyObject* mmap_flush(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return method_frame<MmapFlatIndexClass>(
      kFlushSig, Access::Exclusive, self, args, nargs, kwnames,
      [](MmapFlatIndex& index, const BoundArgs&) -> PyObject* {
        const Result<> flushed = without_gil([&] { return index.flush_file(); });
        return none_or_raise(flushed);
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
    SORVEL_INDEX_PLAIN_METHODS(Methods),
    fast_method("flush", &mmap_flush, SORVEL_DOC_FLUSH),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* mmap_flat_index_type() {
  return make_index_type<MmapFlatIndexClass>(&mmap_new, kClassDoc, g_methods);
}

}  // namespace sorvel::py
