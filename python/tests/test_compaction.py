"""Log compaction as a user's load meets it: the bytes an ingest writes against the files it leaves,
and a compaction that fails after its rename, with errors injected by strace from each system call
after the rename on, each followed by a restart that must serve what the live collection served."""

import gc
import json
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import BUILD_DIR, SANITIZER, SANITIZER_ENV, run_child, set_compact_threshold

DIMS = 4



def files_bytes(directory):
    return sum(os.path.getsize(os.path.join(directory, f)) for f in os.listdir(directory)
               if os.path.isfile(os.path.join(directory, f)))


# ---- write amplification of an ingest ----

INGEST = r"""
import sys
import numpy as np
import sorvel_vector_db as svdb
data, index_type, rows, chunk, threshold = sys.argv[1:6]
rows, chunk = int(rows), int(chunk)

def written():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("wchar:")).split()[1])

client = svdb.Client(data)
col = client.create_collection("c", 16, "l2", index_type)
del col, client
import json, os
meta_path = os.path.join(data, "c", "meta.json")
meta = json.load(open(meta_path))
meta["wal_compact_threshold"] = int(threshold)
json.dump(meta, open(meta_path, "w"))
vectors = np.random.default_rng(7).standard_normal((rows, 16), dtype=np.float32)
client = svdb.Client(data)
col = client.get_collection("c")
start = written()
for at in range(0, rows, chunk):
    col.upsert_batch([(i, vectors[i]) for i in range(at, min(rows, at + chunk))])
del col, client
print(written() - start)
"""


