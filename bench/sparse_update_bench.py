#!/usr/bin/python3
"""Sparse updates and the reopening that replays them, at 25k to 400k documents, for two builds
side by side in one run (default: this tree's build against /work/main/build, "before").

Two corpora of N documents, each a 2-d dense vector and a sparse vector (flat collections):

  common  term 0 in every document plus 20 distinct random terms of a 1M vocabulary
  zipf    about 81 distinct terms a document, drawn from a Zipf law (s = 1) over 100k terms

Each document is written with upsert_hybrid into a collection whose wal_compact_threshold is N, so
the load ends in a compaction ("sparse.bin" plus a rewritten log of N records). Then 1,000 updates
(upsert_hybrid of an existing id with a new sparse vector) of the ids at the front of term 0's list
(the first written), 1,000 at its end (the last written) and 1,000 random ones, each set timed as a
whole; then the reopening of the data directory (Client(path)), which reads "sparse.bin" and
replays the compacted log on top of it. Also the growth of the heap over the load (mallinfo2:
the index, the payload-free flat rows and the log buffer; numpy's arrays are freed by then).

Goal: update cost and reopen time per document flat from 25k to 400k within 1.5x.

Usage: /usr/bin/python3 bench/sparse_update_bench.py [--after build] [--before /work/main/build]
       [--sizes 25000,50000,100000,200000,400000] [--before-max common=400000,zipf=100000]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from bench_env import bench_lock

REPO = Path(__file__).resolve().parents[1]
UPDATES = 1000

# One measurement in a fresh interpreter, so each build's module is imported alone.
WORKER = r"""
import gc, json, sys, time
from pathlib import Path
sys.path.insert(0, sys.argv[1])
import numpy as np
import sorvel_vector_db as svdb
case, n, data_dir, updates = sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
rng = np.random.default_rng(1234 + n)

if case == "common":
    def draw(count):
        terms = rng.integers(1, 1_000_000, size=(count, 24), dtype=np.int64)
        out = []
        for row in terms:
            uniq = np.unique(row)[:20]
            out.append([0] + uniq.tolist())
        return out
else:
    ranks = np.arange(1, 100_001, dtype=np.float64)
    p = 1.0 / ranks
    p /= p.sum()
    def draw(count):
        terms = rng.choice(100_000, size=(count, 200), p=p)
        return [np.unique(row)[:81].tolist() for row in terms]

def sparse_of(terms):
    return {t: float(1 + (t % 7)) for t in terms}

import ctypes

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]

libc = ctypes.CDLL("libc.so.6")
libc.mallinfo2.restype = MallInfo2

def heap_bytes():
    # Bytes the allocator has handed out and not taken back (mapped blocks included).
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd

client = svdb.Client(data_dir)
client.create_collection("s", 2, "l2", "flat")
del client
gc.collect()
meta = Path(data_dir) / "s" / "meta.json"
doc = json.loads(meta.read_text())
doc["wal_compact_threshold"] = n
meta.write_text(json.dumps(doc))

client = svdb.Client(data_dir)
col = client.get_collection("s")
terms_total = 0
heap0 = heap_bytes()
for start in range(0, n, 10_000):
    docs = draw(min(10_000, n - start))
    terms_total += sum(len(d) for d in docs)
    for i, d in enumerate(docs, start):
        col.upsert_hybrid(i, [float(i % 97), 1.0], sparse_of(d))
del docs
gc.collect()
heap1 = heap_bytes()
assert col.sparse_count == n

def timed_updates(ids):
    vectors = [sparse_of(d) for d in draw(len(ids))]
    t = time.perf_counter()
    for i, v in zip(ids, vectors):
        col.upsert_hybrid(int(i), [1.0, 2.0], v)
    return (time.perf_counter() - t) / len(ids)

front = timed_updates(list(range(updates)))
back = timed_updates(list(range(n - updates, n)))
rand = timed_updates(rng.integers(updates, n - updates, size=updates).tolist())
del col, client
gc.collect()
t = time.perf_counter()
client = svdb.Client(data_dir)
reopen = time.perf_counter() - t
assert client.get_collection("s").sparse_count == n
print(json.dumps({"front_us": front * 1e6, "back_us": back * 1e6, "random_us": rand * 1e6,
                  "reopen_s": reopen, "terms": terms_total / n,
                  "heap_mib": (heap1 - heap0) / 2**20}))
"""


def run(build, case, n):
    with tempfile.TemporaryDirectory(prefix="sparse-bench-") as tmp:
        out = subprocess.run(
            [sys.executable, "-c", WORKER, str(Path(build) / "python"), case, str(n),
             os.path.join(tmp, "data"), str(UPDATES)],
            capture_output=True, text=True, check=False)
    if out.returncode != 0:
        raise SystemExit(f"{build} {case} {n}: {out.stderr}")
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--after", default=str(REPO / "build"))
    parser.add_argument("--before", default="/work/main/build")
    parser.add_argument("--sizes", default="25000,50000,100000,200000,400000")
    parser.add_argument("--before-max", default="common=400000,zipf=100000",
                        help="largest N measured with the before build, per corpus")
    parser.add_argument("--cases", default="common,zipf")
    parser.add_argument("--lock", default=None, help="lock file; '' for none")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    before_max = {k: int(v) for k, v in (p.split("=") for p in args.before_max.split(","))}

    with bench_lock(args.lock):
        for case in args.cases.split(","):
            print(f"\n{case}: per update (us: front / back / random of term 0's list), reopen "
                  f"(s, and us per document), heap growth of the load (MiB)")
            print(f"{'N':>7} {'build':>6} {'terms':>5} {'front':>7} {'back':>7} {'random':>7} "
                  f"{'reopen':>8} {'/doc':>6} {'heap':>7}")
            base = {}
            for n in sizes:
                for label, build in (("before", args.before), ("after", args.after)):
                    if label == "before" and n > before_max.get(case, 0):
                        continue
                    r = run(build, case, n)
                    per_doc = r["reopen_s"] / n * 1e6
                    print(f"{n:>7} {label:>6} {r['terms']:>5.1f} {r['front_us']:>7.2f} "
                          f"{r['back_us']:>7.2f} {r['random_us']:>7.2f} {r['reopen_s']:>8.3f} "
                          f"{per_doc:>6.2f} {r['heap_mib']:>7.1f}", flush=True)
                    if label == "after":
                        base.setdefault("random", r["random_us"])
                        base.setdefault("reopen", per_doc)
                        print(f"{'':>7} {'':>6} {'':>5} {'':>7} {'':>7} "
                              f"{r['random_us'] / base['random']:>6.2f}x "
                              f"{'':>8} {per_doc / base['reopen']:>5.2f}x  (after vs after at "
                              f"{sizes[0]})", flush=True)


if __name__ == "__main__":
    main()
