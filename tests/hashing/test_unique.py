"""unique and isdistinct on the general object path, and the UniqueIter class."""

import gc
import math
import weakref

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T


class SameHash:
    """Distinct values that all share one hash."""

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        return 42

    def __eq__(self, other):
        return isinstance(other, SameHash) and self.v == other.v


class BadEq(SameHash):
    __hash__ = SameHash.__hash__

    def __eq__(self, other):
        raise RuntimeError("no comparing")


def test_basic_and_key():
    assert list(T.unique([1, 2, 1, 3, 2])) == [1, 2, 3]
    assert list(T.unique(["a", "B", "b"], key=str.lower)) == ["a", "B"]
    assert list(T.unique(iter([3, 3, 4]), key=None)) == [3, 4]
    assert list(T.unique(seq=(1, 1), key=None)) == [1]
    assert list(T.unique([])) == []


def test_python_equality_rules():
    assert list(T.unique([1, 1.0, True, 2])) == [1, 2]
    nan = float("nan")
    assert list(T.unique([nan, nan])) == [nan]
    two = list(T.unique([float("nan"), float("nan")]))
    assert len(two) == 2 and all(math.isnan(x) for x in two)
    assert list(T.unique([-1, -2, -1])) == [-1, -2]  # equal hashes, different values
    vals = [SameHash(i % 5) for i in range(40)]
    assert [v.v for v in T.unique(vals)] == [0, 1, 2, 3, 4]
    strs = [f"s{i % 30}" for i in range(300)]  # equal strings that are different objects
    assert list(T.unique(strs)) == [f"s{i}" for i in range(30)]


def test_errors_propagate_and_iteration_continues():
    it = T.unique([1, [2], 3, 1])
    assert next(it) == 1
    with pytest.raises(TypeError):
        next(it)
    assert list(it) == [3]
    it = T.unique([BadEq(1), BadEq(2)])
    next(it)
    with pytest.raises(RuntimeError, match="no comparing"):
        next(it)
    with pytest.raises(TypeError):
        T.unique(5)
    it = T.unique([(1, 2)], key=1)  # the key of unique is always called
    with pytest.raises(TypeError):
        next(it)

    def boom(x):
        raise KeyError(x)

    with pytest.raises(KeyError):
        next(T.unique([1], key=boom))


def test_list_growing_during_iteration():
    data = [1, 2]
    it = T.unique(data)
    assert next(it) == 1
    data.extend([2, 3])
    assert list(it) == [2, 3]
    data.append(4)
    assert list(it) == []


def test_length_hint_and_reentrancy():
    data = [1, 2, 3, 4, 5]
    it = T.unique(data)
    assert it.__length_hint__() == 5
    next(it), next(it)
    assert it.__length_hint__() == 3
    list(it)
    assert it.__length_hint__() == 0
    assert T.unique(x for x in data).__length_hint__() == 0
    assert list(T.unique(x for x in [1, 1, 2])) == [1, 2]

    holder = []

    def key(x):
        return holder[0].__length_hint__()

    holder.append(T.unique([1], key=key))
    with pytest.raises(ValueError, match="iterator already executing"):
        next(holder[0])

    def gen():
        yield 1
        next(holder[1])

    holder.append(T.unique(gen()))
    assert next(holder[1]) == 1
    with pytest.raises(ValueError, match="iterator already executing"):
        next(holder[1])


def test_class_and_lifetime():
    it = T.unique([1])
    cls = type(it)
    assert cls.__name__ == "UniqueIter" and cls.__module__ == "trovix._trovix"
    assert "unique" in cls.__doc__ and len(cls.__doc__.splitlines()) == 4
    assert cls.__length_hint__.__text_signature__ == "($self)"
    assert iter(it) is it
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})

    class Src:
        def __iter__(self):
            return self

        def __next__(self):
            return 1

    src = Src()
    ref = weakref.ref(src)
    it = T.unique(src, key=lambda x: object())  # every key is new
    next(it)
    del src, it
    gc.collect()
    assert ref() is None


def test_isdistinct_general():
    assert T.isdistinct([]) is True
    assert T.isdistinct([1, 2, 1]) is False
    assert T.isdistinct([1, 1.0]) is False
    assert T.isdistinct("abc") is True
    consumed = []

    def gen():
        for x in [1, 2, 1, 5, 6]:
            consumed.append(x)
            yield x

    assert T.isdistinct(gen()) is False
    assert consumed == [1, 2, 1]
    with pytest.raises(TypeError):
        T.isdistinct([[1]])
    with pytest.raises(TypeError):
        T.isdistinct(3)
    with pytest.raises(TypeError, match="isdistinct\\(\\) missing 1 required positional argument: 'seq'"):
        T.isdistinct()


hashables = st.one_of(st.integers(-5, 5), st.integers(), st.text(max_size=2), st.booleans(),
                      st.floats(allow_nan=False), st.tuples(st.integers(0, 3)))


@given(st.lists(hashables))
def test_differential_against_dict(values):
    assert list(T.unique(values)) == list(dict.fromkeys(values))
    assert list(T.unique(tuple(values))) == list(dict.fromkeys(values))
    assert T.isdistinct(values) == (len(set(values)) == len(values))
    keyed = list(T.unique(values, key=lambda v: hash(v) % 3))
    firsts = {}
    for v in values:
        firsts.setdefault(hash(v) % 3, v)
    # the first object of each key, in the order of the input
    assert len(keyed) == len(firsts) and all(a is b for a, b in zip(keyed, firsts.values()))


def test_registration_order_of_hashing_functions():
    order = ["count", "first", "second", "last", "nth", "get", "isdistinct", "frequencies", "topk",
             "peek", "take", "drop", "take_nth", "tail", "cons", "concat", "concatv", "interpose",
             "interleave", "sliding_window", "partition", "partition_all", "merge_sorted", "diff",
             "groupby", "countby", "reduceby", "mapcat", "pluck", "remove", "accumulate", "iterate",
             "unique", "join"]
    present = [n for n in T.__all__ if n in order]
    assert present == [n for n in order if n in present]
    for name in ("isdistinct", "frequencies", "groupby", "countby", "reduceby", "unique"):
        assert name in present
    assert T.unique.__text_signature__ == "(seq, key=None)"
    assert T.reduceby.__text_signature__ == "(key, binop, seq, *rest)"


@pytest.mark.parametrize("body", [
    "it = T.unique(itertools.repeat(1)); next(it); next(it)",
    "it = T.unique(itertools.repeat(-1), key=abs); next(it); next(it)",
], ids=["plain", "key"])
def test_skipping_endless_duplicates_lets_signal_handlers_run(body):
    from interrupt import assert_interruptible

    assert_interruptible(body)


def test_length_hint_failures():
    class Hinted:
        def __init__(self, exc):
            self.exc = exc

        def __iter__(self):
            return self

        def __next__(self):
            raise StopIteration

        def __length_hint__(self):
            raise self.exc("no hint")

    assert T.unique(Hinted(ValueError)).__length_hint__() == 0
    for exc in (KeyboardInterrupt, MemoryError):
        with pytest.raises(exc, match="no hint"):
            T.unique(Hinted(exc)).__length_hint__()
