"""Integer kernels over memory that changes while they run (written by native code running beside
them): every result may be inconsistent, none may crash; and top-k selection stays within memory
proportional to k."""

import pytest

from hashing.test_pool_settings import run_script

# A writer thread keeps flipping an element of an array between values in the array's narrow range
# and values far outside it, in native code that runs without the interpreter lock, while the main
# thread runs every kernel over the array.
REWRITTEN = r"""
import sys, threading, time
import numpy as np
from numpy.lib.stride_tricks import as_strided
import trovix._trovix as T

n, dtype = N, np.dtype(DTYPE)
info = np.iinfo(dtype)
# Many distinct values in a range narrow enough for a direct array of counts, wider than 2**16.
a = (2 * np.arange(n)).astype(dtype)  # (wraps around for the narrow types)
stop = False

def writer(spot):
    near = int(a[spot])
    # Far enough that an index computed from it would point into unmapped memory.
    far = (near + (1 << min(40, 8 * dtype.itemsize - 2))) % (int(info.max) + 1)
    src = np.empty(1 << 20, dtype=dtype)
    src[0::2], src[1::2] = near, far
    # Every element of this view is a[spot]: one copy writes it a million times.
    dst = as_strided(a[spot:], shape=src.shape, strides=(0,))
    while not stop:
        np.copyto(dst, src)
    a[spot] = near

sys.setswitchinterval(1e-5)  # a writer gets back into its native loop as soon as a call returns
writers = [threading.Thread(target=writer, args=(n // 2,))]
for w in writers:
    w.start()
calls = 0
try:
    deadline = time.monotonic() + 2.5
    while time.monotonic() < deadline:
        d = T.frequencies(a)
        assert all(type(k) is int and type(c) is int and c > 0 for k, c in d.items())
        assert sum(d.values()) <= n
        if calls % 32 == 0:
            assert len(T.topk(3, a)) == 3 and len(T.topk(n // 4, a)) == n // 4
            T.isdistinct(a)
            assert len(list(T.unique(a))) <= n
        calls += 1
finally:
    stop = True
    for w in writers:
        w.join()
print("ok", calls)
"""


@pytest.mark.no_leakcheck("runs in a child process")
@pytest.mark.parametrize("n,dtype", [(20_000, "int64"), (20_000, "int32"), (4096, "int64"), (3000, "int16"),
                                     (100_000, "uint16")])
def test_kernels_over_memory_rewritten_while_they_run(n, dtype):
    out = run_script(REWRITTEN.replace("N", str(n)).replace("DTYPE", repr(dtype)), 120)
    assert out.startswith("ok")


# Peak memory of a top-k selection beyond what the input itself takes, in a fresh interpreter.
TOPK_MEMORY = r"""
import resource
import numpy as np
import trovix._trovix as T

n = 8_000_000
k = n // DIVISOR + 1
rng = np.random.default_rng(3)
a = np.empty(n, dtype=np.int64)
for i in range(0, n, 1 << 16):  # no temporary as large as the array: it would hide the growth
    a[i:i + (1 << 16)] = rng.integers(-2**62, 2**62, size=min(1 << 16, n - i), dtype=np.int64)
T.topk(3, a[:1000])  # the pool and the module's own first allocations
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
top = T.topk(k, a)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
assert top[:3] == tuple(np.sort(a)[::-1][:3].tolist()) and len(top) == k
print(grown / k)
"""


@pytest.mark.no_leakcheck("runs in child processes")
@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("divisor", [128, 16])
def test_topk_memory_is_proportional_to_k(threads, divisor):
    # The result tuple and its ints take about 40 bytes per value, the selection a few arrays of k
    # values per worker.
    per_value = float(run_script(TOPK_MEMORY.replace("DIVISOR", str(divisor)), 300, RAYON_NUM_THREADS=threads))
    assert per_value < 150, per_value
