"""Shared timing helpers for the benchmark report."""

import dataclasses
import statistics
import time
from typing import Callable


@dataclasses.dataclass
class Case:
    name: str                    # what is measured, e.g. "frequencies: 1e6 short str"
    trovix: Callable[[], object]  # the trovix way
    peer: Callable[[], object]    # the best other way
    peer_name: str               # e.g. "collections.Counter"
    goal: str = ""               # the target ratio in words, e.g. ">= 1.5x"
    check: bool = True           # compare the two results for equality once before timing


def best_time(fn, min_total=0.2, repeats=7):
    """Median seconds per call over `repeats` rounds, each round running long enough to time."""
    fn()
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_total / repeats or n >= 1 << 20:
            break
        n *= 2
    samples = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        samples.append((time.perf_counter() - t0) / n)
    return statistics.median(samples)


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


def report(cases):
    print(f"{'case':48} {'trovix':>12} {'peer':>12}  {'ratio':>7}  peer / goal")
    for case in cases:
        if case.check:
            a, b = case.trovix(), case.peer()
            if a != b:
                print(f"{case.name:48} RESULT MISMATCH against {case.peer_name}")
                continue
        t = best_time(case.trovix)
        p = best_time(case.peer)
        goal = f" (goal {case.goal})" if case.goal else ""
        print(f"{case.name:48} {fmt(t):>12} {fmt(p):>12}  {p / t:6.2f}x  {case.peer_name}{goal}", flush=True)
