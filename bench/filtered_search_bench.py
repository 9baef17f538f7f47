#!/usr/bin/python3
"""Filtered collection search on every approximate index kind against the flat collection over the
same data, side by side in one run.

Data: Fashion-MNIST (60,000 x 784 train images, pixel values / 255; queries are test images) and
Gaussian 100,000 x 64 (queries drawn from the same distribution), L2. Every vector gets the payload
{"label": class, "tag": id % 100, "uid": id} (the Gaussian class is id % 10). Collections: flat,
hnsw (200 / 50 / 12), ivf and ivf_pq with the collection defaults (256 lists, nprobe 16, training
on the first 4,096 vectors; PQ m 8, k_sub 256), filled by upsert_batch without compaction.

Filters: one class (10 % pass), a tag (1 %), one vector (uid), none passing. k = 10, one query per
call. For each data set x kind x filter the table gives the time per query filtered, unfiltered
and the flat collection's filtered time, the goal (at most max(1.5 x flat filtered, 3 x own
unfiltered)) and the ratio filtered / goal (at most 1.00 meets it), recall@10 against the exact
filtered answer (numpy; IVF-PQ ranks by its codes, so its recall is shown but has no goal), and
the queries that came back with fewer than min(k, passing) hits.

Usage: /usr/bin/python3 bench/filtered_search_bench.py [--build build] [--queries 200]
           [--only fashion|gaussian] [--kinds hnsw,ivf,ivf_pq]
"""

import argparse
import gc
import json
import os
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402  (after the thread setting)

from bench_env import bench_lock, fashion_images, read_idx  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
K = 10
KINDS = ("hnsw", "ivf", "ivf_pq")


def new_collection(data_dir, name, dims, index_type):
    """A collection directory whose meta.json keeps the log from compacting during the fill."""
    meta = {"name": name, "dimensions": dims, "metric": "l2", "index_type": index_type,
            "wal_compact_threshold": 10**12}
    if index_type == "hnsw":
        meta["hnsw_config"] = {"ef_construction": 200, "ef_search": 50, "m": 12}
    os.makedirs(os.path.join(data_dir, name))
    with open(os.path.join(data_dir, name, "meta.json"), "w") as f:
        json.dump(meta, f)


def exact_filtered(data, passing, queries, k):
    """The k nearest passing rows of every query (numpy, exact), as id lists."""
    if len(passing) == 0:
        return [[] for _ in queries]
    sub = data[passing]
    d = (sub * sub).sum(1)[None, :] - 2.0 * queries @ sub.T
    top = np.argsort(d, axis=1)[:, :k]
    return [passing[row].tolist() for row in top]


def timed_searches(col, queries, flt):
    """Time per query and the hit ids of every query."""
    t = time.perf_counter()
    hits = [col.search(q, K, flt) for q in queries]
    return (time.perf_counter() - t) / len(queries), [[h["id"] for h in hs] for hs in hits]


def recall(got, want):
    total = sum(len(w) for w in want)
    if total == 0:
        return None
    return sum(len(set(g) & set(w)) for g, w in zip(got, want)) / total


def run_data_set(svdb, tmp, label, data, classes, queries, kinds):
    n, d = data.shape
    payloads = [{"label": int(classes[i]), "tag": i % 100, "uid": i} for i in range(n)]
    one = int(n // 3)
    filters = [
        ("class 10%", {"label": {"$eq": 0}}, np.flatnonzero(classes == 0)),
        ("tag 1%", {"tag": {"$eq": 7}}, np.arange(7, n, 100)),
        ("one vector", {"uid": {"$eq": one}}, np.array([one])),
        ("none pass", {"label": {"$eq": 99}}, np.array([], dtype=np.int64)),
    ]
    path = os.path.join(tmp, label.split()[0])
    cols = {}
    for kind in ("flat",) + kinds:
        new_collection(path, kind, d, kind)
    client = svdb.Client(path)
    for kind in ("flat",) + kinds:
        col = client.get_collection(kind)
        t = time.perf_counter()
        col.upsert_batch([(i, data[i], payloads[i]) for i in range(n)])
        print(f"  filled {kind:6s} in {time.perf_counter() - t:6.1f} s", flush=True)
        cols[kind] = col
        gc.collect()

    truth = {name: exact_filtered(data, ids, queries, K) for name, _, ids in filters}
    flat_t = {name: timed_searches(cols["flat"], queries, flt)[0] for name, flt, _ in filters}
    print(f"{label}, {len(queries)} queries, k = {K}, load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"  {'kind':6s} {'filter':11s} {'filtered':>9s} {'unfilt.':>8s} {'flat f.':>8s} "
          f"{'goal':>8s} {'ratio':>6s} {'recall':>7s} {'short':>6s}   (ms per query)")
    worst, lowest, shorts = 0.0, 1.0, 0
    for kind in kinds:
        col = cols[kind]
        t_plain, _ = timed_searches(col, queries, None)
        for name, flt, ids in filters:
            t_f, got = timed_searches(col, queries, flt)
            goal = max(1.5 * flat_t[name], 3.0 * t_plain)
            want = min(K, len(ids))
            short = sum(len(g) < want for g in got)
            r = recall(got, truth[name])
            r_text = "-" if r is None else f"{r:.4f}"
            worst = max(worst, t_f / goal)
            shorts += short
            if r is not None and kind in ("hnsw", "ivf"):
                lowest = min(lowest, r)
            print(f"  {kind:6s} {name:11s} {t_f * 1e3:9.3f} {t_plain * 1e3:8.3f} "
                  f"{flat_t[name] * 1e3:8.3f} {goal * 1e3:8.3f} {t_f / goal:6.2f} "
                  f"{r_text:>7s} {short:6d}", flush=True)
    print(f"  goals: worst ratio {worst:.2f} (at most 1.00), lowest recall of hnsw and ivf "
          f"{lowest:.4f} (at least 0.95), short queries {shorts} (0)")
    del cols, client
    gc.collect()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("SORVEL_BUILD_DIR", "build"))
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--only", choices=["fashion", "gaussian"])
    parser.add_argument("--kinds", default=",".join(KINDS))
    args = parser.parse_args()
    sys.path.insert(0, str(REPO / args.build / "python"))
    import sorvel_vector_db as svdb

    kinds = tuple(k for k in args.kinds.split(",") if k)
    with bench_lock(), tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        if args.only in (None, "fashion"):
            train = fashion_images("train-images-idx3-ubyte.gz")
            labels = read_idx("train-labels-idx1-ubyte.gz")
            test = fashion_images("t10k-images-idx3-ubyte.gz")
            run_data_set(svdb, tmp, f"Fashion-MNIST {train.shape[0]} x {train.shape[1]}", train,
                         labels, np.ascontiguousarray(test[: args.queries]), kinds)
            del train, labels, test
            gc.collect()
        if args.only in (None, "gaussian"):
            rng = np.random.default_rng(7)
            gauss = rng.standard_normal((100000, 64), dtype=np.float32)
            queries = rng.standard_normal((args.queries, 64), dtype=np.float32)
            run_data_set(svdb, tmp, "Gaussian 100000 x 64", gauss, np.arange(100000) % 10,
                         queries, kinds)


if __name__ == "__main__":
    main()
