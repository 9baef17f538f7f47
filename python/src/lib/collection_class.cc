#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "args.h"
#include "class_frame.h"
#include "client_classes.h"
#include "collection/collection.h"
#include "collection/hybrid_search.h"
#include "collection/snapshot.h"
#include "errors.h"
#include "gil.h"
#include "payload_conversion.h"
#include "py_ref.h"
#include "py_values.h"
#include "str_cat.h"

namespace sorvel::py {

namespace {

struct CollectionClass {
  using Content = CollectionHandle;
  static constexpr const char* kName = "Collection";
  static inline PyTypeObject* type = nullptr;
};

// ---- the client lock around a core step ------------------------------------------------------

// The guard type and collection type of each lock mode.
template <Access kMode>
struct LockMode;
template <>
struct LockMode<Access::Exclusive> {
  using Guard = ClientState::WriteGuard;
  using Target = Collection;
  static Guard take(ClientState& state) { return state.write(); }
};
template <>
struct LockMode<Access::Shared> {
  using Guard = ClientState::ReadGuard;
  using Target = const Collection;
  static Guard take(ClientState& state) { return state.read(); }
};

// The client lock taken for one call, and the collection found under it.
template <Access kMode>
struct Locked {
  typename LockMode<kMode>::Guard guard;
  // Null when the handle's collection is not registered; the lock is then already given back and
  // KeyError set.
  typename LockMode<kMode>::Target* collection;
};

// Whether a call in mode kMode may go on in this process: reads may anywhere, changes only in
// the process that opened the client (else its Io is raised and false returned, nothing locked).
template <Access kMode>
bool may_run_here(const CollectionHandle& handle) {
  if constexpr (kMode == Access::Exclusive) {
    const Result<> here = handle.client->check_owning_process();
    if (!here) {
      error_to_pyerr(here.error());
      return false;
    }
  }
  return true;
}

// Takes the client lock (write for Exclusive, read for Shared) with the interpreter lock held and
// finds the handle's collection. The poisoned lock's InvariantFailure propagates.
template <Access kMode>
Locked<kMode> lock_collection(const CollectionHandle& handle) {
  Locked<kMode> locked{LockMode<kMode>::take(*handle.client), nullptr};
  locked.collection = locked.guard.find(handle.name);
  if (locked.collection == nullptr) {
    locked.guard.unlock();
    raise_collection_not_found(handle.name);
  }
  return locked;
}

// The build step of a core step that returns Result<>: None.
struct ReturnNone {
  PyObject* operator()() const { Py_RETURN_NONE; }
};

// The method's result from the core step's Result, with the interpreter lock held: the exception
// of its error, else `build(value)` (`build()` for a Result<>).
template <class CoreOutcome, class Build>
PyObject* build_result(const CoreOutcome& outcome, Build& build) {
  if (!outcome) return error_to_pyerr(outcome.error());
  if constexpr (std::is_void_v<typename CoreOutcome::value_type>) {
    return build();
  } else {
    return build(*outcome);
  }
}

// Takes the client lock and finds the handle's collection (lock_collection), then releases the
// interpreter lock and runs `core(collection)`, which returns a Result. The client lock is given
// back inside the released section, before the interpreter lock is taken again, on every path (an
// exception thrown by the core included, which poisons a write lock on its way); the result is
// then built by build_result. Null with the error set when an Exclusive call runs outside the
// client's process (may_run_here) or the collection is not registered (KeyError).
// `core` must not touch Python objects and must return owned values.
template <Access kMode, class Core, class Build = ReturnNone>
PyObject* run_released(const CollectionHandle& handle, Core&& core, Build&& build = {}) {
  if (!may_run_here<kMode>(handle)) return nullptr;
  Locked<kMode> locked = lock_collection<kMode>(handle);
  if (locked.collection == nullptr) return nullptr;
  const auto outcome = without_gil([&] {
    // Moved in here so that unwinding destroys it before the interpreter lock is retaken.
    typename LockMode<kMode>::Guard held(std::move(locked.guard));
    auto result = core(*locked.collection);
    held.unlock();
    return result;
  });
  return build_result(outcome, build);
}

// As run_released, with the interpreter lock held for the whole core step (the snapshot methods:
// their file work runs with every other Python thread stopped). `core` gets the guard too, for an
// operation that replaces the registry entry.
template <Access kMode, class Core, class Build = ReturnNone>
PyObject* run_held(const CollectionHandle& handle, Core&& core, Build&& build = {}) {
  if (!may_run_here<kMode>(handle)) return nullptr;
  Locked<kMode> locked = lock_collection<kMode>(handle);
  if (locked.collection == nullptr) return nullptr;
  const auto outcome = core(locked.guard, *locked.collection);
  locked.guard.unlock();
  return build_result(outcome, build);
}

// A number read under the read lock with the interpreter lock held; 0 when the collection is not
// registered.
template <class Read>
std::size_t read_count(const CollectionHandle& handle, Read&& read) {
  ClientState::ReadGuard guard = handle.client->read();
  const Collection* collection = guard.find(handle.name);
  const std::size_t count = collection == nullptr ? 0 : read(*collection);
  guard.unlock();
  return count;
}

// ---- results ---------------------------------------------------------------------------------

// The keys of result dicts, interned once and kept for the process's life.
enum class Key : std::size_t {
  Id,
  Distance,
  Payload,
  Score,
  DenseDistance,
  SparseScore,
  Name,
  CreatedAt,
  VectorCount,
  SparseCount,
  kCount
};
constexpr const char* kKeyTexts[] = {
    "id",           "distance", "payload",    "score",        "dense_distance",
    "sparse_score", "name",     "created_at", "vector_count", "sparse_count"};
static_assert(std::size(kKeyTexts) == static_cast<std::size_t>(Key::kCount));
PyObject* g_keys[static_cast<std::size_t>(Key::kCount)] = {};

bool keys_ready() {
  for (std::size_t i = 0; i < static_cast<std::size_t>(Key::kCount); ++i) {
    if (g_keys[i] == nullptr) g_keys[i] = PyUnicode_InternFromString(kKeyTexts[i]);
    if (g_keys[i] == nullptr) return false;
  }
  return true;
}

// Sets dict[key] = value, taking over `value` (a new reference or null after a failed creation).
bool put(PyObject* dict, Key key, PyObject* value) {
  PyRef held = PyRef::steal(value);
  return held && PyDict_SetItem(dict, g_keys[static_cast<std::size_t>(key)], held.get()) == 0;
}

PyObject* f32_to_py(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }

// {"id", "distance"[, "payload"]}: the payload key only when the hit has a payload.
PyObject* hit_to_py(const CollectionHit& hit) {
  if (!keys_ready()) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), Key::Id, PyLong_FromUnsignedLongLong(hit.id)) ||
      !put(dict.get(), Key::Distance, f32_to_py(hit.distance))) {
    return nullptr;
  }
  if (hit.payload && !put(dict.get(), Key::Payload, json_to_py(*hit.payload))) return nullptr;
  return dict.release();
}

