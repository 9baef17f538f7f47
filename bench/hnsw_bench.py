"""HnswIndex from Python against hnswlib built for this CPU, side by side in one run.

Both sides use M = 16, ef_construction = 200 and k = 10, one query per Python call, on:
  fashion    real image vectors: Fashion-MNIST, the 60,000 x 784 training images as the base and
             queries from the 10,000 test images (Debian package dataset-fashion-mnist)
  clustered  a Gaussian mixture (200 clusters) with a decaying spectrum, randomly rotated, 100,000 x
             128 by default: shaped like real embeddings
  random     i.i.d. Gaussian (optional; the hard case where high recall is out of reach)
Exact ground truth comes from BLAS (numpy). For each set:
  build        ours add_batch_np vs hnswlib add_items(num_threads=1), and ours add_batch_parallel vs
               hnswlib add_items with --threads threads; our speed-up over our one-thread build
  reach        each stored vector searched with itself at ef 64: the share found among the first 10
               (ours for both of our builds: levels are random, so the two show the spread)
  sweep        recall@10 and QPS per ef_search; ours and the peer alternate at each point, --repeat
               times, and the best QPS of each side counts (the machine is shared)
  at recall    QPS at recall 0.95 and 0.99, interpolated (log QPS linear in recall between the two
               sweep points around the target) and at the first ef that reaches it
  threads      --threads (and half as many) Python threads searching one index against one
               thread, at the first ef where our recall reaches 0.99 (or the widest ef)
Multi-threaded figures come with the cores the process kept busy (CPU time / wall time) and the
load average: other work on the machine caps the speed-up at the cores it leaves free.
Ratios are ours / peer: for times below 1 is faster, for QPS above 1 is faster.

Build the peer first (bench/build_hnswlib_native.sh), then run with Debian's interpreter under the
shared benchmark lock:
  /usr/bin/python3 bench/hnsw_bench.py [--sets fashion,clustered]
      [--build DIR] [--peer-path DIR] [--rows 100000] [--queries 1000] [--threads 8] [--repeat 3]
"""

import argparse
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

# One BLAS thread: idle OpenBLAS workers spin for a while after each product and would take cores
# from the multi-threaded measurements.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from bench_env import bench_lock, fashion_images, peer_dir  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
M = 16
EF_CONSTRUCTION = 200
K = 10
REACH_EF = 64
EF_SWEEP = [10, 12, 16, 20, 24, 32, 40, 48, 64, 80, 96, 128, 160, 192, 256, 384, 512]
TARGETS = (0.95, 0.99)


def random_set(rng, rows, queries, dims):
    return (rng.standard_normal((rows, dims), dtype=np.float32),
            rng.standard_normal((queries, dims), dtype=np.float32))


def clustered_set(rng, rows, queries, dims, clusters=200):
    # Per-direction scales decay like real embedding spectra; centres and spreads share them.
    scale = (np.arange(1, dims + 1, dtype=np.float64) ** -0.75).astype(np.float32)
    centres = rng.standard_normal((clusters, dims), dtype=np.float32) * scale
    spread = rng.uniform(0.5, 1.5, clusters).astype(np.float32)
    rotation, _ = np.linalg.qr(rng.standard_normal((dims, dims)))
    rotation = rotation.astype(np.float32)

    def draw(n):
        which = rng.integers(0, clusters, n)
        points = centres[which] + (rng.standard_normal((n, dims), dtype=np.float32) * scale *
                                   spread[which, None])
        return np.ascontiguousarray(points @ rotation, dtype=np.float32)

    return draw(rows), draw(queries)


def fashion_set(rng, rows, queries, dims):
    """Pixels scaled to [0, 1]; `rows` and `dims` do not apply."""
    test = fashion_images("t10k-images-idx3-ubyte.gz")
    pick = rng.choice(len(test), size=min(queries, len(test)), replace=False)
    return (fashion_images("train-images-idx3-ubyte.gz"),
            np.ascontiguousarray(test[np.sort(pick)]))


def ground_truth(base, queries, k):
    norms = (base.astype(np.float32) ** 2).sum(axis=1)
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), 200):
        q = queries[start:start + 200]
        d = norms[None, :] - 2.0 * (q @ base.T)
        part = np.argpartition(d, k, axis=1)[:, :k]
        order = np.take_along_axis(d, part, axis=1).argsort(axis=1)
        out[start:start + 200] = np.take_along_axis(part, order, axis=1)
    return out


