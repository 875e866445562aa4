"""Integer-buffer fast paths of frequencies, unique and isdistinct: for every integer buffer the
native result equals the general path's result on list(buffer), keys in the same order; buffers
that must not qualify silently take the general path."""

import array
import sys

import numpy as np
import pytest

import trovix._trovix as T

INT_DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
              np.intc, np.uintc, np.longlong, np.ulonglong, np.intp, np.uintp]
FOREIGN = ">" if sys.byteorder == "little" else "<"


def general(buf):
    """What the object path gives for the same values (as Python ints)."""
    values = [int(v) for v in buf]
    freq = {}
    for v in values:
        freq[v] = freq.get(v, 0) + 1
    return freq, list(dict.fromkeys(values)), len(set(values)) == len(values)


def check_native(buf):
    freq, uniq, distinct = general(buf)
    got = T.frequencies(buf)
    assert got == freq and list(got) == list(freq)
    assert all(type(k) is int for k in got)
    it = T.unique(buf)
    assert type(it).__name__ == "UniqueIntIter"
    assert list(it) == uniq
    assert T.isdistinct(buf) is distinct
    top = T.topk(7, buf)
    assert top == tuple(sorted((int(v) for v in buf), reverse=True)[:7])
    assert all(type(v) is int for v in top)


@pytest.mark.parametrize("dtype", INT_DTYPES)
def test_every_numpy_integer_dtype(dtype):
    info = np.iinfo(dtype)
    rng = np.random.default_rng(7)
    edge = [info.min, info.max, 0, 1, info.max, info.min, 0]
    body = rng.integers(info.min, info.max, size=300, dtype=dtype, endpoint=True)
    check_native(np.array(edge, dtype=dtype))
    check_native(np.concatenate([np.array(edge, dtype=dtype), body, body[:20]]))
    check_native(np.arange(min(int(info.max), 200), dtype=dtype))  # all distinct
    check_native(np.array([], dtype=dtype))


def test_bytes_array_and_memoryview_sources():
    assert T.frequencies(b"abca") == {97: 2, 98: 1, 99: 1}
    assert list(T.unique(b"abca")) == [97, 98, 99]
    check_native(bytearray(b"hello world"))
    for code in "bBhHiIlLqQ":
        check_native(array.array(code, [3, 1, 3, 2, 1, 3, 0, 7]))
    mv = memoryview(np.array([5, -1, 5, 70000, -1], dtype=np.int64).tobytes())
    for fmt in ("q", "i", "h", "B", "b", "Q", "I", "H"):
        check_native(mv.cast(fmt))


def test_int64_example_and_unsigned_beyond_int64():
    d = T.frequencies(np.array([3, 1, 3, 2, 1, 3]))
    assert d == {3: 3, 1: 2, 2: 1} and list(d) == [3, 1, 2]
    big = np.array([2**64 - 1, 2**63, 5, 2**63], dtype=np.uint64)
    assert T.frequencies(big) == {2**64 - 1: 1, 2**63: 2, 5: 1}
    assert list(T.unique(big)) == [2**64 - 1, 2**63, 5]
    assert list(T.unique(np.array([-5, 5, -5], dtype=np.int8))) == [-5, 5]


def test_values_sharing_low_bits_do_not_collapse():
    # Multiples of a large power of two share all their low bits.
    a = np.arange(0, 200_000, dtype=np.int64) << 20
    assert T.isdistinct(a) is True
    assert list(T.unique(a)) == a.tolist()
    assert T.frequencies(np.concatenate([a, a[:10]]))[a[5].item()] == 2


def layouts(a):
    """Views of the values of `a` in every one-dimensional layout, beside the contiguous copy."""
    swapped = a.astype(a.dtype.newbyteorder())
    return {
        "every second": np.repeat(a, 2)[::2],
        "every third, reversed": np.repeat(a[::-1], 3)[::-3],
        "reversed": a[::-1],
        "column": np.stack([a, a[::-1]], axis=1)[:, 0],
        "foreign byte order": swapped,
        "foreign byte order, strided": np.repeat(swapped, 2)[1::2],
        "broadcast": np.broadcast_to(a[:1], (len(a),)) if len(a) else a,
        "memoryview slice": memoryview(np.repeat(a, 2))[::2],
    }


@pytest.mark.parametrize("dtype", INT_DTYPES)
def test_every_one_dimensional_layout_is_read_natively(dtype):
    info = np.iinfo(dtype)
    rng = np.random.default_rng(8)
    body = rng.integers(info.min, info.max, size=200, dtype=dtype, endpoint=True)
    for a in (np.concatenate([np.array([info.min, info.max, 0, 1, info.max], dtype=dtype), body, body[:9]]),
              np.arange(min(int(info.max), 150), dtype=dtype), np.array([], dtype=dtype)):
        for view in layouts(a).values():
            check_native(view)


