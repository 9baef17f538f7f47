"""Deletes killed at each system call that changes the disk, and logs damaged by hand: what the
next Client finds. A child interpreter runs the operation under strace, which kills it with SIGKILL
at the N-th call of one system call, for N = 1, 2, ... until the child completes."""

import gc
import inspect
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import BUILD_DIR, SANITIZER_ENV, set_compact_threshold

DIMS = 4
SPARSE_QUERY = {i: 1.0 for i in range(8)}
QUERIES = [[0.0] * DIMS] + [[1.0 if j == i else 0.0 for j in range(DIMS)] for i in range(DIMS)]

# The calls that can change what is on disk. Each one the operation makes is a kill point; an
# opening (openat, open, creat) counts only with a flag that creates, truncates or writes.
CHANGING_CALLS = {"unlink", "unlinkat", "rename", "renameat", "renameat2", "rmdir", "link",
                  "linkat", "symlink", "symlinkat", "mkdir", "mkdirat", "write", "writev",
                  "pwrite64", "pwritev", "pwritev2", "fsync", "fdatasync", "sync_file_range",
                  "ftruncate", "truncate", "fallocate", "copy_file_range", "sendfile"}
OPENING_CALLS = {"openat", "open", "creat"}
WRITING_FLAGS = re.compile(r"O_CREAT|O_TRUNC|O_WRONLY|O_RDWR|O_APPEND")

# What the child touches just before the operation, so that a traced run shows where it begins.
START_MARK = "kill-table-start"


def state(col):
    """Everything a search can tell about a collection: its counts and, for a few queries, every
    vector's distance and payload and every sparse score."""
    n = col.count
    dense = [[(h["id"], h["distance"], h.get("payload")) for h in col.search(q, n + 1)]
             for q in QUERIES]
    sparse = sorted((h["id"], h["sparse_score"])
                    for h in col.search_hybrid(QUERIES[0], SPARSE_QUERY, n + 1))
    return n, col.sparse_count, dense, sparse


def fill(svdb, data, name, index_type):
    """A collection of 30 vectors with payloads and sparse vectors, compacted (so it has
    "sparse.bin", and "hnsw.graph" when it is HNSW), with a snapshot "s" and writes after both."""
    svdb.Client(data).create_collection(name, DIMS, "l2", index_type)
    gc.collect()
    set_compact_threshold(data, name, 16)
    client = svdb.Client(data)
    col = client.get_collection(name)
    for i in range(30):
        col.upsert_hybrid(i, [float(i), float(i % 7), float(i % 3), 1.0], {i % 8: 1.0 + i},
                          {"i": i})
    col.create_snapshot("s")
    col.delete(3)
    col.upsert(4, [9.0, 9.0, 9.0, 9.0], {"late": True})
    del col, client
    gc.collect()


@pytest.fixture(scope="module")
def template(tmp_path_factory, svdb):
    """A data directory with a flat and an HNSW collection filled as above, and the state of each
    and of its snapshot."""
    data = str(tmp_path_factory.mktemp("template") / "data")
    fill(svdb, data, "flat", "flat")
    fill(svdb, data, "hnsw", "hnsw")
    client = svdb.Client(data)
    states = {name: state(client.get_collection(name)) for name in ("flat", "hnsw")}
    del client
    gc.collect()
    # The snapshots' states, taken from a copy restored in place.
    copy = data + "-restored"
    shutil.copytree(data, copy, symlinks=True)
    client = svdb.Client(copy)
    for name in ("flat", "hnsw"):
        col = client.get_collection(name)
        col.restore_snapshot("s")
        states[name + "/s"] = state(col)
    del col, client
    gc.collect()
    shutil.rmtree(copy)
    return data, states


def strace_usable():
    if shutil.which("strace") is None:
        return False
    return subprocess.run(["strace", "-f", "-o", "/dev/null", "true"],
                          capture_output=True).returncode == 0


def child_code(data, operation):
    return (f"import os, sorvel_vector_db as svdb\n"
            f"client = svdb.Client({data!r})\n"
            f"os.path.exists({os.path.join(data, START_MARK)!r})\n"
            f"{operation}\n")