def recall_of(found, truth):
    return float(np.mean([len(set(f) & set(t.tolist())) / len(t) for f, t in zip(found, truth)]))


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def timed_cores(fn):
    """Wall seconds and the cores the process kept busy meanwhile (CPU seconds / wall seconds): on
    a shared machine a multi-threaded run can only be as fast as the cores it gets."""
    c0, t0 = time.process_time(), time.perf_counter()
    fn()
    wall = time.perf_counter() - t0
    return wall, (time.process_time() - c0) / wall


class Ours:
    """Our index at one ef_search: the width lives in the HnswIndex file's header (offset 20), so
    each width is a reload of the saved graph."""

    def __init__(self, svdb, saved_bytes, tmp):
        self.svdb, self.raw, self.path = svdb, bytearray(saved_bytes), os.path.join(tmp, "ef.hnsw")
        self.index = None

    def set_ef(self, ef):
        self.raw[20:28] = ef.to_bytes(8, "little")
        Path(self.path).write_bytes(self.raw)
        self.index = None
        self.index = self.svdb.HnswIndex.load(self.path)

    def ids(self, q):
        return [h["id"] for h in self.index.search(q, K)]

    def searcher(self):
        search = self.index.search
        return lambda q: search(q, K)


class Peer:
    def __init__(self, index):
        self.index = index

    def set_ef(self, ef):
        self.index.set_ef(ef)

    def ids(self, q):
        return self.index.knn_query(q, K)[0][0].tolist()

    def searcher(self):
        query = self.index.knn_query
        return lambda q: query(q, K)


def qps_of(side, queries, repeat_warm=50):
    search = side.searcher()
    for q in queries[:repeat_warm]:
        search(q)
    seconds, _ = timed(lambda: [search(q) for q in queries])
    return len(queries) / seconds


def sweep(ours, peer, queries, truth, repeat):
    """Per ef: (ef, recall, best QPS) for each side, the two sides alternating."""
    ours_points, peer_points = [], []
    for ef in EF_SWEEP:
        ours.set_ef(ef)
        peer.set_ef(ef)
        recalls = [recall_of([side.ids(q) for q in queries], truth) for side in (ours, peer)]
        best = [0.0, 0.0]
        for _ in range(repeat):
            for i, side in enumerate((ours, peer)):
                best[i] = max(best[i], qps_of(side, queries))
        ours_points.append((ef, recalls[0], best[0]))
        peer_points.append((ef, recalls[1], best[1]))
        print(f"{ef:5d} | ours {recalls[0]:.4f} {best[0]:7.0f} | hnswlib {recalls[1]:.4f} "
              f"{best[1]:7.0f} | QPS ratio {best[0] / best[1]:5.2f}", flush=True)
    return ours_points, peer_points


def qps_interpolated(points, target):
    """Log-QPS linear in recall between the last point below and the first at or above target."""
    for (_, r0, q0), (_, r1, q1) in zip(points, points[1:]):
        if r0 < target <= r1:
            t = (target - r0) / (r1 - r0)
            return float(np.exp(np.log(q0) + t * (np.log(q1) - np.log(q0))))
    if points and points[0][1] >= target:
        return points[0][2]
    return None


def first_reaching(points, target):
    for ef, r, q in points:
        if r >= target:
            return ef, q
    return None, None


def reach(side, base):
    side.set_ef(REACH_EF)
    found = 0
    for i, v in enumerate(base):
        found += i in side.ids(v)
    return found / len(base)


def threaded_qps(side, queries, threads, seconds=2.0):
    """QPS of `threads` Python threads each searching `queries` round after round for about
    `seconds`, all on one index, and the cores the process kept busy."""
    search = side.searcher()
    for q in queries[:50]:
        search(q)
    counts = [0] * threads
    stop = time.perf_counter() + seconds
    start_line = threading.Barrier(threads + 1)

    def work(t):
        start_line.wait()
        n = 0
        i = t * 97
        while time.perf_counter() < stop:
            for _ in range(50):
                search(queries[i % len(queries)])
                i += 1
            n += 50
        counts[t] = n

    pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for th in pool:
        th.start()

    def run():
        start_line.wait()
        for th in pool:
            th.join()

    wall, cores = timed_cores(run)
    return sum(counts) / wall, cores


def fmt(x, digits=0):
    return "n/a" if x is None else f"{x:.{digits}f}"


def ratio(a, b):
    return "n/a" if a is None or b is None else f"{a / b:.2f}"


