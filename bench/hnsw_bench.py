"""HnswIndex from Python against hnswlib, side by side in one run.

Both sides use the same M (16), ef_construction (200) and k (10), on two sets of base vectors with
exact ground truth (BLAS):
  random     i.i.d. Gaussian (the hard case for graphs: high recall is expensive)
  clustered  a Gaussian mixture with a decaying spectrum, randomly rotated (shaped like real
             embeddings)
  fashion    real image vectors, 60,000 x 784 (Debian package dataset-fashion-mnist; opt-in)
For each set:
  build, one thread:  ours add_batch_np          vs  hnswlib add_items(num_threads=1)
  build, N threads:   ours add_batch_parallel    vs  hnswlib add_items(num_threads=N)
  search:             one query per Python call, single thread, recall@10 and QPS over an
                      ef_search sweep, and the QPS of each side at equal recall (interpolated)
  resident memory added by each build.
Ratios are ours / peer: for times below 1 is faster, for QPS above 1 is faster.

Our neighbour selection keeps the nearest M (hnswlib applies a diversity heuristic), so the two
curves are compared at equal recall, never at equal ef.

Run with Debian's interpreter:
  /usr/bin/python3 bench/hnsw_bench.py [--build DIR] [--rows 100000] [--threads 8] [--peer MODULE]
--peer names the hnswlib module to import (default "hnswlib", Debian's SSE build); a wide build of
the same sources can be passed by its module name when it is on sys.path (--peer-path).
"""

import argparse
import importlib
import os
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "8")

import numpy as np  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
M = 16
EF_CONSTRUCTION = 200
K = 10
CENTRE_SPREAD = float(os.environ.get("CENTRE_SPREAD", "1.0"))
EF_SWEEP = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024]


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def memory_probe(side, base_path, build_dir):
    """Run in a fresh interpreter: resident memory added by building one index of `base`."""
    sys.path.insert(0, str(Path(build_dir) / "python"))
    base = np.load(base_path)
    rows, dims = base.shape
    if side == "ours":
        import sorvel_vector_db as svdb
        before = rss_bytes()
        index = svdb.HnswIndex(dims, "l2", ef_construction=EF_CONSTRUCTION, m=M)
        index.add_batch_parallel(base)
    else:
        import hnswlib
        before = rss_bytes()
        index = hnswlib.Index(space="l2", dim=dims)
        index.init_index(max_elements=rows, M=M, ef_construction=EF_CONSTRUCTION)
        index.add_items(base)
    print(rss_bytes() - before)


def resident_memory(side, base, build_dir, peer_path):
    import subprocess
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "base.npy")
        np.save(path, base)
        env = dict(os.environ)
        if peer_path:
            env["PYTHONPATH"] = peer_path
        out = subprocess.run([sys.executable, __file__, "--memory-probe", side, path,
                              "--build", build_dir], capture_output=True, text=True, env=env,
                             check=True)
    return int(out.stdout.strip().splitlines()[-1])


def random_set(rng, rows, queries, dims):
    return (rng.standard_normal((rows, dims), dtype=np.float32),
            rng.standard_normal((queries, dims), dtype=np.float32))


def clustered_set(rng, rows, queries, dims, clusters=200):
    # Per-direction scales decay like real embedding spectra; centres and spreads share them.
    scale = (np.arange(1, dims + 1, dtype=np.float64) ** -0.75).astype(np.float32)
    centres = rng.standard_normal((clusters, dims), dtype=np.float32) * scale * CENTRE_SPREAD
    rotation, _ = np.linalg.qr(rng.standard_normal((dims, dims)))
    rotation = rotation.astype(np.float32)

    def draw(n):
        which = rng.integers(0, clusters, n)
        spread = rng.uniform(0.5, 1.5, clusters).astype(np.float32)[which, None]
        points = centres[which] + rng.standard_normal((n, dims), dtype=np.float32) * scale * spread
        return np.ascontiguousarray(points @ rotation, dtype=np.float32)

    return draw(rows), draw(queries)


FASHION = Path("/usr/share/datasets/fashion-mnist")


def fashion_set(rng, rows, queries, dims):
    """Real image vectors (Debian's dataset-fashion-mnist): the 60,000 training images as the base,
    test images as queries, pixels scaled to [0, 1]; `rows` and `dims` do not apply."""
    import gzip

    def images(name):
        raw = gzip.open(FASHION / name).read()
        count = int.from_bytes(raw[4:8], "big")
        return (np.frombuffer(raw, dtype=np.uint8, offset=16).reshape(count, 784)
                .astype(np.float32) / 255.0)

    return np.ascontiguousarray(images("train-images-idx3-ubyte.gz")), np.ascontiguousarray(
        images("t10k-images-idx3-ubyte.gz")[:queries])


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


def sweep_ours(svdb, saved_path, queries, truth):
    """Loads the saved index once per ef_search (the width lives in the file's header, offset 20)
    and searches one query per call."""
    raw = bytearray(Path(saved_path).read_bytes())
    points = []
    with tempfile.TemporaryDirectory() as tmp:
        for ef in EF_SWEEP:
            raw[20:28] = ef.to_bytes(8, "little")
            path = os.path.join(tmp, "ef.hnsw")
            Path(path).write_bytes(raw)
            index = svdb.HnswIndex.load(path)
            search = index.search
            for q in queries[:50]:
                search(q, K)  # warm-up
            seconds, found = timed(lambda: [[h["id"] for h in search(q, K)] for q in queries])
            points.append((ef, recall_of(found, truth), len(queries) / seconds))
            del index
    return points


