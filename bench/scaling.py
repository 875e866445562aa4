"""Scaling table: frequencies and unique on int64 arrays of 10^4 to 10^8 elements, with 1 % and
100 % distinct values, on every worker of the pool and on one, next to the peers and to the rate of
a plain streaming read of the same buffer (numpy's sum: one pass, no table), the physical limit of
these kernels.
"""

import ast
import statistics
import sys
import time

import numpy as np

SIZES = [10**4, 10**5, 10**6, 10**7, 10**8]
DISTRIBUTIONS = ["1%", "100%"]
SEED = 20261208


def rows(huge):
    """(size, distribution) pairs measured. 10^8 distinct values make a result dict of about 9 GB
    and minutes of work per contender: only with `huge`."""
    for n in SIZES:
        for dist in DISTRIBUTIONS:
            if n == 10**8 and dist == "100%" and not huge:
                continue
            yield n, dist


def make(n, dist):
    rng = np.random.default_rng([SEED, n, 1 if dist == "1%" else 2])
    if dist == "1%":
        return rng.integers(0, max(1, n // 100), size=n, dtype=np.int64)
    return rng.permutation(n).astype(np.int64)


def quick_time(fn, budget=1.0):
    """Median seconds per call; a slow call is timed once or twice rather than seven times."""
    t0 = time.perf_counter()
    fn()
    first = time.perf_counter() - t0
    if first > budget / 2:
        return first
    samples = []
    n = max(1, int(budget / 5 / max(first, 1e-7)))
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        samples.append((time.perf_counter() - t0) / n)
    return statistics.median(samples)


def ours(a, T):
    return {"frequencies": quick_time(lambda: T.frequencies(a)), "unique": quick_time(lambda: list(T.unique(a)))}


def ms(seconds):
    """A time in 9 characters."""
    if seconds < 1e-3:
        return f"{seconds * 1e6:7.1f}us"
    if seconds < 10:
        return f"{seconds * 1e3:7.1f}ms"
    return f"{seconds:8.2f}s"


HEADER = (f"{'n':>9} {'dist':>5} {'read GB/s':>9} | {'freq':>9} {'GB/s':>6} {'1 worker':>9} {'value_counts':>12} "
          f"{'np.unique':>9} | {'unique':>9} {'GB/s':>6} {'1 worker':>9} {'pd.unique':>9}")


def run(huge=False):
    """Measures every row, printing the table as it goes; returns the rows."""
    import pandas as pd
    import trovix._trovix as T

    from common import OneWorkerChild

    single = OneWorkerChild("from scaling import make, ours", "ours(make(*args), T)")
    print(HEADER, flush=True)
    out = []
    for n, dist in rows(huge):
        a = make(n, dist)
        gb = a.nbytes / 1e9
        rec = {"n": n, "dist": dist, "bytes": a.nbytes, "read_s": quick_time(lambda: int(a.sum()))}
        rec.update(ours(a, T))
        one = ast.literal_eval(single(n, dist))
        rec["frequencies_1w"] = one["frequencies"]
        rec["unique_1w"] = one["unique"]
        rec["value_counts"] = quick_time(lambda: pd.Series(a).value_counts(sort=False))
        rec["np_unique"] = quick_time(lambda: np.unique(a, return_counts=True))
        rec["pd_unique"] = quick_time(lambda: pd.unique(a))
        del a
        print(f"{n:>9.0e} {dist:>5} {gb / rec['read_s']:9.2f} | {ms(rec['frequencies'])} "
              f"{gb / rec['frequencies']:6.2f} {ms(rec['frequencies_1w'])} {ms(rec['value_counts']):>12} "
              f"{ms(rec['np_unique'])} | {ms(rec['unique'])} {gb / rec['unique']:6.2f} {ms(rec['unique_1w'])} "
              f"{ms(rec['pd_unique'])}", flush=True)
        out.append(rec)
    single.close()
    return out


if __name__ == "__main__":
    run("--huge" in sys.argv)
