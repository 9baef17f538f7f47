#!/usr/bin/python3
"""Opening HNSW collections after the events of ordinary use, side by side in one run, on
Fashion-MNIST (60,000 x 784 train images / 255, L2) and on 30,000 x 32 Gaussian rows; HNSW
parameters 200 / 50 / 12, the default compaction threshold (50,000).

For each data set of N rows (ids 0 .. N-1, no payloads) and each event:

  a. one writer   a process writes 2N/3 rows (upsert_batch in chunks of 5,000) and exits
  a. six writers  six processes, one after another, write N/6 rows each
  b. restore      restore_snapshot of a snapshot taken at N rows, after 10 % of them were deleted
  c. kill         a process writes the second half of the rows (the first half and its graph are
                  already there) and is killed with SIGKILL once its last write was acknowledged

the table gives the first and the second opening of the data directory after the event
(Client(path)), a rebuild (the opening with "hnsw.graph" removed) and a batch build of the same
rows (upsert_batch of all of them into a fresh collection whose threshold is above N). Goals: the
second opening at most 0.1 x the rebuild; restore_snapshot at most 1.5 x the batch build.

Then recall@10 of 200 queries (Fashion-MNIST test images; further Gaussian rows) against numpy's
exact answer, after an opening over a "hnsw.graph" that is zero-filled (41 bytes), that belongs to
another collection of the same settings (other vectors under the same ids), or to one with m 2,
each beside the recall of a fresh build (the opening without "hnsw.graph").

Last, promotion of a flat collection at N/3 rows (the upsert that promotes, the graph saved) beside
HnswIndex.add_batch (one insert after another, as promotion inserted before) and
HnswIndex.add_batch_parallel of the same rows.

Usage: /usr/bin/python3 bench/collection_open_bench.py [--build build] [--only fashion|gaussian]
"""

import argparse
import gc
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402  (after the thread setting)

from bench_env import bench_lock, fashion_images  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
K = 10
CHUNK = 5000
CONFIG = {"ef_construction": 200, "ef_search": 50, "m": 12}

# A writer process: opens the data directory, writes rows [start, stop) of the .npy file in
# chunks, then exits, or (kill) reports the last acknowledged write and waits for its SIGKILL.
WRITER = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np
import sorvel_vector_db as svdb
data_dir, name, rows_path, start, stop, chunk, mode = sys.argv[2:9]
rows = np.load(rows_path, mmap_mode="r")
start, stop, chunk = int(start), int(stop), int(chunk)
client = svdb.Client(data_dir)
col = client.get_collection(name)
for at in range(start, stop, chunk):
    end = min(stop, at + chunk)
    col.upsert_batch([(i, np.array(rows[i])) for i in range(at, end)])
if mode == "kill":
    print("acknowledged", flush=True)
    time.sleep(600)
