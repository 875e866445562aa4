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
