"""topk: the integer-buffer kernels, the native selection over lists of one exact built-in type,
the general sort and the keyed path."""

import array
import heapq
import itertools
import math
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T
from hashing.test_pool_settings import run_script

THRESHOLD = 524288  # buffers from this size are selected in parallel chunks


def reference(k, lst):
    """The stable descending sort that topk's general path is defined by."""
    return tuple(sorted(lst, reverse=True)[:k])


def same_objects(got, expected):
    return len(got) == len(expected) and all(a is b for a, b in zip(got, expected))


# ---- native selection on lists: identical to the sort, object for object -------------------------

big_ints = st.integers(-5, 5) | st.integers(-(2**80), 2**80)
# Distinct but equal objects, so that ties show whether input order is kept.
eq_floats = st.sampled_from([0.0, -0.0, 1.5, -2.0, 1e300, float("inf"), float("-inf")]).map(lambda f: f * 1.0)
# Slicing builds a new string object from two characters on ("" and "a" stay shared singletons).
words = st.sampled_from(["", "a", "ab", "ba", "éé", "z\u0100", "\U0001f600\U0001f600", "ab\x00"]).map(lambda s: (s + "!")[:-1])
mixed = st.one_of(st.integers(-3, 3), st.booleans(), st.floats(allow_nan=True), st.sampled_from(["a", (1,), None]))


@given(st.one_of(st.lists(big_ints, max_size=40), st.lists(eq_floats, max_size=40),
                 st.lists(words, max_size=40), st.lists(st.integers(-3, 3) | st.booleans(), max_size=20),
                 st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=20),
                 st.lists(mixed, max_size=8)),
       st.integers(0, 45), st.sampled_from([list, tuple, iter]))
def test_selection_is_the_stable_descending_sort(lst, k, make):
    try:
        expected = reference(k, lst)
    except TypeError as exc:
        with pytest.raises(TypeError, match=str(exc).replace("(", r"\(").replace(")", r"\)")):
            T.topk(k, make(lst))
        return
    got = T.topk(k, make(lst))
    if any(isinstance(v, float) and math.isnan(v) for v in lst):
        # NaN breaks the order, but the sort's answer is still the answer
        assert repr(got) == repr(expected)
    else:
        assert same_objects(got, expected)


@given(st.one_of(st.lists(st.tuples(big_ints | words, st.integers()), max_size=30),
                 st.lists(st.tuples(st.floats(allow_nan=True) | st.integers(-3, 3) | eq_floats, st.integers()),
                          max_size=30)),
       st.integers(0, 35))
def test_keyed_selection_is_the_decorated_sort(rows, k):
    try:
        expected = tuple(r[2] for r in sorted(((row[0], -i, row) for i, row in enumerate(rows)), reverse=True)[:k])
    except TypeError:
        with pytest.raises(TypeError):
            T.topk(k, rows, key=0)
        return
    assert same_objects(T.topk(k, rows, key=0), expected)
    assert same_objects(T.topk(k, iter(rows), key=lambda r: r[0]), expected)


def test_documented_answers():
    assert T.topk(2, [1, 5, 3, 5]) == (5, 5)
    assert T.topk(10, [3, 1, 2]) == (3, 2, 1)
    assert T.topk(0, [1, 2]) == ()
    assert T.topk(2, ["ab", "c", "de"], key=len) == ("ab", "de")
    rows = [(1, "b"), (3, "a"), (3, "c"), (2, "z")]
    assert T.topk(1, rows, key=0) == ((3, "a"),)
    assert T.topk(1, rows, key=[0, 1]) == ((3, "c"),)
    assert T.topk(2, data := [3, 1], key=None) == T.topk(2, data)
    assert T.topk(True, [1, 2]) == (2,)
    assert T.topk(3, range(10)) == (9, 8, 7)
    assert T.topk(2, "hello") == ("o", "l")


def test_binding():
    with pytest.raises(TypeError, match=r"^topk\(\) takes from 2 to 3 positional arguments but 4 were given$"):
        T.topk(1, [], None, 4)
    with pytest.raises(TypeError, match=r"^topk\(\) missing 1 required positional argument: 'seq'$"):
        T.topk(1)
    assert T.topk(seq=[1, 3], k=1, key=lambda v: -v) == (1,)


def test_keyed_k_zero_still_consumes_and_calls_the_key():
    calls = []
    src = iter(range(5))
    assert T.topk(0, src, key=lambda v: calls.append(v) or v) == ()
    assert calls == [0, 1, 2, 3, 4] and next(src, None) is None


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("k, exc", [(-1, OverflowError), (2**64, OverflowError), (2.0, TypeError),
                                    ("1", TypeError), (Index(-1), OverflowError), (np.True_, TypeError)])
def test_bad_k_is_reported_for_k_before_seq_is_touched(k, exc):
    src = iter([1, 2])
    with pytest.raises(exc) as info:
        T.topk(k, src)
    assert info.value.__notes__ == ["while processing 'k'"]
    assert next(src) == 1


def test_k_accepts_index_objects_and_huge_values():
    assert T.topk(Index(2), [1, 3, 2]) == (3, 2)
    assert T.topk(np.int64(1), [1, 3]) == (3,)
    assert T.topk(2**63, [1, 3]) == (3, 1)
    assert T.topk(2**64 - 1, np.arange(3)) == (2, 1, 0)


class Boom(Exception):
    pass


