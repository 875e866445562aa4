"""Every way of counting and de-duplicating gives the result of the plain definition: integer
buffers whose values lie in a narrow range (direct arrays), far apart (tables), both (a window
plus a table), long enough to be split across the pool or short enough to skip the large tables;
and the general path on lists and tuples whose keys are mostly new (the table is sized once),
with colliding hashes, mixed types and user-defined __hash__ / __eq__ called as often as before."""

import numpy as np
import pytest

import trovix._trovix as T


def first_occurrence(a):
    """(values in order of first occurrence, their counts), computed by numpy."""
    vals, first, counts = np.unique(a, return_index=True, return_counts=True)
    order = np.argsort(first, kind="stable")
    return vals[order].tolist(), counts[order].tolist()


def in_range(info, values):
    return np.array([v for v in values if int(info.min) <= v <= int(info.max)], dtype=info.dtype)


def narrow_distinct(rng, n, info):
    start = in_range(info, [-(n // 3), 0])[0]
    return rng.permutation(n).astype(info.dtype) + start  # wraps around for the short types


def narrow_repeated(rng, n, info):
    k = min(max(1, n // 100), 200)
    return rng.integers(0, k, size=n).astype(info.dtype) + in_range(info, [int(info.max) - k])[0]


def wide_distinct(rng, n, info):
    return rng.integers(int(info.min), int(info.max), size=n, endpoint=True, dtype=info.dtype)


def wide_few(rng, n, info):
    pool = rng.integers(int(info.min), int(info.max), size=40, endpoint=True, dtype=info.dtype)
    return pool[rng.integers(0, 40, size=n)]


def cluster_and_outliers(rng, n, info):
    a = rng.integers(-500, 500, size=n).astype(info.dtype)
    picks = rng.integers(0, n, size=max(1, n // 50))
    a[picks] = rng.choice(in_range(info, [int(info.min), int(info.max), 0, 1 << 20]), size=picks.size)
    return a


def extremes(rng, n, info):
    return rng.choice(in_range(info, [int(info.min), int(info.max), int(info.min) + 1, int(info.max) - 1]), size=n)


DISTRIBUTIONS = [narrow_distinct, narrow_repeated, wide_distinct, wide_few, cluster_and_outliers, extremes]
DTYPES = [np.int64, np.uint64, np.int32, np.uint32, np.int16, np.uint8]


def check(a):
    order, counts = first_occurrence(a)
    got = T.frequencies(a)
    assert list(got.items()) == list(zip(order, counts))
    assert all(type(k) is int for k in got)
    assert list(T.unique(a)) == order
    assert T.isdistinct(a) is (len(order) == a.size)


@pytest.mark.parametrize("dist", DISTRIBUTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("n", [1, 10, 4096, 4097, 70_000])
def test_integer_buffers_match_the_definition(dist, dtype, n):
    info = np.iinfo(dtype)
    rng = np.random.default_rng([n, DTYPES.index(dtype), DISTRIBUTIONS.index(dist)])
    a = dist(rng, n, info)
    assert a.dtype == dtype
    check(a)
    check(a[::-1].copy())


@pytest.mark.parametrize("dist", [narrow_distinct, narrow_repeated, wide_distinct, wide_few, cluster_and_outliers],
                         ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", [np.int64, np.uint32])
def test_long_integer_buffers_split_across_the_pool(dist, dtype):
    info = np.iinfo(dtype)
    rng = np.random.default_rng(DISTRIBUTIONS.index(dist))
    a = dist(rng, 600_001, info)
    a[-1] = 12345 if a[-1] != 12345 else 54321  # possibly first seen in the last chunk
    check(a)


def test_narrow_range_relative_to_the_length():
    # Just inside and just outside the range a direct array takes (about two values per element).
    for n in (10, 5000, 100_000):
        for width in (2 * n + 1023, 2 * n + 1024, 2 * n + 1025, 50 * n):
            a = np.random.default_rng(width).integers(0, width, size=n, dtype=np.int64)
            a[0], a[-1] = 0, width - 1
            check(a)
            check(a - 2**63 // 2)


class Counted:
    """Hashes to its value's hash; counts its __hash__ and __eq__ calls."""

    calls = {"hash": 0, "eq": 0}

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        Counted.calls["hash"] += 1
        return hash(self.v)

    def __eq__(self, other):
        Counted.calls["eq"] += 1
        return isinstance(other, Counted) and self.v == other.v


class Collide:
    """Every instance shares one hash; equal by value."""

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return isinstance(other, Collide) and self.v == other.v


def plain_counts(items):
    d = {}
    for x in items:
        d[x] = d.get(x, 0) + 1
    return d


@pytest.mark.parametrize("container", [list, tuple, iter])
def test_general_path_with_mostly_new_keys(container):
    ints = [i * 7 + 10**6 for i in range(20_000)]
    strs = [f"item-{i}" for i in range(20_000)]
    mixed = ints[:6000] + [1, 1.0, True, -1, -2, -1] + strs[:6000] + [Collide(i % 30) for i in range(300)]
    mixed += [2**70, -(2**70), 2**70, (1, "a"), (1, "a"), b"x", 2.5, 2.5] + ints[:100]
    for items in (ints, strs, ints + ints[::3], mixed):
        got = T.frequencies(container(items))
        expected = plain_counts(items)
        assert list(got.items()) == list(expected.items())
        assert all(a is b for a, b in zip(got, expected))  # the first of equal keys is kept


def test_general_path_calls_hash_and_eq_as_before():
    # One __hash__ per element during the walk and one per distinct key for the result dict;
    # __eq__ only between an element and the earlier equal key of its hash.
    n_distinct, repeats = 5000, 3
    items = [Counted(i) for i in range(n_distinct)] + [Counted(i) for i in range(n_distinct)] * (repeats - 1)
    Counted.calls.update(hash=0, eq=0)
    got = T.frequencies(items)
    assert Counted.calls == {"hash": len(items) + n_distinct, "eq": n_distinct * (repeats - 1)}
    assert list(got.values()) == [repeats] * n_distinct
    assert [k.v for k in got] == list(range(n_distinct))


def test_long_buffer_of_a_range_wider_than_the_window():
    # Values over some 66000 consecutive ints, the first at one end: the window around it misses
    # about half of them, and the whole range is narrow enough for a direct array.
    rng = np.random.default_rng(5)
    a = rng.integers(0, 66_000, size=600_001, dtype=np.int64)
    a[0] = 0
    a[a == 65_999] = 1
    a[-1] = 65_999
    check(a)
    check(a - 2**62)


def test_every_path_through_array_array():
    # The same paths without NumPy, so that the leak check measures them.
    import array

    for values in (list(range(5000, 0, -1)), [i * 7919 % 100_003 for i in range(6000)], [3, 1, 3],
                   [2**62, -(2**62), 5, 0] * 1500, list(range(70_000)) + [1, 2**40], [-(2**63), 2**63 - 1] * 3):
        a = array.array("q", values)
        expected = plain_counts(values)
        assert list(T.frequencies(a).items()) == list(expected.items())
        assert list(T.unique(a)) == list(expected)
        assert T.isdistinct(a) is (len(expected) == len(values))
