"""A Client belongs to the process that opened it. In a forked child every write through it or its
collections is refused and changes nothing, reads answer from the state as of the fork, and
dropping the inherited objects (the child's exit included) writes nothing."""

import json
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

from conftest import BUILD_DIR, SANITIZER_ENV

REFUSAL = "was opened in another process"


def in_child(fn, parent_first=None):
    """Runs fn() in a child forked from this process and returns what it returned, or the
    exception it raised (pickled back through a pipe). With `parent_first`, the child waits until
    the parent has run it. The child leaves with os._exit, as a multiprocessing worker does."""
    results_r, results_w = os.pipe()
    go_r, go_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(results_r)
            os.close(go_w)
            os.read(go_r, 1)
            try:
                out = fn()
            except Exception as e:  # noqa: BLE001  (handed back to the parent)
                out = e
            data = pickle.dumps(out)
            while data:
                data = data[os.write(results_w, data):]
        finally:
            os._exit(0)
    os.close(results_w)
    os.close(go_r)
    if parent_first is not None:
        parent_first()
    os.write(go_w, b"x")
    os.close(go_w)
    chunks = []
    while chunk := os.read(results_r, 1 << 16):
        chunks.append(chunk)
    os.close(results_r)
    assert os.waitpid(pid, 0)[1] == 0
    return pickle.loads(b"".join(chunks))


def tree(path):
    """Every file below `path` with its bytes."""
    files = {}
    for root, _, names in os.walk(path):
        for name in names:
            full = os.path.join(root, name)
            with open(full, "rb") as f:
                files[os.path.relpath(full, path)] = f.read()
    return files


def state(client):
    """What a client holds: per collection its count, sparse count and snapshot names."""
    out = {}
    for name in sorted(client.list_collections()):
        col = client.get_collection(name)
        out[name] = (col.count, col.sparse_count, [s["name"] for s in col.list_snapshots()])
    return out


def opened(svdb, data, index_type="flat"):
    """(client, collection "a"): a collection with two vectors, a payload, a sparse vector and a
    snapshot "s1"."""
    client = svdb.Client(data)
    col = client.create_collection("a", 3, "l2", index_type)
    col.upsert(1, [1.0, 0.0, 0.0], {"k": 1})
    col.upsert_hybrid(2, [0.0, 1.0, 0.0], {7: 1.0})
    col.create_snapshot("s1")
    return client, col


WRITES = [
    ("upsert", lambda cl, col: col.upsert(100, [1.0, 1.0, 1.0])),
    ("upsert_batch", lambda cl, col: col.upsert_batch([(100, [1.0, 1.0, 1.0]), (2, [0.0] * 3)])),
    # An empty batch still runs the compaction check.
    ("empty upsert_batch", lambda cl, col: col.upsert_batch([])),
    ("upsert_hybrid", lambda cl, col: col.upsert_hybrid(100, [1.0, 1.0, 1.0], {3: 1.0})),
    ("delete", lambda cl, col: col.delete(1)),
    ("create_snapshot", lambda cl, col: col.create_snapshot("s2")),
    ("restore_snapshot", lambda cl, col: col.restore_snapshot("s1")),
    ("delete_snapshot", lambda cl, col: col.delete_snapshot("s1")),
    ("create_collection", lambda cl, col: cl.create_collection("b", 3, "l2", "flat")),
    ("get_or_create_collection", lambda cl, col: cl.get_or_create_collection("b", 3)),
    ("delete_collection", lambda cl, col: cl.delete_collection("a")),
]


@pytest.mark.parametrize("write", [w for _, w in WRITES], ids=[n for n, _ in WRITES])
def test_child_write_is_refused_and_changes_nothing(svdb, data, write):
    client, col = opened(svdb, data)
    before_disk, before_memory = tree(data), state(client)

    def child():
        try:
            write(client, col)
        except OSError as e:
            return str(e), state(client)
        return "not refused", None

    message, child_memory = in_child(child)
    assert REFUSAL in message and f"pid {os.getpid()}" in message
    assert "open a new Client in this process" in message
    assert child_memory == before_memory
    assert tree(data) == before_disk
    # The parent is unaffected: the same write works, and is found again after a reopen.
    write(client, col)
    after = state(client)
    del client, col
    assert state(svdb.Client(data)) == after


