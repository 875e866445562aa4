"""Windows, separators and plucking: sliding_window, interpose, pluck and their iterator classes."""

import gc
import itertools
import operator
import pathlib
import sys
import weakref

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T

from sequences.scripted import Script, outcomes

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
from bench_windows import deque_windows, interposed  # noqa: E402 - the plain-Python ways the benchmarks time


class ListSub(list):
    pass


def sources(items):
    """The same items as a list, tuple, generator, list subclass and plain iterator."""
    return [list(items), tuple(items), (x for x in items), ListSub(items), iter(list(items))]


values = st.lists(st.integers(-5, 5) | st.text(max_size=2), max_size=12)


@given(values, st.integers(1, 6))
def test_windows_match_the_plain_ways(items, n):
    for src in sources(items):
        assert list(T.sliding_window(n, src)) == list(deque_windows(n, items))
    assert list(T.sliding_window(2, items)) == list(itertools.pairwise(items))


@given(values)
def test_interpose_matches_a_generator(items):
    for src in sources(items):
        if not items:
            with pytest.raises(StopIteration):
                T.interpose(0, src)
            continue
        it = T.interpose("-", src)
        assert type(it).__name__ == "InterposeIter"
        assert list(it) == list(interposed("-", items))


rows = st.lists(st.tuples(st.integers(), st.integers(), st.integers()) | st.lists(st.integers(), max_size=2),
                max_size=10)


def pluck_reference(ind, items, *rest):
    """Each row's lookups (a tuple for a list of indices), or the name of the error met."""

    def one(x, i):
        try:
            return x[i]
        except (KeyError, IndexError, TypeError):
            if rest:
                return rest[0]
            raise

    out = []
    for x in items:
        try:
            out.append(tuple(one(x, i) for i in ind) if isinstance(ind, list) else one(x, ind))
        except Exception as exc:  # noqa: BLE001
            out.append(type(exc).__name__)
    return out


@given(rows, st.integers(-3, 3), st.lists(st.integers(-3, 3), max_size=3), st.none() | st.integers())
def test_pluck_matches_itemgetter(items, i, many, default):
    for ind in (i, many):
        assert outcomes(T.pluck(ind, items)) == pluck_reference(ind, items)
        assert outcomes(T.pluck(ind, iter(items), default)) == pluck_reference(ind, items, default)
    fine = [x for x in items if all(-len(x) <= j < len(x) for j in [i, *many])]
    assert list(T.pluck(i, fine)) == list(map(operator.itemgetter(i), fine))
    if len(many) > 1:
        assert list(T.pluck(many, fine)) == list(map(operator.itemgetter(*many), fine))


def test_edge_cases():
    assert list(T.sliding_window(3, [1, 2])) == []
    assert list(T.sliding_window(1, "ab")) == [("a",), ("b",)]
    assert type(T.sliding_window(0, 5)).__name__ == "RustIter" and list(T.sliding_window(0, 5)) == []
    with pytest.raises(ValueError, match=r"^n must be >= 0$"):
        T.sliding_window(-1, [])
    with pytest.raises(TypeError) as info:
        T.sliding_window("2", [])
    assert info.value.__notes__ == ["while processing 'n'"]
    assert list(T.pluck("a", [{"a": 1}, {}], None)) == [1, None]
    assert list(T.pluck(["a", "b"], [{"a": 1}], 0)) == [(1, 0)]
    assert list(T.pluck([], [[1]])) == [()]
    assert type(T.pluck([0], [])).__name__ == "RustIter"
    with pytest.raises(TypeError, match=r"^pluck takes at most 3 arguments$"):
        T.pluck(0, [], 1, 2)
    with pytest.raises(TypeError):
        T.pluck(0, 5)


def test_laziness_and_priming():
    g = iter(range(10))
    w = T.sliding_window(3, g)
    assert next(g) == 2  # two items were read at the call, no more
    assert next(w) == (0, 1, 3)
    with pytest.raises(ValueError, match="boom"):
        T.sliding_window(3, Script(1, ValueError("boom")))
    g = iter(range(3))
    T.interpose(0, g)
    assert list(g) == [1, 2]
    with pytest.raises(KeyError):
        T.interpose(0, Script(KeyError("k")))


def test_errors_leave_the_iterators_usable():
    assert outcomes(T.sliding_window(3, Script(0, 1, 2, ValueError(), 3, 4))) == [
        (0, 1, 2), "ValueError", (1, 2, 3), (2, 3, 4)]
    assert outcomes(T.interpose(0, Script(1, ValueError(), 2))) == [1, "ValueError", 0, 2]
    assert outcomes(T.pluck("a", [{"a": 1}, {}, {"a": 3}])) == [1, "KeyError", 3]
    assert outcomes(T.pluck(["a"], [{"a": 1}, {}, {"a": 3}])) == [(1,), "KeyError", (3,)]


def test_exhaustion():
    # A source that ends, then goes on: a window iterator stays finished, so does a short priming.
    w = T.sliding_window(2, Script(1, 2, "stop", 3, 4))
    assert list(w) == [(1, 2)] and list(w) == []
    assert list(T.sliding_window(3, Script(1, "stop", 2, 3, 4))) == []
    i = T.interpose(0, Script(1, "stop", 2))
    assert list(i) == [1] and list(i) == []
    # PluckIter has no end state of its own: an iterator source is asked again.
    p = T.pluck(0, Script((1,), "stop", (2,)))
    assert list(p) == [1] and list(p) == [2]
    # A list source ends for good, also after growing.
    data = [(1,)]
    p = T.pluck(0, data)
    assert list(p) == [1]
    data.append((2,))
    assert list(p) == []