// {"id", "score", "dense_distance", "sparse_score"[, "payload"]}.
PyObject* hybrid_hit_to_py(const HybridHit& hit) {
  if (!keys_ready()) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), Key::Id, PyLong_FromUnsignedLongLong(hit.id)) ||
      !put(dict.get(), Key::Score, f32_to_py(hit.score)) ||
      !put(dict.get(), Key::DenseDistance, f32_to_py(hit.dense_distance)) ||
      !put(dict.get(), Key::SparseScore, f32_to_py(hit.sparse_score))) {
    return nullptr;
  }
  if (hit.payload && !put(dict.get(), Key::Payload, json_to_py(*hit.payload))) return nullptr;
  return dict.release();
}

// {"name", "created_at", "vector_count", "sparse_count"}.
PyObject* snapshot_to_py(const SnapshotMeta& meta) {
  if (!keys_ready()) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !put(dict.get(), Key::Name, decode_utf8(meta.name)) ||
      !put(dict.get(), Key::CreatedAt, PyLong_FromUnsignedLongLong(meta.created_at)) ||
      !put(dict.get(), Key::VectorCount, PyLong_FromUnsignedLongLong(meta.vector_count)) ||
      !put(dict.get(), Key::SparseCount, PyLong_FromUnsignedLongLong(meta.sparse_count))) {
    return nullptr;
  }
  return dict.release();
}

// ---- argument conversions --------------------------------------------------------------------

