"""Reference-leak check (pytest plugin, registered by conftest.py under `--leaks=WARMUPS:RUNS`).

Every test function runs WARMUPS + RUNS times in a row with the same fixture values. After each
run the garbage collector and the interpreter's internal caches are cleared, and the debug
interpreter's total reference count (`sys.gettotalrefcount()`) and its count of allocated memory
blocks (`sys.getallocatedblocks()`) are read. The warm-up runs absorb one-time growth (type
objects, cached imports, interned names, hypothesis' own caches). A test whose reference count or
whose block count grew in every one of the RUNS measured runs leaks, and fails with its deltas;
isolated bumps such as [3, 0, 0] are noise and pass.

Tests that use NumPy run once, unmeasured: NumPy here is a release build, its reference-count
operations are invisible to the debug interpreter's counter, so its objects make the count drift
by a constant amount every run. Such a test is recognised by the `numpy` marker, by a NumPy value
among its parameters, or by a reference to NumPy in its code, in the code of the helpers of its
module it calls, or in its fixtures. Tests whose work runs in a fresh interpreter (through the
runners of tests/fresh.py and tests/interrupt.py, recognised the same way) run once too: nothing
they do stays in this process. Tests marked `no_leakcheck(reason)` also run once, unmeasured.
The summary lists how many tests were measured and why the others were not.

Collections scan only what the test made: before each measured test the collector runs once and
then freezes every survivor (`gc.freeze()`), so the dozen collections of a measurement do not walk
the whole heap of the interpreter, pytest and hypothesis again (a full collection of that heap
costs tens of milliseconds under the debug interpreter). Frozen objects are never collected; a
test's own cycles, which are what the check counts, are young and collected as before.

Under pytest-xdist each worker measures its own tests; the deltas travel to the controller in the
test reports (`user_properties`), which writes the summary and the report file.
"""

import gc
import inspect
import re
import sys
import types

import pytest

FRESH_REASON = "runs its work in a fresh interpreter (of the debug build too); nothing stays here"
NUMPY_REASON = (
    "uses NumPy, a release-ABI build whose reference operations sys.gettotalrefcount() does not "
    "see (buffers are leak-checked through array.array, bytes and memoryview instead)"
)


def _is_numpy_object(obj):
    if isinstance(obj, types.ModuleType):
        return obj.__name__.split(".")[0] == "numpy"
    module = getattr(type(obj), "__module__", "") or ""
    if module.split(".")[0] == "numpy":
        return True
    own = getattr(obj, "__module__", None)
    return isinstance(own, str) and own.split(".")[0] == "numpy"


def _param_uses_numpy(value, depth=0):
    if depth > 4:
        return False
    if _is_numpy_object(value):
        return True
    if isinstance(value, (list, tuple, set, frozenset)):
        return any(_param_uses_numpy(v, depth + 1) for v in value)
    if isinstance(value, dict):
        return any(_param_uses_numpy(v, depth + 1) for v in value.values())
    return False


def _code_objects(code):
    yield code
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            yield from _code_objects(const)


def _is_fresh_runner(obj):
    return isinstance(obj, types.FunctionType) and obj.__module__ in ("fresh", "interrupt")


# What a test may refer to: (a predicate on the values its names hold, the names themselves)
NUMPY = (_is_numpy_object, {"numpy"})
FRESH = (_is_fresh_runner, {"run_fresh", "assert_interruptible"})


def _function_uses(func, seen, target=NUMPY):
    """Whether `func` refers to `target`: directly, through the helpers of its module it calls, or
    (a hypothesis test) through its strategies."""
    func = inspect.unwrap(func)
    # A hypothesis test: look at the test body and at the strategies it was given.
    inner = getattr(getattr(func, "hypothesis", None), "inner_test", None)
    if inner is not None:
        given = getattr(func, "hypothesis", None)
        for strategy in (getattr(given, "_given_kwargs", None) or {}).values():
            if target is NUMPY and "numpy" in repr(strategy):
                return True
        func = inspect.unwrap(inner)
    code = getattr(func, "__code__", None)
    if code is None or code in seen:
        return False
    seen.add(code)
    module_name = getattr(func, "__module__", None)
    namespace = getattr(func, "__globals__", {})
    for c in _code_objects(code):
        for name in c.co_names:
            if name in target[1]:
                return True
            if name not in namespace:
                continue
            if _value_uses(namespace[name], module_name, seen, target):
                return True
    return False


