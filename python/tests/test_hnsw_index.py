"""HnswIndex from Python: approximate search close to exact, the parallel insert, flush, the file and
the borrow rules of its own methods."""

import threading

import numpy as np
import pytest

F32 = np.float32


def exact_top(data, queries, k):
    d = ((queries[:, None, :].astype(np.float64) - data[None, :, :]) ** 2).sum(axis=2)
    return np.argsort(d, axis=1, kind="stable")[:, :k]


def recall(idx, data, queries, k, start_id=0):
    truth = exact_top(data, queries, k)
    found = 0
    for q, row in zip(queries, truth):
        ids = {h["id"] - start_id for h in idx.search(q, k)}
        found += len(ids & set(row.tolist()))
    return found / truth.size


@pytest.fixture
def data():
    rng = np.random.default_rng(5)
    return rng.standard_normal((3000, 16), dtype=F32), rng.standard_normal((40, 16), dtype=F32)


def test_constructor_defaults_repr_and_docs(svdb):
    idx = svdb.HnswIndex(3)
    assert repr(idx) == 'HnswIndex(dimensions=3, metric="l2", len=0)'
    assert (idx.dimensions, idx.metric, len(idx)) == (3, "l2", 0)
    assert svdb.HnswIndex.__text_signature__ == (
        '(dimensions, metric="l2", ef_construction=200, ef_search=50, m=12)'
    )
    assert svdb.HnswIndex.add_batch_parallel.__text_signature__ == (
        "($self, vectors, start_id=0, num_threads=0, micro_batch_size=256)"
    )
    assert svdb.HnswIndex.flush.__doc__ == (
        "Build the HNSW graph. Call after bulk inserts for best performance."
    )
    assert svdb.HnswIndex.add_batch_np.__doc__.endswith("start_id=5000)  # IDs: 5000..14999")
    # Zeros are accepted: an ef of 0 acts as 1, an m of 0 gives a graph without edges.
    svdb.HnswIndex(0, "cosine", ef_construction=0, ef_search=0, m=0)


LARGEST_EF_CONSTRUCTION = 2**32 - 1
LARGEST_M = 32767


@pytest.mark.parametrize("kwargs, message", [
    ({"ef_construction": 2**32}, "HNSW ef_construction of 4294967296 is above the largest usable, "
                                 "4294967295"),
    ({"m": 32768}, "HNSW m of 32768 is above the largest usable, 32767"),
    ({"ef_construction": 2**40, "m": 40000}, "HNSW ef_construction of 1099511627776"),
])
def test_settings_whose_file_would_not_load_are_refused(svdb, kwargs, message):
    with pytest.raises(ValueError, match="^invalid configuration: " + message):
        svdb.HnswIndex(4, **kwargs)
    # Every argument is converted first, the metric name included.
    with pytest.raises(OverflowError):
        svdb.HnswIndex(4, **kwargs, ef_search=-1)
    with pytest.raises(ValueError, match="^unknown metric"):
        svdb.HnswIndex(4, "nope", **kwargs)
    svdb.HnswIndex(4, ef_construction=LARGEST_EF_CONSTRUCTION, ef_search=2**64 - 1, m=LARGEST_M)


def test_largest_settings_save_and_load(svdb, data, tmp_path):
    base, queries = data
    idx = svdb.HnswIndex(16, ef_construction=LARGEST_EF_CONSTRUCTION, m=LARGEST_M)
    idx.add_batch_np(base[:40])
    path = tmp_path / "largest.hnsw"
    idx.save(str(path))
    loaded = svdb.HnswIndex.load(str(path))
    assert len(loaded) == 40
    for q in queries[:5]:
        assert loaded.search(q, 5) == idx.search(q, 5)


@pytest.mark.parametrize("insert", ["add_batch_np", "add_batch_parallel", "add_batch"])
def test_recall_against_exact_search(svdb, data, insert):
    base, queries = data
    idx = svdb.HnswIndex(16, ef_construction=100, ef_search=64, m=12)
    if insert == "add_batch":
        idx.add_batch([(1000 + i, row) for i, row in enumerate(base)])
    else:
        getattr(idx, insert)(base, start_id=1000)
    assert len(idx) == len(base)
    assert recall(idx, base, queries, 10, start_id=1000) >= 0.9
    hit = idx.search(base[7], 1)[0]
    assert hit == {"id": 1007, "distance": 0.0}


def test_parallel_insert_arguments(svdb, data):
    base, _ = data
    idx = svdb.HnswIndex(16)
    # Integers are converted before the matrix, in signature order.
    with pytest.raises(OverflowError):
        idx.add_batch_parallel("not a matrix", start_id=-1)
    with pytest.raises(OverflowError):
        idx.add_batch_parallel(base, num_threads=-1)
    with pytest.raises(ValueError, match="dimension mismatch: expected 16, got 8"):
        idx.add_batch_parallel(base[:, :8].copy())
    with pytest.raises(ValueError, match="buffer protocol"):
        idx.add_batch_parallel([[1.0] * 16])
    idx.add_batch_parallel(base[:500], 0, 0, 0)
    # Live ids are overwritten, each counted once.
    idx.add_batch_parallel(base[:500], start_id=250, num_threads=3, micro_batch_size=64)
    assert len(idx) == 750
    idx.add_batch_parallel(np.zeros((0, 16), dtype=F32), start_id=2**64 - 1)
    assert len(idx) == 750


