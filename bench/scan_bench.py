#!/usr/bin/python3
"""Exact scans against faiss, side by side in one process: single-query search throughput (one
query per Python call, k = 10, one thread) and each scan's read rate against a single-core
read-bandwidth probe of the same run.

  flat    FlatIndex           vs faiss IndexFlatL2
  fp16    Fp16FlatIndex       vs faiss IndexScalarQuantizer(QT_fp16)
  int8    QuantizedFlatIndex  vs faiss IndexScalarQuantizer(QT_8bit)
  mmap    MmapFlatIndex       vs faiss IndexFlatL2 (its file in the page cache)

Data sets: Gaussian 100,000 x 128 and 1,000,000 x 128, and Fashion-MNIST's 60,000 training images
(784-d, Debian package dataset-fashion-mnist) with test images as queries.

Each pair is timed in `--runs` rounds; a round times ours and the peer for `--seconds` each (the
order alternates between rounds) and probes the read bandwidth of as many bytes as the larger of
the two scans reads (bench/memory_bandwidth, built with the project). The figures are medians over
the rounds. GB/s is the bytes a scan must read per query (codes or rows; ids and flags aside) times
QPS; "of probe" divides it by the probe's bound, the fastest of its ways of reading (4 KiB or huge
pages, one or four streams); "4k/1" is its plainest way, one stream over 4 KiB pages. Our rows and
codes sit on transparent huge pages, faiss's on whatever malloc gives (4 KiB pages unless THP is
"always"); --peer-huge-pages gives faiss huge pages too. Every round runs under the shared bench
lock (`--lock`, taken per round so other benchmarks can interleave; "" to run without it). A table
for notes closes the run.

Run with Debian's interpreter, the wide faiss build first on the path:
  PYTHONPATH=<cache>/faiss-avx2/build/faiss/python/build/lib \\
    /usr/bin/python3 bench/scan_bench.py [--sets 100k,1m,fashion] [--kinds flat,fp16,int8,mmap]
The module is taken from $SORVEL_BUILD_DIR/python (default <repo>/build/python), the probe from
$SORVEL_PROBE (default $SORVEL_BUILD_DIR/bench/memory_bandwidth).
"""

import argparse
import gc
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# One BLAS thread and one OpenMP thread before numpy and faiss load: Debian's pthread OpenBLAS next
# to OpenMP threads slows faiss down many times over (see PERFORMANCE.md). A single-query flat
# search calls no BLAS in either library; the pinning keeps idle pools from competing anyway.
os.environ["OPENBLAS_NUM_THREADS"] = "1"
os.environ["OMP_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

from bench_env import bench_lock, fashion_images  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("SORVEL_BUILD_DIR", REPO / "build"))
sys.path.insert(0, str(BUILD / "python"))
import faiss  # noqa: E402
import sorvel_vector_db as svdb  # noqa: E402

PROBE = Path(os.environ.get("SORVEL_PROBE", BUILD / "bench" / "memory_bandwidth"))


def gaussian(rows, dims, queries):
    rng = np.random.default_rng(rows)
    return (rng.standard_normal((rows, dims), dtype=np.float32),
            rng.standard_normal((queries, dims), dtype=np.float32))


def fashion(queries):
    return (fashion_images("train-images-idx3-ubyte.gz"),
            np.ascontiguousarray(fashion_images("t10k-images-idx3-ubyte.gz")[:queries]))


SETS = {
    "100k": lambda q: gaussian(100_000, 128, q),
    "1m": lambda q: gaussian(1_000_000, 128, q),
    "fashion": fashion,
}


def qps_for(search, queries, seconds):
    """Queries per second of single-query calls, cycling through `queries` for about `seconds`."""
    done = 0
    t0 = time.perf_counter()
    deadline = t0 + seconds
    while True:
        for q in queries:
            search(q)
        done += len(queries)
        now = time.perf_counter()
        if now >= deadline:
            return done / (now - t0)


