"""The Client class: opening a data directory, creating, finding, listing and deleting
collections, its errors, documentation and borrow."""

import gc
import json
import os

import pytest

from conftest import run_child

INDEX_TYPES = ["flat", "hnsw", "quantized_flat", "ivf", "ivf_pq", "fp16_flat", "mmap_flat",
               "binary_flat"]


def test_all_ten_classes_are_registered_in_order(svdb):
    assert svdb.__all__ == ["FlatIndex", "HnswIndex", "QuantizedFlatIndex", "Fp16FlatIndex",
                            "IvfIndex", "IvfPqIndex", "MmapFlatIndex", "BinaryFlatIndex", "Client",
                            "Collection"]
    assert all(getattr(svdb, name).__name__ == name for name in svdb.__all__)


def test_opens_missing_directory_with_parents(svdb, tmp_path):
    path = tmp_path / "a" / "b" / "c"
    client = svdb.Client(str(path))
    assert path.is_dir()
    assert client.list_collections() == []
    assert repr(client) == "Client(collections=0)"


def test_default_path_is_dot_data(svdb, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    client = svdb.Client()
    client.create_collection("x", 2)
    assert (tmp_path / "data" / "x" / "meta.json").is_file()


def test_path_naming_a_file_is_oserror(svdb, tmp_path):
    f = tmp_path / "file"
    f.write_text("")
    with pytest.raises(OSError, match="^I/O error: "):
        svdb.Client(str(f))


def test_second_live_client_on_one_directory_is_refused(svdb, data):
    first = svdb.Client(data)
    first.create_collection("a", 2)
    with pytest.raises(OSError, match="in use by another client"):
        svdb.Client(data)
    del first
    gc.collect()
    assert svdb.Client(data).list_collections() == ["a"]


def test_a_handle_keeps_the_directory_held(svdb, data):
    client = svdb.Client(data)
    handle = client.create_collection("a", 2, "l2", "flat")
    del client
    gc.collect()
    handle.upsert(1, [1.0, 2.0])  # the state lives on through the handle
    with pytest.raises(OSError):
        svdb.Client(data)
    del handle
    gc.collect()
    assert svdb.Client(data).get_collection("a").count == 1


def meta_of(data, name):
    with open(os.path.join(data, name, "meta.json")) as f:
        return json.load(f)


def test_create_collection_defaults(client, data):
    col = client.create_collection("a", 3)
    assert repr(col) == 'Collection(name="a", count=0)'
    meta = meta_of(data, "a")
    assert (meta["name"], meta["dimensions"], meta["metric"], meta["index_type"]) == (
        "a", 3, "cosine", "hnsw")
    assert meta["hnsw_config"] == {"ef_construction": 200, "ef_search": 50, "m": 12}
    assert meta["wal_compact_threshold"] == 50000


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_every_index_type_stores_and_reopens(svdb, data, index_type):
    client = svdb.Client(data)
    col = client.create_collection("c", 8, metric="l2", index_type=index_type)
    assert meta_of(data, "c")["index_type"] == index_type
    col.upsert_batch([(i, [float(i + j) for j in range(8)], {"i": i}) for i in range(20)])
    hits = col.search([float(j) for j in range(8)], 1)
    assert hits[0]["id"] == 0 and hits[0]["payload"] == {"i": 0}
    del client, col
    gc.collect()
    col = svdb.Client(data).get_collection("c")
    assert col.count == 20
    assert col.search([float(j) for j in range(8)], 1)[0]["payload"] == {"i": 0}


def test_ivf_kinds_get_their_parameter_records(client, data):
    client.create_collection("ivf", 8, index_type="ivf")
    client.create_collection("pq", 8, index_type="ivf_pq")
    client.create_collection("flat", 8, index_type="flat")
    assert "hnsw_config" not in meta_of(data, "ivf")
    assert meta_of(data, "ivf")["ivf_config"]
    assert meta_of(data, "pq")["ivf_pq_config"]
    flat = meta_of(data, "flat")
    assert not any(key.endswith("_config") for key in flat)


CREATE_ERRORS = [
    ("duplicate", ("a", 3), KeyError, "'collection already exists: a'"),
    ("unknown index type", ("b", 3, "cosine", "faiss"), ValueError, 'unknown index_type "faiss"'),
    ("index type is case-sensitive", ("b", 3, "cosine", "HNSW"), ValueError,
     'unknown index_type "HNSW"'),
    ("index type is quoted with escapes", ("b", 3, "cosine", 'x"\n'), ValueError,
     'unknown index_type "x\\"\\n"'),
    ("ivf_pq whose quantizer does not fit", ("b", 3, "cosine", "ivf_pq"), ValueError,
     "invalid configuration: dimensions (3) must be divisible by m (8)"),
    ("metric before index type", ("b", 3, "L2", "faiss"), ValueError,
     'unknown metric "L2"; expected "l2", "cosine", or "dot_product"'),
    ("negative dimensions", ("b", -1), OverflowError, None),
    ("dimensions not an int", ("b", "3"), TypeError, "argument 'dimensions': "),
    ("name not a str", (5, 3), TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("metric not a str", ("b", 3, None), TypeError,
     "argument 'metric': 'NoneType' object cannot be converted to 'PyString'"),
    ("empty name", ("", 3), ValueError, 'invalid configuration: invalid collection name: ""'),
    ("dot name", (".", 3), ValueError, 'invalid configuration: invalid collection name: "."'),
    ("dot-dot name", ("..", 3), ValueError, 'invalid configuration: invalid collection name: ".."'),
    ("name with a slash", ("x/y", 3), ValueError,
     'invalid configuration: invalid collection name: "x/y"'),
    ("absolute name", ("/tmp/x", 3), ValueError,
     'invalid configuration: invalid collection name: "/tmp/x"'),
    ("name with a C1 control", ("x/\x85", 3), ValueError,
     'invalid configuration: invalid collection name: "x/\\u{85}"'),
    ("binding: missing arguments", ("b",), TypeError,
     "Client.create_collection() missing 1 required positional argument: 'dimensions'"),
]


@pytest.mark.parametrize("args, exc, message", [c[1:] for c in CREATE_ERRORS],
                         ids=[c[0] for c in CREATE_ERRORS])
def test_create_collection_errors_create_nothing(client, data, args, exc, message):
    client.create_collection("a", 3)
    before = sorted(os.listdir(data))
    with pytest.raises(exc) as info:
        client.create_collection(*args)
    if message is not None:
        text = str(info.value)
        assert text.startswith(message) if message.endswith(": ") else text == message
    assert sorted(os.listdir(data)) == before
    assert client.list_collections() == ["a"]


def test_get_collection(client):
    client.create_collection("a", 2, "l2", "flat")
    first, second = client.get_collection("a"), client.get_collection("a")
    assert first is not second
    first.upsert(1, [0.0, 1.0])
    assert second.count == 1
    with pytest.raises(KeyError) as info:
        client.get_collection("missing")
    assert info.value.args == ("collection 'missing' not found",)


def test_get_or_create_collection(client, data):
    created = client.get_or_create_collection("a", 3, "l2")
    assert meta_of(data, "a")["index_type"] == "hnsw"
    assert meta_of(data, "a")["metric"] == "l2"
    created.upsert(1, [1.0, 0.0, 0.0])
    # An existing collection is returned as it is: dimensions and metric are not compared.
    again = client.get_or_create_collection("a", 99, "cosine")
    assert again.count == 1 and meta_of(data, "a")["dimensions"] == 3
    with pytest.raises(ValueError, match="unknown metric"):
        client.get_or_create_collection("new", 3, "nope")
    assert "new" not in client.list_collections()


def test_delete_collection(client, data):
    col = client.create_collection("a", 2)
    col.create_snapshot("s")
    assert client.delete_collection("missing") is False
    assert client.delete_collection("a") is True
    assert not os.path.exists(os.path.join(data, "a"))
    assert client.list_collections() == []
    with pytest.raises(KeyError, match="collection 'a' not found"):
        col.search([0.0, 1.0], 1)
    assert client.delete_collection("a") is False


def test_delete_of_a_collection_whose_directory_is_gone(client, data):
    import shutil

    client.create_collection("a", 2)
    shutil.rmtree(os.path.join(data, "a"))
    assert client.delete_collection("a") is True


def test_list_and_repr(client):
    for name in ["x", "y", "zé"]:
        client.create_collection(name, 2)
    assert sorted(client.list_collections()) == ["x", "y", "zé"]
    assert repr(client) == "Client(collections=3)"


def write_meta(data, dirname, **fields):
    meta = {"name": dirname, "dimensions": 2, "metric": "l2", "index_type": "flat",
            "wal_compact_threshold": 50000}
    meta.update(fields)
    os.makedirs(os.path.join(data, dirname), exist_ok=True)
    with open(os.path.join(data, dirname, "meta.json"), "w") as f:
        f.write(json.dumps(meta) if isinstance(meta, dict) else meta)


def test_opening_passes_over_what_is_not_a_collection(svdb, data):
    os.makedirs(data)
    write_meta(data, "good")
    os.makedirs(os.path.join(data, "broken"))
    with open(os.path.join(data, "broken", "meta.json"), "w") as f:
        f.write("{not json")
    os.makedirs(os.path.join(data, "no_meta"))
    with open(os.path.join(data, "plain_file"), "w") as f:
        f.write("x")
    client = svdb.Client(data)
    assert client.list_collections() == ["good"]
    with pytest.raises(KeyError):
        client.get_collection("broken")


def test_registered_under_the_name_in_meta(svdb, data):
    os.makedirs(data)
    write_meta(data, "dir_one", name="real")
    client = svdb.Client(data)
    assert client.list_collections() == ["real"]
    assert client.get_collection("real").name == "real"


def test_delete_removes_the_directory_the_collection_came_from(svdb, data):
    os.makedirs(data)
    write_meta(data, "x", name="y")
    os.makedirs(os.path.join(data, "y"))  # the user's own directory, no collection
    with open(os.path.join(data, "y", "notes.txt"), "w") as f:
        f.write("mine")
    client = svdb.Client(data)
    assert client.delete_collection("y") is True
    assert not os.path.exists(os.path.join(data, "x"))
    assert os.listdir(os.path.join(data, "y")) == ["notes.txt"]


def test_lock_is_a_collection_name_and_a_second_client_stays_refused(svdb, data):
    os.makedirs(data)
    open(os.path.join(data, "LOCK"), "w").close()  # left by earlier versions: ignored
    client = svdb.Client(data)
    os.remove(os.path.join(data, "LOCK"))
    client.create_collection("LOCK", 2, "l2", "flat")
    with pytest.raises(OSError, match="in use by another client"):
        svdb.Client(data)
    assert client.delete_collection("LOCK") is True
    assert os.listdir(data) == []
    with pytest.raises(OSError, match="in use by another client"):
        svdb.Client(data)
    client.create_collection("LOCK", 2, "l2", "flat").upsert(1, [1.0, 2.0])
    del client
    gc.collect()
    assert svdb.Client(data).get_collection("LOCK").count == 1


def _set_meta(path, **fields):
    with open(path) as f:
        meta = json.load(f)
    meta.update(fields)
    with open(path, "w") as f:
        json.dump(meta, f)


def _fifo_in_place_of(file):
    def change(bad):
        path = os.path.join(bad, file)
        if os.path.exists(path):
            os.remove(path)
        os.mkfifo(path)
    return change


def _meta_change(**fields):
    return lambda bad: _set_meta(os.path.join(bad, "meta.json"), **fields)


def _both(*changes):
    def change(bad):
        for c in changes:
            c(bad)
    return change


def _fifo_and_compactions(file):
    return _both(_fifo_in_place_of(file), _meta_change(wal_compact_threshold=5))


# (index type of the bad collection, what is done to its directory, whether it still opens).
HOSTILE_DIRECTORIES = {
    "hnsw m 2**31": ("hnsw", _meta_change(hnsw_config={"ef_construction": 200, "ef_search": 50,
                                                       "m": 2**31}), False),
    "promotion m 2**31": ("flat", _meta_change(auto_promote_threshold=1, promotion_hnsw_config={
        "ef_construction": 200, "ef_search": 50, "m": 2**31}), False),
    "faiss index type": ("flat", _meta_change(index_type="faiss"), False),
    "pq.m no quantizer takes": ("ivf_pq", _meta_change(ivf_pq_config={
        "n_lists": 4, "nprobe": 4, "train_size": 16, "max_iter": 10,
        "pq": {"m": 3, "k_sub": 16, "max_iter": 10}}), False),
    "fifo meta.json": ("flat", _fifo_in_place_of("meta.json"), False),
    "fifo wal.log": ("flat", _fifo_in_place_of("wal.log"), False),
    "fifo restore.pending": ("flat", _fifo_in_place_of("restore.pending"), False),
    # The caches and the sparse checkpoint are rebuilt from the log, and are saved again (the
    # memory-mapped file at the opening, the rest at the next compaction, every 5 records here)
    # without waiting on a FIFO.
    "fifo vectors.mmap": ("mmap_flat", _fifo_in_place_of("vectors.mmap"), True),
    "fifo hnsw.graph": ("hnsw", _fifo_and_compactions("hnsw.graph"), True),
    "fifo sparse.bin": ("hnsw", _fifo_and_compactions("sparse.bin"), True),
    # The promotion that the batch below sets off writes its metadata through this name.
    "fifo meta.json.tmp": ("flat", _both(_fifo_in_place_of("meta.json.tmp"),
                                         _meta_change(auto_promote_threshold=25)), True),
}


@pytest.mark.parametrize("case", HOSTILE_DIRECTORIES, ids=list(HOSTILE_DIRECTORIES))
def test_a_hostile_collection_directory_stays_in_its_collection(svdb, data, case):
    index_type, change, opens = HOSTILE_DIRECTORIES[case]
    client = svdb.Client(data)
    client.create_collection("good", 2, "l2", "flat").upsert(1, [1.0, 2.0], {"k": 1})
    bad = client.create_collection("bad", 8, "l2", index_type)
    for i in range(20):
        bad.upsert_hybrid(i, [float(i)] * 8, {i: 1.0})
    del client, bad
    gc.collect()
    change(os.path.join(data, "bad"))

    # In a child: a FIFO that blocked an opening would hang this process.
    out = run_child(f"""
        import os
        import sorvel_vector_db as svdb
        client = svdb.Client({data!r})
        good = client.get_collection("good")
        good.upsert(2, [3.0, 4.0])
        assert [h["id"] for h in good.search([1.0, 2.0], 2)] == [1, 2]
        if {opens!r}:
            bad = client.get_collection("bad")
            assert bad.count == 20 and bad.sparse_count == 20
            bad.upsert_batch([(i, [float(i)] * 8) for i in range(20, 30)])
            assert bad.count == 30
            assert sorted(client.list_collections()) == ["bad", "good"]
        else:
            assert client.list_collections() == ["good"]
            try:
                client.get_collection("bad")
                raise AssertionError("the bad collection was registered")
            except KeyError:
                pass
            try:
                client.create_collection("bad", 2)
                raise AssertionError("the name of the bad collection was free")
            except KeyError as e:
                assert "collection already exists: bad" in str(e)
        assert client.delete_collection("bad") is True
        assert not os.path.lexists(os.path.join({data!r}, "bad"))
        client.create_collection("bad", 2).upsert(7, [0.0, 1.0])
        assert sorted(client.list_collections()) == ["bad", "good"]
        assert good.count == 2 and client.get_collection("bad").count == 1
        print("ok")
    """)
    assert out.returncode == 0 and out.stdout == "ok\n", out.stderr


def test_restoring_settings_no_index_holds_is_refused_before_anything_changes(client, data):
    col = client.create_collection("c", 2, "l2", "flat")
    col.upsert(1, [1.0, 2.0])
    col.create_snapshot("s")
    col.upsert(2, [3.0, 4.0])
    snapshot_meta = os.path.join(data, "c", "snapshots", "s", "meta.json")
    for fields, message in [({"index_type": "faiss"}, "uses index type faiss"),
                            ({"index_type": "flat",
                              "promotion_hnsw_config": {"ef_construction": 1, "ef_search": 1,
                                                        "m": 2**31}},
                             "promotion_hnsw_config: HNSW m of 2147483648")]:
        _set_meta(snapshot_meta, **fields)
        with pytest.raises(ValueError, match=message):
            col.restore_snapshot("s")
        assert col.count == 2  # the client stays usable and the collection as it was
        col.upsert(3, [5.0, 6.0])
        col.delete(3)


def test_conversion_that_calls_back_into_the_client_meets_the_borrow(client):
    client.create_collection("a", 2)

    class Dims:
        def __init__(self, call):
            self.call = call

        def __index__(self):
            self.call()
            return 2

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        client.create_collection("b", Dims(client.list_collections))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        client.create_collection("b", Dims(lambda: client.delete_collection("a")))
    # Every borrow was given back.
    assert client.list_collections() == ["a"]
    assert client.delete_collection("a") is True


CLIENT_DOC = (
    "Persistent vector database client.\n\n"
    "Opens a directory on disk. All writes are WAL-backed and survive restarts.\n\n"
    "Args:\n    path: Directory path for data storage (default \"./data\").\n\n"
    "Example:\n    >>> db = Client(path=\"./my_data\")\n"
    "    >>> col = db.create_collection(\"docs\", dimensions=384, metric=\"cosine\")\n"
    "    >>> col.upsert(id=1, vector=[...], payload={\"title\": \"hello\"})\n"
    "    >>> hits = col.search(query=[...], k=5)")

METHOD_DOCS = [
    ("create_collection", '($self, name, dimensions, metric="cosine", index_type="hnsw")',
     "Create a new collection.\n\nArgs:\n    name: Collection name.\n"
     "    dimensions: Vector dimensions.\n    metric: \"cosine\", \"l2\", or \"dot_product\".\n"
     "    index_type: \"hnsw\", \"flat\", \"quantized_flat\", \"fp16_flat\", \"ivf\", \"ivf_pq\", "
     "or \"mmap_flat\"."),
    ("get_collection", "($self, name)",
     "Get an existing collection by name. Raises KeyError if not found."),
    ("get_or_create_collection", '($self, name, dimensions, metric="cosine")',
     "Get a collection by name, or create it if it doesn't exist (uses HNSW)."),
    ("delete_collection", "($self, name)", "Delete a collection and all its data from disk."),
    ("list_collections", "($self)", "List all collection names."),
]


def test_class_documentation(svdb):
    assert svdb.Client.__text_signature__ == '(path="./data")'
    assert svdb.Client.__doc__ == CLIENT_DOC


@pytest.mark.parametrize("name, signature, doc", METHOD_DOCS, ids=[m[0] for m in METHOD_DOCS])
def test_method_documentation(svdb, name, signature, doc):
    method = getattr(svdb.Client, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_keywords_bind(svdb, data):
    client = svdb.Client(path=data)
    col = client.create_collection(name="k", dimensions=2, metric="dot_product", index_type="flat")
    assert meta_of(data, "k")["metric"] == "dot_product"
    assert client.get_collection(name="k").name == "k"
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'size'"):
        client.get_collection(name="k", size=1)
    del col


def test_more_collections_than_free_descriptors_all_open_and_take_writes(svdb, data):
    # Each collection used to hold its log open from the opening on: past the open-file limit the
    # later ones went missing without a word. Here every one is searched and written, new ones
    # are created and written, and all of it is there after a reopening.
    client = svdb.Client(data)
    for i in range(300):
        client.create_collection(f"c{i}", 2, "l2", "flat").upsert(i, [float(i), 0.0])
    del client
    gc.collect()
    out = run_child(f"""
        import gc, resource
        import sorvel_vector_db as svdb
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
        client = svdb.Client({data!r})
        assert len(client.list_collections()) == 300
        for i in range(300):
            c = client.get_collection(f"c{{i}}")
            assert [h["id"] for h in c.search([float(i), 0.0], 1)] == [i]
            c.upsert(1000 + i, [float(i), 1.0])
        for i in range(40):
            client.create_collection(f"n{{i}}", 2, "l2", "flat").upsert(i, [1.0, 1.0])
        del c, client
        gc.collect()
        client = svdb.Client({data!r})
        assert len(client.list_collections()) == 340
        assert all(client.get_collection(f"c{{i}}").count == 2 for i in range(300))
        assert all(client.get_collection(f"n{{i}}").count == 1 for i in range(40))
        print("ok")
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "ok\n"


@pytest.mark.unsanitized("the sanitizer runtime opens descriptors of its own (its memory checks, "
                         "/proc/self/maps), which the test leaves none of")
def test_a_client_short_of_descriptors_fails_instead_of_leaving_collections_out(svdb, data):
    client = svdb.Client(data)
    for i in range(3):
        client.create_collection(f"c{i}", 2, "l2", "flat")
    del client
    gc.collect()
    out = run_child(f"""
        import os, resource
        import sorvel_vector_db as svdb
        used = {{int(n) for n in os.listdir("/proc/self/fd")}}
        probe = os.open("/dev/null", os.O_RDONLY)  # the number the listing itself took
        os.close(probe)
        used.discard(probe)
        # Room for the data directory's lock and its listing, and none for a collection's files.
        limit, free = 0, 0
        while free < 2:
            free += limit not in used
            limit += 1
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))
        try:
            svdb.Client({data!r})
        except OSError as e:
            print(e)
        else:
            print("opened")
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    """)
    assert out.returncode == 0, out.stderr
    assert "could not be opened: Too many open files (os error 24)" in out.stdout, out.stdout