@pytest.mark.parametrize("index_type", ["flat", "hnsw"])
def test_an_ingest_writes_a_small_multiple_of_the_files_it_leaves(tmp_path, index_type):
    # 20,000 rows with the threshold 500: compacting every 500 records would write about 20 times
    # the final log; the graph saves of an HNSW collection come with the compactions.
    data = str(tmp_path / "data")
    done = subprocess.run([sys.executable, "-c", INGEST, data, index_type, "20000", "500", "500"],
                          env=dict(os.environ, **SANITIZER_ENV,
                                   PYTHONPATH=str(BUILD_DIR / "python")),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    written = int(done.stdout)
    left = files_bytes(os.path.join(data, "c"))
    assert written <= 4 * left, (written, left)


# ---- a compaction that fails after its rename ----

def strace_usable():
    if shutil.which("strace") is None:
        return False
    return subprocess.run(["strace", "-f", "-o", "/dev/null", "true"],
                          capture_output=True).returncode == 0


needs_strace = pytest.mark.skipif(not strace_usable(), reason="strace cannot trace here")

START_MARK = "compaction-table-start"
END_MARK = "compaction-table-end"
REPORT_BYTES = 1 << 16

# Opens the collection, then eight upserts with the threshold 3 (the third compacts), each allowed
# to fail with the error the compaction reports; what the collection then serves goes into a shared mapping of the report file, which
# needs no system call that an injection could make fail.
FAILING_WRITES = r"""
import json, mmap, os, sys
import sorvel_vector_db as svdb
data, report, start, end = sys.argv[1:5]
with open(report, "r+b") as f:
    out = mmap.mmap(f.fileno(), 0)
client = svdb.Client(data)
col = client.get_collection("c")
os.path.exists(start)
errors = []
for i in range(8):
    try:
        col.upsert(i, [float(i), 1.0, float(i % 3), 2.0], {"i": i})
    except Exception:  # OSError, or the graph save's serialization error
        errors.append(i)
os.path.exists(end)
n = col.count
served = [[(h["id"], h["distance"], h.get("payload")) for h in col.search(q, n + 1)]
          for q in ([0.0] * 4, [7.0, 1.0, 1.0, 2.0])]
text = json.dumps({"count": n, "served": served, "errors": errors}).encode()
out[:len(text)] = text
"""

# Calls a compaction and the writes after it make on the files; the rest (memory, threads, the
# interpreter's own) would fail the interpreter, not the store.
FILE_CALLS = {"openat", "open", "close", "fsync", "fdatasync", "fstat", "newfstatat", "statx",
              "lseek", "read", "pread64", "write", "pwrite64", "ftruncate", "fallocate", "rename",
              "renameat", "renameat2", "unlink", "unlinkat", "getdents64"}
# AddressSanitizer probes memory with writes into a pipe and takes any error but EFAULT for its own
# fault, so under it the table leaves write out.
if SANITIZER:
    FILE_CALLS.discard("write")


def run_traced(data, report, strace_args):
    with open(report, "wb") as f:
        f.write(b"\0" * REPORT_BYTES)
    child_env = dict(SANITIZER_ENV, PYTHONPATH=str(BUILD_DIR / "python"),
                     PYTHONDONTWRITEBYTECODE="1")
    settings = [arg for name, value in child_env.items() for arg in ("-E", f"{name}={value}")]
    marks = [os.path.join(data, START_MARK), os.path.join(data, END_MARK)]
    return subprocess.run(["strace", "-f", *settings, *strace_args, sys.executable, "-c",
                           FAILING_WRITES, data, report, *marks],
                          env={"PATH": os.environ.get("PATH", "")}, capture_output=True,
                          text=True, timeout=60)


def read_report(report):
    with open(report, "rb") as f:
        return json.loads(f.read().rstrip(b"\0"))


def calls_after_rename(log):
    """{call: its number at its first use after the compaction's rename of "wal.log.tmp"} for
    every file call made from there to the end of the writes."""
    counts, first, renamed = {}, {}, False
    with open(log) as f:
        for line in f:
            m = re.match(r"\d+\s+(\w+)\(", line)
            if not m:
                continue
            call = m.group(1)
            if END_MARK in line:
                break
            counts[call] = counts.get(call, 0) + 1
            if renamed and call in FILE_CALLS and call not in first:
                first[call] = counts[call]
            if call.startswith("rename") and "wal.log.tmp" in line:
                renamed = True
    assert renamed, "the writes never compacted"
    return first


@pytest.fixture(scope="module")
def collections(tmp_path_factory, svdb):
    """A data directory per index type holding an empty collection "c" with the threshold 3."""
    made = {}
    for index_type in ("flat", "hnsw"):
        data = str(tmp_path_factory.mktemp(index_type) / "data")
        svdb.Client(data).create_collection("c", DIMS, "l2", index_type)
        gc.collect()
        set_compact_threshold(data, "c", 3)
        made[index_type] = data
    return made


@needs_strace
@pytest.mark.parametrize("index_type", ["flat", "hnsw"])
def test_a_compaction_failing_after_its_rename_keeps_memory_and_disk_in_step(
        svdb, collections, tmp_path, index_type):
    template = collections[index_type]
    traced = str(tmp_path / "traced")
    shutil.copytree(template, traced)
    log = str(tmp_path / "trace.log")
    report = str(tmp_path / "report")
    done = run_traced(traced, report, ["-o", log, "-qq", "-e", "signal=none"])
    assert done.returncode == 0, done.stderr
    assert read_report(report)["errors"] == []
    points = calls_after_rename(log)
    assert {"fsync", "openat"} <= points.keys()

    failed_somewhere = False
    for call, n in sorted(points.items()):
        for errno_name in ["EIO"] + (["EMFILE"] if call in ("openat", "open") else []):
            point = f"{call}:error={errno_name}:when={n}+"
            data = str(tmp_path / f"{call}-{errno_name}")
            shutil.copytree(template, data)
            done = run_traced(data, report, ["-o", "/dev/null", "-e", f"inject={point}"])
            assert done.returncode == 0, (point, done.stderr)
            live = read_report(report)
            failed_somewhere |= bool(live["errors"])
            client = svdb.Client(data)
            col = client.get_collection("c")
            n_live = col.count
            served = [[[h["id"], h["distance"], h.get("payload")] for h in col.search(q, n_live + 1)]
                      for q in ([0.0] * 4, [7.0, 1.0, 1.0, 2.0])]
            assert (n_live, served) == (live["count"], live["served"]), point
            # The collection goes on: a later write reaches the log the next opening reads.
            col.upsert(100, [1.0] * DIMS)
            del col, client
            gc.collect()
            assert svdb.Client(data).get_collection("c").count == live["count"] + 1, point
            gc.collect()
            shutil.rmtree(data)
    assert failed_somewhere


# ---- the log of short sessions ----

def test_sessions_shorter_than_the_threshold_keep_the_log_bounded(svdb, data):
    client = svdb.Client(data)
    col = client.create_collection("c", DIMS, "l2", "hnsw")
    del col, client
    gc.collect()
    set_compact_threshold(data, "c", 100)
    live = 300
    client = svdb.Client(data)
    client.get_collection("c").upsert_batch([(i, [float(i), 0.0, 1.0, 2.0]) for i in range(live)])
    del client
    gc.collect()
    record = 4 + 20 + 4 * DIMS + 2
    wal = os.path.join(data, "c", "wal.log")
    largest = 0
    for session in range(1, 13):
        code = f"""
            import sorvel_vector_db as svdb
            col = svdb.Client({data!r}).get_collection("c")
            col.upsert_batch([((i * 7) % {live}, [float(i), {session}.0, 1.0, 2.0])
                              for i in range({session} * 90, {session} * 90 + 90)])
        """
        done = run_child(code)
        assert done.returncode == 0, done.stderr
        largest = max(largest, os.path.getsize(wal) // record)
    assert largest <= 2 * live + 100
    assert svdb.Client(data).get_collection("c").count == live
