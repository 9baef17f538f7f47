#include "index/ivf/ivf_index.h"
#include "index/ivf_pq/ivf_pq_index.h"
#include "index_classes.h"

// The two inverted-file index classes: the shared method bodies of FlatIndex's frame plus flush,
// which trains without the interpreter lock. Their k-means runs at most 25 iterations, coarse and
// per subspace alike.

namespace sorvel::py {

namespace {

struct IvfIndexClass {
  using Content = IvfIndex;
  static constexpr const char* kName = "IvfIndex";
  static inline PyTypeObject* type = nullptr;
  static constexpr const char kDoc[] =
      "IvfIndex(dimensions, metric=\"l2\", n_lists=256, nprobe=16, train_size=4096)\n--\n\n"
      "Inverted file index. Cluster-based ANN using k-means.\n\n"
      "Auto-trains after train_size inserts. Rule of thumb: n_lists = sqrt(N).\n\n"
      "Args:\n"
      "    dimensions: Number of dimensions per vector.\n"
      "    metric: Distance metric - \"l2\", \"cosine\", or \"dot_product\".\n"
      "    n_lists: Number of clusters (default 256).\n"
      "    nprobe: Clusters scanned per query (default 16).\n"
      "    train_size: Vectors buffered before auto-training (default 4096).";
};

struct IvfPqIndexClass {
  using Content = IvfPqIndex;
  static constexpr const char* kName = "IvfPqIndex";
  static inline PyTypeObject* type = nullptr;
  static constexpr const char kDoc[] =
      "IvfPqIndex(dimensions, metric=\"l2\", n_lists=256, nprobe=16, train_size=4096, pq_m=8, "
      "pq_k_sub=256)\n--\n\n"
      "IVF with product quantization. Extreme memory reduction (~96x for 1536-dim).\n\n"
      "Combines IVF coarse quantizer with PQ compression for residual vectors.\n"
      "Ideal for million-scale datasets.\n\n"
      "Args:\n"
      "    dimensions: Number of dimensions per vector.\n"
      "    metric: Distance metric - \"l2\", \"cosine\", or \"dot_product\".\n"
      "    n_lists: Number of IVF clusters (default 256).\n"
      "    nprobe: Clusters scanned per query (default 16).\n"
      "    train_size: Vectors buffered before auto-training (default 4096).\n"
      "    pq_m: Number of PQ sub-quantizers (default 8, must divide dimensions).\n"
      "    pq_k_sub: Centroids per sub-quantizer (default 256).";
};

constexpr Signature kIvfNewSig{"__new__",
                               {{"dimensions"},
                                optional_param("metric"),
                                optional_param("n_lists"),
                                optional_param("nprobe"),
                                optional_param("train_size")}};
constexpr Signature kIvfPqNewSig{"__new__",
                                 {{"dimensions"},
                                  optional_param("metric"),
                                  optional_param("n_lists"),
                                  optional_param("nprobe"),
                                  optional_param("train_size"),
                                  optional_param("pq_m"),
                                  optional_param("pq_k_sub")}};

// IvfIndex(dimensions, metric="l2", n_lists=256, nprobe=16, train_size=4096): any values.
PyObject* ivf_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return constructor_frame<IvfIndexClass>(
      kIvfNewSig, args, kwargs, [](const BoundArgs& a) -> PyObject* {
        const PyResult<std::uint64_t> dimensions = u64_arg(a[0], "dimensions");
        if (!dimensions) return nullptr;
        const PyResult<Metric> metric = metric_arg_or(a[1], "metric", Metric::L2);
        if (!metric) return nullptr;
        const PyResult<std::uint64_t> n_lists = u64_arg_or(a[2], "n_lists", 256);
        if (!n_lists) return nullptr;
        const PyResult<std::uint64_t> nprobe = u64_arg_or(a[3], "nprobe", 16);
        if (!nprobe) return nullptr;
        const PyResult<std::uint64_t> train_size = u64_arg_or(a[4], "train_size", 4096);
        if (!train_size) return nullptr;
        Result<IvfIndex> index = IvfIndex::create(
            *dimensions, *metric,
            IvfConfig{*n_lists, *nprobe, *train_size, kStandaloneKMeansIterations});
        if (!index) return error_to_pyerr(index.error());
        return wrap<IvfIndexClass>(std::make_unique<IvfIndex>(std::move(*index)));
      });
}

// IvfPqIndex(..., pq_m=8, pq_k_sub=256): ValueError (InvalidConfig) when pq_m is 0 or does not
// divide the dimensions, or pq_k_sub is 0 or above 256.
PyObject* ivf_pq_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return constructor_frame<IvfPqIndexClass>(
      kIvfPqNewSig, args, kwargs, [](const BoundArgs& a) -> PyObject* {
        const PyResult<std::uint64_t> dimensions = u64_arg(a[0], "dimensions");
        if (!dimensions) return nullptr;
        const PyResult<Metric> metric = metric_arg_or(a[1], "metric", Metric::L2);
        if (!metric) return nullptr;
        const PyResult<std::uint64_t> n_lists = u64_arg_or(a[2], "n_lists", 256);
        if (!n_lists) return nullptr;
        const PyResult<std::uint64_t> nprobe = u64_arg_or(a[3], "nprobe", 16);
        if (!nprobe) return nullptr;
        const PyResult<std::uint64_t> train_size = u64_arg_or(a[4], "train_size", 4096);
        if (!train_size) return nullptr;
        const PyResult<std::uint64_t> pq_m = u64_arg_or(a[5], "pq_m", 8);
        if (!pq_m) return nullptr;
        const PyResult<std::uint64_t> pq_k_sub = u64_arg_or(a[6], "pq_k_sub", 256);
        if (!pq_k_sub) return nullptr;
        const IvfPqConfig config{*n_lists, *nprobe, *train_size, kStandaloneKMeansIterations,
                                 PqConfig{*pq_m, *pq_k_sub, kStandaloneKMeansIterations}};
        Result<IvfPqIndex> index = IvfPqIndex::create(*dimensions, *metric, config);
        if (!index) return error_to_pyerr(index.error());
        return wrap<IvfPqIndexClass>(std::make_unique<IvfPqIndex>(std::move(*index)));
      });
}

