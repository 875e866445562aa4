"""The worker pool: its size comes from the environment and is fixed at first use, results do not
depend on it, and it survives fork, worker faults and interpreter exit. Each case runs in a fresh
interpreter; the pool's size is read as the number of threads the first parallel call started."""

import functools
import os

import pytest
from fresh import run_fresh

N = 600_000  # above the size from which the integer kernels split the work across the pool

SIZE_SCRIPT = f"""
import array, collections, os
import trovix._trovix as T

def threads():
    return len(os.listdir("/proc/self/task"))  # Linux: the pool's size as the threads it started

base = threads()
data = array.array("q", [(i * 7919) % 1001 - 500 for i in range({N})])
assert T.frequencies(data[:1000]) and threads() == base, "a small input started the pool"
counts = T.frequencies(data)
started = threads() - base
assert list(counts.items()) == list(collections.Counter(data).items()), "counts"
wide = array.array("q", range({N}, 0, -1))
assert list(T.frequencies(wide)) == wide.tolist(), "wide"
assert T.topk(5, data) == tuple(sorted(data, reverse=True)[:5]), "topk"
assert list(T.unique(wide)) == wide.tolist() and T.isdistinct(wide), "unique"
print(started)
"""


def run_script(script, timeout, **settings):
    """Runs `script` in a fresh interpreter with the pool settings given (and no others); returns
    its stdout."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    return run_fresh(script, timeout=timeout, env=env, **settings).stdout.strip()


@functools.cache
def default_size():
    size = int(run_script(SIZE_SCRIPT, 300))
    assert 1 <= size <= os.process_cpu_count()
    return size


@pytest.mark.parametrize("settings, size", [
    ({"RAYON_NUM_THREADS": "1"}, 1), ({"RAYON_NUM_THREADS": "2"}, 2), ({"RAYON_NUM_THREADS": "7"}, 7),
    ({"RAYON_NUM_THREADS": "5000"}, 1024),  # the clamp
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "default"),  # 0 asks for the default
    ({"RAYON_NUM_THREADS": "lots", "RAYON_RS_NUM_CPUS": "3"}, 3), ({"RAYON_NUM_THREADS": " 2"}, "default"),
    ({"RAYON_RS_NUM_CPUS": "3"}, 3), ({"RAYON_RS_NUM_CPUS": "-2"}, "default"), ({"RAYON_RS_NUM_CPUS": "0"}, "default"),
], ids=repr)
def test_pool_size_and_results(settings, size):
    expected = default_size() if size == "default" else size
    assert int(run_script(SIZE_SCRIPT, 300, **settings)) == expected


def test_no_worker_started_runs_every_task_on_the_caller():
    # With no address space left for a thread's stack, the pool starts no worker and the calling
    # thread does all the work.
    script = SIZE_SCRIPT.replace("counts = T.frequencies(data)", """
import resource
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), resource.RLIM_INFINITY))
counts = T.frequencies(data)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))""")
    assert run_script(script, 300, RAYON_NUM_THREADS="4") == "0"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() on this system")
def test_pool_survives_fork_also_while_another_thread_is_inside_it():
    script = f"""
import array, os, signal, threading, warnings
import trovix._trovix as T
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
a = array.array("q", [i % 7 for i in range({N})])
expected = {{i: a.count(i) for i in range(7)}}

def child():
    signal.alarm(60)  # a deadlocked pool ends the child instead of the test
    os._exit(0 if T.frequencies(a) == expected else 1)

def fork_and_check():
    pid = os.fork()
    if pid == 0:
        child()
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)

T.frequencies(a)  # the parent's pool exists now
codes = [fork_and_check()]
stop = False
def busy():
    while not stop:
        assert T.frequencies(a) == expected
t = threading.Thread(target=busy)
t.start()
codes += [fork_and_check() for _ in range(10)]
stop = True
t.join()
print(codes)
"""
    assert run_script(script, 300, RAYON_NUM_THREADS="2") == str([0] * 11)


def test_interpreter_exits_while_a_daemon_thread_runs_a_parallel_kernel():
    script = f"""
import array, threading, time
import trovix._trovix as T
a = array.array("q", range({N}))
started = threading.Event()
def loop():
    while True:
        started.set()
        T.frequencies(a); T.topk(3, a); T.isdistinct(a)
threading.Thread(target=loop, daemon=True).start()
started.wait()
time.sleep(0.05)
print("exiting")
"""
    for _ in range(3):
        assert run_script(script, 120, RAYON_NUM_THREADS="2") == "exiting"


def test_worker_fault_surfaces_as_panic_exception():
    script = f"""
import array, trovix._trovix as T
a = array.array("q", [i % 7 for i in range({N})])
for _ in range(3):  # the pool stays usable after a failed batch
    try:
        T.frequencies(a)
    except BaseException as e:
        assert type(e).__name__ == "PanicException" and not isinstance(e, Exception), type(e)
        assert "injected worker fault" in str(e), str(e)
    else:
        raise AssertionError("no fault")
assert T.frequencies(a[:1000]) == {{i: a[:1000].count(i) for i in range(7)}}
print("ok")
"""
    assert run_script(script, 120, RAYON_NUM_THREADS="2", TROVIX_POOL_INJECT_FAULT="1") == "ok"
