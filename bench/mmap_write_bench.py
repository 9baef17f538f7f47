#!/usr/bin/python3
"""What the memory-mapped flat index's id lookup costs its writes: adds of new ids and deletes of
file vectors into an index over a file of n records, against the same calls into an index with no
file yet (nothing to look up), side by side in one run; and its opening (which reads every
record's id once) against one search over the same file.

Usage: /usr/bin/python3 bench/mmap_write_bench.py [--n 1000000] [--dim 32] [--rounds 3]
The module is taken from $SORVEL_BUILD_DIR/python (default <repo>/build/python).
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(Path(os.environ.get("SORVEL_BUILD_DIR", REPO / "build")) / "python"))
sys.path.insert(0, str(REPO / "bench"))
import sorvel_vector_db as svdb  # noqa: E402
import bench_env  # noqa: E402


def best(fn, rounds, setup=lambda: None):
    """The fastest of `rounds` runs of fn(setup()), in seconds."""
    times = []
    for _ in range(rounds):
        arg = setup()
        t0 = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000, help="records in the file")
    parser.add_argument("--dim", type=int, default=32)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    n, dim, rounds = args.n, args.dim, args.rounds
    rng = np.random.default_rng(1)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    batch = rng.standard_normal((n, dim), dtype=np.float32)
    entries = [(n + i, batch[i].tolist()) for i in range(min(n, 100_000))]
    deletes = rng.choice(n, size=min(n, 1000), replace=False).tolist()

    with tempfile.TemporaryDirectory() as tmp, bench_env.bench_lock():
        path = os.path.join(tmp, "file.kvec")
        idx = svdb.MmapFlatIndex(dim, "l2", path)
        idx.add_batch_np(data)
        idx.flush()
        del idx

        def over_file():
            return svdb.MmapFlatIndex(dim, "l2", path)

        def no_file():
            return svdb.MmapFlatIndex(dim, "l2", os.path.join(tmp, "none.kvec"))

        opened = over_file()
        query = rng.standard_normal(dim, dtype=np.float32)
        opened.search(query, 10)  # the file in the page cache
        rows = [
            ("open (reads every id)", best(lambda _: over_file(), rounds),
             "one search, k=10", best(lambda _: opened.search(query, 10), rounds)),
            (f"add_batch_np {n} new ids, file of {n}",
             best(lambda i: i.add_batch_np(batch, start_id=n), rounds, over_file),
             "same, no file", best(lambda i: i.add_batch_np(batch, start_id=n), rounds, no_file)),
            (f"add_batch {len(entries)} new ids, file of {n}",
             best(lambda i: i.add_batch(entries), rounds, over_file),
             "same, no file", best(lambda i: i.add_batch(entries), rounds, no_file)),
            (f"delete {len(deletes)} file vectors, one call each",
             best(lambda i: [i.delete(d) for d in deletes], rounds, over_file),
             f"delete {len(deletes)} absent ids, no file",
             best(lambda i: [i.delete(d) for d in deletes], rounds, no_file)),
        ]
    load = os.getloadavg()
    print(f"MmapFlatIndex writes over a file of {n} records x {dim} dims, best of {rounds}; "
          f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    print(f"{'measured':48} {'seconds':>10}   {'against':36} {'seconds':>10} {'ratio':>7}")
    for name, seconds, other, other_seconds in rows:
        print(f"{name:48} {seconds:10.4f}   {other:36} {other_seconds:10.4f} "
              f"{seconds / other_seconds:7.2f}")


if __name__ == "__main__":
    main()
