"""Element access: first, second, last, nth, get, peek, count, tail, take, drop, take_nth, cons."""

import itertools
from collections import OrderedDict, UserList

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T

from interrupt import assert_interruptible


def gen(*items, fail_at=None, exc=None):
    # A fresh exception per generator: raising one shared instance again and again would chain
    # every traceback onto it (the leak check sees it grow).
    exc = ValueError("boom") if exc is None else exc
    for i, item in enumerate(items):
        if i == fail_at:
            raise exc
        yield item
    if fail_at == len(items):
        raise exc


def stop_args(call):
    with pytest.raises(StopIteration) as info:
        call()
    return info.value.args


class Seq:
    """A registered-style sequence without list/tuple ancestry (indexable, with __len__)."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


@pytest.mark.parametrize("source", [[], (), "", iter([]), gen()])
def test_exhausted_accessors_raise_bare_stopiteration(source):
    assert stop_args(lambda: T.first(source)) == ()


def test_first_second():
    assert T.first("ab") == "a"
    assert T.first([1, 2]) == 1
    assert T.first(x for x in (3, 4)) == 3
    assert T.second((1, 2, 3)) == 2
    assert T.second(iter("xyz")) == "y"
    assert stop_args(lambda: T.second([1])) == ()
    assert stop_args(lambda: T.second(iter([1]))) == ()
    with pytest.raises(ValueError, match="boom"):
        T.second(gen(1, 2, fail_at=0))
    with pytest.raises(ValueError, match="boom"):
        T.second(gen(1, 2, fail_at=1))
    with pytest.raises(TypeError, match="not iterable"):
        T.first(5)


def test_last():
    assert T.last([1, 2, 3]) == 3
    assert T.last((1,)) == 1
    assert T.last(iter([1, 2, 3])) == 3
    assert T.last("abc") == "c"
    assert T.last({"a": 1, "b": 2}) == "b"
    assert T.last(range(10)) == 9
    for empty in ([], (), "", iter([])):
        with pytest.raises(IndexError):
            T.last(empty)


def test_nth_on_sequences_uses_item_protocol():
    assert T.nth(-1, [1, 2, 3]) == 3
    assert T.nth(0, (5,)) == 5
    assert T.nth(1, "abc") == "b"
    assert T.nth(2, range(10)) == 2
    assert T.nth(1, UserList([7, 8])) == 8
    assert T.nth(slice(1, None), [1, 2, 3]) == [2, 3]
    with pytest.raises(IndexError):
        T.nth(3, [1, 2, 3])
    with pytest.raises(IndexError):
        T.nth(-4, (1, 2, 3))
    with pytest.raises(TypeError):
        T.nth("x", [1])
    with pytest.raises(IndexError):
        T.nth(2**70, [1])

    class Sub(list):
        def __getitem__(self, i):
            return ("sub", i)

    assert T.nth(4, Sub([1])) == ("sub", 4)


def test_nth_on_iterators():
    assert T.nth(0, iter([1])) == 1
    assert T.nth(2, (x * x for x in range(5))) == 4
    assert stop_args(lambda: T.nth(5, iter([1]))) == ()
    assert stop_args(lambda: T.nth(1, iter([1]))) == ()
    message = "Indices for islice() must be None or an integer: 0 <= x <= sys.maxsize."
    for bad in (-1, "x", 2**64, 1.5):
        with pytest.raises(ValueError) as info:
            T.nth(bad, iter([1]))
        assert str(info.value) == message
    with pytest.raises(ValueError, match="boom"):
        T.nth(3, gen(1, 2, 3, 4, fail_at=1))
    # An object that is neither a list/tuple nor a Sequence is iterated, not indexed.
    assert T.nth(1, Seq([5, 6])) == 6
    assert T.nth(1, {"a": 1, "b": 2}) == "b"
    it = iter(range(10))
    assert T.nth(3, it) == 3
    assert next(it) == 4  # nothing beyond the item is consumed


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
def test_nth_index_conversion_passes_interrupts_on(exc):
    class Index:
        def __index__(self):
            raise exc("stop")

    with pytest.raises(exc, match="stop"):
        T.nth(Index(), iter([1]))


def test_get_single_and_default():
    assert T.get(1, [10, 20]) == 20
    assert T.get("a", {"a": 1}) == 1
    assert T.get((0, 1), {(0, 1): "x"}) == "x"
    assert T.get(5, [1], None) is None
    assert T.get("k", {}, 0) == 0
    assert T.get("k", 5, "d") == "d"  # TypeError: not subscriptable
    with pytest.raises(KeyError):
        T.get("k", {})
    with pytest.raises(IndexError):
        T.get(3, [1])
    with pytest.raises(TypeError) as info:
        T.get(1, [], 1, 2)
    assert str(info.value) == "get takes at most 3 arguments"

    class Picky(dict):
        def __getitem__(self, key):
            if key == "v":
                raise ValueError("no")
            raise KeyError(key)

    assert T.get("k", Picky(), "d") == "d"
    with pytest.raises(ValueError, match="no"):
        T.get("v", Picky(), "d")
    with pytest.raises(ValueError, match="no"):
        T.get(["k", "v"], Picky(), "d")


def test_get_several_keys():
    assert T.get([0, 2], [10, 20, 30]) == (10, 30)
    assert T.get([0, 5], [1], "d") == (1, "d")
    assert T.get([], [1]) == ()
    assert T.get(["a", "b"], {"a": 1, "b": 2}) == (1, 2)
    with pytest.raises(IndexError):
        T.get([0, 5], [1])

    class Keys(list):
        pass

    assert T.get(Keys([1, 0]), "ab") == ("b", "a")


def test_get_several_keys_list_mutated_during_walk():
    keys = [0, 1, 2, 3]

    class Shrinking:
        def __getitem__(self, i):
            if i == 1:
                del keys[2:]
            return i * 10

    assert T.get(keys, Shrinking()) == (0, 10)

    keys = [0, 1]

    class Growing:
        def __getitem__(self, i):
            keys.append(i)
            return i

    assert T.get(keys, Growing()) == (0, 1)


def test_peek():
    assert stop_args(lambda: T.peek([])) == ()
    first, it = T.peek([1, 2])
    assert first == 1
    assert isinstance(it, itertools.chain)
    assert list(it) == [1, 2]
    src = iter("abc")
    first, it = T.peek(src)
    assert first == "a"
    assert next(src) == "b"  # the rest is the source itself
    assert list(it) == ["a", "c"]
    with pytest.raises(ValueError, match="boom"):
        T.peek(gen(fail_at=0))


def test_count():
    assert T.count([1, 2, 3]) == 3
    assert T.count(x for x in "abc") == 3
    assert T.count("") == 0
    assert T.count(range(10**12)) == 10**12  # len, not iteration
    with pytest.raises(TypeError, match="not iterable"):
        T.count(5)
    with pytest.raises(ValueError, match="boom"):
        T.count(gen(1, 2, fail_at=2))

    class Sized:
        def __len__(self):
            return 7

        def __iter__(self):
            raise AssertionError("iterated")

    assert T.count(Sized()) == 7

    class BadLen:
        def __len__(self):
            raise RuntimeError("len")

    with pytest.raises(RuntimeError, match="len"):
        T.count(BadLen())


def test_tail():
    assert T.tail(2, [1, 2, 3]) == [2, 3]
    assert T.tail(2, (1, 2, 3)) == (2, 3)
    assert T.tail(2, "abc") == "bc"
    assert T.tail(2, iter([1, 2, 3])) == (2, 3)
    assert T.tail(5, iter([1, 2])) == (1, 2)
    assert T.tail(0, [1, 2]) == [1, 2]
    assert T.tail(0, iter([1, 2])) == (1, 2)
    assert T.tail(2**64 - 1, [1, 2]) == [1, 2]
    assert T.tail(1, {"a": 1, "b": 2}) == ("b",)
    assert T.tail(1, OrderedDict(a=1, b=2)) == ("b",)
    with pytest.raises(OverflowError) as info:
        T.tail(-1, [1])
    assert info.value.__notes__ == ["while processing 'n'"]
    with pytest.raises(ValueError, match="boom"):
        T.tail(1, gen(1, 2, fail_at=2))

    class NoSlices:
        def __getitem__(self, key):
            raise ValueError("slices?")

    with pytest.raises(ValueError, match="slices"):
        T.tail(1, NoSlices())


@given(st.lists(st.integers()), st.integers(0, 8))
def test_tail_matches_slicing(items, n):
    expected = items[-n:] if n else items
    assert T.tail(n, items) == expected
    assert T.tail(n, iter(items)) == tuple(expected)
    if items:
        assert T.last(iter(items)) == items[-1]
        assert T.last(items) == items[-1]


def test_take_drop_take_nth_return_islice():
    t, d, n = T.take(2, [1, 2, 3]), T.drop(1, [1, 2, 3]), T.take_nth(2, [1, 2, 3, 4, 5])
    assert all(type(x) is itertools.islice for x in (t, d, n))
    assert (list(t), list(d), list(n)) == ([1, 2], [2, 3], [1, 3, 5])
    with pytest.raises(ValueError, match="islice"):
        T.take(-1, [1])
    with pytest.raises(ValueError, match="islice"):
        T.take_nth(0, [1])
    assert list(T.take(n=2, seq=iter("abc"))) == ["a", "b"]


def test_cons():
    c = T.cons(0, [1, 2])
    assert type(c) is itertools.chain
    assert list(c) == [0, 1, 2]
    lazy = T.cons(0, 5)  # the source is only reached during iteration
    assert next(lazy) == 0
    with pytest.raises(TypeError):
        next(lazy)


@pytest.mark.parametrize(
    "call",
    [
        "T.count(itertools.count())",
        "T.nth(10**18, itertools.count())",
        "T.tail(1, itertools.count())",
        "T.last(itertools.repeat(1))",
        "next(T.remove(bool, itertools.count(1)))",
    ],
    ids=["count", "nth", "tail", "last", "remove"],
)
def test_endless_native_loops_can_be_interrupted(call):
    assert_interruptible(call)
