"""Standard-library objects are looked up on first use; a failed lookup is retried later."""

import os

import fresh

import pytest


def run_fresh(code, timeout=60):
    return fresh.run_fresh(code, timeout=timeout).stdout.splitlines()


def test_failed_cached_import_is_retried():
    out = run_fresh(
        """
        import sys
        import trovix
        saved = sys.modules.get("itertools")
        sys.modules["itertools"] = None
        for call in (lambda: trovix.take(1, [1]), lambda: trovix.cons(0, []), lambda: trovix.concat([]),
                     lambda: trovix.peek([1])):
            try:
                call()
            except ImportError:
                print("import-error")
        if saved is None:
            del sys.modules["itertools"]
        else:
            sys.modules["itertools"] = saved
        print(list(trovix.take(1, [1, 2])), list(trovix.cons(0, [1])), list(trovix.concat([[2]])))
        print(trovix.peek([3])[0])
        """
    )
    assert out == ["import-error"] * 4 + ["[1] [0, 1] [2]", "3"]


def test_failed_sequence_abc_lookup_propagates_from_nth():
    out = run_fresh(
        """
        import sys
        import trovix
        import collections.abc
        saved = sys.modules["collections.abc"]
        sys.modules["collections.abc"] = None
        try:
            trovix.nth(0, iter([1]))
        except ImportError:
            print("import-error")
        print(trovix.nth(0, [7]))  # lists and tuples need no lookup
        sys.modules["collections.abc"] = saved
        print(trovix.nth(0, iter([5])))
        """
    )
    assert out == ["import-error", "7", "5"]


def test_lookup_reentered_by_an_import_hook():
    # The hook runs while the first take is looking itertools.islice up, and takes too.
    out = run_fresh(
        """
        import builtins
        import trovix
        real_import = builtins.__import__
        inner = []

        def hook(name, *args, **kwargs):
            if name == "itertools" and not inner:
                inner.append(None)
                inner.append(list(trovix.take(1, [1])))
            return real_import(name, *args, **kwargs)

        builtins.__import__ = hook
        print(list(trovix.take(2, [1, 2, 3])), inner[1], list(trovix.take(1, "ab")))
        """,
        timeout=30,
    )
    assert out == ["[1, 2] [1] ['a']"]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() on this system")
def test_forked_child_can_use_a_lookup_another_thread_was_making():
    out = run_fresh(
        """
        import builtins, os, threading, warnings
        import trovix
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        real_import = builtins.__import__
        entered, release = threading.Event(), threading.Event()

        def hook(name, *args, **kwargs):
            if name == "itertools" and threading.current_thread().name == "filler":
                entered.set()
                release.wait()
            return real_import(name, *args, **kwargs)

        builtins.__import__ = hook
        filler = threading.Thread(target=lambda: trovix.take(1, [1]), name="filler")
        filler.start()
        entered.wait()
        pid = os.fork()
        if pid == 0:
            print("child", list(trovix.take(1, [5, 6])), flush=True)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        release.set()
        filler.join()
        print("parent", os.waitstatus_to_exitcode(status), list(trovix.take(1, [7])))
        """,
        timeout=30,
    )
    assert out == ["child [5]", "parent 0 [7]"]
