"""Functions over several sequences: merge_sorted, join, diff."""

import heapq
import itertools
import sys

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T

from interrupt import assert_interruptible
from sequences.scripted import Script, outcomes


sorted_lists = st.lists(st.lists(st.integers(0, 6), max_size=6).map(sorted), max_size=4)


@given(sorted_lists)
def test_merge_sorted_matches_heapq(seqs):
    tagged = [[(v, i) for v in s] for i, s in enumerate(seqs)]
    first = lambda t: t[0]  # noqa: E731
    # equal keys come out in input order
    assert list(T.merge_sorted(*tagged, key=first)) == list(heapq.merge(*tagged, key=first))
    assert list(T.merge_sorted(*map(iter, seqs))) == list(heapq.merge(*seqs))
    rev = [s[::-1] for s in seqs]
    assert list(T.merge_sorted(*rev, key=lambda v: -v)) == list(heapq.merge(*rev, key=lambda v: -v))
    assert list(T.merge_sorted(*seqs, key=None)) == list(heapq.merge(*seqs))


def test_merge_sorted_looks_heapq_up_at_every_call(monkeypatch):
    monkeypatch.setitem(sys.modules, "heapq", None)
    with pytest.raises(ImportError):
        T.merge_sorted([1])
    monkeypatch.undo()
    assert list(T.merge_sorted([1, 3], [2, 3])) == [1, 2, 3, 3]
    with pytest.raises(TypeError):
        T.merge_sorted([1], seqs=[2])


def join_reference(leftkey, left, rightkey, right, left_default=None, right_default=None):
    """A nested-loop join in the documented order."""
    out, matched = [], []
    for y in right:
        hits = [x for x in left if leftkey(x) == rightkey(y)]
        if hits:
            matched.append(rightkey(y))
            out += [(x, y) for x in hits]
        elif left_default is not None:
            out.append((left_default, y))
    if right_default is not None:
        keys = list(dict.fromkeys(leftkey(x) for x in left))
        for k in keys:
            if k not in matched:
                out += [(x, right_default) for x in left if leftkey(x) == k]
    return out


side = st.lists(st.tuples(st.integers(0, 4), st.integers()), max_size=8)


@given(side, side, st.sampled_from([None, "L"]), st.sampled_from([None, "R"]))
def test_join_matches_a_nested_loop(left, right, ld, rd):
    k = lambda t: t[0]  # noqa: E731
    expected = join_reference(k, left, k, right, ld, rd)
    assert list(T.join(0, left, 0, right, ld, rd)) == expected
    assert list(T.join(k, iter(left), k, iter(right), left_default=ld, right_default=rd)) == expected
    assert list(T.join([0], left, [0], right, ld, rd)) == [
        (a, b) for a, b in join_reference(lambda t: (t[0],), left, lambda t: (t[0],), right, ld, rd)]


def test_join_kinds_and_order():
    left = [(1, "a"), (2, "b"), (1, "c")]
    right = [(1, "x"), (3, "y")]
    inner = [((1, "a"), (1, "x")), ((1, "c"), (1, "x"))]
    assert list(T.join(0, left, 0, right)) == inner
    assert list(T.join(0, left, 0, right, None, None)) == inner
    assert list(T.join(0, left, 0, right, "L")) == inner + [("L", (3, "y"))]
    assert list(T.join(0, left, 0, right, right_default="R")) == inner + [((2, "b"), "R")]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'rightseq'"):
        T.join(0, [], 0)


def test_join_is_lazy_and_recovers_from_errors():
    g = iter([(1, "a")])
    j = T.join(0, g, 0, [(1, "x")])
    assert next(g) == (1, "a")  # untouched by the call
    assert list(j) == []
    with pytest.raises(TypeError):
        T.join(0, [], 0, 5)
    j = T.join(0, 5, 0, [])
    with pytest.raises(TypeError):
        next(j)
    # A failed index build starts over at the next step: a list from its start, an iterator
    # from where it stopped.
    calls = []

    def key(x):
        calls.append(x)
        if x == 2 and calls.count(2) == 1:
            raise ValueError("key")
        return x

    j = T.join(key, [1, 2], key, [1, 2])
    assert outcomes(j) == ["ValueError", (1, 1), (2, 2)]
    j = T.join(0, Script((1,), ValueError("left"), (2,)), 0, [(1,), (2,)])
    assert outcomes(j) == ["ValueError", ((2,), (2,))]
    # A failure in the right phase loses only that right item.
    j = T.join(0, [(1,), (2,)], 0, Script((1,), KeyError("r"), (2,)), right_default="R")
    assert outcomes(j) == [((1,), (1,)), "KeyError", ((2,), (2,))]
    # Once ended, no input is touched again.
    right = Script((9,), "stop", (1,))
    j = T.join(0, [(1,)], 0, right, right_default="R")
    assert list(j) == [((1,), "R")] and list(j) == []
    assert right.script == [(1,)]


