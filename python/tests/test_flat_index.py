"""FlatIndex from Python end to end: exact results, errors of every method, save and load."""

import os

import numpy as np
import pytest

F32 = np.float32


def brute_force(data, query, metric):
    data = data.astype(np.float64)
    query = query.astype(np.float64)
    if metric == "l2":
        return np.sqrt(((data - query) ** 2).sum(axis=1))
    if metric == "dot_product":
        return -(data @ query)
    return 1 - (data @ query) / (np.linalg.norm(data, axis=1) * np.linalg.norm(query))


@pytest.mark.parametrize("metric", ["l2", "cosine", "dot_product"])
def test_search_matches_brute_force(make_exact_index, metric):
    rng = np.random.default_rng(1)
    data = rng.standard_normal((500, 24), dtype=F32)
    idx = make_exact_index(24, metric)
    idx.add_batch_np(data, start_id=1000)
    for query in rng.standard_normal((5, 24), dtype=F32):
        hits = idx.search(query, 10)
        expected = brute_force(data, query, metric)
        order = np.argsort(expected, kind="stable")[:10]
        assert [h["id"] for h in hits] == [1000 + int(r) for r in order]
        np.testing.assert_allclose([h["distance"] for h in hits], expected[order], rtol=1e-4, atol=1e-5)


def test_hits_are_fresh_dicts_of_id_then_exact_distance(make_exact_index):
    idx = make_exact_index(2)
    idx.add_batch([(7, [3.0, 4.0]), (2**64 - 1, [0.1, 0.0])])
    hits = idx.search([0.0, 0.0], 5)
    assert [list(h) for h in hits] == [["id", "distance"]] * 2
    assert hits[0] == {"id": 2**64 - 1, "distance": float(F32(0.1))}
    assert hits[1] == {"id": 7, "distance": 5.0}
    assert type(hits[0]["distance"]) is float and type(hits[0]["id"]) is int
    assert hits[0] is not idx.search([0.0, 0.0], 5)[0]


def test_repr_getters_and_len(svdb):
    idx = svdb.FlatIndex(3, "cosine")
    assert repr(idx) == 'FlatIndex(dimensions=3, metric="cosine", len=0)'
    idx.add(1, [1, 2, 3])
    assert repr(idx) == 'FlatIndex(dimensions=3, metric="cosine", len=1)'
    assert (idx.dimensions, idx.metric, len(idx)) == (3, "cosine", 1)
    for name in ("metric", "dimensions"):
        with pytest.raises(AttributeError):
            setattr(idx, name, "l2")
    with pytest.raises(AttributeError):
        idx.anything = 1


def test_dimension_zero_and_huge_dimensions_are_accepted(svdb):
    idx = svdb.FlatIndex(0)
    idx.add(1, [])
    idx.add_batch_np(np.zeros((3, 0), F32), start_id=10)
    assert len(idx) == 4
    assert len(idx.search([], 10)) == 4
    assert svdb.FlatIndex(2**64 - 1).dimensions == 2**64 - 1


ERRORS = [
    ("search wrong length", lambda i: i.search([1, 2, 3], 5), ValueError, "dimension mismatch: expected 4, got 3"),
    ("add wrong length", lambda i: i.add(9, [1.0]), ValueError, "dimension mismatch: expected 4, got 1"),
    ("add duplicate", lambda i: i.add(1, [0.0] * 4), KeyError, "duplicate vector ID: 1"),
    ("batch bad third", lambda i: i.add_batch([(5, [0.0] * 4), (6, [0.0] * 4), (7, [0.0] * 3)]), ValueError,
     "dimension mismatch: expected 4, got 3"),
    ("batch repeats new id", lambda i: i.add_batch([(5, [0.0] * 4), (5, [1.0] * 4)]), KeyError, "duplicate vector ID: 5"),
    ("batch existing id", lambda i: i.add_batch([(5, [0.0] * 4), (2, [1.0] * 4)]), KeyError, "duplicate vector ID: 2"),
    ("matrix wrong cols", lambda i: i.add_batch_np(np.zeros((2, 3), F32)), ValueError, "dimension mismatch: expected 4, got 3"),
    ("matrix existing id", lambda i: i.add_batch_np(np.zeros((3, 4), F32), start_id=0), KeyError, "duplicate vector ID: 1"),
]


@pytest.mark.parametrize("call,exc,message", [c[1:] for c in ERRORS], ids=[c[0] for c in ERRORS])
def test_failed_calls_change_nothing(svdb, call, exc, message):
    idx = svdb.FlatIndex(4)
    idx.add_batch([(1, [1.0, 0, 0, 0]), (2, [0, 1.0, 0, 0])])
    before = idx.search([0.0] * 4, 10)
    with pytest.raises(exc) as info:
        call(idx)
    assert type(info.value) is exc
    assert info.value.args == (message,)
    assert idx.search([0.0] * 4, 10) == before


def test_search_edge_cases(svdb):
    idx = svdb.FlatIndex(4)
    assert idx.search([0.0] * 4, 3) == []
    with pytest.raises(ValueError, match="expected 4, got 3"):
        idx.search([0.0] * 3, 3)  # refused even when empty
    idx.add_batch_np(np.eye(4, dtype=F32)[:3])
    assert idx.search([0.0] * 4, 0) == []
    assert len(idx.search([0.0] * 4, 2**64 - 1)) == 3
    with pytest.raises(OverflowError):
        idx.search([0.0] * 4, -1)


