"""partition and partition_all fill their chunks straight from the interpreter's own list, tuple
and range iterators (no Python code can run meanwhile) and from any other iterator under the stack
guard, with the chunk hidden from the garbage collector until it is full: the chunks are the same
either way."""

import gc
import itertools

import pytest

import trovix._trovix as T

from memlimit import outcomes_when_memory_runs_out, skip_if_sanitized

SOURCES = {
    "list iterator": lambda: iter(list(range(1003))),
    "tuple iterator": lambda: iter(tuple(range(1003))),
    "range iterator": lambda: iter(range(1003)),
    "long range iterator": lambda: iter(range(2**70, 2**70 + 1003)),
    "generator": lambda: (x for x in range(1003)),
    "map": lambda: map(int, range(1003)),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("n", [1, 2, 100, 1003, 1004])
def test_chunks_equal_batched(source, n):
    expected = list(itertools.batched(SOURCES[source](), n))
    assert list(T.partition_all(n, SOURCES[source]())) == expected
    assert list(T.partition(n, SOURCES[source]())) == [c for c in expected if len(c) == n]


def test_a_generator_that_looks_at_the_collector_sees_no_half_filled_chunk():
    # Tuples of that size that other code left behind (a chunk padded with None) are not ours.
    earlier = [obj for obj in gc.get_objects() if type(obj) is tuple and len(obj) == 50]
    known = set(map(id, earlier))

    def watching():
        for i in range(300):
            if i % 7 == 3:  # a different fill level of the chunk each time (a scan walks the whole heap)
                for obj in gc.get_objects():
                    if type(obj) is tuple and len(obj) == 50 and id(obj) not in known:
                        assert all(x is not None for x in obj)
            yield i

    assert list(T.partition_all(50, watching())) == list(itertools.batched(range(300), 50))


@skip_if_sanitized
@pytest.mark.no_leakcheck("runs in a child process")
def test_huge_chunk_sizes_give_memory_error_when_memory_runs_out():
    calls = [f"lambda: next(T.{f}(2**40, itertools.repeat(None){pad}))"
             for f, pad in (("partition_all", ""), ("partition", ""), ("partition", ", 0"))]
    assert outcomes_when_memory_runs_out("", calls) == ["MemoryError"] * 3

