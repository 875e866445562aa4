"""Calls into the module from several Python threads at once.

- First use: in a fresh interpreter, threads released together by a barrier make the first calls
  that fill the process-wide cells (types, cached imports, interned names, the worker pool). Every
  thread must get the same, correct result.
- Shared objects: threads use the same values and iterators while the interpreter switches
  threads as often as it can. Re-entering a busy iterator must raise "iterator already
  executing" or give a consistent result, never duplicate, lose or corrupt items.
"""

import sys
import threading
import time
from array import array

import pytest
from fresh import run_fresh

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


# Each snippet is evaluated by every thread at once, as the first use in a fresh process; every
# thread's result (as repr) must be the one this process, long past first use, gets on its own.
# `T` is trovix._trovix, imported by each thread.
FIRST_USE = {
    "option values": "repr([T.Some(1).map(str), T.Option.of(None), T.Ok(2).and_then(T.Err), T.Nothing])",
    "Result.of catching": "repr(T.Result.of(lambda: 1 / 0).error.__class__)",
    "binding errors": "_raises(lambda: T.Some())",
    "pickling": "repr([__import__('pickle').loads(__import__('pickle').dumps(v)) "
                "for v in (T.Some(1), T.Err('e'), T.Nothing, T.NothingType())])",
    # cached itertools / builtins / collections.abc lookups
    "islice": "[list(T.take(2, iter('abc'))), list(T.drop(1, 'abc')), list(T.take_nth(2, 'abcde'))]",
    "chain": "[list(T.cons(0, [1])), list(T.concat([[1], 'a'])), list(T.mapcat(str, [12]))]",
    "Sequence": "[T.nth(1, 'abc'), T.nth(1, range(5)), T.nth(1, iter('abc'))]",
    "conversion note": "_raises(lambda: T.partition('x', [1]))",
    # the small-int hash switch, the integer set, the worker pool
    "hashing": "[list(T.unique([1, 1.0, True, 2, 'a'])), T.isdistinct([1, 2, 1]), T.frequencies('abca')]",
    "integer buffers": "[list(T.unique(array('q', [5, 1, 5]))), T.isdistinct(bytes(300)), T.frequencies(b'aba')]",
    "worker pool": "sorted(T.frequencies(array('q', [i % 7 for i in range(600_000)])).items())",
    "optional accessors": "[T.first_opt([1]), T.nth_opt(1, iter('ab')), T.get_in_opt({'a': [1]}, 'a', 0), "
                          "T.peek_opt([]), T.last_opt(range(3)), T.get_opt('x', {})]",
    "topk": "[T.topk(2, [3, 1, 2]), T.topk(3, array('q', range(600_000))), T.topk(1, ['ab', 'c'], key=len)]",
    "Iter": "[T.Iter([1, 2]).map(str).collect(), T.Iter('abca').frequencies(), T.Iter([]).interpose(0).collect()]",
    # the dedicated window, separator and pluck classes; heapq looked up at every call
    "windows": "[list(T.sliding_window(2, 'abc')), list(T.interpose(0, [1, 2])), list(T.pluck(0, ['ab', 'cd']))]",
    "several sequences": "[list(T.merge_sorted([1, 3], [2])), list(T.join(0, ['ab'], 0, ['ac'])), "
                         "list(T.diff([1, 2], [1, 3]))]",
    # inspect.signature and the interned method names of curry, the wrapper types
    "combinators": "[T.curry(lambda a, b: a - b)(5)(2), T.flip(pow)(2)(3), T.memoize(abs)(-1), T.juxt(abs)(-2),"
                   " T.compose(str, abs)(-3), T.complement(abs)(0), T.excepts(KeyError, abs)(-4),"
                   " T.pipe(1, str), T.thread_last(2, (pow, 3)), T.apply(T.do, T.identity, 1)]",
    # the interned attribute names of the dictionary functions
    "dict functions": "[T.merge([{1: 2}], factory=dict), T.valmap(str, {3: 4}), T.assoc_in(None, ['a', 'b'], 1), "
                      "T.get_in(['a', 0], {'a': [5]}), T.merge_with(sum, [{1: 1}, {1: 2}]), "
                      "T.itemmap(reversed, {1: 2}), T.dissoc({1: 2, 3: 4}, 1), T.update_in({}, 'ab', str), "
                      "T.keymap(str, {1: 1}), T.keyfilter(bool, {0: 1, 1: 2}), T.valfilter(bool, {1: 0}), "
                      "T.itemfilter(all, {1: 1}), T.assoc({}, 1, 2)]",
}

