"""The leak check itself: it must flag a real leak and pass clean code (debug interpreter only)."""

import ctypes
import sys

import pytest

import trovix._trovix as T

pytestmark = [
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter"),
    pytest.mark.no_leakcheck("leaks on purpose, to test the checker"),
]


def test_flags_a_reference_leak_and_passes_clean_code():
    import leakcheck

    kept = object()
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    refs, _ = leakcheck.measure(lambda: incref(kept), 2, 3)
    assert leakcheck.is_leak(refs), refs

    hoard = []
    _, blocks = leakcheck.measure(lambda: hoard.append(T.Some(object())), 2, 3)
    assert leakcheck.is_leak(blocks), blocks

    refs, blocks = leakcheck.measure(lambda: T.Ok(T.Some([1])).map(repr), 2, 3)
    assert not leakcheck.is_leak(refs) and not leakcheck.is_leak(blocks), (refs, blocks)


def test_extension_is_built_for_the_debug_interpreter():
    # A release-ABI build would load too, but its reference operations would be invisible.
    assert "314d" in T.__file__, T.__file__