def run_child(data, operation, strace_args):
    # The child's environment goes through strace's -E, so a sanitizer runtime is preloaded into
    # the child only, not into strace.
    child_env = dict(SANITIZER_ENV, PYTHONPATH=str(BUILD_DIR / "python"),
                     PYTHONDONTWRITEBYTECODE="1")
    settings = [arg for name, value in child_env.items() for arg in ("-E", f"{name}={value}")]
    return subprocess.run(["strace", "-f", *settings, *strace_args, sys.executable, "-c",
                           child_code(data, operation)],
                          env={"PATH": os.environ.get("PATH", "")}, capture_output=True,
                          text=True, timeout=60)


def kill_points(tmp_path, template_data, operation):
    """{system call: (calls before the operation, calls up to its end)} for every call that
    changes the disk while the operation runs, from one traced run."""
    data = str(tmp_path / "traced")
    shutil.copytree(template_data, data, symlinks=True)
    log = str(tmp_path / "trace.log")
    done = run_child(data, operation, ["-o", log, "-qq", "-e", "signal=none"])
    assert done.returncode == 0, done.stderr
    shutil.rmtree(data)
    counts, before, started = {}, {}, False
    changing = set()
    with open(log) as f:
        for line in f:
            m = re.match(r"\d+\s+(\w+)\(", line)  # a call's entry (not "<... resumed>")
            if not m:
                continue
            call = m.group(1)
            if START_MARK in line:
                started = True
                before = dict(counts)
                continue
            counts[call] = counts.get(call, 0) + 1
            if started and (call in CHANGING_CALLS or
                            call in OPENING_CALLS and WRITING_FLAGS.search(line)):
                changing.add(call)
    assert started, "the traced run never reached the operation"
    return {call: (before.get(call, 0), counts[call]) for call in changing}


def kill_table(tmp_path, template_data, operation, check, calls=None):
    """Kills the operation at every changing call (of `calls`, when given) and runs `check(data)`
    on what is left."""
    points = kill_points(tmp_path, template_data, operation)
    if calls is not None:
        points = {call: counts for call, counts in points.items() if call in calls}
    assert points, "the operation changed nothing on disk"
    for call, (first, last) in sorted(points.items()):
        for n in range(first + 1, last + 2):
            data = str(tmp_path / f"{call}-{n}")
            shutil.copytree(template_data, data, symlinks=True)
            done = run_child(data, operation,
                             ["-o", "/dev/null", "-e", f"inject={call}:signal=KILL:when={n}"])
            killed = done.returncode in (-9, 137)
            assert killed or done.returncode == 0, done.stderr
            # Past the operation's last call the child completes.
            assert killed == (n <= last), f"{call} #{n}: killed={killed}"
            check(data, f"{call} #{n}" + (" (killed)" if killed else ""))
            shutil.rmtree(data)


needs_strace = pytest.mark.skipif(not strace_usable(), reason="strace cannot trace here")


@needs_strace
@pytest.mark.parametrize("name", ["flat", "hnsw"])
def test_killed_delete_collection_leaves_all_or_nothing(svdb, template, tmp_path, name):
    template_data, states = template

    def check(data, point):
        client = svdb.Client(data)
        assert state(client.get_collection("hnsw" if name == "flat" else "flat")) == \
            states["hnsw" if name == "flat" else "flat"], point
        if name in client.list_collections():
            col = client.get_collection(name)
            assert state(col) == states[name], point
            col.restore_snapshot("s")
            assert state(col) == states[name + "/s"], point
        else:
            # Leftovers are gone, and the name is free with nothing of the old collection in it.
            assert not os.path.lexists(os.path.join(data, name)), point
            assert sorted(os.listdir(data)) == sorted({"flat", "hnsw"} - {name}), point
            col = client.create_collection(name, DIMS, "l2", "flat")
            assert (col.count, col.sparse_count, col.list_snapshots()) == (0, 0, []), point
        del col, client
        gc.collect()

    kill_table(tmp_path, template_data, f"client.delete_collection({name!r})", check)


