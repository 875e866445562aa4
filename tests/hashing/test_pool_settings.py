"""The worker pool's size comes from the environment; every setting gives the same results."""

import os
import subprocess
import sys

import pytest

SCRIPT = r"""
import numpy as np
import trovix._trovix as T
rng = np.random.default_rng(11)
a = rng.integers(0, 100, size=2_000_003, dtype=np.int64)
a[-1] = 1000
d = T.frequencies(a)
vals, counts = np.unique(a, return_counts=True)
assert d == dict(zip(vals.tolist(), counts.tolist())), "counts"
assert list(d)[:50] == list(dict.fromkeys(a[:5000].tolist()))[:50], "order"
assert list(d)[-1] == 1000, "last"
u16 = a.astype(np.uint16)
assert T.frequencies(u16) == d and list(T.frequencies(u16)) == list(d)
wide = rng.permutation(1_000_000)
assert list(T.frequencies(wide)) == wide.tolist()
print("ok")
"""


def run_script(script, timeout, **settings):
    """Runs `script` in a fresh interpreter with the pool settings given (and no others); returns
    its stdout, failing the test if it exits non-zero."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(settings)
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


@pytest.mark.parametrize("setting", [("RAYON_NUM_THREADS", "1"), ("RAYON_NUM_THREADS", "2"),
                                     ("RAYON_NUM_THREADS", "0"), ("RAYON_NUM_THREADS", "lots"),
                                     ("RAYON_NUM_THREADS", "7"), ("RAYON_NUM_THREADS", "64"),
                                     ("RAYON_RS_NUM_CPUS", "3"),
                                     ("RAYON_RS_NUM_CPUS", "-2")])
def test_results_do_not_depend_on_pool_size(setting):
    assert run_script(SCRIPT, 300, **{setting[0]: setting[1]}) == "ok"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() on this system")
def test_pool_survives_fork():
    script = r"""
import os, numpy as np, trovix._trovix as T
a = np.arange(2_000_000, dtype=np.int64) % 7
T.frequencies(a)  # the parent's pool exists now
pid = os.fork()
if pid == 0:
    os._exit(0 if T.frequencies(a) == {i: int((a == i).sum()) for i in range(7)} else 1)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
"""
    assert run_script(script, 120, RAYON_NUM_THREADS="2") == "0"


def test_worker_fault_surfaces_as_panic_exception():
    script = r"""
import numpy as np, trovix._trovix as T
a = np.arange(2_000_000, dtype=np.int64) % 7
for _ in range(3):  # the pool stays usable after a failed batch
    try:
        T.frequencies(a)
    except BaseException as e:
        assert type(e).__name__ == "PanicException" and not isinstance(e, Exception), type(e)
        assert "injected worker fault" in str(e), str(e)
    else:
        raise AssertionError("no fault")
assert T.frequencies(a[:1000]) == {i: int((a[:1000] == i).sum()) for i in range(7)}
print("ok")
"""
    assert run_script(script, 120, RAYON_NUM_THREADS="2", TROVIX_POOL_INJECT_FAULT="1") == "ok"