_FIRST_USE_DRIVER = """
import sys, threading
from array import array
sys.setswitchinterval(1e-6)
snippet = {snippet!r}
n = {threads}
barrier = threading.Barrier(n)
results = [None] * n

def _raises(f):
    try:
        f()
    except BaseException as exc:
        return (type(exc).__name__, str(exc), getattr(exc, "__notes__", None))
    return None

def worker(i):
    barrier.wait()
    import trovix._trovix as T
    try:
        results[i] = ("ok", eval(snippet, dict(T=T, _raises=_raises, array=array)), id(T), id(T.Some))
    except BaseException as exc:
        results[i] = ("raised", repr(exc))

ts = [threading.Thread(target=worker, args=(i,)) for i in range(n)]
for t in ts: t.start()
for t in ts: t.join()
assert all(r == results[0] for r in results), results
assert results[0][0] == "ok", results[0]
print(repr(results[0][1]))
"""


def _raises(f):
    try:
        f()
    except BaseException as exc:  # noqa: B036 - compared with the fresh process's outcome
        return (type(exc).__name__, str(exc), getattr(exc, "__notes__", None))
    return None


@pytest.mark.parametrize("snippet", list(FIRST_USE.values()), ids=list(FIRST_USE))
def test_concurrent_first_use_in_a_fresh_process(snippet):
    out = run_fresh(_FIRST_USE_DRIVER.format(snippet=snippet, threads=THREADS)).stdout
    assert out.strip() == repr(eval(snippet, dict(T=T, _raises=_raises, array=array)))


# ---- shared iterators ---------------------------------------------------------------------------


def _yielding(v):
    time.sleep(0)
    return v


def _slow_source(n):
    for i in range(n):
        time.sleep(0)
        yield i


