#!/usr/bin/python3
"""Compressed flat indexes and the memory-mapped flat index against their peers, side by side in
one run: single-query search throughput (one query per Python call, one thread) and memory per
vector.

  fp16 search      Fp16FlatIndex       vs faiss IndexScalarQuantizer(QT_fp16)
  int8 search      QuantizedFlatIndex  vs faiss IndexScalarQuantizer(QT_8bit)
  binary search    BinaryFlatIndex     vs faiss IndexBinaryFlat(d bits)
  mmap search      MmapFlatIndex       vs our FlatIndex, and a numpy memmap scan of the same file

Usage: /usr/bin/python3 bench/quantized_bench.py [--n 1000000] [--dim 128] [--queries 30]
The module is taken from $SORVEL_BUILD_DIR/python (default <repo>/build/python). For the wide
faiss peer, put the build of bench/build_faiss_avx2.sh first on PYTHONPATH.
"""

import argparse
import ctypes
import gc
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(Path(os.environ.get("SORVEL_BUILD_DIR", REPO / "build")) / "python"))
import sorvel_vector_db as svdb  # noqa: E402
import faiss  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


_libc = ctypes.CDLL("libc.so.6")
_libc.mallinfo2.restype = _MallInfo2


def huge_page_mapping_bytes():
    """Resident bytes of the anonymous mappings advised for huge pages ("hg" in VmFlags): where our
    indexes keep the rows and codes they scan (outside malloc, so mallinfo does not see them)."""
    total = 0
    rss = 0
    anonymous = False
    with open("/proc/self/smaps") as f:
        for line in f:
            if line[0] in "0123456789abcdef" and "-" in line.split()[0]:
                anonymous = len(line.split()) < 6  # no path: an anonymous mapping
            elif line.startswith("Rss:"):
                rss = int(line.split()[1]) * 1024
            elif line.startswith("VmFlags:") and anonymous and " hg" in line:
                total += rss
    return total


def heap_bytes():
    """Bytes of the C heap in use (small blocks and mapped large blocks) plus the huge-page
    mappings: what an index holds, whoever allocated it, and unaffected by memory that was freed and
    reused."""
    m = _libc.mallinfo2()
    return m.uordblks + m.hblkhd + huge_page_mapping_bytes()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def qps(search, queries, rounds):
    """Best of `rounds` passes over the queries, one call per query."""
    best = 0.0
    for _ in range(rounds):
        t0 = time.perf_counter()
        for q in queries:
            search(q)
        best = max(best, len(queries) / (time.perf_counter() - t0))
    return best


def built(make):
    """(object, heap bytes it holds)."""
    gc.collect()
    before = heap_bytes()
    obj = make()
    gc.collect()
    return obj, heap_bytes() - before