@needs_strace
def test_killed_delete_snapshot_leaves_all_or_nothing(svdb, template, tmp_path):
    template_data, states = template

    def check(data, point):
        client = svdb.Client(data)
        col = client.get_collection("hnsw")
        assert state(col) == states["hnsw"], point
        names = [s["name"] for s in col.list_snapshots()]
        if names == ["s"]:
            col.restore_snapshot("s")
            assert state(col) == states["hnsw/s"], point
        else:
            assert names == [], point
            assert not os.path.lexists(os.path.join(data, "hnsw", "snapshots", "..deleted"))
            col.create_snapshot("s")
            assert [s["name"] for s in col.list_snapshots()] == ["s"], point
        del col, client
        gc.collect()

    operation = "client.get_collection('hnsw').delete_snapshot('s')"
    kill_table(tmp_path, template_data, operation, check)


@needs_strace
def test_killed_create_snapshot_leaves_a_whole_snapshot_or_none(svdb, template, tmp_path):
    template_data, states = template

    def check(data, point):
        client = svdb.Client(data)
        col = client.get_collection("flat")
        assert state(col) == states["flat"], point
        snapshots = os.path.join(data, "flat", "snapshots")
        assert sorted(os.listdir(snapshots)) in (["s"], ["s", "t"]), point
        names = sorted(s["name"] for s in col.list_snapshots())
        if names == ["s"]:
            col.create_snapshot("t")  # nothing blocks the name
        else:
            assert names == ["s", "t"], point
        col.restore_snapshot("t")
        assert state(col) == states["flat"], point
        del col, client
        gc.collect()

    kill_table(tmp_path, template_data, "client.get_collection('flat').create_snapshot('t')", check)


END_MARK = "eio-table-end"


def eio_points(tmp_path, template_data, operation, calls=CHANGING_CALLS):
    """{system call: (calls before the operation, calls up to its end)} for every call of `calls`
    the operation makes, from one traced run."""
    data = str(tmp_path / "traced")
    shutil.copytree(template_data, data, symlinks=True)
    log = str(tmp_path / "trace.log")
    code = f"{operation}\nos.path.exists({os.path.join(data, END_MARK)!r})"
    done = run_child(data, code, ["-o", log, "-qq", "-e", "signal=none"])
    assert done.returncode == 0, done.stderr
    shutil.rmtree(data)
    counts, marks = {}, {}
    with open(log) as f:
        for line in f:
            m = re.match(r"\d+\s+(\w+)\(", line)
            if not m:
                continue
            for mark in (START_MARK, END_MARK):
                if mark in line:
                    marks[mark] = dict(counts)
            counts[m.group(1)] = counts.get(m.group(1), 0) + 1
    before, after = marks[START_MARK], marks[END_MARK]
    return {call: (before.get(call, 0), n) for call, n in after.items()
            if call in calls and n > before.get(call, 0)}


@needs_strace
def test_a_delete_collection_that_fails_leaves_the_name_whole_or_free(svdb, template, tmp_path):
    """EIO at each call of delete_collection that changes the disk, one at a time: the same client
    then has the collection registered and unchanged, or the name free for a new collection; the
    next client agrees."""
    template_data, states = template
    name, other = "flat", "hnsw"
    operation = (
        f"import json\n"
        f"try:\n"
        f"    client.delete_collection({name!r})\n"
        f"    raised = False\n"
        f"except OSError:\n"
        f"    raised = True\n")
    probe = (
        f"listed = {name!r} in client.list_collections()\n"
        f"if not listed:\n"
        f"    client.create_collection({name!r}, {DIMS}, 'l2', 'flat')\n"
        f"    assert client.delete_collection({name!r})\n"
        f"print(json.dumps([raised, listed]))\n")
    points = eio_points(tmp_path, template_data, operation)
    assert points
    for call, (first, last) in sorted(points.items()):
        for n in range(first + 1, last + 1):
            point = f"{call} #{n}"
            data = str(tmp_path / f"{call}-{n}")
            shutil.copytree(template_data, data, symlinks=True)
            done = run_child(data, operation + probe,
                             ["-o", "/dev/null", "-e", f"inject={call}:error=EIO:when={n}"])
            assert done.returncode == 0, (point, done.stderr)
            raised, listed = json.loads(done.stdout.strip().splitlines()[-1])
            assert raised or not listed, point
            client = svdb.Client(data)
            assert state(client.get_collection(other)) == states[other], point
            assert (name in client.list_collections()) == listed, point
            if listed:
                assert state(client.get_collection(name)) == states[name], point
            else:
                assert sorted(os.listdir(data)) == [other], point
            del client
            gc.collect()
            shutil.rmtree(data)


