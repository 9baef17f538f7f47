"""The compressed flat index classes (half precision, int8, sign bits) and the memory-mapped flat
index, end to end from Python."""

import struct
import threading

import numpy as np
import pytest

F32 = np.float32
COMPRESSED = ["Fp16FlatIndex", "QuantizedFlatIndex", "BinaryFlatIndex"]


@pytest.fixture(params=COMPRESSED)
def cls(request, svdb):
    return getattr(svdb, request.param)


def test_frame_repr_getters_and_results(cls):
    idx = cls(4, "cosine")
    assert repr(idx) == f'{cls.__name__}(dimensions=4, metric="cosine", len=0)'
    assert (idx.dimensions, idx.metric, len(idx)) == (4, "cosine", 0)
    with pytest.raises(AttributeError):
        idx.metric = "l2"
    # An empty index answers before it looks at the query.
    assert idx.search([1.0], 3) == []
    idx.add(1, [1.0, 2.0, 3.0, 4.0])
    idx.add(1, [1.0, 2.0, 3.0, 4.0])  # an update
    idx.add(2, [-1.0, -2.0, -3.0, -4.0])
    assert len(idx) == 2
    with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 1$"):
        idx.search([1.0], 3)
    hits = idx.search([1.0, 2.0, 3.0, 4.0], 10)
    assert [h["id"] for h in hits] == [1, 2]
    assert list(hits[0]) == ["id", "distance"]
    assert isinstance(hits[0]["distance"], float)
    assert idx.search([1.0, 2.0, 3.0, 4.0], 0) == []
    assert idx.delete(1) is True and idx.delete(1) is False
    assert len(idx) == 1


def test_batches_stop_at_the_first_bad_item(cls):
    idx = cls(2)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 1$"):
        idx.add_batch([(10, [1.0, 1.0]), (11, [1.0, 1.0]), (12, [1.0]), (13, [1.0, 1.0])])
    assert len(idx) == 2
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$"):
        idx.add_batch_np(np.zeros((2, 3), dtype=F32))
    idx.add_batch_np(np.ones((2, 2), dtype=F32), start_id=2**64 - 1)
    assert len(idx) == 4
    assert {h["id"] for h in idx.search([1.0, 1.0], 10)} == {10, 11, 2**64 - 1, 0}
    zero = cls(0)
    zero.add_batch_np(np.zeros((3, 0), dtype=F32))
    assert len(zero) == 3


def test_save_load_round_trip_byte_for_byte(cls, tmp_path):
    rng = np.random.default_rng(1)
    idx = cls(70, "dot_product")
    idx.add_batch_np(rng.standard_normal((50, 70), dtype=F32), start_id=100)
    for i in range(100, 150, 7):
        idx.delete(i)
    idx.save(str(tmp_path / "a"))
    loaded = cls.load(str(tmp_path / "a"))
    assert type(loaded) is cls
    assert (loaded.dimensions, loaded.metric, len(loaded)) == (70, "dot_product", len(idx))
    loaded.save(str(tmp_path / "b"))
    assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes()
    q = rng.standard_normal(70, dtype=F32)
    assert loaded.search(q, 5) == idx.search(q, 5)


def test_load_errors(cls, tmp_path):
    (tmp_path / "short").write_bytes(b"\0" * 11)
    with pytest.raises(RuntimeError, match="^serialization error: io error: unexpected end of file$"):
        cls.load(str(tmp_path / "short"))
    (tmp_path / "metric").write_bytes(struct.pack("<QI", 2, 7) + b"\0" * 7)
    with pytest.raises(RuntimeError, match=r"^serialization error: invalid value: integer `7`, "
                       r"expected variant index 0 <= i < 3$"):
        cls.load(str(tmp_path / "metric"))
    with pytest.raises(OSError, match="^I/O error: "):
        cls.load(str(tmp_path / "missing"))


def test_empty_file_is_twenty_bytes(cls, tmp_path):
    cls(3, "cosine").save(str(tmp_path / "e"))
    assert (tmp_path / "e").read_bytes() == struct.pack("<QIQ", 3, 1, 0)


def test_fp16_scores_are_exact_on_the_decoded_vector(svdb):
    rng = np.random.default_rng(2)
    data = rng.standard_normal((200, 16), dtype=F32)
    idx = svdb.Fp16FlatIndex(16)
    idx.add_batch_np(data)
    q = data[5]
    decoded = data.astype(np.float16).astype(F32)
    expected = np.sqrt(((decoded.astype(np.float64) - q) ** 2).sum(axis=1))
    hits = idx.search(q, 200)
    assert hits[0]["id"] == 5
    for h in hits:
        assert h["distance"] == pytest.approx(expected[h["id"]], rel=1e-5, abs=1e-6)