def _value_uses(value, module_name, seen, target, depth=0):
    if target[0](value):
        return True
    # Follow helpers defined in the same module, also through tables of them.
    if isinstance(value, types.FunctionType):
        return value.__module__ == module_name and _function_uses(value, seen, target)
    if depth < 2 and isinstance(value, (dict, list, tuple)):
        items = value.values() if isinstance(value, dict) else value
        return any(_value_uses(v, module_name, seen, target, depth + 1) for v in list(items)[:200])
    return False


def uses_numpy(item):
    if item.get_closest_marker("numpy") is not None:
        return True
    callspec = getattr(item, "callspec", None)
    if callspec is not None and any(_param_uses_numpy(v) for v in callspec.params.values()):
        return True
    seen = set()
    if _function_uses(item.obj, seen):
        return True
    fixtureinfo = getattr(item, "_fixtureinfo", None)
    if fixtureinfo is not None:
        for defs in fixtureinfo.name2fixturedefs.values():
            for fixturedef in defs:
                if _function_uses(fixturedef.func, seen):
                    return True
    return False


def _clear_caches():
    re.purge()
    clear = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache", None)
    if clear is not None:
        clear()
    gc.collect()
    gc.collect()


def measure(func, warmups, runs):
    """Calls `func` warmups + runs times; returns the growth of the total reference count and of
    the allocated blocks in each of the last `runs` calls (two lists)."""
    gc.collect()
    gc.freeze()
    ref_deltas = [0] * runs
    block_deltas = [0] * runs
    pool = {0: 0}  # keeps each delta value alive once, so that storing it allocates nothing new
    gettotalrefcount = sys.gettotalrefcount
    getallocatedblocks = sys.getallocatedblocks
    _clear_caches()
    refs_before = gettotalrefcount()
    blocks_before = getallocatedblocks()
    for i in range(warmups + runs):
        func()
        _clear_caches()
        blocks_after = getallocatedblocks()
        refs_after = gettotalrefcount()
        if i >= warmups:
            ref_deltas[i - warmups] = pool.setdefault(refs_after - refs_before, refs_after - refs_before)
            block_deltas[i - warmups] = pool.setdefault(blocks_after - blocks_before, blocks_after - blocks_before)
        refs_before, blocks_before = refs_after, blocks_after
    return list(ref_deltas), list(block_deltas)


def is_leak(deltas):
    """Growth in every measured run; an isolated bump such as [3, 0, 0] is noise."""
    return all(d >= 1 for d in deltas)


def _quiet_hypothesis_numpy_seeding():
    """Once NumPy is imported, hypothesis saves, seeds and restores NumPy's global random state
    around every example; those NumPy calls make the count drift as above, in tests that never
    touch NumPy. Stand in an inert state holder (hypothesis creates its own only when it has
    none), so hypothesis leaves NumPy alone in this mode."""
    try:
        from hypothesis.internal import entropy
    except ImportError:
        return

    class Inert:
        def seed(self, seed):
            pass

        def getstate(self):
            return None

        def setstate(self, state):
            pass

    if getattr(entropy, "NP_RANDOM", "absent") is None:
        entropy.NP_RANDOM = Inert()


_UNMEASURED = pytest.StashKey[str]()
_PROPERTY = "trovix-leakcheck"  # user property: ("measured", refs, blocks, leaked) or ("once", reason)