def test_delete_and_re_add(svdb):
    idx = svdb.FlatIndex(2)
    idx.add(5, [1.0, 1.0])
    assert idx.delete(5) is True
    assert idx.delete(5) is False
    assert idx.delete(2**64 - 1) is False
    assert len(idx) == 0 and idx.search([1.0, 1.0], 1) == []
    idx.add(5, [2.0, 2.0])
    assert idx.search([2.0, 2.0], 5) == [{"id": 5, "distance": 0.0}]


def test_add_batch_np_ids_wrap_around(svdb):
    idx = svdb.FlatIndex(1)
    idx.add_batch_np(np.array([[1.0], [2.0]], F32), start_id=2**64 - 1)
    assert idx.search([1.0], 1)[0]["id"] == 2**64 - 1
    assert idx.search([2.0], 1)[0]["id"] == 0


def test_save_load_round_trip_keeps_rows_and_deletions(svdb, tmp_path):
    rng = np.random.default_rng(3)
    data = rng.standard_normal((50, 8), dtype=F32)
    idx = svdb.FlatIndex(8, "dot_product")
    idx.add_batch_np(data)
    idx.delete(3)
    idx.delete(10)
    idx.add(3, data[0])  # a deleted id back in a new row
    path = str(tmp_path / "flat.bin")
    assert idx.save(path) is None
    loaded = svdb.FlatIndex.load(path)
    assert type(loaded) is svdb.FlatIndex
    assert repr(loaded) == repr(idx) == 'FlatIndex(dimensions=8, metric="dot_product", len=49)'
    for query in rng.standard_normal((5, 8), dtype=F32):
        assert loaded.search(query, 60) == idx.search(query, 60)
    # Rows, deleted ones included: 36 + 4V + 8R + L bytes.
    rows = 51
    assert os.path.getsize(path) == 36 + 4 * rows * 8 + 8 * rows + rows
    loaded.add(10, data[10])  # the loaded index is fully usable


def test_save_replaces_an_existing_file(svdb, tmp_path):
    path = str(tmp_path / "flat.bin")
    svdb.FlatIndex(2).save(path)
    idx = svdb.FlatIndex(2)
    idx.add(1, [1.0, 2.0])
    idx.save(path)
    assert len(svdb.FlatIndex.load(path)) == 1


def test_save_into_a_missing_directory_is_os_error(svdb, tmp_path):
    with pytest.raises(OSError) as info:
        svdb.FlatIndex(2).save(str(tmp_path / "no" / "such" / "flat.bin"))
    assert str(info.value).startswith("I/O error: ")


def flat_file(dimensions=2, metric=0, vectors=(), ids=(), live=()):
    out = bytearray()
    out += dimensions.to_bytes(8, "little") + metric.to_bytes(4, "little")
    out += len(vectors).to_bytes(8, "little") + np.array(vectors, "<f4").tobytes()
    out += len(ids).to_bytes(8, "little") + np.array(ids, "<u8").tobytes()
    out += len(live).to_bytes(8, "little") + bytes(live)
    return bytes(out)


GOOD = flat_file(2, 0, [1.0, 2.0, 3.0, 4.0], [7, 8], [1, 0])


@pytest.mark.parametrize("content,fragment", [
    (GOOD[:-1], None),
    (GOOD[:5], None),
    (b"", None),
    (flat_file(2, 3), "integer `3`, expected variant index 0 <= i < 3"),
    (flat_file(2, 0, [1.0, 2.0], [7], [2]), None),
], ids=["cut last byte", "cut in header", "empty", "metric code 3", "live byte 2"])
def test_load_of_a_bad_file_is_runtime_error(svdb, tmp_path, content, fragment):
    path = tmp_path / "bad.bin"
    path.write_bytes(content)
    with pytest.raises(RuntimeError) as info:
        svdb.FlatIndex.load(str(path))
    assert type(info.value) is RuntimeError
    if fragment is not None:
        assert fragment in str(info.value)


def test_load_of_a_handmade_file(svdb, tmp_path):
    path = tmp_path / "good.bin"
    path.write_bytes(GOOD + b"trailing bytes are ignored")
    idx = svdb.FlatIndex.load(str(path))
    assert repr(idx) == 'FlatIndex(dimensions=2, metric="l2", len=1)'
    assert idx.search([3.0, 4.0], 5) == [{"id": 7, "distance": float(np.sqrt(F32(8)))}]


def test_load_missing_file_is_os_error(svdb, tmp_path):
    with pytest.raises(OSError) as info:
        svdb.FlatIndex.load(str(tmp_path / "missing"))
    assert str(info.value).startswith("I/O error: ")
    assert info.value.args == (str(info.value),)


def test_instances_release_their_type_reference(svdb, tmp_path):
    import sys
    cls = svdb.FlatIndex
    path = str(tmp_path / "f.bin")
    cls(2).save(path)
    before = sys.getrefcount(cls)
    for _ in range(1000):
        cls(2)
        cls.load(path)
    assert sys.getrefcount(cls) == before