"""


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def load_text():
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f}"


class Bench:
    def __init__(self, svdb, module_dir, tmp, label, data, queries):
        self.svdb = svdb
        self.module_dir = module_dir
        self.tmp = tmp
        self.label = label
        self.data = data
        self.queries = queries
        self.n, self.d = data.shape
        self.rows_path = os.path.join(tmp, label + ".npy")
        np.save(self.rows_path, data)
        self.count = 0

    def new_dir(self, threshold=50000, index_type="hnsw", extra=None):
        """A data directory holding one empty collection "c"; its meta.json is written by hand so
        that the compaction threshold can be set."""
        self.count += 1
        path = os.path.join(self.tmp, f"{self.label}-{self.count}")
        meta = {"name": "c", "dimensions": self.d, "metric": "l2", "index_type": index_type,
                "wal_compact_threshold": threshold}
        if index_type == "hnsw":
            meta["hnsw_config"] = dict(CONFIG)
        meta.update(extra or {})
        os.makedirs(os.path.join(path, "c"))
        with open(os.path.join(path, "c", "meta.json"), "w") as f:
            json.dump(meta, f)
        return path

    def write(self, path, start, stop, mode="exit"):
        args = [sys.executable, "-c", WRITER, self.module_dir, path, "c", self.rows_path,
                str(start), str(stop), str(CHUNK), mode]
        if mode == "exit":
            subprocess.run(args, check=True)
            return
        child = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "acknowledged"
        os.kill(child.pid, signal.SIGKILL)
        child.wait()

    def open_time(self, path):
        t, client = timed(lambda: self.svdb.Client(path))
        del client
        gc.collect()
        return t

    def graph_path(self, path):
        return os.path.join(path, "c", "hnsw.graph")

    def rebuild_time(self, path):
        if os.path.exists(self.graph_path(path)):
            os.remove(self.graph_path(path))
        return self.open_time(path)

    def batch_time(self, ids):
        path = self.new_dir(threshold=10**12)
        client = self.svdb.Client(path)
        col = client.get_collection("c")
        entries = [(int(i), self.data[i]) for i in ids]
        t, _ = timed(lambda: col.upsert_batch(entries))
        del entries, col, client
        gc.collect()
        shutil.rmtree(path)
        return t

    def recall(self, path, ids):
        client = self.svdb.Client(path)
        col = client.get_collection("c")
        sub = self.data[ids]
        dist = (sub * sub).sum(1)[None, :] - 2.0 * self.queries @ sub.T
        truth = ids[np.argsort(dist, axis=1)[:, :K]]
        found = 0
        for q, want in zip(self.queries, truth):
            found += len({h["id"] for h in col.search(q, K)} & set(want.tolist()))
        del col, client
        gc.collect()
        return found / truth.size

    def event_row(self, name, path, ids, restore=None):
        first = self.open_time(path)
        second = self.open_time(path)
        rebuild = self.rebuild_time(path)
        batch = self.batch_time(ids)
        ratio = second / rebuild
        line = (f"  {name:13s} {first:8.3f} {second:8.3f} {rebuild:9.3f} {batch:8.3f}"
                f"   {ratio:6.3f} {'ok' if ratio <= 0.1 else 'MISSED':6s}")
        if restore is not None:
            r = restore / batch
            line += f"   restore {restore:7.3f} s = {r:5.2f} x batch {'ok' if r <= 1.5 else 'MISSED'}"
        print(line, flush=True)
        shutil.rmtree(path)

    def events(self):
        n = self.n
        print(f"{self.label}: {n} x {self.d}  ({load_text()})")
        print(f"  {'event':13s} {'1st open':>8s} {'2nd open':>8s} {'rebuild':>9s} {'batch':>8s}"
              f"   {'2nd/rebuild (goal <= 0.1)':s}")

        path = self.new_dir()
        self.write(path, 0, 2 * n // 3)
        self.event_row("one writer", path, np.arange(2 * n // 3))

        path = self.new_dir()
        for k in range(6):
            self.write(path, k * n // 6, (k + 1) * n // 6)
        self.event_row("six writers", path, np.arange(n))

        path = self.new_dir()
        client = self.svdb.Client(path)
        col = client.get_collection("c")
        col.upsert_batch([(i, self.data[i]) for i in range(n)])
        col.create_snapshot("s")
        for i in range(0, n, 10):
            col.delete(i)
        restore, _ = timed(lambda: col.restore_snapshot("s"))
        del col, client
        gc.collect()
        self.event_row("restore", path, np.arange(n), restore=restore)

        path = self.new_dir()
        self.write(path, 0, n // 2)
        self.open_time(path)  # saves the graph of the first half
        self.write(path, n // 2, n, mode="kill")
        self.event_row("kill", path, np.arange(n))
        print(flush=True)

    def foreign_graphs(self, other):
        """`other`: N other vectors of the same shape, stored under the same ids."""
        n = self.n
        ids = np.arange(n)
        path = self.new_dir()
        client = self.svdb.Client(path)
        client.get_collection("c").upsert_batch([(i, self.data[i]) for i in range(n)])
        del client
        gc.collect()
        graph = self.graph_path(path)
        print(f"{self.label}: recall@{K} after opening over a graph that is not the collection's"
              f"  ({load_text()})")
        fresh_time = self.rebuild_time(path)
        fresh = self.recall(path, ids)
        print(f"  {'fresh build':28s} open {fresh_time:7.3f} s   recall {fresh:.4f}")

        foreign_graphs = {}
        for label, extra in (("same settings", {}),
                             ("m 2", {"hnsw_config": dict(CONFIG, m=2)})):
            fpath = self.new_dir(extra=extra)
            client = self.svdb.Client(fpath)
            client.get_collection("c").upsert_batch([(i, other[i]) for i in range(n)])
            del client
            gc.collect()
            self.open_time(fpath)  # saves the graph where the batch did not compact
            with open(self.graph_path(fpath), "rb") as f:
                foreign_graphs[label] = f.read()
            shutil.rmtree(fpath)

        cases = [("zero-filled (41 bytes)", bytes(41)),
                 ("foreign, same settings", foreign_graphs["same settings"]),
                 ("foreign, m 2", foreign_graphs["m 2"])]
        for label, content in cases:
            with open(graph, "wb") as f:
                f.write(content)
            t = self.open_time(path)
            r = self.recall(path, ids)
            print(f"  {label:28s} open {t:7.3f} s   recall {r:.4f}   "
                  f"{'ok' if r >= fresh - 0.02 else 'BELOW the fresh build'}")
        shutil.rmtree(path)
        print(flush=True)

    def promotion(self):
        rows = self.n // 3
        path = self.new_dir(threshold=10**12, index_type="flat",
                            extra={"auto_promote_threshold": rows})
        client = self.svdb.Client(path)
        col = client.get_collection("c")
        col.upsert_batch([(i, self.data[i]) for i in range(rows - 1)])
        t_promote, _ = timed(lambda: col.upsert(rows - 1, self.data[rows - 1]))
        assert os.path.exists(self.graph_path(path)), "promotion saved no graph"
        del col, client
        gc.collect()
        shutil.rmtree(path)
        block = np.ascontiguousarray(self.data[:rows])
        seq = self.svdb.HnswIndex(self.d, "l2", **CONFIG)
        t_seq, _ = timed(lambda: seq.add_batch([(i, block[i]) for i in range(rows)]))
        par = self.svdb.HnswIndex(self.d, "l2", **CONFIG)
        t_par, _ = timed(lambda: par.add_batch_parallel(block))
        del seq, par
        print(f"{self.label}: promotion at {rows} rows  ({load_text()})")
        print(f"  promoting upsert {t_promote:7.3f} s   HnswIndex.add_batch {t_seq:7.3f} s"
              f"   add_batch_parallel {t_par:7.3f} s")
        print(flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.environ.get("SORVEL_BUILD_DIR", "build"))
    parser.add_argument("--only", choices=["fashion", "gaussian"])
    args = parser.parse_args()
    module_dir = str(REPO / args.build / "python")
    sys.path.insert(0, module_dir)
    import sorvel_vector_db as svdb

    sets = []
    if args.only != "gaussian":
        train = fashion_images("train-images-idx3-ubyte.gz")
        test = fashion_images("t10k-images-idx3-ubyte.gz")
        # Other vectors for the foreign graph: the training images in reverse order.
        sets.append(("fashion-mnist", train, np.ascontiguousarray(test[:200]),
                     np.ascontiguousarray(train[::-1])))
    if args.only != "fashion":
        rng = np.random.default_rng(11)
        gauss = rng.standard_normal((30000 + 200 + 30000, 32), dtype=np.float32)
        sets.append(("gaussian", np.ascontiguousarray(gauss[:30000]),
                     np.ascontiguousarray(gauss[30000:30200]),
                     np.ascontiguousarray(gauss[30200:])))

    with bench_lock(), tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/tmp")) as tmp:
        print(f"HNSW collection openings, {os.cpu_count()} processors, {load_text()}\n")
        for label, data, queries, other in sets:
            bench = Bench(svdb, module_dir, tmp, label, data, queries)
            bench.events()
            bench.foreign_graphs(other)
            bench.promotion()
        print(f"done, {load_text()}")


if __name__ == "__main__":
    main()