class LeakChecker:
    def __init__(self, config, spec):
        if not hasattr(sys, "gettotalrefcount"):
            raise pytest.UsageError("--leaks needs a debug build of the interpreter (python3.14d)")
        try:
            warmups, runs = (int(x) for x in spec.split(":"))
        except ValueError:
            raise pytest.UsageError(f"--leaks expects WARMUPS:RUNS, got {spec!r}") from None
        if warmups < 1 or runs < 2:
            raise pytest.UsageError("--leaks needs at least 1 warm-up run and 2 measured runs")
        self.warmups, self.runs = warmups, runs
        self.repeats = warmups + runs
        self.report_path = config.getoption("--leaks-report")
        # gc.get_referrers does not look into frozen objects, so hypothesis' check that its
        # registered random generator is referred to from somewhere misfires.
        config.addinivalue_line(
            "filterwarnings", "ignore:It looks like `register_random`:hypothesis.errors.HypothesisWarning"
        )
        _quiet_hypothesis_numpy_seeding()
        self.results = []  # (nodeid, ref deltas, block deltas, leaked)
        self.unmeasured = {}  # reason -> number of tests run once without measuring

    @pytest.hookimpl(tryfirst=True)
    def pytest_collection_modifyitems(self, config, items):
        for item in items:
            marker = item.get_closest_marker("no_leakcheck")
            reason = None
            if marker is not None:
                reason = marker.args[0] if marker.args else marker.kwargs.get("reason", "marked no_leakcheck")
            elif isinstance(item, pytest.Function) and uses_numpy(item):
                reason = NUMPY_REASON
            elif isinstance(item, pytest.Function) and _function_uses(item.obj, set(), FRESH):
                reason = FRESH_REASON
            if reason is not None:
                item.stash[_UNMEASURED] = reason

    @pytest.hookimpl(tryfirst=True)
    def pytest_pyfunc_call(self, pyfuncitem):
        reason = pyfuncitem.stash.get(_UNMEASURED, None)
        if reason is not None:
            pyfuncitem.user_properties.append((_PROPERTY, ("once", reason)))
            return None  # the default implementation runs it once
        func = pyfuncitem.obj
        funcargs = pyfuncitem.funcargs
        kwargs = {name: funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
        ref_deltas, block_deltas = measure(lambda: func(**kwargs), self.warmups, self.runs)
        leaked = is_leak(ref_deltas) or is_leak(block_deltas)
        pyfuncitem.user_properties.append((_PROPERTY, ("measured", ref_deltas, block_deltas, leaked)))
        if leaked:
            pytest.fail(
                f"leak: the reference count grew by {ref_deltas} and allocated blocks by "
                f"{block_deltas} over {self.runs} repeats (after {self.warmups} warm-up runs)",
                pytrace=False,
            )
        return True

    def pytest_runtest_logreport(self, report):
        # Runs in the controller (and, without xdist, in the only process) for every phase.
        if report.when != "call":
            return
        for name, value in report.user_properties:
            if name != _PROPERTY:
                continue
            if value[0] == "once":
                self.unmeasured[value[1]] = self.unmeasured.get(value[1], 0) + 1
            else:
                _, refs, blocks, leaked = value
                self.results.append((report.nodeid, list(refs), list(blocks), leaked))

    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        leaking = [r for r in self.results if r[3]]
        noisy = [r for r in self.results if not r[3] and (any(r[1]) or any(r[2]))]
        tr.section("reference-leak check")
        tr.write_line(
            f"{len(self.results)} tests measured ({self.warmups} warm-up + {self.runs} measured runs each), "
            f"{len(leaking)} leaking"
        )
        for reason, count in self.unmeasured.items():
            tr.write_line(f"{count} tests ran once, not measured: {reason}")
        for nodeid, refs, blocks, leaked in leaking + noisy:
            tag = "LEAK " if leaked else "noise"
            tr.write_line(f"  {tag} {nodeid}: refs {refs} blocks {blocks}")
        if self.report_path:
            with open(self.report_path, "w") as f:
                for nodeid, refs, blocks, leaked in self.results:
                    f.write(f"{'LEAK' if leaked else 'ok'}\t{nodeid}\trefs {refs}\tblocks {blocks}\n")
            tr.write_line(f"per-test deltas: {self.report_path}")