def run_set(name, base, queries, svdb, peer_module, threads, repeat):
    rows, dims = base.shape
    print(f"\n== {name}: {rows} x {dims}, {len(queries)} queries, M={M}, "
          f"ef_construction={EF_CONSTRUCTION}, k={K}", flush=True)
    truth = ground_truth(base, queries, K)

    def peer_index():
        p = peer_module.Index("l2", dims)
        p.init_index(rows, M, EF_CONSTRUCTION, 100)
        return p

    ours1 = svdb.HnswIndex(dims, "l2", ef_construction=EF_CONSTRUCTION, ef_search=10, m=M)
    ours_build1, _ = timed(lambda: ours1.add_batch_np(base))
    peer1 = peer_index()
    peer_build1, _ = timed(lambda: peer1.add_items(base, 1))
    print(f"build 1 thread      ours {ours_build1:7.2f} s  hnswlib {peer_build1:7.2f} s  "
          f"ratio {ours_build1 / peer_build1:.2f}", flush=True)
    par = svdb.HnswIndex(dims, "l2", ef_construction=EF_CONSTRUCTION, ef_search=10, m=M)
    ours_build_n, ours_cores = timed_cores(lambda: par.add_batch_parallel(base, num_threads=threads))
    peer_n = peer_index()
    peer_build_n, peer_cores = timed_cores(lambda: peer_n.add_items(base, threads))
    del peer_n
    print(f"build {threads} threads     ours {ours_build_n:7.2f} s  hnswlib {peer_build_n:7.2f} s  "
          f"ratio {ours_build_n / peer_build_n:.2f}  speed-up over 1 thread: ours "
          f"{ours_build1 / ours_build_n:.2f}x  hnswlib {peer_build1 / peer_build_n:.2f}x  "
          f"(cores busy: ours {ours_cores:.1f}, hnswlib {peer_cores:.1f}; "
          f"load average {os.getloadavg()[0]:.1f})", flush=True)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "ours.hnsw")
        ours1.save(path)
        del ours1
        ours = Ours(svdb, Path(path).read_bytes(), tmp)
        peer = Peer(peer1)

        par_path = os.path.join(tmp, "par.hnsw")
        par.save(par_path)
        del par
        par_reach = reach(Ours(svdb, Path(par_path).read_bytes(), tmp), base)
        ours_reach, peer_reach = reach(ours, base), reach(peer, base)
        print(f"own-vector reach at ef {REACH_EF}: ours {ours_reach:.4f} "
              f"({round((1 - ours_reach) * rows)} missed; built on {threads} threads "
              f"{round((1 - par_reach) * rows)} missed)  hnswlib {peer_reach:.4f} "
              f"({round((1 - peer_reach) * rows)} missed)", flush=True)

        print("   ef | ours recall    QPS | hnswlib recall    QPS")
        ours_points, peer_points = sweep(ours, peer, queries, truth, repeat)
        summary = []
        for target in TARGETS:
            oi, pi = qps_interpolated(ours_points, target), qps_interpolated(peer_points, target)
            oef, oq = first_reaching(ours_points, target)
            pef, pq = first_reaching(peer_points, target)
            print(f"recall {target:.2f}: interpolated QPS ours {fmt(oi)} hnswlib {fmt(pi)} "
                  f"ratio {ratio(oi, pi)} | first ef reaching it: ours ef {oef} QPS {fmt(oq)}, "
                  f"hnswlib ef {pef} QPS {fmt(pq)}, ratio {ratio(oq, pq)}", flush=True)
            summary.append((target, oi, pi))

        ef, _ = first_reaching(ours_points, 0.99)
        ef = ef or EF_SWEEP[-1]
        ours.set_ef(ef)
        peer.set_ef(ef)
        for label, side in (("ours", ours), ("hnswlib", peer)):
            one, _ = threaded_qps(side, queries, 1)
            line = f"Python threads on one index at ef {ef}, {label}: 1 thread {one:.0f} QPS"
            for n in sorted({max(1, threads // 2), threads} - {1}):
                qps, cores = threaded_qps(side, queries, n)
                line += f"; {n} threads {qps:.0f} QPS = {qps / one:.2f}x ({cores:.1f} cores busy)"
            print(line + f"; load average {os.getloadavg()[0]:.1f}", flush=True)
        del ours, peer, peer1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("SORVEL_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--peer-path", default=str(peer_dir("hnswlib-native")))
    parser.add_argument("--sets", default="fashion,clustered")
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--dims", type=int, default=128)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    sys.path.insert(0, str(Path(args.build) / "python"))
    sys.path.insert(0, args.peer_path)
    import sorvel_vector_db as svdb
    import hnswlib_native

    print(f"ours: {svdb.__file__}\npeer: {hnswlib_native.__file__}")
    rng = np.random.default_rng(2024)
    makers = {"random": random_set, "clustered": clustered_set, "fashion": fashion_set}
    with bench_lock():
        for name in args.sets.split(","):
            base, queries = makers[name](rng, args.rows, args.queries, args.dims)
            run_set(name, base, queries, svdb, hnswlib_native, args.threads, args.repeat)


if __name__ == "__main__":
    main()
