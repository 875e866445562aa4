"""Concatenation and generation: concat, concatv, mapcat, interleave, iterate, accumulate, remove,
partition, partition_all."""

import itertools
import operator

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T


class Flaky:
    """An iterator over `items` that raises once at each position listed in `fail_at`."""

    def __init__(self, items, fail_at=()):
        self.items = list(items)
        self.pos = 0
        self.fail_at = set(fail_at)

    def __iter__(self):
        return self

    def __next__(self):
        if self.pos in self.fail_at:
            self.fail_at.discard(self.pos)
            raise ValueError(f"fail at {self.pos}")
        if self.pos >= len(self.items):
            raise StopIteration
        self.pos += 1
        return self.items[self.pos - 1]


class ListSub(list):
    pass


def sources(items):
    """The same items as a list, tuple, generator, list subclass and plain iterator."""
    return [list(items), tuple(items), (x for x in items), ListSub(items), iter(list(items))]


def drain(it):
    """Items until the end; an exception is recorded and iteration continues."""
    out = []
    for _ in range(1000):
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except ValueError as exc:
            out.append(str(exc))
    raise AssertionError("did not end")


def roundrobin(*iterables):
    iterators = map(iter, iterables)
    for num_active in range(len(iterables), 0, -1):
        iterators = itertools.cycle(itertools.islice(iterators, num_active))
        yield from map(next, iterators)


# ---- joining -------------------------------------------------------------------------------------


def test_concat_family_returns_chain_objects():
    c = T.concat([[1], (2, 3), "ab"])
    assert type(c) is itertools.chain
    assert list(c) == [1, 2, 3, "a", "b"]
    assert list(T.concatv()) == []
    assert list(T.concatv([1], "a", range(2))) == [1, "a", 0, 1]
    assert list(T.mapcat(lambda s: [s, s], "ab")) == ["a", "a", "b", "b"]
    with pytest.raises(TypeError):
        T.concat(5)
    with pytest.raises(TypeError):
        T.mapcat(len, 5)
    lazy = T.concat([[1], 5])
    assert next(lazy) == 1
    with pytest.raises(TypeError):
        next(lazy)
    calls = []
    m = T.mapcat(lambda v: calls.append(v) or [v], [1, 2])
    assert calls == []
    assert list(m) == [1, 2]
    with pytest.raises(TypeError) as info:
        T.concatv(seqs=[1])
    assert str(info.value) == "concatv() got an unexpected keyword argument 'seqs'"


# ---- interleave ----------------------------------------------------------------------------------


def test_interleave_basics():
    assert list(T.interleave([[1, 2, 3], "ab", []])) == [1, "a", 2, "b", 3]
    assert list(T.interleave([])) == []
    assert list(T.interleave(iter([range(2), range(10, 13)]))) == [0, 10, 1, 11, 12]
    with pytest.raises(TypeError):
        T.interleave([[1], 5])
    with pytest.raises(TypeError):
        T.interleave(5)


def test_interleave_takes_iterators_eagerly():
    seen = []

    def outer():
        for s in ([1], [2]):
            seen.append(s)
            yield s

    it = T.interleave(outer())
    assert seen == [[1], [2]]
    assert list(it) == [1, 2]


def test_interleave_keeps_failing_iterator_in_place():
    a = Flaky([1, 2, 3], fail_at=[1])
    it = T.interleave([a, "xyz"])
    assert drain(it) == [1, "x", "fail at 1", 2, "y", 3, "z"]


@given(st.lists(st.lists(st.integers(), max_size=6), max_size=5))
def test_interleave_matches_roundrobin(seqs):
    expected = list(roundrobin(*seqs))
    assert list(T.interleave(seqs)) == expected
    assert list(T.interleave([iter(s) for s in seqs])) == expected
    assert list(T.interleave(tuple(ListSub(s) for s in seqs))) == expected


# ---- iterate -------------------------------------------------------------------------------------


def test_iterate():
    assert list(T.take(4, T.iterate(lambda v: v * 2, 1))) == [1, 2, 4, 8]
    it = T.iterate(None, "seed")  # func is not checked until it is called
    assert next(it) == "seed"
    with pytest.raises(TypeError):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_iterate_ends_after_error():
    def f(v):
        if v == 2:
            raise ValueError("two")
        return v + 1

    it = T.iterate(f, 0)
    assert [next(it), next(it), next(it)] == [0, 1, 2]
    with pytest.raises(ValueError, match="two"):
        next(it)
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)


# ---- accumulate ----------------------------------------------------------------------------------


def test_accumulate():
    assert list(T.accumulate(operator.add, [1, 2, 3])) == [1, 3, 6]
    assert list(T.accumulate(operator.add, [1, 2, 3], 0)) == [0, 1, 3, 6]
    assert list(T.accumulate(operator.add, [], 5)) == [5]
    assert list(T.accumulate(operator.add, [], None)) == [None]
    assert list(T.accumulate(operator.add, [])) == []
    with pytest.raises(TypeError) as info:
        T.accumulate(operator.add, [1], 0, 1)
    assert str(info.value) == "accumulate takes at most 3 arguments"
    with pytest.raises(TypeError, match="unexpected keyword argument 'initial'"):
        T.accumulate(operator.add, [1], initial=0)
    with pytest.raises(TypeError, match="not iterable"):
        T.accumulate(operator.add, 1)


def test_accumulate_keeps_total_after_error():
    def add(a, b):
        if b == 3:
            raise ValueError("three")
        return a + b

    assert drain(T.accumulate(add, [1, 2, 3, 4])) == [1, 3, "three", 7]
    assert drain(T.accumulate(operator.add, Flaky([1, 2, 3], fail_at=[1]))) == [1, "fail at 1", 3, 6]