@pytest.mark.parametrize("dtype", INT_DTYPES[:8])  # one per item size and signedness
def test_strided_and_foreign_views_beyond_the_parallel_threshold(dtype):
    info = np.iinfo(dtype)
    rng = np.random.default_rng(8)
    big = rng.integers(info.min, info.max, size=1_100_000, dtype=dtype, endpoint=True)
    for view in (big[::2], big[::-2].astype(big.dtype.newbyteorder())):
        values = view.tolist()
        got = T.frequencies(view)
        assert got == T.frequencies(values) and list(got) == list(dict.fromkeys(values))
        top = tuple(sorted(values, reverse=True)[:40_000])
        assert T.topk(5, view) == top[:5]
        assert T.topk(40_000, view) == top


def test_a_broadcast_value_is_read_once_however_long_the_view():
    view = np.broadcast_to(np.array([-7], dtype=np.int64), (2**59,))
    assert T.frequencies(view) == {-7: 2**59}
    assert list(T.unique(view)) == [-7]
    assert T.isdistinct(view) is False
    assert T.topk(3, view) == (-7, -7, -7)


NOT_QUALIFYING = {
    "2-d": lambda: np.arange(6, dtype=np.int64).reshape(2, 3),
    "misaligned field": lambda: np.array([(1, 5), (2, 6), (3, 5)], dtype=[("a", "u1"), ("b", "<i4")])["b"],
    "bool": lambda: np.array([True, False, True]),
    "float": lambda: np.array([1.0, 2.0, 1.0]),
    "float array.array": lambda: array.array("d", [1.0, 2.0, 1.0]),
    "char memoryview": lambda: memoryview(b"abca").cast("c"),
}


@pytest.mark.parametrize("name", NOT_QUALIFYING)
def test_non_qualifying_buffers_take_the_general_path(name):
    buf = NOT_QUALIFYING[name]()
    if name == "2-d":
        with pytest.raises(TypeError):  # rows are unhashable arrays
            T.frequencies(buf)
        assert type(T.unique(buf)).__name__ == "UniqueIter"
        return
    items = list(buf)
    assert T.frequencies(buf) == T.frequencies(items)
    assert list(T.frequencies(buf)) == list(T.frequencies(items))
    it = T.unique(buf)
    assert type(it).__name__ == "UniqueIter"
    assert list(it) == list(dict.fromkeys(items))
    assert T.isdistinct(buf) is (len(set(items)) == len(items))
    if name == "char memoryview":
        assert T.frequencies(buf) == {b"a": 2, b"b": 1, b"c": 1}


def test_key_disables_the_integer_path():
    a = np.array([1, 2, 3, 4])
    it = T.unique(a, key=lambda v: v % 2)
    assert type(it).__name__ == "UniqueIter"
    assert [int(v) for v in it] == [1, 2]
    assert type(T.unique(a, key=None)).__name__ == "UniqueIntIter"


@pytest.mark.parametrize("n", [524287, 524288, 524289, 1_000_003])
@pytest.mark.parametrize("distinct", [3, 100, 5000])
def test_chunk_boundaries_keep_first_occurrence_order(n, distinct):
    rng = np.random.default_rng(n + distinct)
    a = rng.integers(0, distinct, size=n, dtype=np.int64)
    a[a == 1] = 2  # 1 occurs only at the very end: first seen in the last chunk
    a[-1] = 1
    expected = dict(zip(*np.unique(a, return_counts=True)))
    got = T.frequencies(a)
    assert got == {int(k): int(v) for k, v in expected.items()}
    first = list(dict.fromkeys(a[:20000].tolist()))
    assert list(got)[: len(first)] == first
    assert list(got)[-1] == 1
    for dtype in (np.int32, np.uint16, np.int8):
        if distinct > np.iinfo(dtype).max:
            continue
        small = a.astype(dtype)
        assert T.frequencies(small) == got
        assert list(T.frequencies(small)) == list(got)


def test_large_all_distinct_and_large_narrow():
    a = np.random.default_rng(1).permutation(1_200_000).astype(np.int64)
    got = T.frequencies(a)
    assert list(got) == a.tolist() and set(got.values()) == {1}
    assert T.isdistinct(a) is True
    a[-1] = a[0]
    assert T.isdistinct(a) is False
    u8 = np.random.default_rng(2).integers(0, 256, size=3_000_000, dtype=np.uint8)
    expected = np.bincount(u8, minlength=256)
    got = T.frequencies(u8)
    assert list(got) == list(dict.fromkeys(u8[:100000].tolist()))
    assert all(got[k] == expected[k] for k in got) and sum(got.values()) == u8.size