def test_add_errors_and_delete(svdb):
    idx = svdb.HnswIndex(2)
    idx.add(2**64 - 1, [1, 0])
    idx.add(2**32 + 1, [0, 1])
    idx.add(1, [5, 5])
    with pytest.raises(KeyError, match="duplicate vector ID: 18446744073709551615"):
        idx.add(2**64 - 1, [1, 1])
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 3"):
        idx.search([1, 2, 3], 1)
    assert [h["id"] for h in idx.search([0, 1], 3)][:2] == [2**32 + 1, 2**64 - 1]
    assert idx.delete(2**32 + 1) is True
    assert idx.delete(2**32 + 1) is False
    assert len(idx) == 2
    idx.add(2**32 + 1, [0, 1])
    assert idx.search([0, 1], 1)[0]["id"] == 2**32 + 1


def test_flush_changes_nothing(svdb, data):
    base, queries = data
    idx = svdb.HnswIndex(16)
    idx.add_batch_np(base[:200])
    before = [idx.search(q, 5) for q in queries]
    assert idx.flush() is None
    assert [idx.search(q, 5) for q in queries] == before
    assert len(idx) == 200


def test_save_and_load(svdb, data, tmp_path):
    base, queries = data
    empty = tmp_path / "empty.hnsw"
    svdb.HnswIndex(4, "dot_product").save(str(empty))
    assert empty.stat().st_size == 77
    loaded_empty = svdb.HnswIndex.load(str(empty))
    assert repr(loaded_empty) == 'HnswIndex(dimensions=4, metric="dot_product", len=0)'

    idx = svdb.HnswIndex(16, "cosine", ef_construction=60, ef_search=30, m=8)
    idx.add_batch_np(base[:1000], start_id=2**40)
    idx.delete(2**40 + 3)
    path = tmp_path / "graph.hnsw"
    idx.save(str(path))
    loaded = svdb.HnswIndex.load(str(path))
    assert (loaded.dimensions, loaded.metric, len(loaded)) == (16, "cosine", 999)
    for q in queries:
        assert loaded.search(q, 10) == idx.search(q, 10)
    # Saving the loaded index gives the same file.
    again = tmp_path / "again.hnsw"
    loaded.save(str(again))
    assert again.read_bytes() == path.read_bytes()

    with pytest.raises(OSError, match="^I/O error: "):
        svdb.HnswIndex.load(str(tmp_path / "missing"))
    path.write_bytes(path.read_bytes()[:500])
    with pytest.raises(RuntimeError, match="^serialization error: "):
        svdb.HnswIndex.load(str(path))

    # One node of 3 floats in a 2-d index: read as the older layout this file would be a valid
    # empty index, but it reads whole as the current layout, whose refusal stands.
    u64 = lambda v: int(v).to_bytes(8, "little")  # noqa: E731
    short = (u64(2) + (0).to_bytes(4, "little") + u64(30) + u64(7) + u64(5) + u64(1) + u64(0)
             + u64(3) + np.array([1, 2, 3], dtype="<f4").tobytes() + u64(1) + u64(0) + u64(0)
             + bytes([1]) + u64(0) + u64(5) + u64(10) + u64(30)
             + np.array([0.5], dtype="<f8").tobytes())
    path.write_bytes(short)
    with pytest.raises(RuntimeError, match="HNSW node 0 has a vector of 3 values, expected 2"):
        svdb.HnswIndex.load(str(path))


def test_threads_searching_one_index_agree_with_one_thread(svdb, data):
    base, queries = data
    idx = svdb.HnswIndex(16, ef_search=40, m=12)
    idx.add_batch_np(base)
    for i in range(0, len(base), 4):
        idx.delete(i)
    expected = [idx.search(q, 10) for q in queries]
    mismatches = []

    def work(t):
        for rep in range(5):
            for i in range(len(queries)):
                j = (i + 7 * t) % len(queries)
                if idx.search(queries[j], 10) != expected[j]:
                    mismatches.append(j)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert mismatches == []


def test_calls_during_a_parallel_insert_fail_at_once(svdb):
    rng = np.random.default_rng(9)
    base = rng.standard_normal((20000, 32), dtype=F32)
    idx = svdb.HnswIndex(32, ef_construction=100)
    started = threading.Event()
    outcomes = set()

    def insert():
        started.set()
        idx.add_batch_parallel(base, num_threads=2)

    thread = threading.Thread(target=insert)
    thread.start()
    started.wait()
    while thread.is_alive():
        for call in (lambda: idx.search(base[0], 1), lambda: idx.delete(10**9), idx.flush):
            try:
                call()
                outcomes.add("ran")
            except RuntimeError as e:
                outcomes.add(str(e))
    thread.join()
    assert {"Already mutably borrowed", "Already borrowed"} <= outcomes
    assert len(idx) == 20000
    assert len(idx.search(base[0], 10)) == 10
