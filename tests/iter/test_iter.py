"""The Iter class: every method against the module function (or built-in) it delegates to."""

import functools
import gc
import operator
import weakref

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T
from trovix._trovix import Iter, Nothing, Some

# method -> (arguments, what the method must give for an input `xs`, as plain calls)
PAIR = lambda v: (v, v * 2)  # noqa: E731
CHAINING = {
    "map": ((str,), lambda xs: list(map(str, xs))),
    "filter": ((lambda v: v % 2,), lambda xs: list(filter(lambda v: v % 2, xs))),
    "unique": ((), lambda xs: list(T.unique(xs))),
    "unique key": ((lambda v: v // 3,), lambda xs: list(T.unique(xs, key=lambda v: v // 3))),
    "take": ((2,), lambda xs: list(T.take(2, xs))),
    "drop": ((2,), lambda xs: list(T.drop(2, xs))),
    "sliding_window": ((2,), lambda xs: list(T.sliding_window(2, xs))),
    "partition_all": ((3,), lambda xs: list(T.partition_all(3, xs))),
    "flat_map": ((lambda v: [v] * (v % 3),), lambda xs: list(T.mapcat(lambda v: [v] * (v % 3), xs))),
    "pluck": ((1,), lambda xs: list(T.pluck(1, map(PAIR, xs)))),
    "interpose": (("-",), lambda xs: list(T.interpose("-", xs)) if xs else []),
    "accumulate": ((operator.add,), lambda xs: list(T.accumulate(operator.add, xs))),
}
CONSUMING = {
    "collect": ((), list),
    "reduce": ((operator.add, 0), lambda xs: functools.reduce(operator.add, xs, 0)),
    "count": ((), T.count),
    "frequencies": ((), T.frequencies),
    "group_by": ((lambda v: v % 3,), lambda xs: T.groupby(lambda v: v % 3, xs)),
    "to_dict": ((), lambda xs: dict(map(PAIR, xs))),
    "first": ((), T.first_opt),
    "last": ((), T.last_opt),
    "nth": ((2,), lambda xs: T.nth_opt(2, xs)),
}


def receiver(name, xs):
    return Iter(map(PAIR, xs)) if name in ("pluck", "to_dict") else Iter(xs)


@given(st.lists(st.integers(0, 9), max_size=12), st.sampled_from([list, tuple, iter]))
def test_methods_match_the_operations_they_delegate_to(xs, make):
    for name, (args, expected) in CHAINING.items():
        meth = name.split()[0]
        got = getattr(receiver(name, make(xs)), meth)(*args)
        assert type(got) is Iter
        assert got.collect() == expected(xs), name
    for name, (args, expected) in CONSUMING.items():
        assert getattr(receiver(name, make(xs)), name)(*args) == expected(xs), name


def test_documented_chains():
    assert Iter([1, 2, 3]).map(lambda v: v * 2).collect() == [2, 4, 6]
    assert Iter(range(10)).filter(lambda v: v % 2).take(2).collect() == [1, 3]
    assert list(Iter([1, 2])) == [1, 2]
    assert Iter([3, 1, 2]).reduce(operator.add) == 6
    assert Iter([]).reduce(operator.add, 0) == 0
    assert Iter([]).first() == Nothing and Iter([5]).first() == Some(5)
    assert Iter([]).interpose(0).collect() == [] and Iter([1, 2]).interpose(0).collect() == [1, 0, 2]
    with pytest.raises(StopIteration):
        T.interpose(0, [])
    assert Iter([("a", 1), ("b", 2)]).to_dict() == {"a": 1, "b": 2}
    assert Iter("abca").frequencies() == {"a": 2, "b": 1, "c": 1}
    assert Iter([1, 2, 3]).count() == 3
    assert Iter([1, 2]).sliding_window(0).collect() == []
    assert Iter(5).sliding_window(0).collect() == []  # the source is not touched
    with pytest.raises(TypeError):
        Iter(5).partition_all(0)  # iter(inner) is taken


def test_iter_is_an_iterable_not_an_iterator():
    src = iter([1])
    assert iter(Iter(src)) is src
    with pytest.raises(TypeError):
        next(Iter([1]))
    with pytest.raises(TypeError):
        iter(Iter(5))


def test_shared_iterator_semantics():
    it = Iter(iter([1, 2, 3]))
    assert it.take(1).collect() == [1]
    assert it.collect() == [2, 3]
    again = Iter([1, 2, 3])
    assert again.take(1).collect() == [1] and again.collect() == [1, 2, 3]


def test_reduce_arguments():
    with pytest.raises(TypeError, match=r"^reduce takes at most 2 arguments$"):
        Iter([1]).reduce(operator.add, 0, 1)
    with pytest.raises(TypeError, match="empty iterable"):
        Iter([]).reduce(operator.add)
    assert Iter([1, 2]).reduce(binop=operator.mul) == 2


@pytest.mark.parametrize("method, param", [("take", "n"), ("drop", "n"), ("sliding_window", "n"),
                                           ("partition_all", "n"), ("nth", "i")])
@pytest.mark.parametrize("value, exc", [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError),
                                        (1.5, TypeError)])
def test_size_arguments_are_converted_with_a_note(method, param, value, exc):
    src = iter([1, 2])
    with pytest.raises(exc) as info:
        getattr(Iter(src), method)(value)
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert next(src) == 1


def test_binding_messages():
    with pytest.raises(TypeError, match=r"^Iter.__new__\(\) missing 1 required positional argument: 'inner'$"):
        Iter()
    with pytest.raises(TypeError, match=r"^Iter.__new__\(\) takes 1 positional arguments but 2 were given$"):
        Iter(1, 2)
    assert Iter(inner=[1]).collect() == [1]
    with pytest.raises(TypeError, match=r"^Iter.map\(\) missing 1 required positional argument: 'f'$"):
        Iter([]).map()
    with pytest.raises(TypeError, match=r"^Iter.collect\(\) takes 0 positional arguments but 1 was given$"):
        Iter([]).collect(1)
    with pytest.raises(TypeError, match=r"^Iter.unique\(\) got an unexpected keyword argument 'k'$"):
        Iter([]).unique(k=1)
    assert Iter([1, 1]).unique(key=None).collect() == [1]


class Boom(Exception):
    pass


def exploding(after):
    yield from range(after)
    raise Boom


# method, arguments, the result on an empty source
CALLS = [("map", (str,), []), ("filter", (bool,), []), ("unique", (), []), ("take", (5,), []), ("drop", (1,), []),
         ("sliding_window", (2,), []), ("partition_all", (2,), []), ("flat_map", (lambda v: [v],), []),
         ("pluck", (0,), []), ("interpose", (0,), []), ("accumulate", (operator.add,), []), ("collect", (), []),
         ("reduce", (operator.add, 0), 0), ("count", (), 0), ("frequencies", (), {}), ("group_by", (bool,), {}),
         ("to_dict", (), {}), ("first", (), Nothing), ("last", (), Nothing), ("nth", (1,), Nothing)]


def drain(result):
    return result.collect() if type(result) is Iter else result


@pytest.mark.parametrize("name, args, empty", CALLS, ids=[c[0] for c in CALLS])
def test_methods_on_exhausted_and_raising_sources(name, args, empty):
    got = drain(getattr(Iter(iter([])), name)(*args))
    assert type(got) is type(empty) and got == empty
    with pytest.raises(Boom):
        drain(getattr(Iter(exploding(0)), name)(*args))
    with pytest.raises(TypeError):
        drain(getattr(Iter(None), name)(*args))


def test_class_traits():
    it = Iter([1])
    with pytest.raises(AttributeError):
        it.inner = 2
    with pytest.raises(TypeError):
        type("Sub", (Iter,), {})
    assert Iter.__text_signature__ == "(inner)"
    assert gc.is_tracked(it)


def test_cycles_through_an_iter_are_collected():
    class Box:
        pass

    box = Box()
    box.it = Iter([box]).map(lambda v, box=box: v)
    alive = weakref.ref(box)
    del box
    gc.collect()
    assert alive() is None


def test_deep_nesting_raises_recursion_error_and_is_freed():
    it = Iter([1])
    for _ in range(50):
        it = Iter(it)
    assert it.count() == 1 and it.map(str).collect() == ["1"]
    for _ in range(200_000):
        it = Iter(it)
    with pytest.raises(RecursionError):
        it.count()
    with pytest.raises(RecursionError):
        it.map(str)
    del it  # freed through the trashcan, not by a native recursion as deep as the chain