def probe_gbps(nbytes, passes=5):
    """Single-core read rates over `nbytes` from the project's probe: {"bound": the highest median
    of its ways of reading (4 KiB or huge pages, one or four streams), "4k/1": one stream over
    ordinary pages, the plainest reading}."""
    out = subprocess.run([str(PROBE), str(passes), str(max(nbytes, 1 << 20))], check=True,
                         capture_output=True, text=True).stdout
    return {"bound": float(re.search(r"^bound \d+ ([\d.]+)$", out, re.M).group(1)),
            "4k/1": float(re.search(r" 4k/1 .*median\s+([\d.]+) GB/s", out).group(1))}


# Each kind: (name, build ours, build the peer, bytes ours reads per query, bytes faiss reads).
def ours_flat(data, _tmp):
    idx = svdb.FlatIndex(data.shape[1], "l2")
    idx.add_batch_np(data)
    return idx


def ours_fp16(data, _tmp):
    idx = svdb.Fp16FlatIndex(data.shape[1], "l2")
    idx.add_batch_np(data)
    return idx


def ours_int8(data, _tmp):
    idx = svdb.QuantizedFlatIndex(data.shape[1], "l2")
    idx.add_batch_np(data)
    return idx


def ours_mmap(data, tmp):
    path = os.path.join(tmp, f"scan_bench_{data.shape[0]}x{data.shape[1]}.kvec")
    writer = svdb.MmapFlatIndex(data.shape[1], "l2", path)
    writer.add_batch_np(data)
    writer.flush()
    del writer
    gc.collect()
    return svdb.MmapFlatIndex(data.shape[1], "l2", path)


def faiss_flat(data):
    idx = faiss.IndexFlatL2(data.shape[1])
    idx.add(data)
    return idx


def faiss_sq(qtype):
    def make(data):
        idx = faiss.IndexScalarQuantizer(data.shape[1], qtype, faiss.METRIC_L2)
        idx.train(data)
        idx.add(data)
        return idx
    return make


KINDS = {
    "flat": ("FlatIndex", ours_flat, "IndexFlatL2", faiss_flat, lambda n, d: 4 * n * d,
             lambda n, d: 4 * n * d),
    "fp16": ("Fp16FlatIndex", ours_fp16, "SQ fp16", faiss_sq(faiss.ScalarQuantizer.QT_fp16),
             lambda n, d: 2 * n * d, lambda n, d: 2 * n * d),
    "int8": ("QuantizedFlatIndex", ours_int8, "SQ 8bit", faiss_sq(faiss.ScalarQuantizer.QT_8bit),
             lambda n, d: n * (d + 4), lambda n, d: n * d),
    "mmap": ("MmapFlatIndex", ours_mmap, "IndexFlatL2", faiss_flat, lambda n, d: n * (8 + 4 * d),
             lambda n, d: 4 * n * d),
}


def overlap(ours, peer, queries, k):
    """Mean share of faiss's top-k ids that ours returns too (1.0 for exact scans, up to ties)."""
    shares = []
    for q in queries[:10]:
        mine = {h["id"] for h in ours.search(q, k)}
        theirs = set(peer.search(q.reshape(1, -1), k)[1][0].tolist())
        shares.append(len(mine & theirs) / k)
    return float(np.mean(shares))