def child_state_code():
    """Source that defines state() in a child, as above."""
    return (f"import json\nDIMS = {DIMS}\nSPARSE_QUERY = {SPARSE_QUERY!r}\n"
            f"QUERIES = {QUERIES!r}\n{inspect.getsource(state)}\n")


@needs_strace
def test_a_restore_that_fails_leaves_what_a_restart_finds(svdb, template, tmp_path):
    """EIO at each rename, link and unlink of restore_snapshot, one at a time, then a write: the
    live collection is the old one or the restored one, and a restart finds exactly what it
    served."""
    template_data, states = template
    operation = (
        child_state_code() +
        "col = client.get_collection('flat')\n"
        "try:\n"
        "    col.restore_snapshot('s')\n"
        "    raised = False\n"
        "except OSError:\n"
        "    raised = True\n")
    probe = ("before = state(col)\n"
             f"col.upsert(77, [7.0] * {DIMS}, {{'late': 1}})\n"
             "print(json.dumps([raised, before, state(col)]))\n")
    as_json = lambda value: json.loads(json.dumps(value))
    points = eio_points(tmp_path, template_data, operation, {"rename", "link", "unlink"})
    assert points
    raised_somewhere = False
    for call, (first, last) in sorted(points.items()):
        for n in range(first + 1, last + 1):
            point = f"{call} #{n}"
            data = str(tmp_path / f"{call}-{n}")
            shutil.copytree(template_data, data, symlinks=True)
            done = run_child(data, operation + probe,
                             ["-o", "/dev/null", "-e", f"inject={call}:error=EIO:when={n}"])
            assert done.returncode == 0, (point, done.stderr)
            raised, before, live = json.loads(done.stdout.strip().splitlines()[-1])
            raised_somewhere = raised_somewhere or raised
            assert before == as_json(states["flat/s" if not raised else "flat"]) or \
                (raised and before == as_json(states["flat/s"])), point
            client = svdb.Client(data)
            assert as_json(state(client.get_collection("flat"))) == live, point
            del client
            gc.collect()
            shutil.rmtree(data)
    assert raised_somewhere


@needs_strace
def test_a_restore_killed_at_a_rename_reopens_as_old_or_restored(svdb, template, tmp_path):
    template_data, states = template

    def check(data, point):
        client = svdb.Client(data)
        col = client.get_collection("flat")
        assert state(col) in (states["flat"], states["flat/s"]), point
        assert [s["name"] for s in col.list_snapshots()] == ["s"], point
        leftovers = [name for name in os.listdir(os.path.join(data, "flat"))
                     if name.endswith((".restore-old", ".restore-new"))
                     or name.startswith("restore.")]
        assert leftovers == [], point
        del col, client
        gc.collect()

    kill_table(tmp_path, template_data, "client.get_collection('flat').restore_snapshot('s')",
               check, calls={"rename", "link", "unlink"})


def test_delete_collection_removes_odd_content_whole(svdb, data):
    client = svdb.Client(data)
    client.create_collection("c", DIMS, "l2", "flat").upsert(1, [1.0] * DIMS)
    os.rename(os.path.join(data, "c", "meta.json"), os.path.join(data, "c", "meta.json.saved"))
    os.makedirs(os.path.join(data, "c", "meta.json", "inner"))
    assert client.delete_collection("c")
    assert os.listdir(data) == []
    client.create_collection("c", DIMS, "l2", "flat")
    del client
    gc.collect()
    assert svdb.Client(data).get_collection("c").count == 0


