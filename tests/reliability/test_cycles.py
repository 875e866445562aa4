"""Reference cycles through the module's objects.

Some, Ok and Err take part in cyclic garbage collection, because a cycle through them is easy to
make by accident in ordinary code: a caught exception's traceback reaches the frame that holds
the result.
"""

import gc
import weakref

import pytest

import trovix._trovix as T


class Oops(Exception):
    """Unlike the built-in exceptions, can be weakly referenced."""


def fail():
    raise Oops


def test_result_of_error_kept_in_a_local_is_freed():
    def parse(text):
        r = T.Result.of(fail)
        return weakref.ref(r.error)

    alive = parse("x")
    assert isinstance(alive(), Oops)
    gc.collect()
    gc.collect()
    assert alive() is None


def test_result_of_error_without_a_cycle_is_freed():
    alive = weakref.ref(T.Result.of(fail).error)
    gc.collect()
    assert alive() is None


def test_value_cycles_are_collected():
    class Box:
        pass

    box = Box()
    alive = weakref.ref(box)
    for cls in (T.Some, T.Ok, T.Err):
        box.value = cls(box)
    del box
    gc.collect()
    assert alive() is None


def test_values_around_untracked_payloads_are_untracked():
    # like tuples: nothing reachable from an int or a str can lead back to the value
    assert not any(gc.is_tracked(v) for v in (T.Some(1), T.Ok("a"), T.Err(None), T.first_opt([2])))
    assert all(gc.is_tracked(v) for v in (T.Some([]), T.Ok(T.Some(1)), T.Err(ValueError()), T.first_opt([[]])))


class Box:
    pass


# Each maker builds an iterator whose state reaches `box` (through a callback or an item); the
# test then makes `box` refer back to the iterator.
ITERATOR_CYCLES = {
    "remove": lambda box: T.remove(lambda x, box=box: False, [1, 2]),
    "accumulate": lambda box: T.accumulate(lambda a, b, box=box: a, [1, 2]),
    "accumulate initial": lambda box: T.accumulate(lambda a, b: a, [1], box),
    "iterate": lambda box: T.iterate(lambda x, box=box: x, box),
    "partition pad": lambda box: T.partition(2, [1], box),
    "partition_all": lambda box: T.partition_all(2, iter([box])),
    "interleave": lambda box: T.interleave([iter([box])]),
    "unique": lambda box: T.unique([box, 1]),
    "unique key": lambda box: T.unique([1], key=lambda x, box=box: x),
    "unique seen": lambda box: _advanced(T.unique([box, 2])),
    "unique_int": lambda box: T.unique(_Exporter(box)),
    "Iter": lambda box: T.Iter([box]),
    "Iter chain": lambda box: T.Iter([1]).map(lambda x, box=box: x).filter(None),
    "sliding_window priming": lambda box: T.sliding_window(3, iter([box, 1, 2])),
    "sliding_window window": lambda box: _advanced(T.sliding_window(2, iter([box, 1, 2]))),
    "interpose el": lambda box: T.interpose(box, [1, 2]),
    "interpose pending": lambda box: T.interpose(0, iter([box])),
    "pluck": lambda box: T.pluck(box, []),
    "pluck source": lambda box: T.pluck(0, iter([[box]])),
    "pluck default": lambda box: T.pluck([0], [], box),
    "merge_sorted": lambda box: T.merge_sorted([box]),
    "join": lambda box: T.join(lambda x, box=box: x, [], 0, []),
    "join index": lambda box: _advanced(T.join(0, [(1, box)], 0, [(1,), (1,)], right_default=box)),
    "diff": lambda box: T.diff(iter([box]), [1], default=box),
    "diff key": lambda box: T.diff([1], [2], key=lambda x, box=box: x),
}


class _Exporter:
    """An integer buffer exporter that holds another object."""

    def __init__(self, held):
        self.held = held

    def __buffer__(self, flags):
        return memoryview(b"\x01\x02\x01")


def _advanced(it):
    next(it)
    return it


@pytest.mark.parametrize("name", ITERATOR_CYCLES)
def test_iterator_cycles_are_collected(name):
    box = Box()
    it = ITERATOR_CYCLES[name](box)
    assert gc.is_tracked(it)
    box.it = it
    alive = weakref.ref(box)
    del box, it
    gc.collect()
    assert alive() is None


def test_collection_from_inside_a_running_step():
    seen = []

    def pred(x):
        gc.collect()
        seen.append(gc.get_referents(it))
        return False

    it = T.remove(pred, [1, 2])
    assert list(it) == [1, 2]
    # A running step keeps its state out of sight; only the class shows.
    assert all(refs == [type(it)] for refs in seen)
    assert any(r is pred for r in gc.get_referents(it))