def test_join_survives_python_code_changing_its_index():
    # The index is reachable through the collector: a group emptied or replaced changes the answer only.
    import gc

    left = [(1, "a"), (1, "b"), (2, "c")]

    def emptying(y):
        [ref.clear() for ref in gc.get_referrers(left[0]) if type(ref) is list and ref is not left]
        return y[0]

    assert list(T.join(0, left, emptying, [(1, "x"), (2, "y")])) == [((2, "c"), (2, "y"))]
    for replacement in ([], None):
        j = T.join(0, left, 0, [(2, "y")], right_default="R")
        assert next(j) == ((2, "c"), (2, "y"))
        [ref.update(dict.fromkeys(ref, replacement)) for ref in gc.get_referents(j) if type(ref) is dict]
        assert list(j) == []


def test_join_with_unhashable_keys():
    j = T.join(lambda x: [x], [1], 0, [(1,)])
    with pytest.raises(TypeError, match="unhashable"):
        next(j)


def diff_reference(seqs, default=None, key=None, padded=False):
    rows = itertools.zip_longest(*seqs, fillvalue=default) if padded else zip(*seqs)
    key = key or (lambda v: v)
    return [row for row in rows if not all(key(row[0]) == key(v) for v in row[1:])]


@given(st.lists(st.lists(st.integers(0, 3), max_size=6), min_size=2, max_size=4), st.none() | st.integers(0, 3),
       st.booleans())
def test_diff_matches_zip(seqs, default, keyed):
    key = (lambda v: hash(v) % 2) if keyed else None
    kw = {"key": key} if keyed else {}
    assert list(T.diff(*seqs, **kw)) == diff_reference(seqs, key=key)
    assert list(T.diff(*map(iter, seqs), default=default, **kw)) == diff_reference(seqs, default, key, True)
    assert list(T.diff(seqs, other=1, **kw)) == diff_reference(seqs, key=key)


def test_diff_forms():
    assert list(T.diff([1, 2, 3], [1, 2, 10])) == [(3, 10)]
    assert list(T.diff([1, 2], [1], default=None)) == [(2, None)]
    assert list(T.diff(["a", "B"], ["A", "b"], key=str.lower)) == []
    assert list(T.diff([1], [2], key=None)) == [(1, 2)]
    assert list(T.diff([[1], [2]])) == [(1, 2)]
    for args in ([[1]], [], [[[1]]], [([1], [2])]):  # a single tuple is one sequence
        with pytest.raises(TypeError, match=r"^Too few sequences given \(min 2 required\)$"):
            T.diff(*args)
    nan = float("nan")
    assert len(list(T.diff([nan], [nan]))) == 1  # == itself, without an identity shortcut


def test_diff_errors_and_exhaustion():
    # the row being built is dropped, with the values already fetched for it
    assert outcomes(T.diff([1, 2, 3], Script(1, ValueError("x"), 5))) == ["ValueError", (3, 5)]
    assert outcomes(T.diff(Script(1, ValueError("x"), 2), [1, 3])) == ["ValueError", (2, 3)]
    left = Script(1, "stop", 2)
    it = T.diff(left, [0, 0, 0])
    assert list(it) == [(1, 0)]
    assert list(it) == [(2, 0)]  # without a default, a later step asks the inputs again
    it = T.diff(Script(1, "stop", 2), [0], default="d")
    assert list(it) == [(1, 0)] and list(it) == []  # an ended input's slot stays empty

    class Bad:
        def __eq__(self, other):
            raise KeyError("eq")

    assert outcomes(T.diff([Bad(), 1], [0, 2])) == ["KeyError", (1, 2)]


@pytest.mark.parametrize(
    "call",
    [
        "next(T.join(0, [], 0, itertools.repeat((1,))))",
        "next(T.join(0, itertools.repeat((1,)), 0, []))",
        "next(T.diff(itertools.repeat(1), itertools.repeat(1)))",
        "T.sliding_window(2**40, itertools.repeat(1))",
    ],
    ids=["join right", "join left", "diff", "sliding_window priming"],
)
def test_endless_native_loops_can_be_interrupted(call):
    assert_interruptible(call)
