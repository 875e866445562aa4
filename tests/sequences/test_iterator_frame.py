"""The native iterator frame shared by every lazy operation: protocol, re-entrancy, faults,
deallocation, and reading sources (lists by index, everything else through its iterator)."""

import gc
import weakref

import pytest

import trovix._trovix as T


def test_rust_iter_class_and_protocol():
    it = T.partition_all(2, [1, 2, 3])
    assert type(it) is T.RustIter
    assert type(it).__module__ == "trovix._trovix" and type(it).__doc__ is None
    assert iter(it) is it
    assert it.__next__() == (1, 2)
    assert next(it) == (3,)
    with pytest.raises(StopIteration) as info:
        it.__next__()
    assert info.value.args == ()
    with pytest.raises(StopIteration):
        next(it)
    assert not hasattr(it, "__length_hint__")
    with pytest.raises(TypeError):
        T.RustIter()
    with pytest.raises(TypeError):
        type("Sub", (T.RustIter,), {})


def test_empty_iterator_never_touches_source():
    for it in (T.partition_all(0, 5), T.partition(-3, 5), T.partition_all(-1, [1])):
        assert type(it) is T.RustIter
        assert list(it) == []
        assert list(it) == []


def test_reentrant_next_is_refused_and_outer_step_continues():
    seen = []

    def source():
        yield 1
        try:
            next(it)
        except ValueError as exc:
            seen.append(str(exc))
        yield 2

    it = T.remove(lambda v: False, source())
    assert list(it) == [1, 2]
    assert seen == ["iterator already executing"]


def test_reentrant_next_via_callback():
    errors = []

    def pred(v):
        try:
            next(it)
        except ValueError as exc:
            errors.append(str(exc))
        return v == 2

    it = T.remove(pred, [1, 2, 3])
    assert list(it) == [1, 3]
    assert errors == ["iterator already executing"] * 3


def test_other_iterators_over_same_source_are_independent():
    data = [1, 2, 3, 4]
    a = T.partition_all(1, data)
    b = T.partition_all(1, data)
    assert next(a) == (1,)
    assert list(b) == [(1,), (2,), (3,), (4,)]
    assert list(a) == [(2,), (3,), (4,)]


class Tracked:
    pass


def test_half_consumed_iterator_releases_its_source():
    finalised = []

    def gen():
        try:
            yield from range(10)
        finally:
            finalised.append(True)

    for make in (
        lambda g: T.partition_all(2, g),
        lambda g: T.partition(2, g, None),
        lambda g: T.remove(bool, g),
        lambda g: T.accumulate(lambda a, b: a + b, g),
        lambda g: T.interleave([g, [1]]),
    ):
        finalised.clear()
        it = make(gen())
        next(it)
        del it
        gc.collect()
        assert finalised == [True]


def test_iterator_releases_captured_functions_and_values():
    def f(x):
        return x

    marker = Tracked()
    refs = [weakref.ref(f), weakref.ref(marker)]
    it = T.iterate(f, marker)
    next(it)
    next(it)
    del it, f, marker
    assert [r() for r in refs] == [None, None]


def test_list_source_sees_growth_and_shrinking():
    data = [1, 2, 3]
    it = T.remove(lambda v: False, data)
    assert next(it) == 1
    data.append(4)
    data.pop(1)  # [1, 3, 4]
    assert list(it) == [3, 4]
    data.append(5)  # finished lists stay finished
    with pytest.raises(StopIteration):
        next(it)

    data = [1, 2, 3]
    it = T.remove(lambda v: False, data)
    next(it)
    data.clear()
    assert list(it) == []


def test_list_subclass_goes_through_its_iterator_and_tuples_work():
    class Scaled(list):
        def __iter__(self):
            return (x * 10 for x in list.__iter__(self))

        def __getitem__(self, i):
            raise AssertionError("not read by index")

    assert list(T.remove(lambda v: False, Scaled([1, 2, 3]))) == [10, 20, 30]
    assert list(T.partition_all(2, (1, 2, 3))) == [(1, 2), (3,)]


def test_not_iterable_source_fails_at_call():
    for call in (
        lambda: T.remove(bool, 5),
        lambda: T.partition_all(2, 5),
        lambda: T.partition(2, 5),
        lambda: T.accumulate(max, 5),
    ):
        with pytest.raises(TypeError, match="not iterable"):
            call()


@pytest.mark.no_leakcheck("builds chains of 10**5 iterators")
@pytest.mark.parametrize("wrap", [lambda it: T.remove(callable, it), lambda it: T.partition_all(1, it)])
def test_deep_chains_of_iterators(wrap):
    """A chain far deeper than the C stack is freed without native recursion, and pulling from
    it raises RecursionError instead of overflowing the stack."""
    it = iter(())
    for _ in range(200_000):
        it = wrap(it)
    with pytest.raises(RecursionError):
        next(it)
    del it
    shallow = wrap(iter([1]))
    assert list(shallow) in ([1], [(1,)])
