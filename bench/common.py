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


class OneWorkerChild:
    """A child interpreter whose worker pool has one worker (RAYON_NUM_THREADS=1). `setup` runs once
    (with `T` = trovix._trovix); each call evaluates `expr` there and returns repr of its result, so
    that a serial run is timed side by side with the parallel one in the parent."""

    _DRIVER = (
        "import sys\nimport trovix._trovix as T\nexec(sys.argv[1])\n"
        "for line in sys.stdin:\n"
        "    sys.stdout.write(repr(eval(sys.argv[2])).replace('\\n', ' ') + '\\n')\n"
        "    sys.stdout.flush()\n"
    )

    def __init__(self, setup, expr):
        import atexit
        import os
        import subprocess
        import sys

        env = dict(os.environ)
        env.pop("RAYON_RS_NUM_CPUS", None)
        env["RAYON_NUM_THREADS"] = "1"
        self.proc = subprocess.Popen([sys.executable, "-c", self._DRIVER, setup, expr], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        atexit.register(self.close)

    def __call__(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait()