@pytest.mark.parametrize("kind", ["fifo", "link"])
@pytest.mark.parametrize("name", ["wal.log", "meta.json"])
def test_a_stray_restore_old_entry_is_removed_not_put_back(svdb, data, tmp_path, kind, name):
    client = svdb.Client(data)
    client.create_collection("c", DIMS, "l2", "flat").upsert(1, [1.0] * DIMS, {"a": 1})
    del client
    gc.collect()
    stray = os.path.join(data, "c", name + ".restore-old")
    if kind == "fifo":
        os.mkfifo(stray)
    else:
        target = tmp_path / "elsewhere"
        target.write_bytes(b"not a collection file")
        os.symlink(target, stray)
    col = svdb.Client(data).get_collection("c")
    assert col.count == 1 and col.search([1.0] * DIMS, 1)[0]["payload"] == {"a": 1}
    assert not os.path.lexists(stray)
    if kind == "link":
        assert target.read_bytes() == b"not a collection file"


# ---- damaged logs ----

RECORD = 4 + 20 + 4 * DIMS + 2  # an Add record of DIMS floats without payload or sparse vector


def hundred_record_log(svdb, data):
    client = svdb.Client(data)
    col = client.create_collection("c", DIMS, "l2", "flat")
    for i in range(100):
        col.upsert(i, [float(i)] * DIMS)
    del col, client
    gc.collect()
    path = os.path.join(data, "c", "wal.log")
    assert os.path.getsize(path) == 100 * RECORD
    return path


@pytest.mark.parametrize("record", [0, 50])
def test_a_damaged_length_keeps_every_later_byte(svdb, data, record):
    wal = hundred_record_log(svdb, data)
    with open(wal, "r+b") as f:
        f.seek(record * RECORD)
        f.write(b"\xff\xff\xff\xff")
    with open(wal, "rb") as f:
        damaged = f.read()

    client = svdb.Client(data)
    col = client.get_collection("c")
    assert col.count == record  # the replay stops at the damaged length
    kept = os.path.join(data, "c", f"wal.log.damaged-{record * RECORD}")
    with open(kept, "rb") as f:
        assert f.read() == damaged
    with open(wal, "rb") as f:
        assert f.read() == damaged[:record * RECORD]
    col.upsert(500, [5.0] * DIMS)
    del col, client
    gc.collect()
    assert svdb.Client(data).get_collection("c").count == record + 1
    with open(kept, "rb") as f:
        assert f.read() == damaged


def test_a_log_linked_to_a_text_file_leaves_the_file_alone(svdb, data, tmp_path):
    svdb.Client(data).create_collection("c", DIMS, "l2", "flat")
    gc.collect()
    text = tmp_path / "notes.txt"
    text.write_text("not a log, and it stays as it is\n")
    wal = os.path.join(data, "c", "wal.log")
    os.remove(wal)
    os.symlink(text, wal)

    client = svdb.Client(data)
    col = client.get_collection("c")
    assert col.count == 0
    col.upsert(1, [1.0] * DIMS)
    del col, client
    gc.collect()
    assert text.read_text() == "not a log, and it stays as it is\n"
    assert not os.path.islink(wal)
    assert os.readlink(os.path.join(data, "c", "wal.log.damaged-0")) == str(text)
    assert svdb.Client(data).get_collection("c").count == 1


def ten_record_log(svdb, data, hybrid=False, count=10, threshold=50000):
    """A flat collection "c" of `count` upserts with payloads (and sparse vectors when `hybrid`),
    compacting at `threshold` records; returns the path of its log and each record's (offset,
    length)."""
    svdb.Client(data).create_collection("c", DIMS, "l2", "flat")
    gc.collect()
    set_compact_threshold(data, "c", threshold)
    client = svdb.Client(data)
    col = client.get_collection("c")
    for i in range(count):
        if hybrid:
            col.upsert_hybrid(i, [float(i)] * DIMS, {i: 1.0}, {"i": i})
        else:
            col.upsert(i, [float(i)] * DIMS, {"i": i})
    del col, client
    gc.collect()
    wal = os.path.join(data, "c", "wal.log")
    with open(wal, "rb") as f:
        log = f.read()
    records, at = [], 0
    while at < len(log):
        length = int.from_bytes(log[at:at + 4], "little")
        records.append((at, length))
        at += 4 + length
    return wal, records