def test_empty_buffer():
    assert T.frequencies(np.array([], dtype=np.int64)) == {}
    assert T.frequencies(b"") == {}
    assert list(T.unique(b"")) == []
    assert T.isdistinct(np.array([], dtype=np.uint32)) is True


def test_unique_int_iter_is_lazy_and_holds_its_view():
    big = np.random.default_rng(3).integers(0, 2**62, size=2_000_000)
    it = T.unique(big)
    assert it.__length_hint__() == 2_000_000
    first = [next(it) for _ in range(5)]
    assert first == big[:5].tolist()
    assert it.__length_hint__() == 2_000_000 - 5
    assert iter(it) is it
    ba = bytearray(b"abcabc")
    it = T.unique(ba)
    with pytest.raises(BufferError):
        ba.append(1)
    assert list(it) == [97, 98, 99]
    assert it.__length_hint__() == 0
    with pytest.raises(StopIteration):
        next(it)
    del it
    ba.append(1)  # the view was released with the iterator


def test_unique_int_iter_class():
    it = T.unique(b"ab")
    cls = type(it)
    assert cls.__module__ == "trovix._trovix"
    assert cls.__doc__.startswith("Lazy `unique` over a 1-D contiguous int buffer")
    assert cls.__length_hint__.__text_signature__ == "($self)"
    assert not hasattr(T, "UniqueIntIter")
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("dtype", [np.int32, np.uint32, np.int64, np.uint64])
def test_values_at_the_edges_of_the_direct_window(dtype):
    info = np.iinfo(dtype)
    offsets = (-(2**20), -(2**19) - 1, -(2**19), -(2**16), -(2**15) - 1, -1, 1, 2**15, 2**16,
               2**19 - 1, 2**19, 2**20)
    for first in (int(info.min), int(info.max), 0, 5):
        vals = [first] + [first + d for d in offsets if info.min <= first + d <= info.max]
        vals += [int(info.min), int(info.max), 0]
        check_native(np.array(vals * 3, dtype=dtype))
        check_native(np.array(vals[::-1] + vals, dtype=dtype))


def test_large_buffer_of_few_far_apart_values():
    rng = np.random.default_rng(9)
    pool = rng.integers(-(2**62), 2**62, size=100, dtype=np.int64)
    a = pool[rng.integers(0, 100, size=1_500_000)]
    a[-1] = 12345  # a new value in the last chunk
    got = T.frequencies(a)
    vals, counts = np.unique(a, return_counts=True)
    assert got == dict(zip(vals.tolist(), counts.tolist()))
    assert list(got) == list(dict.fromkeys(a.tolist()))
    assert list(T.unique(a)) == list(got)


@pytest.mark.parametrize("dtype,values", [(np.uint8, 256), (np.int8, 256), (np.uint16, 65536), (np.int16, 65536)])
def test_narrow_length_hint_is_capped_by_the_values_of_the_type(dtype, values):
    # Zero pages on demand: the array is far larger than one slot per element would fit in memory.
    huge = np.zeros(3_200_000_000, dtype=dtype)
    it = T.unique(huge)
    assert it.__length_hint__() == values
    assert next(it) == 0
    assert it.__length_hint__() == values - 1
    del it, huge
    assert list(T.unique(np.zeros(100_000, dtype=dtype))) == [0]
    assert T.unique(np.arange(5, dtype=dtype)).__length_hint__() == 5
    big = T.unique(np.zeros(100_000, dtype=np.int32))
    assert big.__length_hint__() == 100_000
    every = np.tile(np.arange(values).astype(dtype), 3)
    it = T.unique(every)
    assert len(list(it)) == values and it.__length_hint__() == 0


class Halting(BaseException):
    pass


def refusing(exc, where):
    """The values 1, 1, 2 in a buffer whose export, or whose type's `__iter__` lookup, raises."""
    if where == "export":
        class Refusing(bytearray):
            def __buffer__(self, flags):
                raise exc("refused")

        return Refusing(b"\x01\x01\x02")

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__iter__":
                raise exc("refused")
            return super().__getattribute__(name)

    class Looked(array.array, metaclass=Meta):
        pass

    return Looked("b", [1, 1, 2])


@pytest.mark.parametrize("where", ["export", "lookup"])
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError, Halting])
@pytest.mark.parametrize("call", [T.frequencies, lambda b: list(T.unique(b)), T.isdistinct],
                         ids=["frequencies", "unique", "isdistinct"])
def test_export_failures_that_must_not_be_swallowed(call, exc, where):
    with pytest.raises(exc, match="refused"):
        call(refusing(exc, where))


@pytest.mark.parametrize("where", ["export", "lookup"])
@pytest.mark.parametrize("exc", [ValueError, BufferError, TypeError, AttributeError])
def test_ordinary_export_failures_fall_back_to_iteration(exc, where):
    b = refusing(exc, where)
    assert T.frequencies(b) == {1: 2, 2: 1}
    assert list(T.unique(b)) == [1, 2]
    assert T.isdistinct(b) is False


