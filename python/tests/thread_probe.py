"""Helpers of the thread tests: probing an object from this thread while a call runs in another,
checking that a call lets this thread run, and timing a call."""

import threading
import time

import numpy as np

BORROW_CONFLICTS = ("Already borrowed", "Already mutably borrowed")


def run_during(long_call, probe, attempts=3):
    """Runs long_call in a thread and calls probe() repeatedly from this thread until it finishes.
    Returns the set of outcomes of probe (its result or a RuntimeError's text) seen while the
    thread was alive, retrying the whole run a few times if no probe met a borrow conflict (the
    thread may finish before any probe ran inside it)."""
    outcomes = set()
    for _ in range(attempts):
        outcomes = set()
        started = threading.Event()

        def worker():
            started.set()
            long_call()

        thread = threading.Thread(target=worker)
        thread.start()
        started.wait()
        while thread.is_alive():
            try:
                outcomes.add(probe())
            except RuntimeError as e:
                outcomes.add(str(e))
        thread.join()
        if any(o in BORROW_CONFLICTS for o in outcomes):
            return outcomes
    return outcomes


def timed(fn):
    """The seconds one call of fn() takes."""
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def assert_this_thread_runs_during(call, one_call):
    """Runs call() twenty times in a thread (one run takes about `one_call` seconds) while this
    thread records time stamps, and asserts that the call gave up the interpreter lock."""
    done = threading.Event()
    failures = []

    def calls():
        try:
            for _ in range(20):
                call()
        except BaseException as e:  # reported below, so that this thread's loop still ends
            failures.append(e)
        finally:
            done.set()

    thread = threading.Thread(target=calls)
    stamps = []
    thread.start()
    while not done.is_set():
        stamps.append(time.perf_counter())
    thread.join()
    assert failures == []
    gaps = np.diff(stamps)
    # Held through a call, the lock would stop this loop for a whole call twenty times, so such
    # stops would fill nearly all of the time; a loaded machine preempts the loop now and then, for
    # far less of it.
    assert len(stamps) > 100
    stopped = gaps[gaps >= 0.8 * one_call].sum()
    assert stopped < 0.5 * (stamps[-1] - stamps[0])
