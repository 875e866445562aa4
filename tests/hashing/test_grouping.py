"""frequencies (general path), groupby, countby and reduceby."""

from collections import Counter, defaultdict
from operator import add

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T

from .test_unique import BadEq, SameHash


def test_frequencies_general():
    d = T.frequencies(["cat", "dog", "cat"])
    assert d == {"cat": 2, "dog": 1} and list(d) == ["cat", "dog"]
    d = T.frequencies([1, 1.0, True])
    assert d == {1: 3} and type(next(iter(d))) is int
    assert T.frequencies([]) == {} and T.frequencies(iter([])) == {}
    assert T.frequencies([-1, -2, -1]) == {-1: 2, -2: 1}
    d = T.frequencies([SameHash(i % 3) for i in range(30)])
    assert [(k.v, v) for k, v in d.items()] == [(0, 10), (1, 10), (2, 10)]
    nan = float("nan")
    d = T.frequencies([nan, nan, float("nan")])
    assert list(d.values()) == [2, 1]
    big = [2**40, 2**40 + 0, -(2**70), -(2**70)]
    assert T.frequencies(big) == {2**40: 2, -(2**70): 2}
    with pytest.raises(TypeError):
        T.frequencies([1, [2]])
    with pytest.raises(RuntimeError):
        T.frequencies([BadEq(1), BadEq(2)])
    with pytest.raises(TypeError):
        T.frequencies(None)


def test_walk_sees_appended_items():
    data = [1, 2]

    def key(x):
        if x < 4:
            data.append(x + 2)
        return x % 2

    assert T.countby(key, data) == {1: 3, 0: 2}
    data = [1, 2]
    assert T.groupby(key, data) == {1: [1, 3, 5], 0: [2, 4]}

    class Grow:
        def __init__(self, lst):
            self.lst = lst

        def __hash__(self):
            if len(self.lst) < 6:
                self.lst.append(Grow(self.lst))
            return 1

        def __eq__(self, other):
            return isinstance(other, Grow)

    lst = []
    lst.append(Grow(lst))
    assert list(T.frequencies(lst).values()) == [6]


def test_groupby_countby_keys():
    assert T.countby(len, ["ab", "c", "de"]) == {2: 2, 1: 1}
    g = T.groupby(len, ["ab", "c", "de"])
    assert g == {2: ["ab", "de"], 1: ["c"]} and list(g) == [2, 1]
    rows = [(1, "a", 3), (1, "b", 4), (2, "a", 3)]
    assert T.groupby(0, rows) == {1: rows[:2], 2: rows[2:]}
    assert T.groupby([0, 2], rows) == {(1, 3): [rows[0]], (1, 4): [rows[1]], (2, 3): [rows[2]]}
    assert T.countby([1], rows) == {("a",): 2, ("b",): 1}
    assert T.countby("k", [{"k": 1}, {"k": 1}]) == {1: 2}
    assert T.groupby(len, []) == {} and T.countby(len, iter([])) == {}
    with pytest.raises(KeyError):
        T.groupby("missing", [{"k": 1}])
    with pytest.raises(IndexError):
        T.countby(5, [(1,)])
    with pytest.raises(TypeError):
        T.groupby(lambda x: [x], [1])
    with pytest.raises(ZeroDivisionError):
        T.groupby(lambda x: 1 / x, [1, 0])
    with pytest.raises(TypeError, match=r"groupby\(\) missing 1 required positional argument: 'seq'"):
        T.groupby(len)
    assert T.groupby(key=len, seq=["a"]) == {1: ["a"]}


def test_groupby_keeps_the_first_equal_key_and_all_items():
    items = [1.0, 1, True, 2]
    g = T.groupby(lambda x: x, items)
    assert list(g) == [1.0, 2] and type(list(g)[0]) is float
    assert g[1] == [1.0, 1, True]


