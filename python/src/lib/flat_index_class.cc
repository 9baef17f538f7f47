#include "index/flat/flat_index.h"
#include "index_classes.h"

namespace sorvel::py {

namespace {

struct FlatIndexClass {
  using Content = FlatIndex;
  static constexpr const char* kName = "FlatIndex";
  static inline PyTypeObject* type = nullptr;
};
using Methods = IndexMethods<FlatIndexClass>;

constexpr const char kClassDoc[] =
    "FlatIndex(dimensions, metric=\"l2\")\n--\n\n"
    "Exact brute-force vector index. 100% recall, O(N*D) per query.\n\n"
    "Best for small datasets (<100K vectors) or when exact results are required.\n\n"
    "Args:\n"
    "    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric - \"l2\", \"cosine\", or \"dot_product\".\n\n"
    "Example:\n"
    "    >>> idx = FlatIndex(dimensions=384, metric=\"cosine\")\n"
    "    >>> idx.add(id=1, vector=[0.1, 0.2, ...])\n"
    "    >>> results = idx.search(query=[0.1, 0.2, ...], k=10)";

PyMethodDef g_methods[] = {
    fast_method("add", &Methods::add, SORVEL_DOC_ADD "Add a single vector with the given ID."),
    fast_method("add_batch", &Methods::add_batch,
                SORVEL_DOC_ADD_BATCH
                "Add multiple vectors at once. Takes a list of (id, vector) tuples."),
    fast_method("add_batch_np", &Methods::add_batch_np,
                SORVEL_DOC_ADD_BATCH_NP SORVEL_TEXT_ADD_BATCH_NP SORVEL_TEXT_ADD_BATCH_NP_FASTEST),
    fast_method("search", &Methods::search,
                SORVEL_DOC_SEARCH
                "Search for the k nearest vectors. Returns list of {\"id\": int, \"distance\": "
                "float}."),
    fast_method("delete", &Methods::remove,
                SORVEL_DOC_DELETE "Remove a vector by ID. Returns True if found and removed."),
    fast_method("save", &Methods::save, SORVEL_DOC_SAVE "Save index to a binary file."),
    fast_method("load", &Methods::load,
                SORVEL_DOC_LOAD "Load a previously saved index from a binary file.", METH_STATIC),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// FlatIndex(dimensions, metric="l2").
PyTypeObject* flat_index_type() {
  return make_index_type<FlatIndexClass>(&plain_new<FlatIndexClass>, kClassDoc, g_methods);
}

}  // namespace sorvel::py
