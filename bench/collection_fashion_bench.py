#!/usr/bin/python3
"""HNSW collections on real data, side by side in one run: Fashion-MNIST (60,000 x 784 train
images, 10,000 test images, pixel values / 255, L2), HNSW parameters 200 / 50 / 12.

  batch    Collection.upsert_batch of the 60,000 rows (payloads {"label", "tag": id % 100}) into a
           fresh HNSW collection, against HnswIndex.add_batch_parallel of the same matrix (ratio
           ours / index, goal at most 1.3); the same for 20,000 x 64 Gaussian rows without
           payloads. The collections' compaction threshold is set above the row count, so the
           ratio is the batch path's alone.
  reopen   Client(path) over a compacted collection of the 60,000 rows (its batch ends in a
           compaction, which saves "hnsw.graph"), against the same opening with "hnsw.graph"
           removed, which rebuilds the graph from the log (ratio, goal at most 0.1). Both openings
           are then searched (recall@10 of 200 test queries against numpy's exact answer).
  filter   200 test queries, k = 10, on a flat and on the reopened HNSW collection, filtered on one
           class (label 0: 6,000 pass) and on a 1 % tag (tag 7: 600 pass): how many queries get k
           hits, recall@10 against the exact filtered answer (numpy), and the time per query
           against the unfiltered search. "10k fetch" counts what the earlier single fetch of the
           10 k nearest (then filtered) gave for the same queries.

Usage: /usr/bin/python3 bench/collection_fashion_bench.py
           [--build build] [--queries 200] [--skip-rebuild]
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

from bench_env import bench_lock, fashion_images, read_idx  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
K = 10




def new_hnsw_collection(data_dir, name, dims, threshold):
    """An empty HNSW collection directory whose meta.json sets the compaction threshold."""
    meta = {"name": name, "dimensions": dims, "metric": "l2", "index_type": "hnsw",
            "wal_compact_threshold": threshold,
            "hnsw_config": {"ef_construction": 200, "ef_search": 50, "m": 12}}
    os.makedirs(os.path.join(data_dir, name))
    with open(os.path.join(data_dir, name, "meta.json"), "w") as f:
        json.dump(meta, f)


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def exact_top(data, ids, queries, k):
    """The k nearest of data[ids] for every query (numpy, exact), as id arrays."""
    sub = data[ids]
    d = (sub * sub).sum(1)[None, :] - 2.0 * queries @ sub.T
    top = np.argsort(d, axis=1)[:, :k]
    return ids[top]


def recall(got_lists, truth):
    hit = sum(len(set(g) & set(t.tolist())) for g, t in zip(got_lists, truth))
    return hit / sum(len(t) for t in truth)


def batch_case(svdb, tmp, label, data, payloads):
    n, d = data.shape
    index = svdb.HnswIndex(d, "l2", 200, 50, 12)
    t_index, _ = timed(lambda: index.add_batch_parallel(data))
    del index
    path = os.path.join(tmp, "batch_" + label)
    new_hnsw_collection(path, "c", d, 10**12)
    col = svdb.Client(path).get_collection("c")
    if payloads is not None:
        entries = [(i, data[i], {"label": int(payloads[i]), "tag": i % 100}) for i in range(n)]
    else:
        entries = [(i, data[i]) for i in range(n)]
    t_col, _ = timed(lambda: col.upsert_batch(entries))
    assert col.count == n
    print(f"  {label:26s} add_batch_parallel {t_index:7.2f} s   upsert_batch {t_col:7.2f} s"
          f"   ratio {t_col / t_index:.2f}")


def searched(col, queries, flt=None, k=K):
    t, hits = timed(lambda: [col.search(q, k, flt) for q in queries])
    return t / len(queries), [[h["id"] for h in hs] for hs in hits]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("SORVEL_BUILD_DIR", "build"))
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--skip-rebuild", action="store_true")
    args = parser.parse_args()
    sys.path.insert(0, str(REPO / args.build / "python"))
    import sorvel_vector_db as svdb

    train = fashion_images("train-images-idx3-ubyte.gz")
    labels = read_idx("train-labels-idx1-ubyte.gz")
    test = fashion_images("t10k-images-idx3-ubyte.gz")
    queries = np.ascontiguousarray(test[: args.queries])
    n, d = train.shape
    gauss = np.random.default_rng(7).standard_normal((20000, 64), dtype=np.float32)

    with bench_lock(), tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        print("batch insert (HNSW 200/50/12, one run):")
        batch_case(svdb, tmp, "gaussian 20000 x 64", gauss, None)
        batch_case(svdb, tmp, f"fashion-mnist {n} x {d}", train, labels)
        gc.collect()

        # A compacted collection: the default threshold 50,000 makes the batch end in a
        # compaction, which saves the graph.
        path = os.path.join(tmp, "data")
        client = svdb.Client(path)
        col = client.create_collection("fm", d, "l2", "hnsw")
        entries = [(i, train[i], {"label": int(labels[i]), "tag": i % 100}) for i in range(n)]
        col.upsert_batch(entries)
        del entries
        graph = os.path.join(path, "fm", "hnsw.graph")
        assert os.path.exists(graph), "no compaction ran"
        del col, client
        gc.collect()

        truth = exact_top(train, np.arange(n), queries, K)
        t_open = []
        for _ in range(3):
            t, client = timed(lambda: svdb.Client(path))
            t_open.append(t)
            del client
            gc.collect()
        client = svdb.Client(path)
        col = client.get_collection("fm")
        assert col.count == n
        _, got = searched(col, queries)
        r_graph = recall(got, truth)
        print("reopen of the compacted collection:")
        print(f"  from hnsw.graph            {min(t_open):7.2f} s   recall@10 {r_graph:.4f}")
        if not args.skip_rebuild:
            del col, client
            gc.collect()
            saved = graph + ".saved"
            shutil.copyfile(graph, saved)
            os.remove(graph)
            t_rebuild, client = timed(lambda: svdb.Client(path))
            _, got = searched(client.get_collection("fm"), queries)
            print(f"  rebuilt from the log       {t_rebuild:7.2f} s   recall@10 "
                  f"{recall(got, truth):.4f}   ratio graph / rebuild "
                  f"{min(t_open) / t_rebuild:.3f}")
            del client
            gc.collect()
            os.replace(saved, graph)
            client = svdb.Client(path)
            col = client.get_collection("fm")

        flat = client.create_collection("fm_flat", d, "l2", "flat")
        flat.upsert_batch([(i, train[i], {"label": int(labels[i]), "tag": i % 100})
                           for i in range(n)])
        print(f"filtered search, {len(queries)} queries, k = {K}:")
        for name, c in [("flat", flat), ("hnsw", col)]:
            t_plain, _ = searched(c, queries)
            for fname, flt, ids in [
                ("label 0 (6000 pass)", {"label": {"$eq": 0}}, np.flatnonzero(labels == 0)),
                ("tag 7 (600 pass)", {"tag": {"$eq": 7}}, np.arange(7, n, 100)),
            ]:
                t_f, got = searched(c, queries, flt)
                want = exact_top(train, ids, queries, K)
                full = sum(len(g) == K for g in got)
                # What one fetch of the 10 k nearest, filtered afterwards, returned.
                passing = set(ids.tolist())
                _, wide = searched(c, queries, None, 10 * K)
                old_full = sum(sum(i in passing for i in w) >= K for w in wide)
                old_none = sum(not any(i in passing for i in w) for w in wide)
                print(f"  {name:4s} {fname:20s} k hits {full:3d}/{len(queries)}"
                      f"  recall@10 {recall(got, want):.4f}"
                      f"  {t_f * 1e3:7.2f} ms/query, unfiltered {t_plain * 1e3:6.2f} ms"
                      f" (x{t_f / t_plain:.1f})"
                      f"   10k fetch: k hits {old_full:3d}, none {old_none:3d}")


if __name__ == "__main__":
    main()
