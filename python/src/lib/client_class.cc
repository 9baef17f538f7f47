#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "class_frame.h"
#include "client_classes.h"
#include "collection/client_state.h"
#include "errors.h"
#include "py_ref.h"
#include "py_values.h"
#include "str_cat.h"

// Every Client method holds the interpreter lock for its whole run, file and directory work
// included; the registry operations take the client lock inside with it held and give it back
// before they return. So no Client method ever waits for the interpreter lock while holding the
// client lock.

namespace sorvel::py {

namespace {

struct ClientClass {
  using Content = std::shared_ptr<ClientState>;
  static constexpr const char* kName = "Client";
  static inline PyTypeObject* type = nullptr;
};

constexpr std::string_view kDefaultPath = "./data";
constexpr std::string_view kDefaultMetric = "cosine";
constexpr std::string_view kDefaultIndexType = "hnsw";

constexpr Signature kNewSig{"__new__", {optional_param("path")}};
constexpr Signature kCreateSig{
    "create_collection",
    {{"name"}, {"dimensions"}, optional_param("metric"), optional_param("index_type")}};
constexpr Signature kGetSig{"get_collection", {{"name"}}};
constexpr Signature kGetOrCreateSig{"get_or_create_collection",
                                    {{"name"}, {"dimensions"}, optional_param("metric")}};
constexpr Signature kDeleteSig{"delete_collection", {{"name"}}};
constexpr Signature kListSig{"list_collections", {}};

// The index type of a creatable name, or ValueError "unknown index_type {debug-quoted name}".
PyResult<IndexType> parse_index_type(std::string_view text) {
  if (const std::optional<IndexType> type = creatable_index_type(text)) return *type;
  PyErr_SetString(PyExc_ValueError, str_cat("unknown index_type ", debug_text(text)).c_str());
  return std::nullopt;
}

// Client(path="./data"): opens (creating if missing) the data directory and every collection in
// it. OSError when the directory cannot be created, listed or locked (another live Client holds
// it); PanicException when opening a collection fails an internal invariant.
PyObject* client_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return constructor_frame<ClientClass>(kNewSig, args, kwargs, [](const BoundArgs& a) -> PyObject* {
    const PyResult<std::string_view> path = text_arg_or(a[0], "path", kDefaultPath);
    if (!path) return nullptr;
    Result<std::shared_ptr<ClientState>> state = open_client(std::string(*path));
    if (!state) return error_to_pyerr(state.error());
    return wrap<ClientClass>(std::make_unique<std::shared_ptr<ClientState>>(std::move(*state)));
  });
}

template <class Body>
PyObject* frame(const Signature& sig, Access access, PyObject* self, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  return method_frame<ClientClass>(sig, access, self, args, nargs, kwnames,
                                   std::forward<Body>(body));
}

PyObject* create_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return frame(
      kCreateSig, Access::Exclusive, self, args, nargs, kwnames,
      [](std::shared_ptr<ClientState>& state, const BoundArgs& a) -> PyObject* {
        const PyResult<std::string_view> name = text_arg(a[0], "name");
        if (!name) return nullptr;
        const PyResult<std::uint64_t> dimensions = u64_arg(a[1], "dimensions");
        if (!dimensions) return nullptr;
        const PyResult<std::string_view> metric_text = text_arg_or(a[2], "metric", kDefaultMetric);
        if (!metric_text) return nullptr;
        const PyResult<std::string_view> type_text =
            text_arg_or(a[3], "index_type", kDefaultIndexType);
        if (!type_text) return nullptr;
        // A bad metric is reported before a bad index type; both before any lock.
        const PyResult<Metric> metric = parse_metric(*metric_text);
        if (!metric) return nullptr;
        const PyResult<IndexType> type = parse_index_type(*type_text);
        if (!type) return nullptr;
        std::string owned(*name);
        const Result<> created = state->create_collection(owned, *dimensions, *metric, *type);
        if (!created) return error_to_pyerr(created.error());
        return new_collection_handle(std::move(owned), state);
      });
}

PyObject* get_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return frame(kGetSig, Access::Shared, self, args, nargs, kwnames,
               [](std::shared_ptr<ClientState>& state, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::string_view> name = text_arg(a[0], "name");
                 if (!name) return nullptr;
                 std::string owned(*name);
                 if (!state->contains(owned)) return raise_collection_not_found(owned);
                 return new_collection_handle(std::move(owned), state);
               });
}