def run_pair(kind, data, queries, args, tmp):
    label, make_ours, peer_label, make_peer, ours_bytes, peer_bytes = KINDS[kind]
    n, d = data.shape
    ours = make_ours(data, tmp)
    peer = make_peer(data)
    k = args.k
    agree = overlap(ours, peer, queries, k)
    sides = [("ours", lambda q: ours.search(q, k)),
             ("faiss", lambda q: peer.search(q.reshape(1, -1), k))]
    rates = {"ours": [], "faiss": [], "bound": [], "4k/1": [], "ratio": []}
    nbytes = max(ours_bytes(n, d), peer_bytes(n, d))
    for r in range(args.runs):
        with bench_lock(args.lock):
            for name, search in (sides if r % 2 == 0 else sides[::-1]):
                search(queries[0])  # warm: page cache, caches, frequency
                rates[name].append(qps_for(search, queries, args.seconds))
            for key, value in probe_gbps(nbytes).items():
                rates[key].append(value)
        rates["ratio"].append(rates["ours"][-1] / rates["faiss"][-1])
    med = {key: statistics.median(v) for key, v in rates.items()}
    ours_gbps = ours_bytes(n, d) * med["ours"] / 1e9
    peer_gbps = peer_bytes(n, d) * med["faiss"] / 1e9
    print(f"{label:19s} {med['ours']:8.1f} QPS {ours_gbps:5.1f} GB/s "
          f"({ours_gbps / med['bound']:4.2f} of probe) | faiss {peer_label:11s} "
          f"{med['faiss']:8.1f} QPS {peer_gbps:5.1f} GB/s ({peer_gbps / med['bound']:4.2f}) | "
          f"probe {med['bound']:5.1f} GB/s (4k/1 {med['4k/1']:4.1f}) | ours/faiss "
          f"{med['ours'] / med['faiss']:5.2f} (per round "
          f"{' '.join(f'{x:.2f}' for x in rates['ratio'])}) | top-{k} overlap {agree:.2f}",
          flush=True)
    del ours, peer
    gc.collect()
    return {"kind": label, "peer": peer_label, "ours": med["ours"], "faiss": med["faiss"],
            "ours_gbps": ours_gbps, "peer_gbps": peer_gbps, "bound": med["bound"],
            "4k/1": med["4k/1"]}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sets", default="100k,1m,fashion", help="comma list of " + ",".join(SETS))
    ap.add_argument("--kinds", default="flat,fp16,int8,mmap", help="comma list of " +
                    ",".join(KINDS))
    ap.add_argument("--runs", type=int, default=3, help="alternating rounds (median taken)")
    ap.add_argument("--seconds", type=float, default=2.0, help="timing per side per round")
    ap.add_argument("--queries", type=int, default=50)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--lock", default=None,
                    help="flock file (default the cache's bench.lock; '' for none)")
    ap.add_argument("--peer-huge-pages", action="store_true",
                    help="rerun with glibc's malloc advising huge pages, so faiss's arrays get them "
                    "too (ours have them either way)")
    args = ap.parse_args()
    if args.peer_huge_pages and os.environ.get("GLIBC_TUNABLES") != "glibc.malloc.hugetlb=1":
        os.environ["GLIBC_TUNABLES"] = "glibc.malloc.hugetlb=1"
        os.execv(sys.executable, [sys.executable] + sys.argv)
    faiss.omp_set_num_threads(1)
    if not PROBE.exists():
        sys.exit(f"{PROBE} is missing: build the project first (ninja -C {BUILD})")
    variant = "avx2" if "faiss.swigfaiss_avx2" in sys.modules else "generic (no AVX2: a weak peer)"
    print(f"faiss {faiss.__version__} ({variant}) from {Path(faiss.__file__).parent}; k={args.k}, "
          f"{args.runs} rounds x {args.seconds} s per side, one query per call, one thread")
    if os.environ.get("GLIBC_TUNABLES"):
        print(f"GLIBC_TUNABLES={os.environ['GLIBC_TUNABLES']}")
    table = []
    with tempfile.TemporaryDirectory() as tmp:
        for set_name in args.sets.split(","):
            data, queries = SETS[set_name](args.queries)
            print(f"-- {set_name}: {data.shape[0]} x {data.shape[1]}", flush=True)
            for kind in args.kinds.split(","):
                table.append((set_name, run_pair(kind, data, queries, args, tmp)))
            del data
            gc.collect()
    print("\n| set | ours | faiss | ours / faiss QPS | ours GB/s (of probe) | faiss GB/s (of probe) "
          "| probe GB/s (4k/1) |\n|---|---|---|---|---|---|---|")
    for set_name, r in table:
        print(f"| {set_name} | {r['kind']} | {r['peer']} | {r['ours']:.0f} / {r['faiss']:.0f} = "
              f"{r['ours'] / r['faiss']:.2f} | {r['ours_gbps']:.1f} ({r['ours_gbps'] / r['bound']:.2f}) "
              f"| {r['peer_gbps']:.1f} ({r['peer_gbps'] / r['bound']:.2f}) | {r['bound']:.1f} "
              f"({r['4k/1']:.1f}) |")


if __name__ == "__main__":
    main()
