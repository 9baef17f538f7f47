"""Puts the build tree's module first on sys.path (SORVEL_BUILD_DIR, default <repo>/build) and
provides the index classes as parametrized fixtures, a Client over a fresh data directory, and a
short thread switch interval for the thread tests.

Under a sanitizer (SORVEL_SANITIZER set, as scripts/dev.sh does for its sanitizer run) the tests
marked `unsanitized(reason)` are skipped with their reason: those that need an allocation to fail
(the sanitizer's allocator ends the process instead) or time work that instrumentation slows."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("SORVEL_BUILD_DIR", REPO / "build"))
sys.path.insert(0, str(BUILD_DIR / "python"))

import sorvel_vector_db  # noqa: E402  (needs the path above)

# Every index class that shares the common API: (class name, extra constructor keywords). A class
# joins when it is registered; the shared tests then run over it too.
INDEX_KINDS = [
    ("FlatIndex", {}),
    ("HnswIndex", {}),
    # The inverted-file kinds probe every list here, so a search costs a full scan, as the
    # thread tests need.
    ("IvfIndex", {"nprobe": 2**32}),
    ("IvfPqIndex", {"pq_m": 1, "n_lists": 2048, "nprobe": 2**32}),
]
# The classes whose search is exact, so results can be compared with a brute-force scan.
EXACT_KINDS = [("FlatIndex", {})]


SANITIZER = os.environ.get("SORVEL_SANITIZER", "")
# What a test that starts a clean interpreter passes on, so the module loads there too.
SANITIZER_ENV = {k: v for k, v in os.environ.items()
                 if k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "SORVEL_SANITIZER")}


def run_child(code, timeout=60):
    """Runs `code` in a new interpreter that imports the module from the build tree, so that a
    call that blocks fails the test instead of hanging it; returns the completed process."""
    env = dict(os.environ, PYTHONPATH=str(BUILD_DIR / "python"), PYTHONDONTWRITEBYTECODE="1")
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {timeout} s")



def set_compact_threshold(data, name, threshold):
    """Rewrites collection `name`'s meta.json in the data directory `data` with another
    wal_compact_threshold (read by its next opening)."""
    meta_path = os.path.join(data, name, "meta.json")
    with open(meta_path) as f:
        meta = json.load(f)
    meta["wal_compact_threshold"] = threshold
    with open(meta_path, "w") as f:
        json.dump(meta, f)

def pytest_configure(config):
    config.addinivalue_line(
        "markers", "unsanitized(reason): skipped under a sanitizer, for the reason given")


def pytest_collection_modifyitems(config, items):
    if not SANITIZER:
        return
    for item in items:
        marker = item.get_closest_marker("unsanitized")
        if marker is not None:
            reason = marker.args[0] if marker.args else marker.kwargs["reason"]
            item.add_marker(pytest.mark.skip(reason=f"under {SANITIZER}: {reason}"))


def _kind_id(kind):
    return kind[0]


@pytest.fixture(scope="session")
def svdb():
    return sorvel_vector_db


def _maker(kind):
    """make(dimensions, metric="l2") -> a new index of `kind`; make.cls is its class."""
    name, extra = kind
    cls = getattr(sorvel_vector_db, name)

    def make(dimensions, metric="l2"):
        return cls(dimensions, metric, **extra)

    make.cls = cls
    return make


@pytest.fixture(params=INDEX_KINDS, ids=_kind_id)
def make_index(request):
    """make_index(dimensions, metric="l2") -> a new index of the parametrized class."""
    return _maker(request.param)


@pytest.fixture(params=EXACT_KINDS, ids=_kind_id)
def make_exact_index(request):
    """make_exact_index(dimensions, metric="l2") -> a new index of a class with exact search."""
    return _maker(request.param)


@pytest.fixture
def data(tmp_path):
    """The path of a data directory that does not exist yet."""
    return str(tmp_path / "data")


@pytest.fixture
def client(svdb, data):
    """A Client over `data`, which it creates."""
    return svdb.Client(data)


@pytest.fixture
def fast_switching():
    """A short thread switch interval for the test's duration, so threads interleave often."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    yield
    sys.setswitchinterval(old)
