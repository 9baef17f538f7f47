"""The Collection class: every method with its conversions, results and errors, the handle life
cycle (delete, re-create, restore seen through old handles), snapshots, the borrow and the client
lock between threads, and a multi-threaded run whose every acknowledged write survives a reopen."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import BUILD_DIR
from thread_probe import assert_this_thread_runs_during, run_during, timed

F32 = np.float32


@pytest.fixture
def col(client):
    """An empty exact collection of 3 dimensions with the l2 metric."""
    return client.create_collection("c", 3, "l2", "flat")


def reopen(svdb, data, name="c"):
    gc.collect()
    return svdb.Client(data).get_collection(name)


# ---- class, documentation ------------------------------------------------------------------------

def test_no_constructor(svdb):
    with pytest.raises(TypeError) as info:
        svdb.Collection()
    assert str(info.value) == "No constructor defined for Collection"


def test_class_documentation(svdb):
    assert svdb.Collection.__doc__ == (
        "A named collection of vectors with WAL-backed persistence.\n\n"
        "Obtained via Client.create_collection() or Client.get_collection().\n"
        "Supports upsert, search, delete, hybrid search, and payload filtering.")
    assert svdb.Collection.__text_signature__ is None


METHOD_DOCS = [
    ("upsert", "($self, id, vector, payload=None)",
     "Insert or update a vector by ID with optional metadata payload."),
    ("upsert_batch", "($self, entries)",
     "Batch insert or update multiple vectors at once. More efficient than\n"
     "calling upsert in a loop.\n\nArgs:\n"
     "    entries: List of (id, vector) tuples or (id, vector, payload) tuples."),
    ("search", "($self, query, k, filter=None)",
     'Search for the k nearest vectors. Returns list of {"id", "distance", "payload"}.\n\n'
     "Supports optional payload filtering with operators: $eq, $ne, $in, $gt, $gte, $lt, $lte, "
     "$and, $or."),
    ("upsert_hybrid", "($self, id, vector, sparse_vector=None, payload=None)",
     "Upsert with an optional sparse vector for hybrid search.\n\nArgs:\n    id: Vector ID.\n"
     "    vector: Dense vector.\n"
     "    sparse_vector: Optional dict `{dimension_index: weight}` for sparse search.\n"
     "    payload: Optional metadata dict."),
    ("search_hybrid",
     "($self, dense_query, sparse_query, k, dense_weight=0.7, sparse_weight=0.3, filter=None)",
     "Hybrid dense+sparse search with weighted score fusion.\n\nArgs:\n"
     "    dense_query: Dense query vector.\n"
     "    sparse_query: Sparse query dict `{dimension_index: weight}`.\n"
     "    k: Number of results.\n    dense_weight: Weight for dense similarity (default 0.7).\n"
     "    sparse_weight: Weight for sparse similarity (default 0.3).\n"
     "    filter: Optional payload filter dict.\n\nReturns:\n"
     "    List of dicts with keys: id, score, dense_distance, sparse_score, payload."),
    ("delete", "($self, id)", "Delete a vector by ID. Returns True if found and removed."),
    ("create_snapshot", "($self, name)",
     "Create a named snapshot of this collection's current state."),
    ("list_snapshots", "($self)",
     "List all snapshots for this collection, sorted by creation time."),
    ("restore_snapshot", "($self, name)",
     "Restore this collection to the state captured by snapshot `name`."),
    ("delete_snapshot", "($self, name)", "Delete a snapshot by name."),
]


@pytest.mark.parametrize("name, signature, doc", METHOD_DOCS, ids=[m[0] for m in METHOD_DOCS])
def test_method_documentation(svdb, name, signature, doc):
    method = getattr(svdb.Collection, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_method_table_order(svdb):
    names = [n for n in vars(svdb.Collection) if not n.startswith("__")]
    assert names == ["upsert", "upsert_batch", "search", "upsert_hybrid", "search_hybrid",
                     "delete", "create_snapshot", "list_snapshots", "restore_snapshot",
                     "delete_snapshot", "count", "sparse_count", "name"]


@pytest.mark.parametrize("prop", ["name", "count", "sparse_count"])
def test_properties_are_read_only(col, prop):
    with pytest.raises(AttributeError):
        setattr(col, prop, 1)


# ---- writes and searches -------------------------------------------------------------------------

def test_upsert_search_and_results(col):
    col.upsert(1, [1.0, 0.0, 0.0], {"t": "one"})
    col.upsert(id=2, vector=np.array([1.0, 2.0, 0.0], F32))
    col.upsert(3, (1.0, 0.0, 3.0), payload=float("nan"))  # a payload that is JSON null
    hits = col.search([1.0, 0.0, 0.0], 3)
    assert [list(h) for h in hits] == [["id", "distance", "payload"], ["id", "distance"],
                                       ["id", "distance", "payload"]]
    assert hits[0] == {"id": 1, "distance": 0.0, "payload": {"t": "one"}}
    assert hits[1] == {"id": 2, "distance": 2.0}
    assert hits[2] == {"id": 3, "distance": 3.0, "payload": None}
    assert col.count == 3 and repr(col) == 'Collection(name="c", count=3)'


def test_distance_is_the_f32_value_widened(client):
    col = client.create_collection("cos", 2, "cosine", "flat")
    col.upsert(1, [1.0, 0.3])
    distance = col.search([0.3, 1.0], 1)[0]["distance"]
    assert distance == float(F32(distance))


def test_upsert_replaces_vector_and_payload(col):
    col.upsert(1, [1.0, 0.0, 0.0], {"v": 1})
    col.upsert(1, [0.0, 1.0, 0.0], {"v": 2})
    assert col.search([0.0, 1.0, 0.0], 5) == [{"id": 1, "distance": 0.0, "payload": {"v": 2}}]
    col.upsert(1, [0.0, 1.0, 0.0], None)  # None: no payload any more
    assert col.search([0.0, 1.0, 0.0], 5) == [{"id": 1, "distance": 0.0}]


def test_upsert_batch(col):
    col.upsert_batch([])
    col.upsert_batch([(1, [1.0, 0.0, 0.0], {"a": 1}), (2, np.ones(3, F32)), (3, [0.0] * 3, None),
                      (1, [5.0, 0.0, 0.0], {"a": 2})])  # a repeated id: the last entry wins
    assert col.count == 3
    hits = {h["id"]: h for h in col.search([5.0, 0.0, 0.0], 10)}
    assert hits[1] == {"id": 1, "distance": 0.0, "payload": {"a": 2}}
    assert "payload" not in hits[2] and "payload" not in hits[3]


def test_upsert_batch_reads_a_shrinking_list_up_to_its_length(col):
    entries = []

    class Id:
        def __index__(self):
            del entries[1:]
            return 7

    entries[:] = [(Id(), [1.0, 0.0, 0.0]), (8, [0.0, 1.0, 0.0])]
    col.upsert_batch(entries)
    assert [h["id"] for h in col.search([1.0, 0.0, 0.0], 5)] == [7]


ENTRY = "each entry must be a tuple of (id, vector) or (id, vector, payload)"
BATCH_ERRORS = [
    ("short tuple after a good one", [(1, [0.1, 0.2, 0.3]), (2,)], ValueError, ENTRY),
    ("four elements", [(1, [0.1] * 3, None, None)], ValueError, ENTRY),
    ("a list entry", [[1, [0.1] * 3]], ValueError, ENTRY),
    ("negative id", [(-1, [0.1] * 3)], OverflowError, None),
    ("text id, no argument prefix", [("x", [0.1] * 3)], TypeError,
     "'str' object cannot be interpreted as an integer"),
    ("str vector", [(1, "abc")], TypeError, "Can't extract `str` to `Vec`"),
    ("bad payload key", [(1, [0.1] * 3, {2: 1})], TypeError,
     "'int' object cannot be converted to 'PyString'"),
    ("wrong length, checked before anything is stored", [(1, [0.1] * 3), (2, [0.1] * 2)],
     ValueError, "dimension mismatch: expected 3, got 2"),
    ("not a list", ((1, [0.1] * 3),), TypeError,
     "argument 'entries': 'tuple' object cannot be converted to 'PyList'"),
]


@pytest.mark.parametrize("entries, exc, message", [b[1:] for b in BATCH_ERRORS],
                         ids=[b[0] for b in BATCH_ERRORS])
def test_upsert_batch_errors_store_nothing(svdb, data, entries, exc, message):
    client = svdb.Client(data)
    col = client.create_collection("c", 3, "l2", "flat")
    with pytest.raises(exc) as info:
        col.upsert_batch(entries)
    if message is not None:
        assert str(info.value) == message
    assert col.count == 0
    del col, client
    assert reopen(svdb, data).count == 0


CALL_ERRORS = [
    ("upsert: short vector", lambda c: c.upsert(1, [1.0, 2.0]), ValueError,
     "dimension mismatch: expected 3, got 2"),
    ("upsert: negative id", lambda c: c.upsert(-1, [0.0] * 3), OverflowError, None),
    ("upsert: id beyond u64", lambda c: c.upsert(2**64, [0.0] * 3), OverflowError, None),
    ("upsert: text id", lambda c: c.upsert("1", [0.0] * 3), TypeError, "argument 'id': "),
    ("upsert: missing vector", lambda c: c.upsert(1), TypeError,
     "Collection.upsert() missing 1 required positional argument: 'vector'"),
    ("search: wrong length", lambda c: c.search([1.0], 1), ValueError,
     "dimension mismatch: expected 3, got 1"),
    ("search: k before query", lambda c: c.search("bad", -1), OverflowError, None),
    ("search: 2-D query", lambda c: c.search(np.zeros((1, 3), F32), 1), ValueError,
     "vector must be 1-dimensional"),
    ("search: bad filter", lambda c: c.search([0.0] * 3, 1, {}), ValueError,
     "invalid filter: FilterCondition must be $and, $or, or a single field predicate"),
    ("upsert_hybrid: list as sparse vector", lambda c: c.upsert_hybrid(1, [0.0] * 3, [1]),
     TypeError, "argument 'sparse_vector': 'list' object cannot be converted to 'PyDict'"),
    ("upsert_hybrid: id before sparse vector", lambda c: c.upsert_hybrid(-1, [0.0] * 3, [1]),
     OverflowError, None),
    ("upsert_hybrid: short vector", lambda c: c.upsert_hybrid(1, [0.0], {1: 1.0}), ValueError,
     "dimension mismatch: expected 3, got 1"),
    ("search_hybrid: sparse query not a dict", lambda c: c.search_hybrid([0.0] * 3, None, 1),
     TypeError, "argument 'sparse_query': 'NoneType' object cannot be converted to 'PyDict'"),
    ("search_hybrid: str dense weight",
     lambda c: c.search_hybrid([0.0] * 3, {}, 1, dense_weight="x"), TypeError,
     "argument 'dense_weight': "),
    ("search_hybrid: str sparse weight",
     lambda c: c.search_hybrid([0.0] * 3, {}, 1, sparse_weight="x"), TypeError,
     "argument 'sparse_weight': "),
    ("search_hybrid: weights before the query",
     lambda c: c.search_hybrid("bad", {}, 1, dense_weight=None), TypeError,
     "argument 'dense_weight': "),
    ("search_hybrid: wrong length", lambda c: c.search_hybrid([0.0], {1: 1.0}, 1), ValueError,
     "dimension mismatch: expected 3, got 1"),
    ("delete: negative id", lambda c: c.delete(-1), OverflowError, None),
    ("create_snapshot: name not a str", lambda c: c.create_snapshot(1), TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, exc, message", [c[1:] for c in CALL_ERRORS],
                         ids=[c[0] for c in CALL_ERRORS])
def test_call_errors(col, call, exc, message):
    col.upsert(9, [1.0, 1.0, 1.0], {"keep": True})
    with pytest.raises(exc) as info:
        call(col)
    if message is not None:
        text = str(info.value)
        assert text.startswith(message) if message.endswith(": ") else text == message
    # Nothing changed, and every borrow was given back.
    assert col.search([1.0, 1.0, 1.0], 5) == [{"id": 9, "distance": 0.0, "payload": {"keep": True}}]


def test_refused_vector_leaves_the_earlier_one(svdb, data):
    client = svdb.Client(data)
    col = client.create_collection("c", 3, "l2", "flat")
    col.upsert(1, [1.0, 2.0, 3.0], {"p": 1})
    with pytest.raises(ValueError):
        col.upsert(1, [1.0, 2.0], {"p": 2})
    assert col.search([1.0, 2.0, 3.0], 1) == [{"id": 1, "distance": 0.0, "payload": {"p": 1}}]
    del col, client
    assert reopen(svdb, data).search([1.0, 2.0, 3.0], 1)[0]["payload"] == {"p": 1}


def test_search_k_and_filter(col):
    col.upsert_batch([(i, [float(i), 0.0, 0.0], {"even": i % 2 == 0, "i": i}) for i in range(30)])
    assert col.search([0.0] * 3, 0) == []
    assert col.search([0.0] * 3, 0, {"even": {"$eq": True}}) == []
    assert [h["id"] for h in col.search([0.0] * 3, 4, {"even": {"$eq": False}})] == [1, 3, 5, 7]
    assert col.search([0.0] * 3, 4, None) == col.search([0.0] * 3, 4)
    assert len(col.search([0.0] * 3, 2**64 - 1, {"$and": []})) == 30
    # The k nearest that pass, however far beyond the k nearest of all they lie.
    assert [h["id"] for h in col.search([0.0] * 3, 1, {"i": {"$gte": 10}})] == [10]
    assert [h["id"] for h in col.search([0.0] * 3, 2, {"i": {"$gte": 25}})] == [25, 26]
    assert [h["id"] for h in col.search([0.0] * 3, 9, {"i": {"$gte": 25}})] == [25, 26, 27, 28, 29]


@pytest.mark.parametrize("index_type", ["flat", "hnsw"])
def test_a_selective_filter_still_finds_k_hits(client, index_type):
    rng = np.random.default_rng(1)
    data = rng.standard_normal((4000, 8), dtype=F32)
    col = client.create_collection("sel", 8, "l2", index_type)
    col.upsert_batch([(i, data[i], {"tag": i % 100}) for i in range(4000)])
    q = rng.standard_normal(8, dtype=F32)
    tag = {"tag": {"$eq": 42}}  # 40 of 4000 pass
    hits = col.search(q, 10, tag)
    assert len(hits) == 10 and all(h["payload"] == {"tag": 42} for h in hits)
    if index_type == "flat":  # exact: the ten nearest of the passing forty
        passing = np.arange(42, 4000, 100)
        nearest = passing[np.argsort(np.linalg.norm(data[passing] - q, axis=1))[:10]]
        assert [h["id"] for h in hits] == nearest.tolist()
    assert len(col.search(q, 50, tag)) == 40
    hybrid = col.search_hybrid(q, {}, 10, filter=tag)
    assert len(hybrid) == 10 and all(h["payload"] == {"tag": 42} for h in hybrid)


# Every index kind and share of passing vectors: 5,000 vectors, so that the inverted-file kinds
# train (at 4,096) and probe 16 of 256 lists; the "buffered" ones hold 1,000 and never train.
FILTER_KINDS = [("flat", 5000), ("fp16_flat", 5000), ("quantized_flat", 5000),
                ("binary_flat", 5000), ("mmap_flat", 5000), ("hnsw", 5000), ("ivf", 5000),
                ("ivf_pq", 5000), ("ivf", 1000), ("ivf_pq", 1000)]
# (share, payload field, value the filter asks for)
FILTER_SHARES = [("10 %", "cls", 3), ("1 %", "tag", 42), ("one vector", "uid", 777),
                 ("none", "cls", 99)]


def filter_payload(i):
    return {"cls": i % 10, "tag": i % 100, "uid": i}


@pytest.fixture(scope="module")
def filter_world(svdb, tmp_path_factory):
    """One collection per entry of FILTER_KINDS over the same vectors, and those vectors."""
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((5000, 16), dtype=F32)
    client = svdb.Client(str(tmp_path_factory.mktemp("filters") / "data"))
    cols = {}
    for kind, n in FILTER_KINDS:
        col = client.create_collection(f"{kind}_{n}", 16, "l2", kind)
        col.upsert_batch([(i, vectors[i], filter_payload(i)) for i in range(n)])
        cols[kind, n] = col
    return cols, vectors, rng.standard_normal((4, 16), dtype=F32)


@pytest.mark.parametrize("share, field, value", FILTER_SHARES, ids=[s[0] for s in FILTER_SHARES])
@pytest.mark.parametrize("kind, n", FILTER_KINDS, ids=[f"{k}_{n}" for k, n in FILTER_KINDS])
def test_filtered_search_returns_the_nearest_passing_vectors(filter_world, kind, n, share, field,
                                                             value):
    cols, vectors, queries = filter_world
    col = cols[kind, n]
    flt = {field: {"$eq": value}}
    passing = np.array([i for i in range(n) if filter_payload(i)[field] == value], dtype=np.int64)
    for q in queries:
        for k in (10, 200):
            hits = col.search(q, k, flt)
            assert len(hits) == min(k, len(passing))
            assert all(h["payload"][field] == value for h in hits)
            distances = [h["distance"] for h in hits]
            assert distances == sorted(distances)
            if kind == "flat":  # exact: numpy's nearest passing vectors
                d = np.linalg.norm(vectors[passing] - q, axis=1)
                assert [h["id"] for h in hits] == passing[np.argsort(d, kind="stable")[:k]].tolist()
            elif kind.endswith("flat"):  # exact over the stored vectors: the index's own ranking
                ranked = [h for h in col.search(q, n) if filter_payload(h["id"])[field] == value]
                assert distances == [h["distance"] for h in ranked[:k]]


@pytest.mark.parametrize("kind", ["ivf", "ivf_pq"])
def test_inverted_file_batch_keeps_the_last_of_a_repeated_id_and_reopens_the_same(svdb, tmp_path,
                                                                                kind):
    # One batch that crosses the training size (4,096) and repeats ids 0..999 with new vectors
    # and payloads: the later entry wins, live and after a reopen.
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((6000, 16), dtype=F32)
    client = svdb.Client(str(tmp_path / "data"))
    col = client.create_collection("c", 16, "l2", kind)
    col.upsert_batch([(i, vectors[i], {"v": 0}) for i in range(5000)] +
                     [(i, vectors[5000 + i], {"v": 1}) for i in range(1000)])
    query = rng.standard_normal(16, dtype=F32)

    def served(c):
        # Asking for more than pass returns every passing vector, whatever the lists (a reopening
        # trains them again).
        assert c.count == 5000
        return {v: sorted(h["id"] for h in c.search(query, 6000, {"v": {"$eq": v}}))
                for v in (0, 1)}

    live = served(col)
    assert live == {0: list(range(1000, 5000)), 1: list(range(1000))}
    del col, client
    assert served(svdb.Client(str(tmp_path / "data")).get_collection("c")) == live


@pytest.mark.parametrize("kind, n", FILTER_KINDS, ids=[f"{k}_{n}" for k, n in FILTER_KINDS])
def test_no_search_comes_back_short(filter_world, kind, n):
    # The nprobe nearest of 256 lists hold about 320 of 5,000 vectors: the inverted files probe on.
    cols, _, queries = filter_world
    for k in (1000, n, n + 10):
        for flt in (None, {"$and": []}):
            hits = cols[kind, n].search(queries[0], k, flt)
            assert len(hits) == min(k, n), (k, flt)
            assert len({h["id"] for h in hits}) == len(hits)
            assert [h["distance"] for h in hits] == sorted(h["distance"] for h in hits)


def test_a_sparse_hnsw_graph_answers_every_node(svdb, data):
    # With m 2 a walk from the entry point reaches about 70 % of the nodes: the exact scan answers.
    os.makedirs(os.path.join(data, "g"))
    with open(os.path.join(data, "g", "meta.json"), "w") as f:
        f.write('{"name": "g", "dimensions": 16, "metric": "l2", "index_type": "hnsw", '
                '"wal_compact_threshold": 50000, '
                '"hnsw_config": {"ef_construction": 200, "ef_search": 50, "m": 2}}')
    col = svdb.Client(data).get_collection("g")
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((5000, 16), dtype=F32)
    col.upsert_batch([(i, vectors[i]) for i in range(5000)])
    q = rng.standard_normal(16, dtype=F32)
    for k in (1000, 5000, 5010):
        hits = col.search(q, k)
        assert len(hits) == min(k, 5000)
        if k >= 5000:  # every vector, exactly ranked
            d = np.linalg.norm(vectors - q, axis=1)
            assert sorted(h["id"] for h in hits) == list(range(5000))
            assert [h["id"] for h in hits[:10]] == np.argsort(d, kind="stable")[:10].tolist()


def test_filtered_hybrid_search_on_an_ivf_collection(client):
    # Few pass, so the inverted file answers exactly: the filtered hybrid search is the unfiltered
    # one over a collection of the passing vectors alone, bit for bit.
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((5000, 16), dtype=F32)
    sparse = [{int(t): float(w) for t, w in zip(rng.integers(0, 50, 3), rng.random(3))}
              for _ in range(5000)]
    ivf = client.create_collection("ivf", 16, "l2", "ivf")
    alone = client.create_collection("alone", 16, "l2", "flat")
    for i in range(5000):
        ivf.upsert_hybrid(i, vectors[i], sparse[i], {"tag": i % 100})
        if i % 100 == 42:
            alone.upsert_hybrid(i, vectors[i], sparse[i], {"tag": 42})
    q, sq = rng.standard_normal(16, dtype=F32), {3: 1.0, 7: 0.5}

    def fused(hits):
        return sorted(((-h["score"], h["id"], h["dense_distance"], h["sparse_score"])
                       for h in hits))

    for k in (5, 10, 60):
        got = ivf.search_hybrid(q, sq, k, filter={"tag": {"$eq": 42}})
        assert len(got) == min(k, 50)
        assert fused(got) == fused(alone.search_hybrid(q, sq, k))


def test_delete(col):
    col.upsert_hybrid(1, [1.0, 0.0, 0.0], {2: 1.0}, {"p": 1})
    assert col.sparse_count == 1
    assert col.delete(1) is True
    assert col.delete(1) is False
    assert col.delete(2**64 - 1) is False
    assert (col.count, col.sparse_count) == (0, 0)
    col.upsert(1, [1.0, 0.0, 0.0])
    assert col.search([1.0, 0.0, 0.0], 1) == [{"id": 1, "distance": 0.0}]  # payload gone too


def test_upsert_hybrid_and_sparse_vectors(col):
    col.upsert_hybrid(1, [1.0, 0.0, 0.0], {5: 2.0})
    col.upsert_hybrid(2, [0.0, 1.0, 0.0], None, {"p": 2})
    col.upsert_hybrid(id=3, vector=[0.0, 0.0, 1.0], sparse_vector={5: 1.0, 6: 1.0})
    assert col.sparse_count == 2
    col.upsert(1, [1.0, 0.0, 0.0])  # a plain upsert keeps the sparse vector
    col.upsert_hybrid(3, [0.0, 0.0, 1.0])  # so does a hybrid upsert without one
    assert col.sparse_count == 2
    hits = col.search_hybrid([1.0, 0.0, 0.0], {5: 1.0}, 3)
    assert [list(h) for h in hits][1] == ["id", "score", "dense_distance", "sparse_score"]
    by_id = {h["id"]: h for h in hits}
    assert (by_id[1]["sparse_score"], by_id[3]["sparse_score"], by_id[2]["sparse_score"]) == (
        2.0, 1.0, 0.0)
    assert by_id[2]["payload"] == {"p": 2} and "payload" not in by_id[1]
    assert hits[0]["id"] == 1


def test_search_hybrid_fusion_values(col):
    # Distances 1 and 3 from the query, no sparse terms: drange 2, the dense term alone counts.
    col.upsert(1, [1.0, 0.0, 0.0])
    col.upsert(2, [3.0, 0.0, 0.0])
    hits = col.search_hybrid([0.0, 0.0, 0.0], {}, 5)
    assert [(h["id"], h["score"], h["dense_distance"], h["sparse_score"]) for h in hits] == [
        (1, float(F32(0.7)), 1.0, 0.0), (2, 0.0, 3.0, 0.0)]
    # Weights are free and narrowed to f32.
    hits = col.search_hybrid([0.0, 0.0, 0.0], {}, 1, dense_weight=2, sparse_weight=0.0)
    assert hits[0]["score"] == 2.0
    hits = col.search_hybrid([0.0, 0.0, 0.0], {}, 1, dense_weight=0.1)
    assert hits[0]["score"] == float(F32(0.1))
    assert col.search_hybrid([0.0], {}, 0) == []  # k = 0 searches nothing, not even the length
    assert col.search_hybrid([0.0] * 3, {}, 5, filter={"x": {"$eq": 1}}) == []


# ---- snapshots -----------------------------------------------------------------------------------

def test_snapshot_create_list_restore_delete(svdb, data):
    client = svdb.Client(data)
    col = client.create_collection("c", 3, "l2", "flat")
    col.upsert_hybrid(1, [1.0, 0.0, 0.0], {1: 1.0}, {"v": 1})
    col.upsert(2, [0.0, 1.0, 0.0], {"v": 2})
    before = time.time()
    meta = col.create_snapshot("s1")
    assert list(meta) == ["name", "created_at", "vector_count", "sparse_count"]
    assert meta["name"] == "s1" and (meta["vector_count"], meta["sparse_count"]) == (2, 1)
    assert int(before) <= meta["created_at"] <= time.time() + 1
    assert col.list_snapshots() == [meta]
    other = client.get_collection("c")  # a second handle sees the restore too

    col.delete(1)
    col.upsert(3, [0.0, 0.0, 1.0], {"v": 3})
    col.upsert(2, [0.0, 1.0, 0.0], {"v": "changed"})
    assert col.restore_snapshot("s1") is None
    assert (other.count, other.sparse_count) == (2, 1)
    hits = {h["id"]: h["payload"] for h in other.search([0.0, 0.0, 0.0], 10)}
    assert hits == {1: {"v": 1}, 2: {"v": 2}}
    # Writes after the restore go to the restored log and survive a reopen.
    other.upsert(4, [1.0, 1.0, 1.0])
    del col, other, client
    col = reopen(svdb, data)
    assert sorted(h["id"] for h in col.search([0.0] * 3, 10)) == [1, 2, 4]
    assert col.delete_snapshot("s1") is None
    assert col.list_snapshots() == []
    col.create_snapshot("s1")  # the name is free again


def test_snapshots_are_listed_oldest_first(col, data):
    col.create_snapshot("b")
    col.create_snapshot("a")
    metas = col.list_snapshots()
    assert sorted(m["name"] for m in metas) == ["a", "b"]
    assert [m["created_at"] for m in metas] == sorted(m["created_at"] for m in metas)
    os.makedirs(os.path.join(data, "c", "snapshots", "partial"))  # no snapshot.json: not listed
    assert len(col.list_snapshots()) == 2


SNAPSHOT_NAME_ERRORS = [
    ("", 'invalid configuration: invalid snapshot name: ""'),
    ("a/b", 'invalid configuration: invalid snapshot name: "a/b"'),
    ("a\\b", 'invalid configuration: invalid snapshot name: "a\\\\b"'),
    ("..", 'invalid configuration: invalid snapshot name: ".."'),
    ("x..y", 'invalid configuration: invalid snapshot name: "x..y"'),
    # U+0080 to U+009F are escaped as the module's own messages escape them.
    ("a/\x80\x9f\u00e9", 'invalid configuration: invalid snapshot name: "a/\\u{80}\\u{9f}\u00e9"'),
]


@pytest.mark.parametrize("name, message", SNAPSHOT_NAME_ERRORS)
def test_snapshot_name_errors(col, data, name, message):
    with pytest.raises(ValueError) as info:
        col.create_snapshot(name)
    assert str(info.value) == message
    for method in (col.restore_snapshot, col.delete_snapshot):
        with pytest.raises((ValueError, KeyError)):
            method(name)
    assert not os.path.exists(os.path.join(data, "c", "snapshots"))


def test_snapshot_key_errors(col):
    col.create_snapshot("release.2")
    with pytest.raises(KeyError) as info:
        col.create_snapshot("release.2")
    assert info.value.args == ("snapshot already exists: release.2",)
    for method in (col.restore_snapshot, col.delete_snapshot):
        with pytest.raises(KeyError) as info:
            method("missing")
        assert info.value.args == ("snapshot not found: missing",)


# ---- handle life cycle ---------------------------------------------------------------------------

HANDLE_CALLS = [
    ("upsert", lambda c: c.upsert(1, [0.0] * 3)),
    ("upsert_batch", lambda c: c.upsert_batch([])),
    ("search", lambda c: c.search([0.0] * 3, 1)),
    ("upsert_hybrid", lambda c: c.upsert_hybrid(1, [0.0] * 3)),
    ("search_hybrid", lambda c: c.search_hybrid([0.0] * 3, {}, 1)),
    ("delete", lambda c: c.delete(1)),
    ("create_snapshot", lambda c: c.create_snapshot("s")),
    ("list_snapshots", lambda c: c.list_snapshots()),
    ("restore_snapshot", lambda c: c.restore_snapshot("s")),
    ("delete_snapshot", lambda c: c.delete_snapshot("s")),
]


@pytest.mark.parametrize("call", [c[1] for c in HANDLE_CALLS], ids=[c[0] for c in HANDLE_CALLS])
def test_handle_of_a_deleted_collection(client, col, call):
    col.upsert(1, [0.0] * 3)
    assert client.delete_collection("c")
    with pytest.raises(KeyError) as info:
        call(col)
    assert info.value.args == ("collection 'c' not found",)
    assert (col.name, col.count, col.sparse_count) == ("c", 0, 0)
    assert repr(col) == 'Collection(name="c", count=0)'


def test_old_handle_finds_a_re_created_collection(client, col):
    col.upsert(1, [0.0] * 3)
    client.delete_collection("c")
    fresh = client.create_collection("c", 2, "l2", "flat")
    assert col.count == 0
    col.upsert(5, [1.0, 2.0])  # the old handle writes into the new collection
    assert fresh.search([1.0, 2.0], 1) == [{"id": 5, "distance": 0.0}]


def test_name_is_kept_as_given(client):
    col = client.create_collection('q"é', 2)
    assert col.name == 'q"é'
    assert repr(col) == 'Collection(name="q"é", count=0)'


def test_acknowledged_writes_survive_a_reopen(svdb, data):
    client = svdb.Client(data)
    col = client.create_collection("c", 4, "l2", "hnsw")
    col.upsert_batch([(i, [float(i), 1.0, 2.0, 3.0], {"i": i}) for i in range(50)])
    col.upsert_hybrid(100, [9.0, 9.0, 9.0, 9.0], {3: 0.5}, {"h": True})
    col.delete(7)
    del col, client
    col = reopen(svdb, data)
    assert (col.count, col.sparse_count) == (50, 1)
    assert col.search([3.0, 1.0, 2.0, 3.0], 1) == [{"id": 3, "distance": 0.0, "payload": {"i": 3}}]
    assert all(h["id"] != 7 for h in col.search([7.0, 1.0, 2.0, 3.0], 50))
    assert col.search_hybrid([9.0] * 4, {3: 1.0}, 1)[0]["sparse_score"] == 0.5


# ---- threads: borrows and the client lock --------------------------------------------------------

def big_batch(rows, dims=32, start=0):
    data = np.random.default_rng(start).standard_normal((rows, dims), dtype=F32)
    return [(start + i, data[i]) for i in range(rows)]


def test_borrow_conflicts_from_two_threads(client, fast_switching):
    h = client.create_collection("t", 32, "l2", "flat")
    other = client.get_collection("t")
    entries = big_batch(60_000)
    query = entries[0][1]
    h.upsert(5 * 10**9, query)
    ids = iter(range(10**9, 2 * 10**9))

    seen = run_during(lambda: h.upsert_batch(entries), lambda: h.search(query, 1) and "ok")
    assert "Already mutably borrowed" in seen
    seen = run_during(lambda: h.upsert_batch(entries), lambda: h.upsert(next(ids), query) or "ok")
    assert "Already borrowed" in seen
    # A second handle never conflicts: it waits for the client lock and succeeds.
    seen = run_during(lambda: h.upsert_batch(entries),
                      lambda: other.search(query, 1)[0]["distance"] >= 0 and "ok", attempts=1)
    assert seen == {"ok"}
    seen = run_during(lambda: h.upsert_batch(entries),
                      lambda: other.upsert(next(ids), query) or "ok", attempts=1)
    assert seen == {"ok"}
    # Searches through one handle overlap.
    h.upsert_batch(big_batch(100_000, start=100_000))

    def searches():
        for _ in range(20):
            h.search(query, 10)

    seen = run_during(searches, lambda: h.search(query, 1) and "ok", attempts=1)
    assert seen == {"ok"}
    seen = run_during(searches, lambda: h.delete(next(ids)) and "ok")
    assert "Already borrowed" in seen


def test_search_lets_other_threads_run(client, fast_switching):
    h = client.create_collection("t", 32, "l2", "flat")
    h.upsert_batch(big_batch(200_000))
    query = np.zeros(32, F32)
    h.search(query, 10)
    one_search = min(timed(lambda: h.search(query, 10)) for _ in range(3))
    assert_this_thread_runs_during(lambda: h.search(query, 10), one_search)


def run_isolated(code, timeout=60):
    """Runs `code` in a new interpreter, so that a deadlock fails the test instead of hanging it."""
    env = dict(os.environ, PYTHONPATH=str(BUILD_DIR / "python"))
    try:
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                             capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {timeout} s: the threads deadlocked")
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_client_lock_and_interpreter_lock_never_deadlock(tmp_path):
    # Writers through one handle hold the client lock without the interpreter lock; the other
    # threads hold the interpreter lock while they wait for the client lock (Client methods, the
    # count getters, snapshots, conversions calling back into another handle).
    out = run_isolated(f"""
        import sys, threading, time
        import numpy as np
        import sorvel_vector_db as svdb
        sys.setswitchinterval(0.0002)
        client = svdb.Client({str(tmp_path / "d")!r})
        col = client.create_collection("c", 16, "l2", "flat")
        rows = np.random.default_rng(1).standard_normal((2000, 16), dtype=np.float32)
        stop = time.monotonic() + 2.0
        errors = []

        def writer(start):
            h = client.get_collection("c")
            n = start
            while time.monotonic() < stop:
                h.upsert_batch([(n + i, rows[i]) for i in range(200)])
                h.search(rows[0], 5)
                n += 200

        class Reentrant:
            def __init__(self, h):
                self.h = h
            def __index__(self):
                self.h.count
                return 3

        def holder(name):
            h = client.get_collection("c")
            while time.monotonic() < stop:
                client.list_collections(); repr(client); h.count; repr(h)
                h.list_snapshots()
                client.get_collection("c").search(rows[1], Reentrant(h))
                client.get_or_create_collection(name, 4)

        def guarded(fn, *args):
            try:
                fn(*args)
            except BaseException as e:
                errors.append(repr(e))

        threads = [threading.Thread(target=guarded, args=(writer, i * 10**6)) for i in range(3)]
        threads += [threading.Thread(target=guarded, args=(holder, f"x{{i}}")) for i in range(2)]
        for t in threads: t.start()
        for t in threads: t.join()
        print("errors", errors)
        print("count", col.count > 0)
    """)
    assert "errors []" in out and "count True" in out


def test_threads_upserting_and_searching_keep_every_acknowledged_write(svdb, data):
    client = svdb.Client(data)
    client.create_collection("s", 4, "l2", "flat")
    stop = time.monotonic() + 3.0
    acknowledged = [dict() for _ in range(4)]  # per thread: id -> payload expected after reopen
    failures = []

    def vector(id_):
        return [float(id_), float(id_ % 7), 1.0, -1.0]

    def worker(t):
        h = client.get_collection("s")  # each thread its own handle
        expected = acknowledged[t]
        rng = np.random.default_rng(t)
        n = 0
        try:
            while time.monotonic() < stop:
                base = (t + 1) * 10**6 + n
                choice = rng.integers(0, 4)
                if choice == 0:
                    h.upsert(base, vector(base), {"t": t, "n": n})
                    expected[base] = {"t": t, "n": n}
                elif choice == 1:
                    batch = [(base + i, vector(base + i), {"t": t, "n": n + i}) for i in range(20)]
                    h.upsert_batch(batch)
                    expected.update({e[0]: e[2] for e in batch})
                    n += 19
                elif choice == 2 and expected:
                    victim = next(iter(expected))
                    assert h.delete(victim) is True
                    del expected[victim]
                else:
                    probe = next(reversed(expected)) if expected else base
                    hits = h.search(vector(probe), 1, {"t": {"$eq": t}})
                    if expected:
                        assert hits[0]["id"] == probe and hits[0]["payload"] == expected[probe]
                n += 1
        except BaseException as e:  # reported by the main thread
            failures.append(repr(e))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert failures == []
    everything = {k: v for d in acknowledged for k, v in d.items()}
    assert len(everything) > 100
    del client
    col = reopen(svdb, data, "s")
    assert col.count == len(everything)
    stored = {h["id"]: h["payload"] for h in col.search(vector(0), len(everything) + 10)}
    assert stored == everything
    for id_ in list(everything)[:: max(1, len(everything) // 200)]:
        assert col.search(vector(id_), 1)[0] == {"id": id_, "distance": 0.0,
                                                 "payload": everything[id_]}