class Liar:
    """Comparisons that answer at random-looking but repeatable values, or raise after a while."""

    def __init__(self, v, budget):
        self.v, self.budget = v, budget

    def __lt__(self, other):
        self.budget[0] -= 1
        if self.budget[0] < 0:
            raise Boom
        return (self.v * 7 + other.v * 3) % 5 < 2

    def __repr__(self):
        return f"L{self.v}"


@pytest.mark.parametrize("budget", [0, 5, 1000])
def test_lying_and_raising_comparisons_get_the_sorts_answer(budget):
    def make():
        b = [budget]
        return [Liar(v, b) for v in range(12)]

    try:
        expected = repr(reference(3, make()))
    except Boom:
        with pytest.raises(Boom):
            T.topk(3, make())
        with pytest.raises(Boom):
            T.topk(3, make(), key=lambda x: x)
        return
    assert repr(T.topk(3, make())) == expected


def test_a_key_that_raises_on_the_nth_element():
    def key(v):
        if v == 3:
            raise Boom
        return v

    with pytest.raises(Boom):
        T.topk(2, range(10), key=key)


# ---- integer buffers ------------------------------------------------------------------------------

INT_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]


def check_buffer(k, buf):
    values = [int(v) for v in buf]
    got = T.topk(k, buf)
    assert got == T.topk(k, values) == tuple(heapq.nlargest(k, values))
    assert all(type(v) is int for v in got)


@pytest.mark.parametrize("dtype", INT_DTYPES)
@pytest.mark.parametrize("n", [0, 1, 37, THRESHOLD - 1, THRESHOLD, THRESHOLD + 3])
def test_every_integer_type_around_the_parallel_threshold(dtype, n):
    info = np.iinfo(dtype)
    rng = np.random.default_rng(n)
    a = rng.integers(info.min, info.max, size=n, dtype=dtype, endpoint=True)
    if n > 10:
        a[-1] = info.max  # equal maxima in several chunks
        a[n // 2] = info.max
        a[0] = info.max
    for k in (0, 1, 5, 100):
        got = T.topk(k, a)
        expected = tuple(int(v) for v in np.sort(a)[::-1][:k])
        assert got == expected, (k, got[:5], expected[:5])
    if n < 100:
        check_buffer(n + 2, a)


def test_bytes_like_sources_and_views():
    data = bytes([5, 1, 5, 3, 200, 0])
    big = array.array("q", ((i * 7919) % 1_000_003 - 500_000 for i in range(THRESHOLD + 5)))
    for buf in (data, bytearray(data), memoryview(data), array.array("B", data),
                array.array("i", [5, -1, 5, 3]), array.array("Q", [2**64 - 1, 0, 2**63]),
                memoryview(array.array("q", [3, -9, 7])).cast("B").cast("q"),
                memoryview(bytes(range(16))).cast("H"), memoryview(array.array("h", range(10)))[::3],
                array.array("l"), bytes(), big):
        for k in (0, 1, 3, 20):
            check_buffer(k, buf)
    # character data is not integers: it takes the general path
    assert T.topk(2, memoryview(b"abc").cast("c")) == (b"c", b"b")


def test_numpy_views():
    for buf in (np.arange(10)[::3], np.arange(12).reshape(3, 4)[:, 1], np.array([], dtype=np.int64),
                np.arange(10)[::-1]):
        for k in (0, 1, 3, 20):
            check_buffer(k, buf)
    assert T.topk(3, np.array([5, 1, 5, 3], dtype=np.int32)) == (5, 5, 3)
    assert T.topk(2, np.array([True, False, True])) == (True, True)  # booleans are not integers


@pytest.mark.slow
@pytest.mark.no_leakcheck("runs in child processes")
def test_parallel_selection_equals_serial_for_every_pool_size():
    script = r"""
import numpy as np, trovix._trovix as T
rng = np.random.default_rng(5)
for n in (524287, 524288, 1_200_001):
    a = rng.integers(-2**62, 2**62, size=n, dtype=np.int64)
    a[::100_000] = 2**62  # equal maxima spread over every chunk
    desc = np.sort(a)[::-1]
    for k in (0, 1, 10, 1000, 100_000):
        assert T.topk(k, a) == tuple(desc[:k].tolist()), (n, k)
u = rng.integers(0, 2**64, size=1_000_000, dtype=np.uint64, endpoint=False)
assert T.topk(7, u) == tuple(sorted(u.tolist(), reverse=True)[:7])
print("ok")
"""
    for threads in ("1", "3"):
        assert run_script(script, 300, RAYON_NUM_THREADS=threads) == "ok"


@pytest.mark.no_leakcheck("runs in a child process")
@pytest.mark.parametrize("body", ["T.topk(1, itertools.count())", "T.topk(1, itertools.count(), key=0 or abs)",
                                  "T.topk(1, itertools.repeat((1,)), key=0)"])
def test_an_endless_source_lets_signal_handlers_run(body):
    from interrupt import assert_interruptible

    assert_interruptible(body)


class Exporter:
    """A buffer exporter without iteration of its own, whose export raises."""

    def __init__(self, exc):
        self.exc = exc

    def __buffer__(self, flags):
        raise self.exc


def test_interrupts_from_a_buffer_export_propagate():
    with pytest.raises(KeyboardInterrupt):
        T.topk(1, Exporter(KeyboardInterrupt()))
    with pytest.raises(TypeError, match="not iterable"):  # an ordinary error: the general path
        T.topk(1, Exporter(ValueError()))