# name -> (make the shared iterator, the items it must give in total)
SHARED_ITERATORS = {
    "remove": (lambda: T.remove(lambda v: _yielding(v % 3 == 0), _slow_source(300)),
               [i for i in range(300) if i % 3]),
    "unique": (lambda: T.unique(_slow_source(300), key=lambda v: _yielding(v // 2)), list(range(0, 300, 2))),
    "unique over a list": (lambda: T.unique([i // 2 for i in range(300)]), list(range(150))),
    "accumulate": (lambda: T.accumulate(lambda a, b: _yielding(a + b), _slow_source(200)),
                   [i * (i + 1) // 2 for i in range(200)]),
    "partition_all": (lambda: T.partition_all(3, _slow_source(300)),
                      [tuple(range(i, min(i + 3, 300))) for i in range(0, 300, 3)]),
    "partition": (lambda: T.partition(4, _slow_source(301), None),
                  [tuple(x if x < 301 else None for x in range(i, i + 4)) for i in range(0, 301, 4)]),
    "interleave": (lambda: T.interleave([_slow_source(100), iter(range(100, 150))]),
                   [x for pair in zip(range(100), range(100, 150)) for x in pair] + list(range(50, 100))),
    "iterate": (lambda: T.iterate(_count_to_299, 0), list(range(300))),
    "Iter chain": (lambda: iter(T.Iter(_slow_source(300)).unique(key=lambda v: _yielding(v // 2))
                                .accumulate(lambda a, b: _yielding(b))),
                   list(range(0, 300, 2))),
    "sliding_window": (lambda: T.sliding_window(3, _slow_source(300)), [(i, i + 1, i + 2) for i in range(298)]),
    "pluck": (lambda: T.pluck(0, ((i,) for i in _slow_source(300))), list(range(300))),
    "pluck with a default": (lambda: T.pluck([0, 1], ((i,) for i in _slow_source(300)), None),
                             [(i, None) for i in range(300)]),
    "merge_sorted": (lambda: T.merge_sorted((2 * i for i in _slow_source(150)), (2 * i + 1 for i in _slow_source(150)),
                                            key=_yielding),
                     list(range(300))),
    "join": (lambda: T.join(lambda x: _yielding(x[0]), [(i % 10, i) for i in range(50)], 0,
                            ((k + 5,) for k in _slow_source(10)), right_default="R"),
             [((k, i), (k,)) for k in range(5, 10) for i in range(k, 50, 10)]
             + [((k, i), "R") for k in range(5) for i in range(k, 50, 10)]),
    "diff": (lambda: T.diff(_slow_source(300), [i if i % 3 else -1 for i in range(299)], default=None),
             [(i, -1) for i in range(0, 299, 3)] + [(299, None)]),
}


class End(Exception):
    """Ends a shared iterator from inside its step."""


def _count_to_299(v):
    time.sleep(0)
    if v == 299:
        raise End  # iterate is finished after its function raised
    return v + 1


@pytest.mark.parametrize(
    "name", list(SHARED_ITERATORS)
)
def test_shared_iterator(name):
    """Threads pull from one iterator whose steps give up the interpreter lock. A busy iterator
    answers "iterator already executing" and stays as it was, so retrying must deliver every item
    exactly once, each thread seeing them in order."""
    make, expected = SHARED_ITERATORS[name]
    it = make()
    busy = [0] * THREADS

    def work(i):
        got = []
        while True:
            try:
                got.append(next(it))
            except (StopIteration, End):
                return got
            except ValueError as exc:
                assert str(exc) == "iterator already executing", exc
                busy[i] += 1
                time.sleep(0)

    results = hammer(work)
    for _, exc in results:
        assert exc is None, exc
    position = {repr(v): k for k, v in enumerate(expected)}
    for got, _ in results:
        order = [position[repr(v)] for v in got]
        assert order == sorted(order), "a thread saw items out of order"
    everything = sorted((position[repr(v)] for got, _ in results for v in got))
    assert everything == list(range(len(expected))), "items were lost or delivered twice"
    del it


def test_shared_interpose():
    """Like test_shared_iterator, for an iterator whose separators are all the same object: each
    thread sees the items in order, every item comes once, and the separators add up."""
    sep = object()
    it = T.interpose(sep, _slow_source(300))

    def work(i):
        got = []
        while True:
            try:
                got.append(next(it))
            except StopIteration:
                return got
            except ValueError as exc:
                assert str(exc) == "iterator already executing", exc
                time.sleep(0)

    results = hammer(work)
    items = []
    for got, exc in results:
        assert exc is None, exc
        mine = [v for v in got if v is not sep]
        assert mine == sorted(mine), "a thread saw items out of order"
        items += mine
    assert sorted(items) == list(range(300)), "items were lost or delivered twice"
    assert sum(v is sep for got, _ in results for v in got) == 299


# ---- the worker pool -------------------------------------------------------------------------

POOL_N = 600_000  # above the size where counting is split across the worker pool


def test_concurrent_callers_of_the_parallel_kernels():
    from array import array

    inputs = []
    for i in range(THREADS):
        # One period of `modulus` distinct values (7919 is prime), repeated over POOL_N items.
        modulus = 50 + 17 * i
        period = array("q", [(j * 7919 + i) % modulus - modulus // 2 for j in range(modulus)])
        repeats, rest = divmod(POOL_N, modulus)
        values = period * repeats + period[:rest]
        inputs.append((values, {v: repeats + (j < rest) for j, v in enumerate(period)}))

    def work(i):
        values, expected = inputs[i]
        for _ in range(3):
            got = T.frequencies(values)
            assert got == expected and list(got) == list(expected)
            assert T.isdistinct(values) is False
            assert list(T.unique(values)) == list(expected)
        return True

    for res, exc in hammer(work, switch=1e-4):
        assert exc is None, exc
        assert res is True


def test_concurrent_topk_on_large_arrays():
    import numpy as np

    rng = np.random.default_rng(3)
    inputs = []
    for i in range(THREADS):
        values = rng.integers(-(2**40), 2**40, size=POOL_N + 1000 * i).astype([np.int64, np.uint32][i % 2])
        values[i::50_000] = values.max()  # equal maxima in several chunks
        inputs.append((values, tuple(np.sort(values)[::-1][:25].tolist())))
    ints = [int(v) for v in inputs[0][0][:200_000]]
    top_ints = tuple(sorted(ints, reverse=True)[:25])

    def work(i):
        values, expected = inputs[i]
        for _ in range(3):
            assert T.topk(25, values) == expected
            assert T.topk(25, ints) == top_ints
        return True

    for res, exc in hammer(work, switch=1e-4):
        assert exc is None, exc
        assert res is True


@pytest.mark.parametrize("threads", ["1", "3"])
def test_concurrent_callers_with_a_small_pool(threads):
    out = run_fresh(f"""
        import os, sys, threading
        from array import array
        import trovix._trovix as T
        data = array("q", (i % 1000 for i in range({POOL_N})))
        expected = {{i: {POOL_N} // 1000 for i in range(1000)}}
        errors = []
        def work():
            try:
                for _ in range(2):
                    assert T.frequencies(data) == expected
            except BaseException as exc:
                errors.append(exc)
        ts = [threading.Thread(target=work) for _ in range(6)]
        for t in ts: t.start()
        for t in ts: t.join()
        assert not errors, errors
        print("ok")
    """, RAYON_NUM_THREADS=threads).stdout
    assert out.strip() == "ok"


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


def test_shared_combinators():
    """One unresolved curry, one Memoize (shared cache) and one Compose called from every thread at
    once, with callbacks that give up the interpreter lock."""
    import inspect

    resolutions = []

    class SlowSig:
        @property
        def __signature__(self):
            resolutions.append(1)
            time.sleep(0.01)
            return inspect.Signature([inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY) for n in "ab"])

        def __call__(self, a, b):
            time.sleep(0)
            return a * 1000 + b

    c = T.curry(SlowSig())
    m = T.memoize(lambda x: _yielding(x * 2))
    comp = T.compose(_yielding, str, lambda x: _yielding(x + 1))
    j = T.juxt(c, max)

    def work(i):
        out = []
        for k in range(100):
            out.append((c(i)(k), m(k % 10), comp(k), j(i, k)[0]))
        return out

    for i, (res, exc) in enumerate(hammer(work)):
        assert exc is None, exc
        assert res == [(i * 1000 + k, (k % 10) * 2, str(k + 1), i * 1000 + k) for k in range(100)]
    assert len(resolutions) == 1


def _slow(v):
    time.sleep(0)
    return v


def test_dict_functions_on_shared_mappings():
    """Threads read the same nested mapping through every dictionary function while their
    callbacks give up the interpreter lock: each gets the full result, the input stays as it was."""
    import copy

    shared = {i: {"v": i, "w": [i]} for i in range(100)}
    snapshot = copy.deepcopy(shared)
    evens = {k: v for k, v in snapshot.items() if k % 2 == 0}

    def work(i):
        for _ in range(10):
            assert T.valmap(_slow, shared) == snapshot
            assert T.keyfilter(lambda k: _slow(k % 2 == 0), shared) == evens
            assert T.itemmap(lambda kv: _slow((kv[0], len(kv[1]))), shared) == {k: 2 for k in shared}
            assert T.merge_with(lambda vs: _slow(len(vs)), shared, shared) == {k: 2 for k in shared}
            assert T.merge(shared, {i: None}) == {**snapshot, i: None}
            r = T.update_in(shared, [i, "w", 0], _slow, default=i)
            assert r[i] == {"v": i, "w": {0: i}} and r[i + 1] is shared[i + 1]
            assert T.assoc_in(shared, [i, "v"], -1)[i]["w"] is shared[i]["w"]
            assert T.get_in([i, "w", 0], shared) == i
        return True

    for res, exc in hammer(work):
        assert exc is None, exc
        assert res is True
    assert shared == snapshot


def test_dict_functions_while_another_thread_mutates():
    """One thread grows and shrinks a dict while the others copy and map it: each call gives a
    consistent result or the interpreter's RuntimeError, never a crash."""
    victim = {i: i for i in range(300)}

    def work(i):
        if i == 0:
            for n in range(3000):
                victim[1000 + n % 40] = n
                victim.pop(1000 + (n + 20) % 40, None)
                time.sleep(0)
            return {"mutator"}
        outcomes = set()
        for _ in range(30):
            try:
                r = T.valmap(_slow, victim)
                assert all(r[k] == k for k in range(300))
                r = T.assoc(victim, -1, -1, factory=dict)
                assert all(r[k] == k for k in range(-1, 300))
                assert all(k in T.merge(victim, {}) for k in range(300))
                outcomes.add("ok")
            except RuntimeError as exc:
                assert "during iteration" in str(exc) or "mutated" in str(exc), exc
                outcomes.add("RuntimeError")
        return outcomes

    for res, exc in hammer(work):
        assert exc is None, exc
        assert res


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