def test_binary_scores(svdb):
    for metric, query, score in [("l2", [1, 1, 1, -1], 0.25), ("cosine", [1, -1, 1, -1], 0.5),
                                 ("dot_product", [1, 1, 1, -1], -2.0)]:
        idx = svdb.BinaryFlatIndex(4, metric)
        idx.add(1, [1.0, 1.0, 1.0, 1.0])
        assert idx.search(query, 1) == [{"id": 1, "distance": score}]


def test_int8_keeps_one_scale_per_vector(svdb):
    idx = svdb.QuantizedFlatIndex(3)
    idx.add(1, [1.0, -0.5, 0.25])
    hit = idx.search([1.0, -64 / 127, 32 / 127], 1)[0]
    assert hit["id"] == 1 and hit["distance"] < 1e-6


def test_nan_scores_sort_last(cls):
    idx = cls(2, "dot_product")
    # int8 quantizes a NaN component to 0; an infinite one leaves a zero scale, which decodes to NaN.
    spoiled = float("inf") if cls.__name__ == "QuantizedFlatIndex" else float("nan")
    idx.add(1, [spoiled, 1.0])
    idx.add(2, [1.0, 1.0])
    hits = idx.search([1.0, 1.0], 2)
    assert [h["id"] for h in hits] == [2, 1]
    assert np.isnan(hits[1]["distance"])


def test_search_overlaps_and_blocks_changes(cls):
    idx = cls(32)
    idx.add_batch_np(np.random.default_rng(3).standard_normal((300_000, 32), dtype=F32))
    errors = []

    def searches():
        for _ in range(20):
            idx.search(np.zeros(32, dtype=F32), 5)

    t = threading.Thread(target=searches)
    t.start()
    while t.is_alive():
        try:
            idx.add(1, [0.0] * 32)
        except RuntimeError as e:
            errors.append(str(e))
        assert len(idx.search(np.zeros(32, dtype=F32), 1)) == 1
    t.join()
    assert set(errors) <= {"Already borrowed"}


# ---- MmapFlatIndex ---------------------------------------------------------------------------


def kvec(dims, metric, records, count=None):
    head = b"KVEC" + struct.pack("<IIIQQ", 1, dims, metric, len(records) if count is None else count, 0)
    return head + b"".join(struct.pack("<Q", i) + np.asarray(v, dtype="<f4").tobytes() for i, v in records)


def test_mmap_lifecycle(svdb, tmp_path):
    path = str(tmp_path / "v.kvec")
    idx = svdb.MmapFlatIndex(2, "l2", path)
    assert len(idx) == 0 and repr(idx) == 'MmapFlatIndex(dimensions=2, metric="l2", len=0)'
    assert not hasattr(idx, "save") and not hasattr(svdb.MmapFlatIndex, "load")
    idx.add(7, [1.0, 2.0])
    idx.add_batch([(8, [3.0, 4.0])])
    idx.add_batch_np(np.array([[5.0, 6.0]], dtype=F32), start_id=9)
    assert [h["id"] for h in idx.search([3.5, 4.5], 2)] == [8, 9]
    assert not (tmp_path / "v.kvec").exists()
    assert idx.flush() is None
    assert (tmp_path / "v.kvec").read_bytes() == kvec(2, 0, [(7, [1, 2]), (8, [3, 4]), (9, [5, 6])])

    again = svdb.MmapFlatIndex(2, path=path)
    assert len(again) == 3
    assert again.delete(8) is True and again.delete(8) is False
    again.add(8, [30.0, 40.0])
    assert len(again) == 3
    assert again.search([30.0, 40.0], 1) == [{"id": 8, "distance": 0.0}]
    again.flush()
    assert (tmp_path / "v.kvec").read_bytes() == kvec(2, 0, [(7, [1, 2]), (9, [5, 6]), (8, [30, 40])])
    # Dropping without a flush leaves the file as it was.
    again.add(100, [0.0, 0.0])
    del again
    assert len(svdb.MmapFlatIndex(2, path=path)) == 3
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$"):
        idx.search([1.0, 2.0, 3.0], 0)


@pytest.mark.parametrize("content, exc, message", [
    (b"", RuntimeError, "serialization error: mmap file too small"),
    (b"KVEC" + b"\0" * 27, RuntimeError, "serialization error: mmap file too small"),
    (b"XVEC" + b"\0" * 28, RuntimeError, "serialization error: invalid KVEC magic"),
    (kvec(3, 0, []), ValueError, "dimension mismatch: expected 2, got 3"),
    (kvec(2, 3, []), RuntimeError, "serialization error: unknown metric id 3"),
    (kvec(2, 1, []), ValueError, "invalid configuration: metric mismatch: file=Cosine, expected=L2"),
])
def test_mmap_open_errors(svdb, tmp_path, content, exc, message):
    (tmp_path / "f").write_bytes(content)
    with pytest.raises(exc) as info:
        svdb.MmapFlatIndex(2, "l2", str(tmp_path / "f"))
    assert str(info.value) == message