def numpy_memmap_scan(path, n, d, k):
    rec = np.dtype([("id", "<u8"), ("v", "<f4", (d,))])
    mm = np.memmap(path, dtype=rec, mode="r", offset=32, shape=(n,))
    vecs = mm["v"]
    ids = mm["id"]
    chunk = 65536

    def search(q):
        dist = np.empty(n, dtype=np.float32)
        for s in range(0, n, chunk):
            diff = vecs[s:s + chunk] - q
            dist[s:s + chunk] = np.einsum("ij,ij->i", diff, diff)
        top = np.argpartition(dist, k)[:k]
        top = top[np.argsort(dist[top])]
        return ids[top], np.sqrt(dist[top])

    return search


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--queries", type=int, default=30)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--k", type=int, default=10)
    args = ap.parse_args()
    n, d, k = args.n, args.dim, args.k
    faiss.omp_set_num_threads(1)
    rng = np.random.default_rng(0)
    data = rng.standard_normal((n, d), dtype=np.float32)
    queries = rng.standard_normal((args.queries, d), dtype=np.float32)
    print(f"n={n} d={d} k={k} queries={args.queries} rounds={args.rounds} "
          f"faiss {faiss.__version__} from {Path(faiss.__file__).parent}")
    rows = []

    def report(name, ours_qps, peer_name, peer_qps, ours_bpv, peer_bpv):
        rows.append((name, ours_qps, peer_name, peer_qps, ours_bpv, peer_bpv))
        print(f"{name:8s} ours {ours_qps:9.1f} QPS {ours_bpv:7.1f} B/vec | {peer_name:22s} "
              f"{peer_qps:9.1f} QPS {peer_bpv:7.1f} B/vec | ours/peer time "
              f"{peer_qps / ours_qps:5.2f}x", flush=True)

    # Compressed scans against faiss scalar quantizers.
    for name, cls, qtype in [("fp16", svdb.Fp16FlatIndex, faiss.ScalarQuantizer.QT_fp16),
                             ("int8", svdb.QuantizedFlatIndex, faiss.ScalarQuantizer.QT_8bit)]:
        ours, ours_mem = built(lambda: _fill(cls(d, "l2"), data))
        def make_peer():
            idx = faiss.IndexScalarQuantizer(d, qtype, faiss.METRIC_L2)
            idx.train(data)
            idx.add(data)
            return idx
        peer, peer_mem = built(make_peer)
        a = qps(lambda q: ours.search(q, k), queries, args.rounds)
        b = qps(lambda q: peer.search(q.reshape(1, -1), k), queries, args.rounds)
        # Agreement of the top-k sets (both approximate the same exact ranking).
        same = np.mean([len({h["id"] for h in ours.search(q, k)} &
                            set(peer.search(q.reshape(1, -1), k)[1][0].tolist())) / k
                        for q in queries[:10]])
        report(name, a, f"faiss SQ {name}", b, ours_mem / n, peer_mem / n)
        print(f"         top-{k} overlap with faiss {same:.3f}")
        del ours, peer
        gc.collect()

    # Sign bits against faiss binary flat (codes packed least significant bit first).
    ours, ours_mem = built(lambda: _fill(svdb.BinaryFlatIndex(d, "l2"), data))
    packed = np.packbits(data >= 0, axis=1, bitorder="little")
    qpacked = np.packbits(queries >= 0, axis=1, bitorder="little")
    def make_bin():
        idx = faiss.IndexBinaryFlat(d)
        idx.add(packed)
        return idx
    peer, peer_mem = built(make_bin)
    a = qps(lambda q: ours.search(q, k), queries, args.rounds)
    b = qps(lambda q: peer.search(q.reshape(1, -1), k), qpacked, args.rounds)
    report("binary", a, f"faiss BinaryFlat {d}", b, ours_mem / n, peer_mem / n)
    del ours, peer
    gc.collect()

    # The memory-mapped index against FlatIndex and a numpy memmap scan of its file (page cache
    # warm: the file was just written and is searched once before timing).
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "v.kvec")
        writer = svdb.MmapFlatIndex(d, "l2", path)
        writer.add_batch_np(data)
        writer.flush()
        del writer
        gc.collect()
        mm, mm_mem = built(lambda: svdb.MmapFlatIndex(d, "l2", path))
        mm.search(queries[0], k)
        flat, flat_mem = built(lambda: _fill(svdb.FlatIndex(d, "l2"), data))
        scan = numpy_memmap_scan(path, n, d, k)
        scan(queries[0])
        for q in queries[:3]:
            assert [h["id"] for h in mm.search(q, k)] == [h["id"] for h in flat.search(q, k)]
        a = qps(lambda q: mm.search(q, k), queries, args.rounds)
        b = qps(lambda q: flat.search(q, k), queries, args.rounds)
        c = qps(scan, queries, 1)
        file_bpv = os.path.getsize(path) / n
        report("mmap", a, "our FlatIndex", b, file_bpv, flat_mem / n)
        report("mmap", a, "numpy memmap scan", c, file_bpv, file_bpv)
        print(f"         mmap heap after open {mm_mem / n:.2f} B/vec (the vectors stay in the "
              f"file: {file_bpv:.1f} B/vec)")


def _fill(idx, data):
    idx.add_batch_np(data)
    return idx


if __name__ == "__main__":
    main()
