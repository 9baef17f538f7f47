#include "index/hnsw/hnsw_index.h"

#include "index_classes.h"

namespace sorvel::py {

namespace {

struct HnswIndexClass {
  using Content = HnswIndex;
  static constexpr const char* kName = "HnswIndex";
  static inline PyTypeObject* type = nullptr;
};
using Methods = IndexMethods<HnswIndexClass>;

constexpr Signature kNewSig{"__new__",
                            {{"dimensions"}, optional_param("metric"),
                             optional_param("ef_construction"), optional_param("ef_search"),
                             optional_param("m")}};
constexpr Signature kAddBatchParallelSig{
    "add_batch_parallel",
    {{"vectors"}, optional_param("start_id"), optional_param("num_threads"),
     optional_param("micro_batch_size")}};

// HnswIndex(dimensions, metric="l2", ef_construction=200, ef_search=50, m=12): after the
// conversions, ValueError (InvalidConfig) for settings whose saved graph would not load again.
PyObject* hnsw_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return constructor_frame<HnswIndexClass>(
      kNewSig, args, kwargs, [](const BoundArgs& a) -> PyObject* {
        const PyResult<std::uint64_t> dimensions = u64_arg(a[0], "dimensions");
        if (!dimensions) return nullptr;
        const PyResult<std::string_view> metric_text = metric_text_arg(a[1]);
        if (!metric_text) return nullptr;
        const PyResult<std::uint64_t> ef_construction =
            u64_arg_or(a[2], "ef_construction", 200);
        if (!ef_construction) return nullptr;
        const PyResult<std::uint64_t> ef_search = u64_arg_or(a[3], "ef_search", 50);
        if (!ef_search) return nullptr;
        const PyResult<std::uint64_t> m = u64_arg_or(a[4], "m", 12);
        if (!m) return nullptr;
        const PyResult<Metric> metric = parse_metric(*metric_text);
        if (!metric) return nullptr;
        const Result<> usable = HnswIndex::check_config(*ef_construction, *ef_search, *m);
        if (!usable) return error_to_pyerr(usable.error());
        return wrap<HnswIndexClass>(
            std::make_unique<HnswIndex>(*dimensions, *metric, *ef_construction, *ef_search, *m));
      });
}

// add_batch_parallel(vectors, start_id=0, num_threads=0, micro_batch_size=256): exclusive borrow,
// the integers converted in signature order, then the matrix; the core runs without the
// interpreter lock.
PyObject* hnsw_add_batch_parallel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return method_frame<HnswIndexClass>(
      kAddBatchParallelSig, Access::Exclusive, self, args, nargs, kwnames,
      [](HnswIndex& index, const BoundArgs& a) -> PyObject* {
        const PyResult<std::uint64_t> start_id = u64_arg_or(a[1], "start_id", 0);
        if (!start_id) return nullptr;
        const PyResult<std::uint64_t> num_threads = u64_arg_or(a[2], "num_threads", 0);
        if (!num_threads) return nullptr;
        const PyResult<std::uint64_t> micro = u64_arg_or(a[3], "micro_batch_size", 256);
        if (!micro) return nullptr;
        const PyResult<Matrix> matrix = extract_matrix(a[0]);
        if (!matrix) return nullptr;
        const Result<> result = without_gil([&] {
          return index.add_batch_parallel(matrix->data(), matrix->rows, matrix->cols, *start_id,
                                          *num_threads, *micro);
        });
        return none_or_raise(result);
      });
}

constexpr const char kClassDoc[] =
    "HnswIndex(dimensions, metric=\"l2\", ef_construction=200, ef_search=50, m=12)\n--\n\n"
    "Graph-based approximate nearest-neighbour index (HNSW). 95-99% recall.\n\n"
    "Best general-purpose index for datasets of any size.\n\n"
    "Args:\n"
    "    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric - \"l2\", \"cosine\", or \"dot_product\".\n"
    "    ef_construction: Build beam width (default 200). Higher = better recall, slower build.\n"
    "    ef_search: Query beam width (default 50). Tunable at runtime.\n"
    "    m: Graph edges per node (default 12). Higher = better recall, more RAM.\n\n"
    "Example:\n"
    "    >>> hnsw = HnswIndex(dimensions=384, metric=\"cosine\")\n"
    "    >>> hnsw.add(id=1, vector=[...])\n"
    "    >>> hnsw.flush()  # build graph after bulk inserts\n"
    "    >>> results = hnsw.search(query=[...], k=10)";

PyMethodDef g_methods[] = {
    fast_method("add", &Methods::add, SORVEL_DOC_ADD),
    fast_method("add_batch", &Methods::add_batch, SORVEL_DOC_ADD_BATCH),
    fast_method("add_batch_np", &Methods::add_batch_np,
                SORVEL_DOC_ADD_BATCH_NP SORVEL_TEXT_ADD_BATCH_NP SORVEL_TEXT_ADD_BATCH_NP_FASTEST
                "\n\nUsage:\n    vectors = np.random.randn(10000, 128).astype(np.float32)\n"
                "    idx.add_batch_np(vectors)            # IDs: 0..9999\n"
                "    idx.add_batch_np(vectors, start_id=5000)  # IDs: 5000..14999"),
    fast_method("add_batch_parallel", &hnsw_add_batch_parallel,
                "add_batch_parallel($self, vectors, start_id=0, num_threads=0, "
                "micro_batch_size=256)\n--\n\n"
                "Parallel batch insert from a 2D numpy array using micro-batching.\n\n"
                "Splits the batch into micro-batches, inserts the first batch sequentially\n"
                "(bootstrapping the graph), then processes remaining batches with parallel\n"
                "neighbor search using `num_threads` threads.\n\n"
                "Args:\n"
                "    vectors: 2D numpy array of shape (N, dim), dtype float32\n"
                "    start_id: First vector ID (default 0)\n"
                "    num_threads: Number of threads (default 0 = all cores)\n"
                "    micro_batch_size: Vectors per micro-batch (default 256)"),
    fast_method("search", &Methods::search, SORVEL_DOC_SEARCH),
    fast_method("delete", &Methods::remove, SORVEL_DOC_DELETE),
    // The graph is always complete, so the shared flush changes nothing here.
    fast_method("flush", &Methods::flush,
                SORVEL_DOC_FLUSH
                "Build the HNSW graph. Call after bulk inserts for best performance."),
    fast_method("save", &Methods::save, SORVEL_DOC_SAVE),
    fast_method("load", &Methods::load, SORVEL_DOC_LOAD, METH_STATIC),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* hnsw_index_type() {
  return make_index_type<HnswIndexClass>(&hnsw_new, kClassDoc, g_methods);
}

}  // namespace sorvel::py