// A payload argument: none when None or left out, else py_to_json.
PyResult<std::optional<Payload>> payload_arg(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::optional<Payload>();
  PyResult<Payload> payload = py_to_json(object);
  if (!payload) return std::nullopt;
  return std::optional<Payload>(std::move(*payload));
}

// A filter argument: none when None or left out, else parse_filter.
PyResult<std::optional<FilterCondition>> filter_arg(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::optional<FilterCondition>();
  PyResult<FilterCondition> filter = parse_filter(object);
  if (!filter) return std::nullopt;
  return std::optional<FilterCondition>(std::move(*filter));
}

// A float argument narrowed to f32; `fallback` when left out. A TypeError of float() is prefixed
// with the argument's name.
PyResult<float> f32_arg_or(PyObject* object, const char* name, float fallback) {
  if (object == nullptr) return fallback;
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_type_error(name);
    return std::nullopt;
  }
  return narrow_to_f32(value);
}

// Checks that `object` is a dict (subclasses included), or None when `none_ok`: TypeError
// "argument '{name}': '{}' object cannot be converted to 'PyDict'" otherwise.
bool dict_arg(PyObject* object, const char* name, bool none_ok) {
  if (PyDict_Check(object) || (none_ok && object == Py_None)) return true;
  raise_conversion_error(object, "PyDict");
  prefix_type_error(name);
  return false;
}

// The entries of upsert_batch: the list's items by position while the position is below both the
// length at the start and the current length; each a tuple of 2 or 3 elements (id, vector[,
// payload]), a payload of None meaning none. The first failing item ends the conversion.
PyResult<std::vector<CollectionEntry>> batch_entries(PyObject* list) {
  std::vector<CollectionEntry> entries;
  entries.reserve(static_cast<std::size_t>(PyList_Size(list)));
  const bool converted = for_each_list_item(list, [&](PyObject* item) {
    const Py_ssize_t size = PyTuple_Check(item) ? PyTuple_Size(item) : 0;
    if (size != 2 && size != 3) {
      PyErr_SetString(PyExc_ValueError,
                      "each entry must be a tuple of (id, vector) or (id, vector, payload)");
      return false;
    }
    const PyResult<std::uint64_t> id = u64_arg(PyTuple_GetItem(item, 0), nullptr);
    if (!id) return false;
    PyResult<std::vector<float>> vector = extract_vector(PyTuple_GetItem(item, 1));
    if (!vector) return false;
    PyResult<std::optional<Payload>> payload =
        payload_arg(size == 3 ? PyTuple_GetItem(item, 2) : nullptr);
    if (!payload) return false;
    entries.push_back(CollectionEntry{*id, std::move(*vector), std::move(*payload)});
    return true;
  });
  if (!converted) return std::nullopt;
  return entries;
}

// ---- methods ---------------------------------------------------------------------------------

constexpr Signature kUpsertSig{"upsert", {{"id"}, {"vector"}, optional_param("payload")}};
constexpr Signature kUpsertBatchSig{"upsert_batch", {{"entries"}}};
constexpr Signature kSearchSig{"search", {{"query"}, {"k"}, optional_param("filter")}};
constexpr Signature kUpsertHybridSig{
    "upsert_hybrid",
    {{"id"}, {"vector"}, optional_param("sparse_vector"), optional_param("payload")}};
constexpr Signature kSearchHybridSig{"search_hybrid",
                                     {{"dense_query"},
                                      {"sparse_query"},
                                      {"k"},
                                      optional_param("dense_weight"),
                                      optional_param("sparse_weight"),
                                      optional_param("filter")}};
constexpr Signature kDeleteSig{"delete", {{"id"}}};
constexpr Signature kCreateSnapshotSig{"create_snapshot", {{"name"}}};
constexpr Signature kListSnapshotsSig{"list_snapshots", {}};
constexpr Signature kRestoreSnapshotSig{"restore_snapshot", {{"name"}}};
constexpr Signature kDeleteSnapshotSig{"delete_snapshot", {{"name"}}};

constexpr float kDefaultDenseWeight = 0.7f;
constexpr float kDefaultSparseWeight = 0.3f;

