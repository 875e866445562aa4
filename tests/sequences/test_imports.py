"""Standard-library objects are looked up on first use; a failed lookup is retried later."""

import subprocess
import sys
import textwrap


def run_fresh(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


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