def damaged_copies(data):
    d = os.path.join(data, "c")
    return {name: open(os.path.join(d, name), "rb").read()
            for name in os.listdir(d) if name.startswith("wal.log.damaged-")}


# A length field set to each of these, given the record's own length, the records and the file
# size: nothing, too short for a variant, one byte more or less, the record and the next two, past
# the end of the file.
LENGTHS = {
    "0": lambda length, records, i, size: 0,
    "3": lambda length, records, i, size: 3,
    "one more": lambda length, records, i, size: length + 1,
    "one less": lambda length, records, i, size: length - 1,
    "covering the next records":
        lambda length, records, i, size: sum(4 + n for _, n in records[i:i + 3]) - 4,
    "past the end": lambda length, records, i, size: size,
}


@pytest.mark.parametrize("value", LENGTHS)
def test_a_damaged_length_is_read_past_or_kept_whole(svdb, tmp_path, value):
    for i in range(10):
        data = str(tmp_path / f"{i}")
        wal, records = ten_record_log(svdb, data)
        at, length = records[i]
        with open(wal, "r+b") as f:
            f.seek(at)
            f.write(LENGTHS[value](length, records, i, os.path.getsize(wal)).to_bytes(4, "little"))
        with open(wal, "rb") as f:
            damaged = f.read()
        set_compact_threshold(data, "c", 1)  # the next write compacts
        client = svdb.Client(data)
        col = client.get_collection("c")
        applied = col.count == 10 and all(
            col.search([float(j)] * DIMS, 1)[0]["payload"] == {"i": j} for j in range(10))
        # Every record applied, or the log as it was kept whole beside the new one.
        assert applied or damaged in damaged_copies(data).values(), (i, value)
        live = state(col)
        col.upsert(99, [0.5] * DIMS)
        live_after = state(col)
        assert live_after[0] == live[0] + 1, (i, value)
        del col, client
        gc.collect()
        if not applied:
            assert damaged in damaged_copies(data).values(), (i, value)
        # What the live collection served is what a restart finds.
        assert state(svdb.Client(data).get_collection("c")) == live_after, (i, value)
        gc.collect()


@pytest.mark.parametrize("cut", [1, 3, 4, 10, -1])
def test_a_torn_last_record_is_cut_clean(svdb, data, cut):
    wal, records = ten_record_log(svdb, data)
    at, length = records[-1]
    end = at + cut if cut > 0 else at + 4 + length + cut
    with open(wal, "r+b") as f:
        f.truncate(end)
    client = svdb.Client(data)
    col = client.get_collection("c")
    assert col.count == 9
    assert damaged_copies(data) == {}
    assert os.path.getsize(wal) == at
    col.upsert(9, [9.0] * DIMS, {"i": 9})
    del col, client
    gc.collect()
    assert svdb.Client(data).get_collection("c").count == 10


def test_sparse_vectors_of_records_the_replay_lost_are_dropped(svdb, data):
    # The compaction at record 20 writes "sparse.bin" with 20 sparse vectors; the log then holds
    # those 20 records and 5 more, of which the damage leaves the first 5.
    wal, records = ten_record_log(svdb, data, hybrid=True, count=25, threshold=20)
    with open(wal, "r+b") as f:
        f.seek(records[5][0])
        f.write(b"\xff\xff\xff\xff")
    for _ in range(2):
        client = svdb.Client(data)
        col = client.get_collection("c")
        assert (col.count, col.sparse_count) == (5, 5)
        hits = col.search_hybrid([0.0] * DIMS, {i: 1.0 for i in range(25)}, 25)
        assert sorted(h["id"] for h in hits) == list(range(5))
        set_compact_threshold(data, "c", 1)
        col.upsert(1, [1.0] * DIMS, {"i": 1})  # compacts
        del col, client
        gc.collect()