def test_mmap_matches_flat_index(svdb, tmp_path):
    rng = np.random.default_rng(4)
    data = rng.standard_normal((500, 24), dtype=F32)
    for metric in ["l2", "cosine", "dot_product"]:
        mm = svdb.MmapFlatIndex(24, metric, str(tmp_path / metric))
        flat = svdb.FlatIndex(24, metric)
        mm.add_batch_np(data[:300])
        mm.flush()
        mm.add_batch_np(data[300:], start_id=300)
        flat.add_batch_np(data)
        for q in rng.standard_normal((5, 24), dtype=F32):
            assert mm.search(q, 10) == flat.search(q, 10)


@pytest.mark.parametrize("step", ["create", "append", "rewrite"])
def test_mmap_failed_flush_raises_and_keeps_its_changes(svdb, tmp_path, step):
    sub = tmp_path / "sub"
    path = sub / "v.kvec"
    idx = svdb.MmapFlatIndex(2, "l2", str(path))
    idx.add(1, [1.0, 1.0])
    if step != "create":
        sub.mkdir()
        idx.flush()
        written = path.read_bytes()
        path.unlink()
        sub.rmdir()  # no file to append to, no directory to write a new one in
    idx.add(2, [2.0, 2.0])
    if step == "rewrite":
        assert idx.delete(1) is True
    expected = {1: [1.0, 1.0], 2: [2.0, 2.0]} if step != "rewrite" else {2: [2.0, 2.0]}
    for _ in range(2):  # a retry fails the same way
        with pytest.raises(OSError, match=r"No such file or directory \(os error 2\)$"):
            idx.flush()
        assert len(idx) == len(expected)
        assert sorted(h["id"] for h in idx.search([0.0, 0.0], 5)) == sorted(expected)
    if step == "rewrite":
        assert idx.delete(1) is False  # the tombstone is kept
    sub.mkdir()
    if step == "append":
        path.write_bytes(written)  # an append needs the file it maps
    assert idx.flush() is None
    assert path.read_bytes() == kvec(2, 0, sorted(expected.items()))


def test_mmap_add_of_an_id_live_in_the_file_is_a_duplicate(svdb, tmp_path):
    path = tmp_path / "v.kvec"
    path.write_bytes(kvec(2, 0, [(0, [0, 0]), (1, [1, 1])]))
    idx = svdb.MmapFlatIndex(2, "l2", str(path))
    flat = svdb.FlatIndex(2)
    flat.add(0, [0.0, 0.0])
    with pytest.raises(KeyError) as flat_error:
        flat.add(0, [5.0, 5.0])
    with pytest.raises(KeyError) as error:
        idx.add(0, [5.0, 5.0])
    assert str(error.value) == str(flat_error.value)
    # Batches stop at the duplicate and keep the items before it.
    with pytest.raises(KeyError, match="duplicate vector ID: 1"):
        idx.add_batch([(7, [7.0, 7.0]), (1, [5.0, 5.0])])
    with pytest.raises(KeyError, match="duplicate vector ID: 0"):
        idx.add_batch_np(np.full((2, 2), 5.0, dtype=F32), start_id=2**64 - 1)  # ids 2^64-1, 0
    assert len(idx) == 4
    assert sorted(h["id"] for h in idx.search([5.0, 5.0], 10)) == [0, 1, 7, 2**64 - 1]
    # A pending vector is replaced; delete then add replaces a file vector.
    idx.add(7, [8.0, 8.0])
    assert idx.delete(0) is True
    idx.add(0, [9.0, 9.0])
    assert [(h["id"], h["distance"]) for h in idx.search([9.0, 9.0], 2)] == [(0, 0.0), (7, F32(2**0.5))]
    idx.flush()
    assert len(svdb.MmapFlatIndex(2, "l2", str(path))) == 4


def test_mmap_collection_upserts_replace_vectors_from_the_file(svdb, data):
    col = svdb.Client(data).create_collection("m", 2, "l2", "mmap_flat")
    col.upsert_batch([(i, [float(i), 0.0]) for i in range(5)])
    del col
    col = svdb.Client(data).get_collection("m")  # the opening wrote "vectors.mmap"
    col.upsert(1, [10.0, 0.0])
    col.upsert_batch([(2, [20.0, 0.0]), (2, [21.0, 0.0]), (3, [30.0, 0.0])])
    assert col.count == 5
    assert [h["id"] for h in col.search([0.0, 0.0], 10)] == [0, 4, 1, 2, 3]
