"""FlatIndex from Python against its peers, side by side in one run.

  single-query search, k = 10, over 100,000 x 128 float32 (L2), one query per Python call:
      ours (FlatIndex.search) vs numpy brute force, both the BLAS form (norms - 2 x.q by sgemv,
      argpartition) and the direct form (sum of squared differences, argpartition), vs faiss
      IndexFlatL2
  bulk insert of 1,000,000 x 128 float32: ours (FlatIndex.add_batch_np) vs faiss IndexFlatL2.add

Every side runs on one thread (BLAS and OpenMP pinned to 1), so the figures compare scans, not
thread pools. Ratios are ours / peer in time: below 1 means we are faster.

Run with Debian's interpreter:  /usr/bin/python3 bench/python_flat_bench.py [--build DIR]
Debian's python3-faiss is a generic build (no AVX2 code), so it is a weak peer for scans; the
figures of a wide build are in the project's performance notes.
"""

import argparse
import os
import sys
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

REPO = Path(__file__).resolve().parents[1]


def best_of(repeats, fn):
    """The fastest of `repeats` timed runs of fn(), in seconds."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def per_query(search, queries):
    def run():
        for q in queries:
            search(q)
    return run


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("SORVEL_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--dims", type=int, default=128)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--insert-rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    sys.path.insert(0, str(Path(args.build) / "python"))
    import faiss
    import sorvel_vector_db as svdb

    faiss.omp_set_num_threads(1)
    rng = np.random.default_rng(42)
    data = rng.standard_normal((args.rows, args.dims), dtype=np.float32)
    queries = rng.standard_normal((args.queries, args.dims), dtype=np.float32)
    k = 10

    ours = svdb.FlatIndex(args.dims, "l2")
    ours.add_batch_np(data)
    peer = faiss.IndexFlatL2(args.dims)
    peer.add(data)
    norms = (data * data).sum(axis=1)

    def numpy_search(q):
        d = norms - 2.0 * (data @ q)
        top = np.argpartition(d, k)[:k]
        return top[np.argsort(d[top])]

    def numpy_direct_search(q):
        d = ((data - q) ** 2).sum(axis=1)
        top = np.argpartition(d, k)[:k]
        return top[np.argsort(d[top])]

    # The three agree on the neighbours (ties aside) before anything is timed.
    for q in queries[:5]:
        mine = [h["id"] for h in ours.search(q, k)]
        _, theirs = peer.search(q[None, :], k)
        assert mine == theirs[0].tolist() == numpy_search(q).tolist(), "results differ"

    sides = {
        "ours": per_query(lambda q: ours.search(q, k), queries),
        "numpy": per_query(numpy_search, queries),
        "numpy-direct": per_query(numpy_direct_search, queries[: max(1, len(queries) // 4)]),
        "faiss": per_query(lambda q: peer.search(q[None, :], k), queries),
    }
    counts = {name: len(queries) for name in sides}
    counts["numpy-direct"] = max(1, len(queries) // 4)
    times = {name: best_of(args.repeats, fn) / counts[name] for name, fn in sides.items()}
    print(f"single-query search, k={k}, {args.rows} x {args.dims} float32, L2, one thread")
    for name, t in times.items():
        print(f"  {name:12s} {t * 1e3:8.3f} ms/query  {1 / t:8.1f} QPS")
    for peer_name in ("faiss", "numpy", "numpy-direct"):
        print(f"  ratio ours/{peer_name} {times['ours'] / times[peer_name]:.3f}   "
              f"(speed-up {times[peer_name] / times['ours']:.2f}x)")

    big = rng.standard_normal((args.insert_rows, args.dims), dtype=np.float32)

    def insert_ours():
        svdb.FlatIndex(args.dims, "l2").add_batch_np(big)

    def insert_faiss():
        faiss.IndexFlatL2(args.dims).add(big)

    repeats = max(1, args.repeats // 2)
    t_ours = best_of(repeats, insert_ours)
    t_faiss = best_of(repeats, insert_faiss)
    print(f"bulk insert of {args.insert_rows} x {args.dims} float32")
    print(f"  ours   {t_ours * 1e3:8.1f} ms   faiss {t_faiss * 1e3:8.1f} ms   "
          f"ratio ours/faiss {t_ours / t_faiss:.3f}")


if __name__ == "__main__":
    main()