template <class Body>
PyObject* frame(const Signature& sig, Access access, PyObject* self, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  return method_frame<CollectionClass>(sig, access, self, args, nargs, kwnames,
                                       std::forward<Body>(body));
}

PyObject* upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return frame(kUpsertSig, Access::Exclusive, self, args, nargs, kwnames,
               [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::uint64_t> id = u64_arg(a[0], "id");
                 if (!id) return nullptr;
                 const PyResult<std::vector<float>> vector = extract_vector(a[1]);
                 if (!vector) return nullptr;
                 PyResult<std::optional<Payload>> payload = payload_arg(a[2]);
                 if (!payload) return nullptr;
                 return run_released<Access::Exclusive>(handle, [&](Collection& collection) {
                   return collection.upsert(*id, *vector, std::move(*payload));
                 });
               });
}

PyObject* upsert_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return frame(kUpsertBatchSig, Access::Exclusive, self, args, nargs, kwnames,
               [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
                 if (!list_arg(a[0], "entries")) return nullptr;
                 PyResult<std::vector<CollectionEntry>> entries = batch_entries(a[0]);
                 if (!entries) return nullptr;
                 return run_released<Access::Exclusive>(handle, [&](Collection& collection) {
                   return collection.upsert_batch(std::move(*entries));
                 });
               });
}

PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return frame(
      kSearchSig, Access::Shared, self, args, nargs, kwnames,
      [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
        const PyResult<std::uint64_t> k = u64_arg(a[1], "k");
        if (!k) return nullptr;
        const PyResult<std::vector<float>> query = extract_vector(a[0]);
        if (!query) return nullptr;
        const PyResult<std::optional<FilterCondition>> filter = filter_arg(a[2]);
        if (!filter) return nullptr;
        const FilterCondition* condition = *filter ? &**filter : nullptr;
        return run_released<Access::Shared>(
            handle,
            [&](const Collection& collection) {
              return collection.search_filtered(*query, *k, condition);
            },
            [](const std::vector<CollectionHit>& hits) { return list_of(hits, hit_to_py); });
      });
}

PyObject* upsert_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return frame(kUpsertHybridSig, Access::Exclusive, self, args, nargs, kwnames,
               [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::uint64_t> id = u64_arg(a[0], "id");
                 if (!id) return nullptr;
                 PyObject* sparse_object = a[2];
                 if (sparse_object != nullptr && !dict_arg(sparse_object, "sparse_vector", true)) {
                   return nullptr;
                 }
                 const PyResult<std::vector<float>> vector = extract_vector(a[1]);
                 if (!vector) return nullptr;
                 std::optional<SparseVector> sparse;
                 if (sparse_object != nullptr && sparse_object != Py_None) {
                   PyResult<SparseVector> converted = dict_to_sparse_vector(sparse_object);
                   if (!converted) return nullptr;
                   sparse = std::move(*converted);
                 }
                 PyResult<std::optional<Payload>> payload = payload_arg(a[3]);
                 if (!payload) return nullptr;
                 return run_released<Access::Exclusive>(handle, [&](Collection& collection) {
                   return collection.upsert_hybrid(*id, *vector, std::move(sparse),
                                                   std::move(*payload));
                 });
               });
}

PyObject* search_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return frame(
      kSearchHybridSig, Access::Shared, self, args, nargs, kwnames,
      [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
        if (!dict_arg(a[1], "sparse_query", false)) return nullptr;
        const PyResult<std::uint64_t> k = u64_arg(a[2], "k");
        if (!k) return nullptr;
        const PyResult<float> dense_weight = f32_arg_or(a[3], "dense_weight", kDefaultDenseWeight);
        if (!dense_weight) return nullptr;
        const PyResult<float> sparse_weight =
            f32_arg_or(a[4], "sparse_weight", kDefaultSparseWeight);
        if (!sparse_weight) return nullptr;
        const PyResult<std::vector<float>> dense_query = extract_vector(a[0]);
        if (!dense_query) return nullptr;
        const PyResult<SparseVector> sparse_query = dict_to_sparse_vector(a[1]);
        if (!sparse_query) return nullptr;
        const PyResult<std::optional<FilterCondition>> filter = filter_arg(a[5]);
        if (!filter) return nullptr;
        const FilterCondition* condition = *filter ? &**filter : nullptr;
        return run_released<Access::Shared>(
            handle,
            [&](const Collection& collection) {
              return sorvel::search_hybrid(collection, *dense_query, *sparse_query, *k,
                                           *dense_weight, *sparse_weight, condition);
            },
            [](const std::vector<HybridHit>& hits) { return list_of(hits, hybrid_hit_to_py); });
      });
}

