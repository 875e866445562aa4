"""Calls into the module from several Python threads at once.

- First use: in a fresh interpreter, threads released together by a barrier make the first calls
  that fill the process-wide cells (types, cached imports, interned names, the worker pool). Every
  thread must get the same, correct result.
- Shared objects: threads use the same values and iterators while the interpreter switches
  threads as often as it can. Re-entering a busy iterator must raise "iterator already
  executing" or give a consistent result, never duplicate, lose or corrupt items.
"""

import subprocess
import sys
import textwrap
import threading
import time

import pytest

import trovix._trovix as T

THREADS = 8


def hammer(fn, threads=THREADS, switch=1e-6):
    """Runs fn(i) in `threads` threads released together; returns the list of (result, exception)."""
    barrier = threading.Barrier(threads)
    out = [None] * threads

    def worker(i):
        barrier.wait()
        try:
            out[i] = (fn(i), None)
        except BaseException as exc:  # noqa: B036 - reported to the test
            out[i] = (None, exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(switch)
    try:
        ts = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join(120)
        assert not any(t.is_alive() for t in ts), "a thread hangs"
    finally:
        sys.setswitchinterval(old)
    return out


def run_fresh(code, timeout=180, env=None):
    """Runs `code` in a fresh interpreter (same build); returns its stdout."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc.stdout


# Each snippet is evaluated by every thread at once, as the first use in a fresh process; the
# results (as repr) must all be the same. `T` is trovix._trovix, imported by each thread.
FIRST_USE = {
    "option values": "repr([T.Some(1).map(str), T.Option.of(None), T.Ok(2).and_then(T.Err), T.Nothing])",
    "Result.of catching": "repr(T.Result.of(lambda: 1 / 0).error.__class__)",
    "binding errors": "_raises(lambda: T.Some())",
}

_FIRST_USE_DRIVER = """
import sys, threading
sys.setswitchinterval(1e-6)
snippet = {snippet!r}
n = {threads}
barrier = threading.Barrier(n)
results = [None] * n

def _raises(f):
    try:
        f()
    except BaseException as exc:
        return (type(exc).__name__, str(exc))
    return None

def worker(i):
    barrier.wait()
    import trovix._trovix as T
    try:
        results[i] = ("ok", eval(snippet, dict(T=T, _raises=_raises)), id(T), id(T.Some))
    except BaseException as exc:
        results[i] = ("raised", repr(exc))

ts = [threading.Thread(target=worker, args=(i,)) for i in range(n)]
for t in ts: t.start()
for t in ts: t.join()
assert all(r == results[0] for r in results), results
assert results[0][0] == "ok", results[0]
print(results[0][1])
"""


@pytest.mark.parametrize("snippet", list(FIRST_USE.values()), ids=list(FIRST_USE))
def test_concurrent_first_use_in_a_fresh_process(snippet):
    out = run_fresh(_FIRST_USE_DRIVER.format(snippet=snippet, threads=THREADS))
    assert out.strip()


class Slow:
    """A payload whose operations give up the interpreter lock in the middle."""

    def __init__(self, v):
        self.v = v

    def __repr__(self):
        time.sleep(0)
        return f"Slow({self.v})"

    def __eq__(self, other):
        time.sleep(0)
        return isinstance(other, Slow) and other.v == self.v

    __hash__ = None


def test_shared_option_values():
    shared = [T.Some(Slow(1)), T.Ok(Slow(2)), T.Err(Slow(3)), T.NothingType()]

    def bump(x):
        time.sleep(0)
        return Slow(x.v + 1)

    def work(i):
        out = []
        for _ in range(200):
            s, o, e, n = shared
            out.append((repr(s), repr(o.map(bump)), repr(e.map_err(bump)), repr(n.map(bump)),
                        s == T.Some(Slow(1)), o != T.Ok(Slow(2)), s.and_then(lambda v: T.Some(bump(v))).value.v,
                        e.unwrap_or(i)))
        return out

    for i, (res, exc) in enumerate(hammer(work)):
        assert exc is None, exc
        assert set(res) == {("Some(Slow(1))", "Ok(Slow(3))", "Err(Slow(4))", "Nothing", True, False, 2, i)}


def test_import_in_a_legacy_subinterpreter_first():
    # The types are process-wide: made while a subinterpreter (sharing the main interpreter's lock)
    # imported the module first, they must stay valid after it is destroyed.
    run_fresh("""
        import _interpreters, gc
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        _interpreters.run_string(interp, "import trovix._trovix as T; x = T.Err(T.Some([1]))")
        _interpreters.destroy(interp)
        gc.collect()
        import trovix._trovix as T
        for i in range(100):
            assert repr(T.Ok(T.Some([i])).map(repr)) == f"Ok('Some([{i}])')"
        assert T.Some.__module__ == "trovix._trovix"
    """)
