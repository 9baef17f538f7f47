#!/usr/bin/python3
"""IvfIndex / IvfPqIndex against faiss IndexIVFFlat / IndexIVFPQ, side by side in one run.

Both sides get the same data, the same number of lists, the same k-means iteration count (25) and
the same training set (the first `train` rows of the data). Measured per side: training time (our
flush of a buffered training set; faiss `train`), add throughput (ours: the rows after the training
set, filed after the flush; faiss: every row, after `train`), and single-query search (one query
per Python call, k = 10): queries per second and recall@10 against exact ground truth, over an
nprobe sweep. Each side runs in a child process of its own so the two BLAS / OpenMP thread pools
never meet; the children load the same data files.

Usage: /usr/bin/python3 bench/ivf_bench.py [--n 100000] [--sets random,clustered] [--kinds flat,pq]
       [--build build-ivf] [--faiss-threads one|default]
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
D = 128
K = 10
NPROBES = [1, 4, 16, 64]
PQ_M = 16
# Byte offset of nprobe in both index files (after dimensions u64 and metric u32, then n_lists).
NPROBE_OFFSET = 20


def make_set(kind, n, nq, seed):
    rng = np.random.default_rng(seed)
    if kind == "random":
        data = rng.standard_normal((n + nq, D), dtype=np.float32)
    else:
        # A Gaussian mixture whose within-cluster spread decays over the dimensions, as real
        # embeddings do.
        centres = rng.standard_normal((1000, D), dtype=np.float32)
        spectrum = (2.5 * (1.0 + np.arange(D)) ** -0.25).astype(np.float32)
        labels = rng.integers(0, len(centres), n + nq)
        data = centres[labels] + rng.standard_normal((n + nq, D), dtype=np.float32) * spectrum
        data = data.astype(np.float32)
    return np.ascontiguousarray(data[:n]), np.ascontiguousarray(data[n:])


def ground_truth(data, queries, k):
    """Exact k nearest by L2: candidates from a BLAS pass in f32, re-ranked in f64."""
    norms = (data.astype(np.float64) ** 2).sum(axis=1).astype(np.float32)
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), 100):
        q = queries[start:start + 100]
        d2 = norms[None, :] - 2.0 * (q @ data.T)
        cand = np.argpartition(d2, 100, axis=1)[:, :100]
        for i, row in enumerate(cand):
            exact = ((data[row].astype(np.float64) - q[i].astype(np.float64)) ** 2).sum(axis=1)
            out[start + i] = row[np.argsort(exact, kind="stable")[:k]]
    return out


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)]))


def openblas_threads():
    """The thread count of the OpenBLAS this process loaded (ours links libopenblas.so.0)."""
    import ctypes
    try:
        return ctypes.CDLL("libopenblas.so.0").openblas_get_num_threads()
    except (OSError, AttributeError):
        return None


def run_ours(args, data, train_rows, queries, truth):
    sys.path.insert(0, str(Path(args.build) / "python"))
    import sorvel_vector_db as svdb

    results = {"blas_threads": openblas_threads()}
    n_lists = args.n_lists
    for kind in args.kinds:
        if kind == "flat":
            idx = svdb.IvfIndex(D, "l2", n_lists=n_lists, nprobe=1, train_size=2**62)
        else:
            idx = svdb.IvfPqIndex(D, "l2", n_lists=n_lists, nprobe=1, train_size=2**62, pq_m=PQ_M,
                                  pq_k_sub=256)
        t0 = time.perf_counter()
        idx.add_batch_np(data[:train_rows])
        buffer_s = time.perf_counter() - t0
        tasks_before = len(os.listdir("/proc/self/task"))
        t0 = time.perf_counter()
        idx.flush()
        train_s = time.perf_counter() - t0
        tasks_after = len(os.listdir("/proc/self/task"))
        t0 = time.perf_counter()
        idx.add_batch_np(data[train_rows:], start_id=train_rows)
        add_s = time.perf_counter() - t0
        added = len(data) - train_rows
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "index.bin")
            idx.save(path)
            del idx
            raw = bytearray(Path(path).read_bytes())
            sweep = []
            for nprobe in NPROBES:
                raw[NPROBE_OFFSET:NPROBE_OFFSET + 8] = struct.pack("<Q", nprobe)
                Path(path).write_bytes(raw)
                probe_idx = (svdb.IvfIndex if kind == "flat" else svdb.IvfPqIndex).load(path)
                for q in queries[:20]:
                    probe_idx.search(q, K)
                found = []
                t0 = time.perf_counter()
                for q in queries:
                    found.append([h["id"] for h in probe_idx.search(q, K)])
                elapsed = time.perf_counter() - t0
                sweep.append({"nprobe": nprobe, "qps": len(queries) / elapsed,
                              "recall": recall(found, truth)})
                del probe_idx
        results[kind] = {"buffer_s": buffer_s, "train_s": train_s,
                         "tasks": [tasks_before, tasks_after],
                         "add_per_s": added / add_s, "add_s": add_s, "sweep": sweep}
    return results


def run_faiss(args, data, train_rows, queries, truth):
    import faiss

    results = {}
    for kind in args.kinds:
        quantizer = faiss.IndexFlatL2(D)
        if kind == "flat":
            index = faiss.IndexIVFFlat(quantizer, D, args.n_lists)
        else:
            index = faiss.IndexIVFPQ(quantizer, D, args.n_lists, PQ_M, 8)
            index.pq.cp.niter = 25
        index.cp.niter = 25
        t0 = time.perf_counter()
        index.train(data[:train_rows])
        train_s = time.perf_counter() - t0
        t0 = time.perf_counter()
        index.add(data)
        add_s = time.perf_counter() - t0
        sweep = []
        for nprobe in NPROBES:
            index.nprobe = nprobe
            for q in queries[:20]:
                index.search(q.reshape(1, -1), K)
            found = []
            t0 = time.perf_counter()
            for q in queries:
                _, ids = index.search(q.reshape(1, -1), K)
                found.append(ids[0].tolist())
            elapsed = time.perf_counter() - t0
            sweep.append({"nprobe": nprobe, "qps": len(queries) / elapsed,
                          "recall": recall(found, truth)})
        results[kind] = {"train_s": train_s, "add_per_s": len(data) / add_s, "add_s": add_s,
                         "sweep": sweep}
        del index
    return results


def child(args):
    data = np.load(args.data, mmap_mode=None)
    queries = np.load(args.queries)
    truth = np.load(args.truth)
    runner = run_ours if args.side == "ours" else run_faiss
    print(json.dumps(runner(args, data, args.train, queries, truth)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--nq", type=int, default=1000)
    parser.add_argument("--train", type=int, default=65_536)
    parser.add_argument("--n-lists", type=int, default=1024)
    parser.add_argument("--sets", default="random,clustered")
    parser.add_argument("--kinds", default="flat,pq")
    parser.add_argument("--build", default=str(REPO / "build-ivf"))
    parser.add_argument("--faiss-threads", choices=["one", "default"], default="one")
    parser.add_argument("--side")
    parser.add_argument("--data")
    parser.add_argument("--queries")
    parser.add_argument("--truth")
    args = parser.parse_args()
    args.kinds = args.kinds.split(",")
    if args.side:
        child(args)
        return

    with tempfile.TemporaryDirectory() as tmp:
        for set_kind in args.sets.split(","):
            data, queries = make_set(set_kind, args.n, args.nq, seed=7)
            truth = ground_truth(data, queries, K)
            files = {}
            for name, array in (("data", data), ("queries", queries), ("truth", truth)):
                files[name] = os.path.join(tmp, f"{name}.npy")
                np.save(files[name], array)
            out = {}
            for side in ("ours", "faiss"):
                env = dict(os.environ)
                if side == "faiss" and args.faiss_threads == "one":
                    # faiss parallelises with OpenMP and calls BLAS from inside its parallel
                    # regions; next to Debian's pthread OpenBLAS it is fastest (by 5-50x here)
                    # with single-threaded BLAS calls and OpenMP workers that sleep when idle.
                    env["OPENBLAS_NUM_THREADS"] = "1"
                    env["OMP_WAIT_POLICY"] = "PASSIVE"
                cmd = [sys.executable, __file__, "--side", side, "--data", files["data"],
                       "--queries", files["queries"], "--truth", files["truth"],
                       "--train", str(min(args.train, args.n)), "--n-lists", str(args.n_lists),
                       "--kinds", ",".join(args.kinds), "--build", args.build]
                done = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
                out[side] = json.loads(done.stdout.strip().splitlines()[-1])
            report(set_kind, args, out)


def report(set_kind, args, out):
    print(f"\n== {set_kind} {args.n} x {D}, n_lists {args.n_lists}, train {min(args.train, args.n)}"
          f", 25 iterations, k {K}, {args.nq} single queries, faiss threads {args.faiss_threads}")
    print(f"   ours: OpenBLAS threads {out['ours']['blas_threads']}, process threads before/after"
          f" flush " + ", ".join(f"{kind} {out['ours'][kind]['tasks']}" for kind in args.kinds))
    for kind in args.kinds:
        ours, peer = out["ours"][kind], out["faiss"][kind]
        label = ("IvfIndex vs IndexIVFFlat" if kind == "flat"
                 else f"IvfPqIndex vs IndexIVFPQ (m {PQ_M}, 8 bits)")
        print(f"-- {label}")
        print(f"   train s      ours {ours['train_s']:8.3f}  faiss {peer['train_s']:8.3f}  "
              f"ratio {ours['train_s'] / peer['train_s']:5.2f}   "
              f"(ours buffering {ours['buffer_s']:.3f} s)")
        print(f"   add vec/s    ours {ours['add_per_s']:8.0f}  faiss {peer['add_per_s']:8.0f}  "
              f"ratio(time) {peer['add_per_s'] / ours['add_per_s']:5.2f}")
        print("   nprobe   ours QPS  faiss QPS  QPS ratio   ours recall  faiss recall")
        for a, b in zip(ours["sweep"], peer["sweep"]):
            print(f"   {a['nprobe']:6d}  {a['qps']:9.0f}  {b['qps']:9.0f}  "
                  f"{a['qps'] / b['qps']:9.2f}   {a['recall']:11.3f}  {b['recall']:12.3f}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
