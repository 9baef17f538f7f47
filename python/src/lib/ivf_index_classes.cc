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

// The five arguments both constructors begin with; the metric only as text (parsed by the
// constructor after its own further arguments).
struct ListArgs {
  std::uint64_t dimensions;
  std::string_view metric_text;
  std::uint64_t n_lists;
  std::uint64_t nprobe;
  std::uint64_t train_size;
};

// a[0..4] converted in signature order (dimensions, metric="l2", n_lists=256, nprobe=16,
// train_size=4096); empty with the error of the first that fails.
PyResult<ListArgs> list_args(const BoundArgs& a) {
  const PyResult<std::uint64_t> dimensions = u64_arg(a[0], "dimensions");
  if (!dimensions) return std::nullopt;
  const PyResult<std::string_view> metric_text = metric_text_arg(a[1]);
  if (!metric_text) return std::nullopt;
  const PyResult<std::uint64_t> n_lists = u64_arg_or(a[2], "n_lists", 256);
  if (!n_lists) return std::nullopt;
  const PyResult<std::uint64_t> nprobe = u64_arg_or(a[3], "nprobe", 16);
  if (!nprobe) return std::nullopt;
  const PyResult<std::uint64_t> train_size = u64_arg_or(a[4], "train_size", 4096);
  if (!train_size) return std::nullopt;
  return ListArgs{*dimensions, *metric_text, *n_lists, *nprobe, *train_size};
}

// IvfIndex(dimensions, metric="l2", n_lists=256, nprobe=16, train_size=4096): any values.
PyObject* ivf_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return constructor_frame<IvfIndexClass>(
      kIvfNewSig, args, kwargs, [](const BoundArgs& a) -> PyObject* {
        const PyResult<ListArgs> lists = list_args(a);
        if (!lists) return nullptr;
        const PyResult<Metric> metric = parse_metric(lists->metric_text);
        if (!metric) return nullptr;
        Result<IvfIndex> index =
            IvfIndex::create(lists->dimensions, *metric,
                             IvfConfig{lists->n_lists, lists->nprobe, lists->train_size,
                                       kStandaloneKMeansIterations});
        if (!index) return error_to_pyerr(index.error());
        return wrap<IvfIndexClass>(std::make_unique<IvfIndex>(std::move(*index)));
      });
}

// IvfPqIndex(..., pq_m=8, pq_k_sub=256): ValueError (InvalidConfig) when pq_m is 0 or does not
// divide the dimensions, or pq_k_sub is 0 or above 256.
PyObject* ivf_pq_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return constructor_frame<IvfPqIndexClass>(
      kIvfPqNewSig, args, kwargs, [](const BoundArgs& a) -> PyObject* {
        const PyResult<ListArgs> lists = list_args(a);
        if (!lists) return nullptr;
        const PyResult<std::uint64_t> pq_m = u64_arg_or(a[5], "pq_m", 8);
        if (!pq_m) return nullptr;
        const PyResult<std::uint64_t> pq_k_sub = u64_arg_or(a[6], "pq_k_sub", 256);
        if (!pq_k_sub) return nullptr;
        const PyResult<Metric> metric = parse_metric(lists->metric_text);
        if (!metric) return nullptr;
        const IvfPqConfig config{lists->n_lists, lists->nprobe, lists->train_size,
                                 kStandaloneKMeansIterations,
                                 PqConfig{*pq_m, *pq_k_sub, kStandaloneKMeansIterations}};
        Result<IvfPqIndex> index = IvfPqIndex::create(lists->dimensions, *metric, config);
        if (!index) return error_to_pyerr(index.error());
        return wrap<IvfPqIndexClass>(std::make_unique<IvfPqIndex>(std::move(*index)));
      });
}

// The method table of both classes: the shared methods with their signatures as docs, and flush,
// which trains.
template <class Class>
struct Tables {
  using Methods = IndexMethods<Class>;

  static inline PyMethodDef methods[] = {
      SORVEL_INDEX_PLAIN_METHODS(Methods),
      fast_method("flush", &Methods::flush, SORVEL_DOC_FLUSH),
      fast_method("save", &Methods::save, SORVEL_DOC_SAVE),
      fast_method("load", &Methods::load, SORVEL_DOC_LOAD, METH_STATIC),
      {nullptr, nullptr, 0, nullptr},
  };
};

}  // namespace

PyTypeObject* ivf_index_type() {
  return make_index_type<IvfIndexClass>(&ivf_new, IvfIndexClass::kDoc,
                                        Tables<IvfIndexClass>::methods);
}

PyTypeObject* ivf_pq_index_type() {
  return make_index_type<IvfPqIndexClass>(&ivf_pq_new, IvfPqIndexClass::kDoc,
                                          Tables<IvfPqIndexClass>::methods);
}

}  // namespace sorvel::py