def test_windows_nobody_holds_are_reused_safely():
    # A window dropped by the consumer may be reused for the next one: it must not keep the hash it
    # cached, nor lose an item that only it held, nor hide a cycle from the collector.
    w = T.sliding_window(2, [1, 2, 3, "a", ("b",), [4]])
    first = next(w)
    assert hash(first) == hash((1, 2))
    del first
    second = next(w)
    assert second == (2, 3) and hash(second) == hash((2, 3)) and {second: 1}[(2, 3)] == 1
    del second
    assert [next(w) for _ in range(3)] == [(3, "a"), ("a", ("b",)), (("b",), [4])]
    kept = list(T.sliding_window(3, iter(range(6))))
    assert kept == [(0, 1, 2), (1, 2, 3), (2, 3, 4), (3, 4, 5)]

    class Box:
        pass

    box = Box()
    w = T.sliding_window(2, iter([0, 1, box]))
    next(w)
    window = next(w)
    assert window[1] is box and gc.is_tracked(window)
    box.window = window
    alive = weakref.ref(box)
    del box, window, w
    gc.collect()
    assert alive() is None
    # Windows of numbers, reused or not, cost the collector nothing; one that takes in a list is tracked.
    w = T.sliding_window(2, [1, 2, 3, [4], 5])
    assert [gc.is_tracked(next(w)) for _ in range(3)] == [False, False, True]


def test_list_sources_are_read_as_they_change():
    data = [1, 2, 3]
    w = T.sliding_window(2, data)
    assert next(w) == (1, 2)
    data.append(4)
    assert list(w) == [(2, 3), (3, 4)]
    data = [1, 2, 3, 4]
    i = T.interpose(0, data)
    assert [next(i), next(i), next(i)] == [1, 0, 2]
    del data[2:]
    assert list(i) == []


def test_length_hints():
    w = T.sliding_window(2, [1, 2, 3, 4])
    assert operator.length_hint(w) == 3
    next(w)
    assert operator.length_hint(w) == 2
    assert operator.length_hint(T.sliding_window(5, [1, 2])) == 0
    assert operator.length_hint(T.sliding_window(2, iter(range(5)))) == 4
    assert operator.length_hint(T.sliding_window(2, (x for x in range(5)))) == 0
    i = T.interpose(0, [1, 2, 3])
    assert [operator.length_hint(i)] + [(next(i), operator.length_hint(i))[1] for _ in range(5)] == [
        5, 4, 3, 2, 1, 0]
    assert T.pluck(0, [[1]] * 5).__length_hint__() == 5
    assert operator.length_hint(T.pluck(0, iter([[1]] * 5))) == 5


class Hinted:
    def __init__(self, exc):
        self.exc, self.rows = exc, iter([[1], [2]])

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.rows)

    def __length_hint__(self):
        raise self.exc("no hint")


@pytest.mark.parametrize("make", [lambda s: T.sliding_window(1, s), lambda s: T.interpose(0, s),
                                  lambda s: T.pluck(0, s)])
def test_length_hint_failures_and_arguments(make):
    assert make(Hinted(ValueError)).__length_hint__() <= 1  # the source counts as empty
    for exc in (KeyboardInterrupt, MemoryError):
        with pytest.raises(exc, match="no hint"):
            make(Hinted(exc)).__length_hint__()
    it = make([[1]])
    with pytest.raises(TypeError, match=rf"^{type(it).__name__}.__length_hint__\(\) takes 0 positional arguments but 1 was"):
        it.__length_hint__(1)


def test_classes():
    its = [T.sliding_window(2, [1]), T.interpose(0, [1]), T.pluck(0, [])]
    for it, name in zip(its, ["SlidingWindowIter", "InterposeIter", "PluckIter"]):
        cls = type(it)
        assert cls.__name__ == name and cls.__module__ == "trovix._trovix"
        assert not hasattr(T, name)
        assert iter(it) is it
        assert cls.__length_hint__.__text_signature__ == "($self)"
        assert cls.__length_hint__.__doc__.startswith(("Exact", "k source", "One output"))
        assert cls.__doc__.startswith("Dedicated iterator for ")
        assert gc.is_tracked(it)
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert "one INCREF of `el` per separator \u2014 no boxed closure" in type(its[1]).__doc__


@pytest.mark.parametrize("make", [
    lambda src: T.sliding_window(2, src),
    lambda src: T.interpose(0, src),
    lambda src: T.pluck(0, src),
    lambda src: T.pluck([0], src, None),
])
def test_reentry_is_refused(make):
    seen = []

    def source():
        for k in range(4):
            if k == 2:
                for probe in (lambda: next(it), lambda: it.__length_hint__()):
                    try:
                        probe()
                    except ValueError as exc:
                        seen.append(str(exc))
                    except AttributeError:
                        pass  # RustIter has no length hint
            yield (k,)

    it = make(source())
    assert len(list(it)) >= 3
    assert seen and set(seen) == {"iterator already executing"}


def test_a_key_list_shrinking_during_the_walk():
    keys = [0, 1, 2]

    class Row:
        def __getitem__(self, i):
            keys.clear()
            return i

    assert list(T.pluck(keys, [Row()])) == [(0,)]