PyObject* remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
  return frame(kDeleteSig, Access::Exclusive, self, args, nargs, kwnames,
               [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::uint64_t> id = u64_arg(a[0], "id");
                 if (!id) return nullptr;
                 return run_released<Access::Exclusive>(
                     handle, [&](Collection& collection) { return collection.remove(*id); },
                     [](bool removed) { return PyBool_FromLong(removed ? 1 : 0); });
               });
}

PyObject* create_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return frame(kCreateSnapshotSig, Access::Exclusive, self, args, nargs, kwnames,
               [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::string_view> name = text_arg(a[0], "name");
                 if (!name) return nullptr;
                 return run_held<Access::Exclusive>(
                     handle,
                     [&](ClientState::WriteGuard&, Collection& collection) {
                       return sorvel::create_snapshot(collection, *name);
                     },
                     snapshot_to_py);
               });
}

PyObject* list_snapshots(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return frame(
      kListSnapshotsSig, Access::Shared, self, args, nargs, kwnames,
      [](CollectionHandle& handle, const BoundArgs&) -> PyObject* {
        return run_held<Access::Shared>(
            handle,
            [&](ClientState::ReadGuard&, const Collection& collection) {
              return sorvel::list_snapshots(collection);
            },
            [](const std::vector<SnapshotMeta>& metas) { return list_of(metas, snapshot_to_py); });
      });
}

PyObject* restore_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return frame(kRestoreSnapshotSig, Access::Exclusive, self, args, nargs, kwnames,
               [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::string_view> name = text_arg(a[0], "name");
                 if (!name) return nullptr;
                 return run_held<Access::Exclusive>(
                     handle, [&](ClientState::WriteGuard& guard, Collection&) {
                       // The registry entry itself: the restore replaces the collection in it.
                       return sorvel::restore_snapshot(
                           guard.collections().find(handle.name)->second, *name);
                     });
               });
}

PyObject* delete_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return frame(kDeleteSnapshotSig, Access::Exclusive, self, args, nargs, kwnames,
               [](CollectionHandle& handle, const BoundArgs& a) -> PyObject* {
                 const PyResult<std::string_view> name = text_arg(a[0], "name");
                 if (!name) return nullptr;
                 return run_held<Access::Exclusive>(
                     handle, [&](ClientState::WriteGuard&, Collection& collection) {
                       return sorvel::delete_snapshot(collection, *name);
                     });
               });
}

// ---- properties and repr ---------------------------------------------------------------------

PyObject* name_getter(PyObject* self, void*) noexcept {
  return reader_frame<CollectionClass>(
      self, [](const CollectionHandle& handle) { return decode_utf8(handle.name); });
}

PyObject* count_getter(PyObject* self, void*) noexcept {
  return reader_frame<CollectionClass>(self, [](const CollectionHandle& handle) {
    return PyLong_FromSize_t(
        read_count(handle, [](const Collection& collection) { return collection.len(); }));
  });
}

PyObject* sparse_count_getter(PyObject* self, void*) noexcept {
  return reader_frame<CollectionClass>(self, [](const CollectionHandle& handle) {
    return PyLong_FromSize_t(
        read_count(handle, [](const Collection& collection) { return collection.sparse_count(); }));
  });
}

PyObject* collection_repr(PyObject* self) noexcept {
  return reader_frame<CollectionClass>(self, [](const CollectionHandle& handle) {
    const std::size_t count =
        read_count(handle, [](const Collection& collection) { return collection.len(); });
    const std::string text = str_cat("Collection(name=\"", handle.name, "\", count=", count, ")");
    return decode_utf8(text);
  });
}

// ---- the type --------------------------------------------------------------------------------

constexpr const char kClassDoc[] =
    "A named collection of vectors with WAL-backed persistence.\n\n"
    "Obtained via Client.create_collection() or Client.get_collection().\n"
    "Supports upsert, search, delete, hybrid search, and payload filtering.";