class OwnIter(array.array):
    def __iter__(self):
        return iter([0])


class OwnItem(bytes):
    def __getitem__(self, i):
        return 0


class PlainBytes(bytes):
    pass


class PlainArray(np.ndarray):
    pass


class OnlyBuffer:
    def __init__(self, data):
        self.data = data

    def __buffer__(self, flags):
        return memoryview(self.data)


class BufferAndIter(OnlyBuffer):
    def __iter__(self):
        return iter([7, 7])


class BufferAndItem(OnlyBuffer):
    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return 9


def _mmap(tmp_path):
    import mmap

    m = mmap.mmap(-1, 3)
    m.write(b"\x01\x01\x02")
    return m


def _misaligned(tmp_path):
    raw = bytearray(25)
    raw[1:] = array.array("q", [5, -5, 5]).tobytes()
    return memoryview(raw)[1:].cast("q")


def _ctypes(kind, *values):
    import ctypes

    return lambda p: memoryview((getattr(ctypes, kind) * len(values))(*values))


def _memmap(tmp_path):
    m = np.memmap(tmp_path / "values", dtype=np.int16, mode="w+", shape=(4,))
    m[:] = [3, 1, 3, 2]
    return m


# (object, whether its memory stands for its iteration)
EXPORTERS = {
    "bytes": (lambda p: b"\x01\x01\x02", True),
    "bytearray": (lambda p: bytearray(b"\x05\x05"), True),
    "memoryview": (lambda p: memoryview(array.array("i", [4, -4, 4])), True),
    "array": (lambda p: array.array("q", [9, 8, 9]), True),
    "ndarray": (lambda p: np.array([1, 1, 2], dtype=np.int32), True),
    "memmap": (_memmap, True),
    "bytes subclass": (lambda p: PlainBytes(b"\x01\x02"), True),
    "ndarray subclass": (lambda p: np.arange(4).view(PlainArray), True),
    "buffer only": (lambda p: OnlyBuffer(b"\x03\x03"), True),
    "mmap": (_mmap, False),
    "own __iter__": (lambda p: OwnIter("b", [1, 2, 3]), False),
    "own __getitem__": (lambda p: OwnItem(b"\x01\x02"), False),
    "masked array": (lambda p: np.ma.array([1, 2, 1, 5], mask=[0, 1, 0, 0]), False),
    "buffer and __iter__": (lambda p: BufferAndIter(b"\x03\x04"), False),
    "buffer and __getitem__": (lambda p: BufferAndItem(b"\x03\x04"), False),
    # formats: standard sizes in this machine's byte order, the native ssize_t / size_t codes
    "'<q' (ctypes)": (_ctypes("c_int64", 9, -9, 9), True),
    "'<I' (ctypes)": (_ctypes("c_uint32", 2**32 - 1, 0, 0), True),
    "'n'": (lambda p: memoryview(array.array("q", [1, -1, 1])).cast("B").cast("n"), True),
    "'N'": (lambda p: memoryview(array.array("q", [1, -1, 1])).cast("B").cast("N"), True),
    "foreign order": (lambda p: memoryview(np.array([1, 2], dtype=FOREIGN + "i8")), True),
    "misaligned": (_misaligned, False),
}


def _outcome(f):
    try:
        return "ok", f()
    except Exception as exc:  # e.g. the unhashable `masked` of a masked array
        return type(exc).__name__, None


def _items(obj):
    if type(obj) is OnlyBuffer:
        return list(memoryview(obj.data))
    if type(obj) is memoryview and obj.format[0] in "<>":
        # iterating a memoryview knows native formats only; these are the values in its memory
        return np.frombuffer(obj, dtype=obj.format).tolist()
    return _outcome(lambda: list(obj))[1]


@pytest.mark.parametrize("name", EXPORTERS)
def test_buffer_path_only_where_memory_is_the_iteration(name, tmp_path):
    make, native = EXPORTERS[name]
    obj = make(tmp_path)
    items = _items(obj)

    def counts():
        if items is None:
            list(obj)  # raises as the iteration does
        freq = {}
        for x in items:
            freq[x] = freq.get(x, 0) + 1
        return freq, list(freq)

    assert _outcome(lambda: (T.frequencies(obj), list(T.frequencies(obj)))) == _outcome(counts)
    made, it = _outcome(lambda: T.unique(obj))  # takes iter(obj) at once, like map()
    assert (type(it).__name__ == "UniqueIntIter") is native
    assert _outcome(lambda: list(it) if made == "ok" else iter(obj)) == _outcome(lambda: list(dict.fromkeys(counts()[1])))
    assert _outcome(lambda: T.isdistinct(obj)) == _outcome(lambda: len(counts()[1]) == len(items))