def sweep_peer(peer, queries, truth):
    points = []
    for ef in EF_SWEEP:
        peer.set_ef(ef)
        query = peer.knn_query
        for q in queries[:50]:
            query(q, k=K)
        seconds, found = timed(lambda: [query(q, k=K)[0][0] for q in queries])
        points.append((ef, recall_of(found, truth), len(queries) / seconds))
    return points


def qps_at(points, target):
    """QPS at `target` recall, interpolated linearly in recall and log-QPS between sweep points;
    None when the sweep never reaches it."""
    pts = sorted(points, key=lambda p: p[1])
    for (_, r0, q0), (_, r1, q1) in zip(pts, pts[1:]):
        if r0 <= target <= r1 and r1 > r0:
            t = (target - r0) / (r1 - r0)
            return float(np.exp(np.log(q0) + t * (np.log(q1) - np.log(q0))))
    for _, r, q in pts:
        if abs(r - target) < 1e-9:
            return q
    return None


def fmt(x, unit=""):
    return "   n/a" if x is None else f"{x:8.0f}{unit}"


def run_set(name, base, queries, svdb, hnswlib, threads, build_dir, peer_path):
    rows, dims = base.shape
    print(f"\n== {name}: {rows} x {dims}, {len(queries)} queries, M={M}, "
          f"ef_construction={EF_CONSTRUCTION}, k={K}")
    _, truth = timed(lambda: ground_truth(base, queries, K))

    # Single-threaded builds.
    ours = svdb.HnswIndex(dims, "l2", ef_construction=EF_CONSTRUCTION, ef_search=EF_SWEEP[0], m=M)
    ours_build1, _ = timed(lambda: ours.add_batch_np(base))
    peer = hnswlib.Index(space="l2", dim=dims)
    peer.init_index(max_elements=rows, M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
    peer_build1, _ = timed(lambda: peer.add_items(base, num_threads=1))
    print(f"build 1 thread     ours {ours_build1:7.2f} s   hnswlib {peer_build1:7.2f} s   "
          f"ratio {ours_build1 / peer_build1:5.2f}")

    # Multi-threaded builds (the single-threaded indexes are the ones searched below).
    par = svdb.HnswIndex(dims, "l2", ef_construction=EF_CONSTRUCTION, ef_search=EF_SWEEP[0], m=M)
    ours_build_n, _ = timed(lambda: par.add_batch_parallel(base, num_threads=threads))
    peer_n = hnswlib.Index(space="l2", dim=dims)
    peer_n.init_index(max_elements=rows, M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
    peer_build_n, _ = timed(lambda: peer_n.add_items(base, num_threads=threads))
    print(f"build {threads} threads    ours {ours_build_n:7.2f} s   hnswlib {peer_build_n:7.2f} s   "
          f"ratio {ours_build_n / peer_build_n:5.2f}   ours speed-up over 1 thread "
          f"{ours_build1 / ours_build_n:4.2f}x (hnswlib {peer_build1 / peer_build_n:4.2f}x)")
    ours_mem = resident_memory("ours", base, build_dir, peer_path)
    peer_mem = resident_memory("peer", base, build_dir, peer_path)
    print(f"resident memory    ours {ours_mem / 2**20:7.1f} MiB hnswlib {peer_mem / 2**20:7.1f} MiB"
          f"   ratio {ours_mem / peer_mem:5.2f}   (each built alone in a fresh interpreter)")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "ours.hnsw")
        ours.save(path)
        par_path = os.path.join(tmp, "par.hnsw")
        par.save(par_path)
        del ours, par
        ours_points = sweep_ours(svdb, path, queries, truth)
        par_points = sweep_ours(svdb, par_path, queries, truth)
    peer_points = sweep_peer(peer, queries, truth)
    del peer_n

    print("   ef | ours recall   QPS | parallel-built recall   QPS | hnswlib recall   QPS")
    for (ef, r, q), (_, pr, pq), (_, hr, hq) in zip(ours_points, par_points, peer_points):
        print(f"{ef:5d} |      {r:.4f} {q:6.0f} |               {pr:.4f} {pq:6.0f} |"
              f"         {hr:.4f} {hq:6.0f}")
    for target in (0.9, 0.95, 0.99):
        o = qps_at(ours_points, target)
        p = qps_at(par_points, target)
        h = qps_at(peer_points, target)
        ratio = f"{o / h:5.2f}" if o and h else "  n/a"
        print(f"QPS at recall {target:.2f}: ours {fmt(o)}  parallel-built {fmt(p)}  hnswlib "
              f"{fmt(h)}  ratio ours/hnswlib {ratio}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--memory-probe":
        memory_probe(sys.argv[2], sys.argv[3], sys.argv[5])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("SORVEL_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--dims", type=int, default=128)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--sets", default="random,clustered")
    parser.add_argument("--peer", default="hnswlib")
    parser.add_argument("--peer-path", default=None)
    args = parser.parse_args()

    sys.path.insert(0, str(Path(args.build) / "python"))
    if args.peer_path:
        sys.path.insert(0, args.peer_path)
    import sorvel_vector_db as svdb
    hnswlib = importlib.import_module(args.peer)
    print(f"peer module: {hnswlib.__file__}")

    rng = np.random.default_rng(2024)
    makers = {"random": random_set, "clustered": clustered_set, "fashion": fashion_set}
    for name in args.sets.split(","):
        base, queries = makers[name](rng, args.rows, args.queries, args.dims)
        run_set(name, base, queries, svdb, hnswlib, args.threads, args.build, args.peer_path)


if __name__ == "__main__":
    main()
