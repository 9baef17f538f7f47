#!/usr/bin/python3
"""Loading a large collection as a user would: upsert_batch in chunks of 50,000 Gaussian rows of
128 dimensions into a fresh collection with the default settings (wal_compact_threshold 50,000;
HNSW 200 / 50 / 12), each slice's time printed.

  flat   2,000,000 rows, then the same ingest with the compaction threshold out of reach
         (goal: at most 3x that)
  hnsw   1,000,000 rows, beside hnswlib's add_items of the same rows with the same m and
         ef_construction on --threads threads (goal: at most 1.25x hnswlib), then the same
         ingest with the compaction threshold out of reach

For each ingest also the bytes the process wrote meanwhile (/proc/self/io wchar) against the files
the collection directory holds afterwards (goal: at most 5x).

Usage: /usr/bin/python3 bench/ingest_bench.py [--build build] [--only flat|hnsw]
       [--flat-rows 2000000] [--hnsw-rows 1000000] [--threads 8]
Build the peer first (bench/build_hnswlib_native.sh).
"""

import argparse
import gc
import json
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402  (after the thread setting)

from bench_env import bench_lock, peer_dir  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
DIMS = 128
CHUNK = 50_000
M, EF_CONSTRUCTION = 12, 200


def cpu():
    """Seconds of processor time of this process, every thread included."""
    t = os.times()
    return t.user + t.system


def written():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("wchar:")).split()[1])


def files_bytes(directory):
    return sum(p.stat().st_size for p in Path(directory).iterdir() if p.is_file())


def ingest(svdb, data, index_type, rows, slices, threshold=None):
    """Loads `rows` into a new collection; returns (total seconds, seconds per slice, processor
    seconds, bytes written, bytes of the files left)."""
    shutil.rmtree(data, ignore_errors=True)
    svdb.Client(data).create_collection("c", DIMS, "l2", index_type)
    gc.collect()
    if threshold is not None:
        meta_path = os.path.join(data, "c", "meta.json")
        with open(meta_path) as f:
            meta = json.load(f)
        meta["wal_compact_threshold"] = threshold
        with open(meta_path, "w") as f:
            json.dump(meta, f)
    client = svdb.Client(data)
    col = client.get_collection("c")
    n = len(rows)
    slice_rows = n // slices
    times = []
    start_bytes = written()
    start_cpu = cpu()
    start = slice_start = time.perf_counter()
    for at in range(0, n, CHUNK):
        col.upsert_batch([(i, rows[i]) for i in range(at, min(n, at + CHUNK))])
        if (at + CHUNK) % slice_rows == 0 or at + CHUNK >= n:
            now = time.perf_counter()
            times.append(now - slice_start)
            slice_start = now
    total = time.perf_counter() - start
    used = cpu() - start_cpu
    assert col.count == n
    del col, client
    gc.collect()
    wrote = written() - start_bytes
    return total, times, used, wrote, files_bytes(os.path.join(data, "c"))


def report(label, result):
    total, times, used, wrote, left = result
    slices = " ".join(f"{t:6.2f}" for t in times)
    print(f"{label:28s} {total:7.2f} s (cpu {used:7.1f} s)   slices: {slices}   wrote "
          f"{wrote / 2**20:6.0f} MiB, files {left / 2**20:5.0f} MiB ({wrote / left:.2f}x)",
          flush=True)
    return total, used


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("SORVEL_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--peer-path", default=str(peer_dir("hnswlib-native")))
    parser.add_argument("--only", choices=["flat", "hnsw"])
    parser.add_argument("--flat-rows", type=int, default=2_000_000)
    parser.add_argument("--hnsw-rows", type=int, default=1_000_000)
    parser.add_argument("--threads", type=int, default=8)
    args = parser.parse_args()
    sys.path.insert(0, str(Path(args.build) / "python"))
    import sorvel_vector_db as svdb
    print(f"ours: {svdb.__file__}")

    rng = np.random.default_rng(28)
    work = tempfile.mkdtemp(prefix="ingest-bench-")
    try:
        with bench_lock():
            if args.only in (None, "flat"):
                rows = rng.standard_normal((args.flat_rows, DIMS), dtype=np.float32)
                print(f"flat, {args.flat_rows} x {DIMS}, chunks of {CHUNK}, slices of "
                      f"{args.flat_rows // 4}")
                ours, _ = report("default threshold", ingest(svdb, work + "/f", "flat", rows, 4))
                bare, _ = report("compaction out of reach",
                                 ingest(svdb, work + "/f", "flat", rows, 4, threshold=2**62))
                print(f"ratio default / out of reach: {ours / bare:.2f}x (goal <= 3x)")
                del rows
                shutil.rmtree(work + "/f", ignore_errors=True)
            if args.only in (None, "hnsw"):
                sys.path.insert(0, args.peer_path)
                import hnswlib_native
                print(f"peer: {hnswlib_native.__file__}")
                rows = rng.standard_normal((args.hnsw_rows, DIMS), dtype=np.float32)
                print(f"hnsw, {args.hnsw_rows} x {DIMS}, m {M}, ef_construction "
                      f"{EF_CONSTRUCTION}, chunks of {CHUNK}, slices of {args.hnsw_rows // 4}")
                ours, ours_cpu = report("default threshold",
                                        ingest(svdb, work + "/h", "hnsw", rows, 4))
                shutil.rmtree(work + "/h", ignore_errors=True)
                peer = hnswlib_native.Index("l2", DIMS)
                peer.init_index(args.hnsw_rows, M, EF_CONSTRUCTION, 100)
                start, start_cpu = time.perf_counter(), cpu()
                peer.add_items(rows, args.threads)
                peer_time, peer_cpu = time.perf_counter() - start, cpu() - start_cpu
                del peer
                print(f"{'hnswlib add_items':28s} {peer_time:7.2f} s (cpu {peer_cpu:7.1f} s, "
                      f"{args.threads} threads)")
                bare, bare_cpu = report("compaction out of reach",
                                        ingest(svdb, work + "/h", "hnsw", rows, 4, threshold=2**62))
                print(f"ours / hnswlib: {ours / peer_time:.2f}x (cpu {ours_cpu / peer_cpu:.2f}x; "
                      f"goal <= 1.25x); out of reach / hnswlib: {bare / peer_time:.2f}x "
                      f"(cpu {bare_cpu / peer_cpu:.2f}x)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
