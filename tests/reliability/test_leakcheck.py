"""The leak check itself: it must flag a real leak and pass clean code (debug interpreter only)."""

import ctypes
import os
import re
import sys

import pytest
from fresh import run_fresh

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


# One reference leaked per call from inside a call into each family (through the callback the
# module calls), in a generated test file that the leak check runs under xdist workers.
PLANTED = '''
import ctypes
import pytest
import trovix._trovix as T

KEPT = object()
incref = ctypes.pythonapi.Py_IncRef
incref.argtypes = [ctypes.py_object]


def leak(v, *rest):
    incref(KEPT)
    return v


CALLS = {  # each calls `leak` once
    "option": lambda: T.Some(1).map(leak),
    "accessors": lambda: T.get_in_opt({1: 2}, 1).map(leak),
    "sequences": lambda: list(T.mapcat(lambda v: [leak(v)], T.sliding_window(2, [1, 2]))),
    "join": lambda: list(T.join(leak, [1], abs, [1])),
    "grouping": lambda: T.groupby(leak, [1]),
    "unique": lambda: list(T.unique([1], key=leak)),
    "topk": lambda: T.topk(1, [1, 2], key=lambda v: leak(v) if v == 1 else v),
    "combinators": lambda: T.compose(leak, abs)(-1),
    "memoize": lambda: T.memoize(leak)(object()),
    "dicts": lambda: T.valmap(leak, {1: 2}),
    "iter": lambda: T.Iter([1]).map(leak).collect(),
    "clean": lambda: (T.Some(1).map(abs), T.valmap(str, {1: 2}), list(T.unique([1, 1]))),
}


@pytest.mark.parametrize("family", CALLS)
def test_call(family):
    CALLS[family]()
'''


def test_a_planted_leak_in_any_family_fails_the_run(tmp_path):
    tests_dir = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    (tmp_path / "test_planted.py").write_text(PLANTED)
    path = os.pathsep.join([tests_dir, os.environ.get("PYTHONPATH", "")])
    out = run_fresh(f"""
        import sys, pytest
        sys.exit(pytest.main(["-p", "conftest", "-p", "no:cacheprovider", "--leaks=2:3", "-n", "2",
                              "-rA", "--rootdir", {str(tmp_path)!r}, {str(tmp_path / "test_planted.py")!r}]))
    """, timeout=600, check=False, PYTHONPATH=path)
    assert out.returncode == 1, out.stdout[-3000:] + out.stderr[-3000:]
    families = ["option", "accessors", "sequences", "join", "grouping", "unique", "topk", "combinators",
                "memoize", "dicts", "iter"]
    summary = out.stdout[out.stdout.index("reference-leak check"):]
    for family in families:
        assert re.search(rf"FAILED \S*test_planted.py::test_call\[{family}\]", out.stdout), family
        assert re.search(rf"LEAK +\S*test_planted.py::test_call\[{family}\]: refs \[1, 1, 1\]", summary), family
    assert re.search(r"PASSED \S*test_planted.py::test_call\[clean\]", out.stdout)
    assert f"{len(families) + 1} tests measured (2 warm-up + 3 measured runs each), {len(families)} leaking" in summary