// An existing collection is returned whatever its dimensions and metric; the metric text is only
// parsed when a collection is created.
PyObject* get_or_create_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return frame(kGetOrCreateSig, Access::Exclusive, self, args, nargs, kwnames,
               [](std::shared_ptr<ClientState>& state, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::string_view> name = text_arg(a[0], "name");
                 if (!name) return nullptr;
                 const PyResult<std::uint64_t> dimensions = u64_arg(a[1], "dimensions");
                 if (!dimensions) return nullptr;
                 const PyResult<std::string_view> metric_text =
                     text_arg_or(a[2], "metric", kDefaultMetric);
                 if (!metric_text) return nullptr;
                 std::string owned(*name);
                 if (!state->contains(owned)) {
                   const PyResult<Metric> metric = parse_metric(*metric_text);
                   if (!metric) return nullptr;
                   const Result<> created =
                       state->create_collection(owned, *dimensions, *metric, IndexType::Hnsw);
                   if (!created) return error_to_pyerr(created.error());
                 }
                 return new_collection_handle(std::move(owned), state);
               });
}

PyObject* delete_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return frame(kDeleteSig, Access::Exclusive, self, args, nargs, kwnames,
               [](std::shared_ptr<ClientState>& state, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::string_view> name = text_arg(a[0], "name");
                 if (!name) return nullptr;
                 const Result<bool> removed = state->delete_collection(std::string(*name));
                 if (!removed) return error_to_pyerr(removed.error());
                 return PyBool_FromLong(*removed ? 1 : 0);
               });
}

PyObject* list_collections(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return frame(kListSig, Access::Shared, self, args, nargs, kwnames,
               [](std::shared_ptr<ClientState>& state, const BoundArgs&) -> PyObject* {
                 // Copied under the read lock, which is given back before any object is made.
                 const std::vector<std::string> names = state->list_collections();
                 return list_of(names, decode_utf8);
               });
}

PyObject* client_repr(PyObject* self) noexcept {
  return reader_frame<ClientClass>(self, [](const std::shared_ptr<ClientState>& state) {
    const std::string text = str_cat("Client(collections=", state->count_collections(), ")");
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

constexpr const char kClassDoc[] =
    "Client(path=\"./data\")\n--\n\n"
    "Persistent vector database client.\n\n"
    "Opens a directory on disk. All writes are WAL-backed and survive restarts.\n\n"
    "Args:\n"
    "    path: Directory path for data storage (default \"./data\").\n\n"
    "Example:\n"
    "    >>> db = Client(path=\"./my_data\")\n"
    "    >>> col = db.create_collection(\"docs\", dimensions=384, metric=\"cosine\")\n"
    "    >>> col.upsert(id=1, vector=[...], payload={\"title\": \"hello\"})\n"
    "    >>> hits = col.search(query=[...], k=5)";

PyMethodDef g_methods[] = {
    fast_method("create_collection", &create_collection,
                "create_collection($self, name, dimensions, metric=\"cosine\", "
                "index_type=\"hnsw\")\n--\n\n"
                "Create a new collection.\n\n"
                "Args:\n"
                "    name: Collection name.\n"
                "    dimensions: Vector dimensions.\n"
                "    metric: \"cosine\", \"l2\", or \"dot_product\".\n"
                "    index_type: \"hnsw\", \"flat\", \"quantized_flat\", \"fp16_flat\", \"ivf\", "
                "\"ivf_pq\", or \"mmap_flat\"."),
    fast_method("get_collection", &get_collection,
                "get_collection($self, name)\n--\n\n"
                "Get an existing collection by name. Raises KeyError if not found."),
    fast_method("get_or_create_collection", &get_or_create_collection,
                "get_or_create_collection($self, name, dimensions, metric=\"cosine\")\n--\n\n"
                "Get a collection by name, or create it if it doesn't exist (uses HNSW)."),
    fast_method("delete_collection", &delete_collection,
                "delete_collection($self, name)\n--\n\n"
                "Delete a collection and all its data from disk."),
    fast_method("list_collections", &list_collections,
                "list_collections($self)\n--\n\n"
                "List all collection names."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    slot(Py_tp_dealloc, &dealloc<ClientClass>),
    slot(Py_tp_new, &client_new),
    slot(Py_tp_doc, kClassDoc),
    slot(Py_tp_methods, g_methods),
    slot(Py_tp_repr, &client_repr),
    {0, nullptr},
};

}  // namespace

PyTypeObject* client_type() { return make_type<ClientClass>(g_slots); }

}  // namespace sorvel::py