def test_reduceby():
    iseven = lambda x: x % 2 == 0  # noqa: E731
    assert T.reduceby(iseven, add, [1, 2, 3, 4], 0) == {False: 4, True: 6}
    assert T.reduceby(iseven, add, [1, 2, 3, 4]) == {False: 4, True: 6}
    first = [object(), object()]
    d = T.reduceby(lambda x: 0, lambda a, b: a, first)
    assert d[0] is first[0]
    d = T.reduceby(iseven, lambda acc, x: acc + [x], [1, 2, 3, 4], list)
    assert d == {False: [1, 3], True: [2, 4]}
    shared = T.reduceby(iseven, lambda acc, x: acc, [1, 2], [])
    assert shared[False] is shared[True]
    with pytest.raises(TypeError) as info:  # None is a real initial value
        T.reduceby(iseven, add, [1], None)
    assert "NoneType" in str(info.value)
    assert T.reduceby(0, add, [(1, 2), (1, 3)]) == {1: (1, 2, 1, 3)}
    assert T.reduceby([0], lambda a, b: a, [(1, 2)]) == {(1,): (1, 2)}
    with pytest.raises(TypeError, match="reduceby takes at most 4 arguments"):
        T.reduceby(iseven, add, [1], 0, 1)
    with pytest.raises(TypeError):
        T.reduceby(iseven, add, 5)
    assert T.reduceby(iseven, add, []) == {}


words = st.lists(st.sampled_from(["a", "bb", "a", "ccc", "dd", ""]) | st.text(max_size=3))


@given(st.lists(st.one_of(st.integers(-3, 3), st.integers(), st.text(max_size=2), st.booleans())))
def test_frequencies_matches_counter(values):
    d = T.frequencies(values)
    assert d == Counter(values) and list(d) == list(Counter(values))


@given(words)
def test_groupby_countby_match_plain_python(values):
    expected = defaultdict(list)
    for v in values:
        expected[len(v)].append(v)
    g = T.groupby(len, values)
    assert g == expected and list(g) == list(expected)
    c = T.countby(len, values)
    assert c == {k: len(v) for k, v in expected.items()} and list(c) == list(expected)
    r = T.reduceby(len, add, values, "")
    assert r == {k: "".join(v) for k, v in expected.items()}


def test_many_keys_of_one_hash_across_table_growth():
    values = []
    for i in range(3000):
        values.append(SameHash(i % 150))
        values.append(i % 700)
        values.append(-1 if i % 2 else -2)  # hash(-1) == hash(-2)
    got = T.frequencies(values)
    expected = Counter(values)
    assert list(got.items()) == list(expected.items())
    assert [k for k in T.unique(values)] == list(expected)
    g = T.groupby(lambda v: v, values)
    assert [len(v) for v in g.values()] == list(expected.values())


class GcPeeker:
    """Item whose lookups hand their results to Python code that walks every tuple referring to
    them, as `gc.get_referrers` lets any code do."""

    def __getitem__(self, k):
        import gc

        if k == 0:
            self.first = object()
            return self.first
        for t in gc.get_referrers(self.first):
            if type(t) is tuple:
                hash(t), list(t)
        return k


@pytest.mark.parametrize("call", [
    lambda item: T.countby([0, 1, 2], [item]),
    lambda item: T.groupby([0, 1, 2], [item]),
    lambda item: T.reduceby([0, 1, 2], lambda a, b: b, [item], None),
], ids=["countby", "groupby", "reduceby"])
def test_key_tuple_is_hidden_until_complete(call):
    (key,) = call(GcPeeker())
    assert len(key) == 3 and key[1:] == (1, 2)
    assert T.countby([], [GcPeeker()]) == {(): 1}


@pytest.mark.parametrize("body", [
    "T.countby(abs, itertools.repeat(1))",
    "T.countby([0], itertools.repeat((1,)))",
    "T.groupby(abs, itertools.repeat(1))",
    "T.frequencies(itertools.cycle('ab'))",
    "T.isdistinct(itertools.count())",
    "T.reduceby(abs, operator.add, itertools.repeat(1))",
], ids=["countby", "countby-list-key", "groupby", "frequencies", "isdistinct", "reduceby"])
def test_endless_walks_let_signal_handlers_run(body):
    from interrupt import assert_interruptible

    assert_interruptible(body)
