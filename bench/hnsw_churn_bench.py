#!/usr/bin/python3
"""An HNSW collection under steady churn: memory, disk, recall and write time round after round,
then a reopening and a rebuild, for two builds of the module side by side (--before, e.g. the main
branch's build, and --build).

N clustered rows of D dimensions (100 Gaussian clusters, L2, HNSW 200 / 50 / 12, the default
compaction threshold), each with the payload {"tag": id % 100}. Each round deletes C live ids,
inserts C new ids and updates C other live ids with new rows (delete one by one, the inserts and
the updates by upsert_batch), so the count stays N. Every few rounds the table gives the process's
resident memory (VmRSS, and RssAnon less the benchmark's own arrays), the collection directory's
size on disk, recall@10 of 200 queries against numpy's exact answer over the live rows, the time
of the round's writes, and the mean time of a search filtered to 1 % of the rows (tag 7). Last,
the collection is opened again (its recall and the opening's time) and then rebuilt from the log
("hnsw.graph" removed). Each build runs in a process of its own, with a fixed malloc mmap
threshold (MALLOC_MMAP_THRESHOLD_=131072), so that the benchmark's own temporaries (the exact
answers) go back to the system when freed instead of hiding the index's memory. Goals: memory after the last round within 1.5 x the start, the reopened
recall at most 0.01 below the live one.

Usage: /usr/bin/python3 bench/hnsw_churn_bench.py [--build build] [--before /work/main/build]
           [--rows 200000] [--dims 64] [--churn 20000] [--rounds 40] [--every 5]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402  (after the thread setting)

from bench_env import bench_lock  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
K = 10
QUERIES = 200
CHUNK = 10000
FILTERED_QUERIES = 50


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def dir_bytes(path):
    return sum(p.stat().st_size for p in Path(path).rglob("*") if p.is_file())


class Rows:
    """Clustered rows drawn from one seeded generator."""

    def __init__(self, dims, seed):
        self.rng = np.random.default_rng(seed)
        self.centers = self.rng.normal(size=(100, dims)).astype(np.float32) * 3

    def draw(self, n):
        which = self.rng.integers(0, len(self.centers), n)
        noise = self.rng.normal(size=(n, self.centers.shape[1])).astype(np.float32)
        return self.centers[which] + noise


def recall(col, ids, rows, queries):
    norms = (rows ** 2).sum(1)
    found = 0
    for at in range(0, len(queries), 10):
        block = queries[at:at + 10]
        d = norms[None, :] - 2 * block @ rows.T
        top = np.argpartition(d, K, axis=1)[:, :K]
        for q, t in zip(block, ids[top]):
            found += len({h["id"] for h in col.search(q, K)} & set(t.tolist()))
    return found / (len(queries) * K)


def run(args, module_dir, work):
    sys.path.insert(0, module_dir)
    import sorvel_vector_db as svdb

    n, c = args.rows, args.churn
    gen = Rows(args.dims, 1)
    queries = gen.draw(QUERIES)
    rows = gen.draw(n)
    ids = np.arange(n, dtype=np.int64)
    next_id = n
    own_kib = lambda: (rows.nbytes + ids.nbytes + queries.nbytes) // 1024  # noqa: E731
    client = svdb.Client(work)
    col = client.create_collection("c", args.dims, "l2", "hnsw")
    col_dir = os.path.join(work, "c")
    for at in range(0, n, CHUNK):
        col.upsert_batch([(int(i), rows[i], {"tag": int(i) % 100})
                          for i in range(at, min(n, at + CHUNK))])
    flt = {"tag": {"$eq": 7}}

    def filtered_ms():
        t = time.perf_counter()
        for q in queries[:FILTERED_QUERIES]:
            col.search(q, K, filter=flt)
        return (time.perf_counter() - t) / FILTERED_QUERIES * 1e3

    report = []

    def note(r, write_s):
        rss = status_kib("VmRSS") / 1024
        anon = (status_kib("RssAnon") - own_kib()) / 1024
        line = {"round": r, "rss": rss, "anon": anon, "disk": dir_bytes(col_dir) / 2 ** 20,
                "recall": recall(col, ids, rows, queries), "write": write_s,
                "filtered": filtered_ms()}
        report.append(line)
        print(json.dumps({"progress": line}), file=sys.stderr, flush=True)

    note(0, 0.0)
    rng = np.random.default_rng(2)
    for r in range(1, args.rounds + 1):
        t = time.perf_counter()
        pick = rng.choice(n, size=2 * c, replace=False)
        gone, changed = pick[:c], pick[c:]
        for i in gone:
            col.delete(int(ids[i]))
        fresh = gen.draw(c)
        new_ids = np.arange(next_id, next_id + c, dtype=np.int64)
        next_id += c
        for at in range(0, c, CHUNK):
            col.upsert_batch([(int(new_ids[j]), fresh[j], {"tag": int(new_ids[j]) % 100})
                              for j in range(at, min(c, at + CHUNK))])
        moved = gen.draw(c)
        for at in range(0, c, CHUNK):
            col.upsert_batch([(int(ids[changed[j]]), moved[j], {"tag": int(ids[changed[j]]) % 100})
                              for j in range(at, min(c, at + CHUNK))])
        write_s = time.perf_counter() - t
        ids[gone] = new_ids
        rows[gone] = fresh
        rows[changed] = moved
        if r % args.every == 0 or r == args.rounds:
            note(r, write_s)
    live = report[-1]["recall"]
    del col
    del client

    t = time.perf_counter()
    client = svdb.Client(work)
    opened_s = time.perf_counter() - t
    col = client.get_collection("c")
    reopened = recall(col, ids, rows, queries)
    del col
    del client
    os.remove(os.path.join(col_dir, "hnsw.graph"))
    t = time.perf_counter()
    client = svdb.Client(work)
    rebuilt_s = time.perf_counter() - t
    rebuilt = recall(client.get_collection("c"), ids, rows, queries)
    return {"rounds": report, "live": live, "reopened": reopened, "open_s": opened_s,
            "rebuilt": rebuilt, "rebuild_s": rebuilt_s}


def child(args, module_dir):
    work = tempfile.mkdtemp(dir=os.environ.get("TMPDIR", "/tmp"))
    try:
        print(json.dumps(run(args, module_dir, work)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("SORVEL_BUILD_DIR", "build"))
    parser.add_argument("--before", default="")
    parser.add_argument("--rows", type=int, default=200000)
    parser.add_argument("--dims", type=int, default=64)
    parser.add_argument("--churn", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--every", type=int, default=5)
    parser.add_argument("--child", default="")
    args = parser.parse_args()
    if args.child:
        child(args, args.child)
        return

    builds = ([("before", args.before)] if args.before else []) + [("after", args.build)]
    results = {}
    with bench_lock():
        for name, build in builds:
            module_dir = str((REPO / build / "python") if not os.path.isabs(build)
                             else Path(build) / "python")
            cmd = [sys.executable, __file__, "--child", module_dir] + [
                f"--{k}={getattr(args, k)}" for k in ("rows", "dims", "churn", "rounds", "every")]
            env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": "131072"}
            out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True,
                                 env=env).stdout
            results[name] = json.loads(out.strip().splitlines()[-1])

    print(f"{args.rows} x {args.dims} clustered rows, {args.rounds} rounds of {args.churn} "
          f"deletes + {args.churn} inserts + {args.churn} updates")
    for name, res in results.items():
        print(f"\n{name} ({dict(builds)[name]})")
        print(f"  {'round':>5s} {'RSS MiB':>8s} {'anon-own':>8s} {'disk MiB':>8s} {'recall':>7s}"
              f" {'write s':>8s} {'1% filt ms':>10s}")
        for r in res["rounds"]:
            print(f"  {r['round']:5d} {r['rss']:8.0f} {r['anon']:8.0f} {r['disk']:8.0f}"
                  f" {r['recall']:7.3f} {r['write']:8.2f} {r['filtered']:10.2f}")
        first, last = res["rounds"][0], res["rounds"][-1]
        print(f"  RSS last / start {last['rss'] / first['rss']:.2f} (goal <= 1.5), anon-own"
              f" {last['anon'] / first['anon']:.2f}")
        print(f"  reopened recall {res['reopened']:.3f} (live {res['live']:.3f}, "
              f"{res['reopened'] - res['live']:+.3f}; goal >= -0.01) open {res['open_s']:.2f} s;"
              f" rebuilt recall {res['rebuilt']:.3f} in {res['rebuild_s']:.2f} s")
    if len(results) == 2:
        b, a = results["before"], results["after"]
        print("\nafter / before at the last round:"
              f" RSS {a['rounds'][-1]['rss'] / b['rounds'][-1]['rss']:.2f},"
              f" write {a['rounds'][-1]['write'] / b['rounds'][-1]['write']:.2f},"
              f" 1% filtered {a['rounds'][-1]['filtered'] / b['rounds'][-1]['filtered']:.2f}")


if __name__ == "__main__":
    main()
