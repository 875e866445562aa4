"""topk against NumPy and heapq: integer arrays (in parallel, and with a one-worker pool), lists of
ints and of str (native selection), and a keyed call on rows."""

import heapq
import random
from operator import itemgetter

import numpy as np

from common import Case, OneWorkerChild

import trovix._trovix as T

SEED = 20261208
N_BIG = 10_000_000


def cases():
    big = np.random.default_rng(SEED).integers(-(2**62), 2**62, size=N_BIG, dtype=np.int64)
    rng = random.Random(SEED)
    ints = [rng.randrange(10**9) for _ in range(1_000_000)]
    strs = [f"user-{rng.randrange(10**9):09d}" for _ in range(1_000_000)]
    rows = [(rng.randrange(10**9), i) for i in range(1_000_000)]
    # Every layout of a 1-D integer array is read natively.
    strided = big[: 4_000_000 : 2]
    swapped = big[:2_000_000].astype(">i8")
    strided_same, swapped_same = strided.copy(), big[:2_000_000].copy()

    def np_top():
        return np.sort(np.partition(big, -10)[-10:])[::-1]

    assert T.topk(10, big) == tuple(np_top().tolist())
    serial = OneWorkerChild(
        f"import numpy as np; a = np.random.default_rng({SEED}).integers(-(2**62), 2**62, size={N_BIG}, dtype=np.int64)",
        "T.topk(10, a)")
    assert serial() == repr(T.topk(10, big))

    return [
        Case("topk(10, 1e7 int64 array)", lambda: T.topk(10, big), np_top,
             "np.sort(np.partition(a, -10)[-10:])[::-1]", ">= 3x", check=False),
        Case("topk(10, 1e7 int64 array), vs 1 worker", lambda: T.topk(10, big), serial,
             "same call, RAYON_NUM_THREADS=1 (child process)", ">= 1.6x on 2 cores", check=False),
        Case("topk(10, 1e7 int64 array), 1 worker vs numpy", serial, np_top,
             "np.partition (1-worker pool in a child)", "report", check=False),
        Case("topk(10, int64[2e6] every 2nd element)", lambda: T.topk(10, strided), lambda: T.topk(10, strided_same),
             "the same values contiguous", ">= 0.5x"),
        Case("topk(10, int64[2e6] big-endian)", lambda: T.topk(10, swapped), lambda: T.topk(10, swapped_same),
             "the same values contiguous", ">= 0.5x"),
        Case("topk(10, int64[2e6] every 2nd element)", lambda: T.topk(10, strided),
             lambda: tuple(heapq.nlargest(10, strided.tolist())), "heapq.nlargest(view.tolist())", ">= 2x"),
        Case("topk(10, list of 1e6 ints)", lambda: T.topk(10, ints), lambda: tuple(heapq.nlargest(10, ints)),
             "heapq.nlargest", ">= 2x"),
        Case("topk(10, list of 1e6 str)", lambda: T.topk(10, strs), lambda: tuple(heapq.nlargest(10, strs)),
             "heapq.nlargest", ">= 1.5x"),
        Case("topk(10, 1e6 rows, key=0)", lambda: T.topk(10, rows, key=0),
             lambda: tuple(heapq.nlargest(10, rows, key=itemgetter(0))), "heapq.nlargest(key=itemgetter(0))",
             "report"),
    ]
