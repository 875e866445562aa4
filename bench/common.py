"""Shared timing helpers for the benchmark report."""

import collections
import dataclasses
import re
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
    # An iterator case returns a fresh iterator from each callable (no `list(...)` around it); it is
    # timed both streamed (consumed one item at a time, keeping nothing) and collected (`list`), and
    # the report shows the worse of the two. None: an iterator case when `trovix()` returns one.
    iterator: bool | None = None


def goal_ratio(goal):
    """The smallest ratio a goal in words asks for (">= 1.5x", "> 1x", ...), or None."""
    m = re.match(r"\s*>=?\s*([0-9.]+)\s*x", goal or "")
    return float(m.group(1)) if m else None


def calls_per_round(fn, min_total=0.2, repeats=7):
    """How many calls make one timing round long enough to time (after one warm-up call)."""
    fn()
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_total / repeats or n >= 1 << 20:
            return n
        n *= 2


def one_round(fn, n):
    t0 = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - t0) / n


def timed_samples(fn, min_total=0.2, repeats=7):
    """Seconds per call in each of `repeats` rounds."""
    n = calls_per_round(fn, min_total, repeats)
    return [one_round(fn, n) for _ in range(repeats)]


def best_time(fn, min_total=0.2, repeats=7):
    """Median seconds per call over `repeats` rounds."""
    return statistics.median(timed_samples(fn, min_total, repeats))


def spread(samples):
    """Half the distance between the quartiles, relative to the median: the run's noise."""
    if len(samples) < 4:
        return (max(samples) - min(samples)) / 2 / statistics.median(samples)
    q = statistics.quantiles(samples, n=4)
    return (q[2] - q[0]) / 2 / statistics.median(samples)


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


def drain(it):
    """Consumes an iterator one item at a time, keeping nothing (how a `for` loop pays)."""
    collections.deque(it, maxlen=0)


def is_iterator_case(case):
    if case.iterator is not None:
        return case.iterator
    r = case.trovix()
    return hasattr(type(r), "__next__") and iter(r) is r


def ways(case):
    """The ways a case is timed: (label, ours, peer) for each."""
    if not is_iterator_case(case):
        return [("", case.trovix, case.peer)]
    t, p = case.trovix, case.peer
    return [("streamed", lambda: drain(t()), lambda: drain(p())),
            ("collected", lambda: list(t()), lambda: list(p()))]


def measure(case):
    """Times one case (ours and the peer alternate round by round, so that a slow spell of the
    machine hits both; each side's time is its fastest round) and returns its record for the report,
    or None on a result mismatch. An iterator case is timed streamed and collected, and its ratio is
    the worse of the two."""
    timed = ways(case)
    if case.check:
        collect = timed[-1][0] == "collected"
        a, b = case.trovix(), case.peer()
        if collect:
            a, b = list(a), list(b)
        if a != b:
            return None
    counts = [(calls_per_round(ours), calls_per_round(peer)) for _, ours, peer in timed]
    samples = [([], []) for _ in timed]
    for _ in range(7):
        for (_, ours, peer), (n_ours, n_peer), (s_ours, s_peer) in zip(timed, counts, samples):
            s_ours.append(one_round(ours, n_ours))
            s_peer.append(one_round(peer, n_peer))
    want = goal_ratio(case.goal)
    rows = []
    for (how, _, _), (s_ours, s_peer) in zip(timed, samples):
        t, p = min(s_ours), min(s_peer)
        rows.append({"how": how, "ours_s": t, "peer_s": p, "ratio": p / t,
                     "noise": max(spread(s_ours), spread(s_peer))})
    worst = min(rows, key=lambda r: r["ratio"])
    rec = {
        "name": case.name, "peer_name": case.peer_name, "goal": case.goal, "goal_ratio": want,
        "ours_s": worst["ours_s"], "peer_s": worst["peer_s"], "ratio": worst["ratio"],
        "met": None if want is None else worst["ratio"] >= want, "noise": worst["noise"],
        "worse_of": worst["how"] or None,
    }
    for r in rows:
        if r["how"]:
            rec[r["how"]] = {k: r[k] for k in ("ours_s", "peer_s", "ratio", "noise")}
    return rec


HEADER = f"{'case':48} {'trovix':>12} {'peer':>12}  {'ratio':>7} {'noise':>6}  {'worse of (other)':27} peer / goal"


def report(cases):
    """Prints each case as it is measured; returns the records."""
    print(HEADER, flush=True)
    records = []
    for case in cases:
        rec = measure(case)
        if rec is None:
            print(f"{case.name:48} RESULT MISMATCH against {case.peer_name}", flush=True)
            continue
        goal = f" (goal {case.goal})" if case.goal else ""
        mark = "" if rec["met"] is None else ("" if rec["met"] else "  MISSED")
        how = rec["worse_of"] or ""
        if how:
            other = "collected" if how == "streamed" else "streamed"
            how = f"{how} ({other} {rec[other]['ratio']:.2f}x)"
        print(f"{case.name:48} {fmt(rec['ours_s']):>12} {fmt(rec['peer_s']):>12}  {rec['ratio']:6.2f}x "
              f"{100 * rec['noise']:5.1f}%  {how:27} {case.peer_name}{goal}{mark}", flush=True)
        records.append(rec)
    return records


class OneWorkerChild:
    """A child interpreter whose worker pool has one worker (RAYON_NUM_THREADS=1), asked right after
    the parent measured the same work, so that a serial run is timed side by side with the parallel
    one. `setup` runs once there (with `T` = trovix._trovix and the benchmark folder importable);
    each call `child(*args)` evaluates `expr` there with `args` bound and returns repr of its
    result."""

    _DRIVER = (
        "import ast, sys\nsys.path.insert(0, sys.argv[3])\nimport trovix._trovix as T\nexec(sys.argv[1])\n"
        "for line in sys.stdin:\n"
        "    args = ast.literal_eval(line)\n"
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
        here = os.path.dirname(os.path.abspath(__file__))
        self.proc = subprocess.Popen([sys.executable, "-c", self._DRIVER, setup, expr, here], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        atexit.register(self.close)

    def __call__(self, *args):
        self.proc.stdin.write(repr(args) + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait()