def test_child_compaction_never_discards_parent_writes(svdb, data):
    cdir = os.path.join(data, "a")
    os.makedirs(cdir)
    with open(os.path.join(cdir, "meta.json"), "w") as f:
        json.dump({"name": "a", "dimensions": 2, "metric": "l2", "index_type": "flat",
                   "wal_compact_threshold": 10}, f)
    client = svdb.Client(data)
    col = client.get_collection("a")
    col.upsert(1, [1.0, 1.0])

    def child():
        refused = 0
        for i in range(100, 120):  # enough to compact twice, were they applied
            try:
                col.upsert(i, [float(i), 0.0])
            except OSError:
                refused += 1
        return refused

    def parent():
        for i in range(200, 205):
            col.upsert(i, [float(i), 0.0])

    assert in_child(child, parent) == 20
    assert col.count == 6
    del client, col
    col = svdb.Client(data).get_collection("a")
    assert col.count == 6
    assert sorted(h["id"] for h in col.search([0.0, 0.0], 100)) == [1, 200, 201, 202, 203, 204]


@pytest.mark.parametrize("index_type", ["flat", "hnsw", "mmap_flat"])
def test_child_reads_the_state_as_of_the_fork(svdb, data, index_type):
    client, col = opened(svdb, data, index_type)

    def child():
        return ([h["id"] for h in col.search([1.0, 0.0, 0.0], 5)],
                [h["id"] for h in col.search_hybrid([0.0, 1.0, 0.0], {7: 1.0}, 5)],
                col.search([1.0, 0.0, 0.0], 1, filter={"k": {"$eq": 1}})[0]["payload"],
                state(client), repr(client))

    got = in_child(child, lambda: col.upsert(3, [0.9, 0.0, 0.0]))
    assert got == ([1, 2], [2, 1], {"k": 1}, {"a": (2, 1, ["s1"])}, "Client(collections=1)")
    assert col.count == 3


def run_python(code):
    env = {"PYTHONPATH": str(BUILD_DIR / "python"), "PATH": "/usr/bin:/bin", **SANITIZER_ENV}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("ending", ["exit", "drop"])
def test_child_ending_writes_nothing(tmp_path, ending):
    # The parent holds log records that a failed flush left buffered (the file size limit makes the
    # write fail). A child that returns normally runs the interpreter's finalisation, which drops
    # its copies of the client and collection; one that drops them itself does the same earlier.
    out = run_python(f"""
        import fcntl, gc, os, resource, signal, sys
        import sorvel_vector_db as svdb
        data = {str(tmp_path / "d")!r}
        client = svdb.Client(data)
        col = client.create_collection("a", 2, "l2", "flat")
        col.upsert(1, [1.0, 1.0])
        wal = os.path.join(data, "a", "wal.log")
        size = os.path.getsize(wal)
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        limits = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, limits[1]))
        try:
            col.upsert_batch([(2, [2.0, 2.0]), (3, [3.0, 3.0])])
            failed = False
        except OSError:
            failed = True
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        assert failed and col.count == 3 and os.path.getsize(wal) == size

        def tree():
            return {{os.path.join(root, n): open(os.path.join(root, n), "rb").read()
                    for root, _, names in os.walk(data) for n in names}}

        before = tree()
        pid = os.fork()
        if pid == 0:
            if {ending!r} == "drop":
                del client, col
                gc.collect()
                os._exit(0)
            sys.exit(0)
        os.waitpid(pid, 0)
        assert os.path.getsize(wal) == size, "the child wrote the parent's buffered records"
        assert tree() == before
        fd = os.open(data, os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            print("lock released by the child")
        except BlockingIOError:
            pass
        col.upsert(4, [4.0, 4.0])  # flushes the buffered records first
        del client, col
        col = svdb.Client(data).get_collection("a")
        print(col.count, sorted(h["id"] for h in col.search([0.0, 0.0], 10)))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "4 [1, 2, 3, 4]\n"
