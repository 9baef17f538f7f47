"""Where the benchmarks find their data, peers and lock, without a path fixed to one machine.

  SORVEL_BENCH_CACHE    the cache folder (default $XDG_CACHE_HOME/sorvel-bench, else
                        ~/.cache/sorvel-bench): built peers (faiss-avx2/, hnswlib-native/), the
                        lock file bench.lock, downloaded data
  SORVEL_FASHION_MNIST  the folder holding Fashion-MNIST's four idx .gz files (default: the cache's
                        fashion-mnist/ when present, else the files of the Debian package
                        dataset-fashion-mnist, found through dpkg)
"""

import contextlib
import fcntl
import gzip
import os
import subprocess
from pathlib import Path

import numpy as np

FASHION_FILES = ("train-images-idx3-ubyte.gz", "train-labels-idx1-ubyte.gz",
                 "t10k-images-idx3-ubyte.gz", "t10k-labels-idx1-ubyte.gz")


def cache_dir():
    if os.environ.get("SORVEL_BENCH_CACHE"):
        return Path(os.environ["SORVEL_BENCH_CACHE"])
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "sorvel-bench"


def peer_dir(name):
    """The cache folder a bench/build_*.sh script builds the peer `name` into."""
    return cache_dir() / name


def fashion_mnist_dir():
    if os.environ.get("SORVEL_FASHION_MNIST"):
        return Path(os.environ["SORVEL_FASHION_MNIST"])
    cached = cache_dir() / "fashion-mnist"
    if (cached / FASHION_FILES[0]).exists():
        return cached
    try:
        listed = subprocess.run(["dpkg", "-L", "dataset-fashion-mnist"], capture_output=True,
                                text=True, check=True).stdout.split()
        for line in listed:
            if line.endswith(FASHION_FILES[0]):
                return Path(line).parent
    except (OSError, subprocess.CalledProcessError):
        pass
    raise SystemExit("Fashion-MNIST not found: install the Debian package dataset-fashion-mnist, "
                     f"put its files in {cached}, or set SORVEL_FASHION_MNIST")


def read_idx(name):
    """One Fashion-MNIST idx file: images as a (count, 784) uint8 array, labels as a vector."""
    data = gzip.open(fashion_mnist_dir() / name).read()
    count = int.from_bytes(data[4:8], "big")
    if int.from_bytes(data[:4], "big") == 2051:
        return np.frombuffer(data, np.uint8, offset=16).reshape(count, -1)
    return np.frombuffer(data, np.uint8, offset=8)


def fashion_images(name):
    """Images scaled to [0, 1] as a C-contiguous float32 matrix."""
    return np.ascontiguousarray(read_idx(name).astype(np.float32) / 255.0)


@contextlib.contextmanager
def bench_lock(path=None):
    """Holds an exclusive flock on the cache's bench.lock (or `path`; '' for none), so two
    benchmarks never measure side by side."""
    if path == "":
        yield
        return
    lock = Path(path) if path else cache_dir() / "bench.lock"
    lock.parent.mkdir(parents=True, exist_ok=True)
    with open(lock, "a") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)
