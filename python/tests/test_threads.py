"""The borrow flag and the interpreter lock: conflicting calls fail at once, overlapping searches
run together, other Python threads run during the long core steps, and every borrow is given back,
errors included."""

import numpy as np
import pytest

from thread_probe import assert_this_thread_runs_during, run_during, timed

F32 = np.float32
DIMS = 32
MAX_ROWS = 1_000_000


def matrix(rows, seed=0):
    return np.random.default_rng(seed).standard_normal((rows, DIMS), dtype=F32)


def slow_insert_rows(make_index, seconds=0.2):
    """A row count whose add_batch_np takes about `seconds` on this class (at most MAX_ROWS)."""
    rows = 10_000
    trial = timed(lambda: make_index(DIMS).add_batch_np(matrix(rows)))
    if trial >= seconds:
        return rows
    return int(min(MAX_ROWS, rows * seconds / max(trial, 1e-6)))


def slow_search_index(make_index, seconds=0.004, build_budget=5.0):
    """An index over which one search takes at least `seconds`, grown by doubling; skips the test
    for a class whose search stays fast (a graph search does not scan)."""
    rows, spent = 50_000, 0.0
    while True:
        idx = make_index(DIMS)
        data = matrix(rows)
        spent += timed(lambda: idx.add_batch_np(data))
        query = data[1]
        idx.search(query, 10)
        one = min(timed(lambda: idx.search(query, 10)) for _ in range(3))
        if one >= seconds:
            return idx, query, one
        if rows >= MAX_ROWS or spent > build_budget:
            pytest.skip(f"one search over {rows} rows takes only {one * 1e3:.2f} ms")
        rows = min(MAX_ROWS, rows * 2)


def test_calls_during_add_batch_np_fail_at_once(make_index, fast_switching):
    rows = slow_insert_rows(make_index)
    big = matrix(rows)
    query = big[0]
    idx = make_index(DIMS)
    seen_search = run_during(lambda: idx.add_batch_np(big), lambda: "ok" if idx.search(query, 1) is not None else "")
    assert "Already mutably borrowed" in seen_search
    idx2 = make_index(DIMS)
    counter = iter(range(2**32 - 1, 0, -1))
    seen_add = run_during(lambda: idx2.add_batch_np(big), lambda: idx2.add(next(counter), query) or "ok")
    assert "Already borrowed" in seen_add
    # Both batches completed and the borrows were given back.
    assert len(idx) >= rows and len(idx2) >= rows
    idx.add(2**32 - 1, query)


def test_changes_during_a_search_fail_and_searches_overlap(make_index, fast_switching):
    idx, query, _ = slow_search_index(make_index)

    def long_searches():
        for _ in range(5):
            idx.search(query, 10)

    seen = run_during(long_searches, lambda: idx.add(2**32 - 1, query) or "ok")
    assert "Already borrowed" in seen
    # A second search during the first one succeeds, with the same answer as alone.
    expected = idx.search(query, 3)
    results = []
    seen = run_during(long_searches, lambda: results.append(idx.search(query, 3)) or "ok", attempts=1)
    assert seen == {"ok"} and results
    assert all(r == expected for r in results)


def test_search_releases_the_interpreter_lock(make_index, fast_switching):
    idx, query, one_search = slow_search_index(make_index, seconds=0.004)
    assert_this_thread_runs_during(lambda: idx.search(query, 10), one_search)


def test_reentrant_call_from_a_conversion_sees_the_borrow(make_index):
    idx = make_index(2)
    idx.add(1, [0.0, 0.0])
    calls = []

    class Probe:
        def __init__(self, call):
            self.call = call

        def __index__(self):
            calls.append(self.call())
            return 5

        def __float__(self):
            calls.append(self.call())
            return 0.0

    # An exclusive call's conversion: any call on the same index conflicts.
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        idx.add(Probe(lambda: idx.search([0.0, 0.0], 1)), [0.0, 0.0])
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        idx.add(7, [Probe(lambda: idx.delete(1)), 0.0])
    # A shared call's conversion: reads succeed, changes conflict.
    idx.search([Probe(lambda: len(idx)), 0.0], 1)
    idx.search([0.0, 0.0], Probe(lambda: repr(idx)))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        idx.search([0.0, 0.0], Probe(lambda: idx.add(9, [1.0, 1.0])))
    assert calls == [1, 'FlatIndex(dimensions=2, metric="l2", len=1)'.replace("FlatIndex", type(idx).__name__)]
    # Every borrow was given back.
    idx.add(2, [1.0, 1.0])
    assert len(idx) == 2


@pytest.mark.parametrize("failing_call", [
    lambda i: i.add(1, [0.0]),
    lambda i: i.add(1, "x"),
    lambda i: i.search([0.0], 1),
    lambda i: i.add_batch([(3, [0.0, 0.0]), (4,)]),
    lambda i: i.add_batch_np(np.zeros((2, 3), F32)),
    pytest.param(lambda i: i.add_batch_np(np.broadcast_to(np.zeros(2, F32), (2**40, 2))),
                 marks=pytest.mark.unsanitized(
                     "the sanitizer's allocator ends the process instead of failing")),
    lambda i: i.delete(-1),
], ids=["add-core", "add-conversion", "search-core", "add_batch", "add_batch_np-core", "add_batch_np-memory", "delete"])
def test_borrow_is_released_after_failures(make_index, failing_call):
    idx = make_index(2)
    idx.add(1, [0.0, 0.0])
    with pytest.raises(Exception):
        failing_call(idx)
    idx.add(2, [1.0, 1.0])  # exclusive: needs the flag free
    assert len(idx) == 2