PyMethodDef g_methods[] = {
    fast_method("upsert", &upsert,
                "upsert($self, id, vector, payload=None)\n--\n\n"
                "Insert or update a vector by ID with optional metadata payload."),
    fast_method("upsert_batch", &upsert_batch,
                "upsert_batch($self, entries)\n--\n\n"
                "Batch insert or update multiple vectors at once. More efficient than\n"
                "calling upsert in a loop.\n\n"
                "Args:\n"
                "    entries: List of (id, vector) tuples or (id, vector, payload) tuples."),
    fast_method("search", &search,
                "search($self, query, k, filter=None)\n--\n\n"
                "Search for the k nearest vectors. Returns list of {\"id\", \"distance\", "
                "\"payload\"}.\n\n"
                "Supports optional payload filtering with operators: $eq, $ne, $in, $gt, $gte, "
                "$lt, $lte, $and, $or."),
    fast_method("upsert_hybrid", &upsert_hybrid,
                "upsert_hybrid($self, id, vector, sparse_vector=None, payload=None)\n--\n\n"
                "Upsert with an optional sparse vector for hybrid search.\n\n"
                "Args:\n"
                "    id: Vector ID.\n"
                "    vector: Dense vector.\n"
                "    sparse_vector: Optional dict `{dimension_index: weight}` for sparse search.\n"
                "    payload: Optional metadata dict."),
    fast_method("search_hybrid", &search_hybrid,
                "search_hybrid($self, dense_query, sparse_query, k, dense_weight=0.7, "
                "sparse_weight=0.3, filter=None)\n--\n\n"
                "Hybrid dense+sparse search with weighted score fusion.\n\n"
                "Args:\n"
                "    dense_query: Dense query vector.\n"
                "    sparse_query: Sparse query dict `{dimension_index: weight}`.\n"
                "    k: Number of results.\n"
                "    dense_weight: Weight for dense similarity (default 0.7).\n"
                "    sparse_weight: Weight for sparse similarity (default 0.3).\n"
                "    filter: Optional payload filter dict.\n\n"
                "Returns:\n"
                "    List of dicts with keys: id, score, dense_distance, sparse_score, payload."),
    fast_method("delete", &remove,
                "delete($self, id)\n--\n\n"
                "Delete a vector by ID. Returns True if found and removed."),
    fast_method("create_snapshot", &create_snapshot,
                "create_snapshot($self, name)\n--\n\n"
                "Create a named snapshot of this collection's current state."),
    fast_method("list_snapshots", &list_snapshots,
                "list_snapshots($self)\n--\n\n"
                "List all snapshots for this collection, sorted by creation time."),
    fast_method("restore_snapshot", &restore_snapshot,
                "restore_snapshot($self, name)\n--\n\n"
                "Restore this collection to the state captured by snapshot `name`."),
    fast_method("delete_snapshot", &delete_snapshot,
                "delete_snapshot($self, name)\n--\n\n"
                "Delete a snapshot by name."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"count", &count_getter, nullptr, nullptr, nullptr},
    {"sparse_count", &sparse_count_getter, nullptr, nullptr, nullptr},
    {"name", &name_getter, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    slot(Py_tp_dealloc, &dealloc<CollectionClass>),
    slot(Py_tp_new, &no_constructor<CollectionClass>),
    slot(Py_tp_doc, kClassDoc),
    slot(Py_tp_methods, g_methods),
    slot(Py_tp_getset, g_getset),
    slot(Py_tp_repr, &collection_repr),
    {0, nullptr},
};

}  // namespace

// The text differs from the core's CollectionNotFound display on purpose: handles and
// get_collection report a missing name this way.
PyObject* raise_collection_not_found(const std::string& name) {
  return raise_with_text(PyExc_KeyError, str_cat("collection '", name, "' not found"));
}

PyObject* new_collection_handle(std::string name, std::shared_ptr<ClientState> client) {
  if (make_type<CollectionClass>(g_slots) == nullptr) return nullptr;
  return wrap<CollectionClass>(
      std::make_unique<CollectionHandle>(CollectionHandle{std::move(name), std::move(client)}));
}

PyTypeObject* collection_type() { return make_type<CollectionClass>(g_slots); }

}  // namespace sorvel::py