// flush(): exclusive borrow, the training without the interpreter lock; always None.
template <class Class>
PyObject* flush(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  return method_frame<Class>(kFlushSig, Access::Exclusive, self, args, nargs, kwnames,
                             [](typename Class::Content& index, const BoundArgs&) -> PyObject* {
                               without_gil([&] { index.flush(); });
                               Py_RETURN_NONE;
                             });
}

template <class Class>
struct Tables {
  using Methods = IndexMethods<Class>;

  static inline PyMethodDef methods[] = {
      fast_method("add", &Methods::add, SORVEL_DOC_ADD),
      fast_method("add_batch", &Methods::add_batch, SORVEL_DOC_ADD_BATCH),
      fast_method("add_batch_np", &Methods::add_batch_np,
                  SORVEL_DOC_ADD_BATCH_NP
                  "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from "
                  "`start_id`."),
      fast_method("search", &Methods::search, SORVEL_DOC_SEARCH),
      fast_method("delete", &Methods::remove, SORVEL_DOC_DELETE),
      fast_method("flush", &flush<Class>, SORVEL_DOC_FLUSH),
      fast_method("save", &Methods::save, SORVEL_DOC_SAVE),
      fast_method("load", &Methods::load, SORVEL_DOC_LOAD, METH_STATIC),
      {nullptr, nullptr, 0, nullptr},
  };

  static inline PyGetSetDef getset[] = {
      {"dimensions", &Methods::dimensions, nullptr, kDimensionsDoc, nullptr},
      {"metric", &Methods::metric, nullptr, kMetricDoc, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

PyType_Slot g_ivf_slots[] = {
    SORVEL_INDEX_COMMON_SLOTS(IvfIndexClass),
    slot(Py_tp_new, &ivf_new),
    slot(Py_tp_doc, IvfIndexClass::kDoc),
    slot(Py_tp_methods, Tables<IvfIndexClass>::methods),
    slot(Py_tp_getset, Tables<IvfIndexClass>::getset),
    {0, nullptr},
};

PyType_Slot g_ivf_pq_slots[] = {
    SORVEL_INDEX_COMMON_SLOTS(IvfPqIndexClass),
    slot(Py_tp_new, &ivf_pq_new),
    slot(Py_tp_doc, IvfPqIndexClass::kDoc),
    slot(Py_tp_methods, Tables<IvfPqIndexClass>::methods),
    slot(Py_tp_getset, Tables<IvfPqIndexClass>::getset),
    {0, nullptr},
};

}  // namespace

PyTypeObject* ivf_index_type() { return make_type<IvfIndexClass>(g_ivf_slots); }
PyTypeObject* ivf_pq_index_type() { return make_type<IvfPqIndexClass>(g_ivf_pq_slots); }

}  // namespace sorvel::py