@given(st.lists(st.integers()), st.none() | st.integers())
def test_accumulate_matches_itertools(items, initial):
    for src in sources(items):
        expected = list(itertools.accumulate(items, operator.sub))
        assert list(T.accumulate(operator.sub, src)) == expected
    if initial is not None:
        expected = list(itertools.accumulate(items, operator.sub, initial=initial))
        assert list(T.accumulate(operator.sub, items, initial)) == expected


# ---- remove --------------------------------------------------------------------------------------


def test_remove():
    assert list(T.remove(lambda v: v % 2, range(5))) == [0, 2, 4]

    class BadTruth:
        def __bool__(self):
            raise ValueError("truth")

    it = T.remove(lambda v: BadTruth() if v == 1 else v > 5, [0, 1, 2])
    assert drain(it) == [0, "truth", 2]
    assert drain(T.remove(bool, Flaky([0, 1, 0], fail_at=[0]))) == ["fail at 0", 0, 0]


@given(st.lists(st.integers(-5, 5)))
def test_remove_matches_filterfalse(items):
    pred = lambda v: v % 3 == 0  # noqa: E731
    expected = list(itertools.filterfalse(pred, items))
    for src in sources(items):
        assert list(T.remove(pred, src)) == expected


# ---- partition / partition_all -------------------------------------------------------------------


def test_partition():
    assert list(T.partition(2, [1, 2, 3])) == [(1, 2)]
    assert list(T.partition(2, [1, 2, 3], None)) == [(1, 2), (3, None)]
    assert list(T.partition(3, [1], "x")) == [(1, "x", "x")]
    assert list(T.partition(0, 5)) == []
    assert list(T.partition(3, [], None)) == []
    with pytest.raises(TypeError) as info:
        T.partition(2, [1], None, None)
    assert str(info.value) == "partition takes at most 3 arguments"
    # n is converted before the extra arguments are counted
    with pytest.raises(TypeError) as info:
        T.partition("x", [1], None, None)
    assert info.value.__notes__ == ["while processing 'n'"]


def test_partition_all():
    assert list(T.partition_all(2, [1, 2, 3])) == [(1, 2), (3,)]
    assert list(T.partition_all(-1, [1])) == []
    assert list(T.partition_all(1, "ab")) == [("a",), ("b",)]
    with pytest.raises(TypeError) as info:
        T.partition_all("x", [1])
    assert info.value.__notes__ == ["while processing 'n'"]
    with pytest.raises(OverflowError):
        T.partition_all(2**64, [1])


@pytest.mark.parametrize("change", [lambda s: s.extend([7, 8, 9]), lambda s: s.clear(), lambda s: s.pop()])
def test_list_changed_between_chunks_reads_like_its_iterator(change):
    # Appends are seen, a shortened list ends early, and an ended one stays ended.
    results = []
    for make in (lambda s: T.partition_all(2, s), lambda s: itertools.batched(iter(s), 2)):
        seq = [1, 2, 3, 4, 5]
        it = make(seq)
        got = [next(it)]
        change(seq)
        got += list(it)
        seq.append(10)
        results.append((got, list(it)))
    assert results[0] == results[1]


def test_huge_chunk_size_does_not_reserve_memory():
    big = 2**62
    assert list(T.partition_all(big, range(5))) == [(0, 1, 2, 3, 4)]
    assert list(T.partition(big, range(3))) == []
    assert list(T.partition_all(5000, range(5001))) == [tuple(range(5000)), (5000,)]
    padded = list(T.partition(5000, range(5001), 0))
    assert padded == [tuple(range(5000)), (5000,) + (0,) * 4999]
    with pytest.raises(MemoryError):
        next(T.partition(2**62, [1], None))


def test_chunks_continue_after_source_error():
    it = T.partition_all(2, Flaky([1, 2, 3, 4, 5], fail_at=[3]))
    assert drain(it) == [(1, 2), "fail at 3", (4, 5)]
    it = T.partition(2, Flaky(range(5), fail_at=[1]), None)
    assert drain(it) == ["fail at 1", (1, 2), (3, 4)]


@given(st.lists(st.integers()), st.integers(1, 7))
def test_partition_all_matches_batched(items, n):
    expected = list(itertools.batched(items, n))
    for src in sources(items):
        assert list(T.partition_all(n, src)) == expected
    full = [c for c in expected if len(c) == n]
    assert list(T.partition(n, items)) == full
    padded = [c + (None,) * (n - len(c)) for c in expected]
    assert list(T.partition(n, items, None)) == padded


def test_list_mutated_while_partitioned():
    data = [1, 2, 3]
    it = T.partition_all(2, data)
    assert next(it) == (1, 2)
    data.extend([4, 5, 6])
    assert list(it) == [(3, 4), (5, 6)]
    data.append(7)
    with pytest.raises(StopIteration):
        next(it)


def test_half_filled_chunk_is_not_visible_to_gc():
    import gc

    def source():
        for i in range(6):
            # Python code running while a chunk is being filled may look at every tracked object.
            for obj in gc.get_objects():
                if type(obj) is tuple and obj:
                    obj[-1]
            yield i

    assert list(T.partition_all(4, source())) == [(0, 1, 2, 3), (4, 5)]
    assert list(T.partition(4, source(), None)) == [(0, 1, 2, 3), (4, 5, None, None)]


@pytest.mark.parametrize("body", [
    "T.interleave(itertools.repeat([1]))",
    "next(T.partition(10**12, itertools.repeat(None)))",
], ids=["interleave", "partition"])
def test_endless_eager_pulls_let_signal_handlers_run(body):
    from interrupt import assert_interruptible

    assert_interruptible(body)
