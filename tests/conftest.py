"""Suite-wide test configuration.

- Hypothesis profiles: "dev" (default), "ci" (fixed examples, no example database), "leaks"
  and "asan" (like "ci", fewer examples: every test runs several times, or slower), "fast" (the
  quick subset run on other compilers and on built wheels), "hunt"
  (2000 examples, for looking for faults by hand). The profile
  comes from HYPOTHESIS_PROFILE, else from the mode of the run, else "ci" when CI is set.
- `--leaks=WARMUPS:RUNS` turns on the reference-leak check (tests/leakcheck.py); it needs the
  debug interpreter.
- A watchdog: a test that runs longer than TROVIX_TEST_TIMEOUT seconds (default 300, times the
  repeats of the leak check) dumps every thread's stack and ends the run, so a hang fails instead
  of stalling the suite.
- Markers: `numpy` (the test needs NumPy; the leak check runs it once, unmeasured),
  `no_leakcheck(reason)` (the leak check runs the test once, unmeasured) and `slow` (builds,
  type-checks, clusters and long subprocess runs; every test of the folders in NORMAL_RUN_ONLY
  carries it too). `-m "not slow"` is the fast subset; slow tests are scheduled first, so that
  under pytest-xdist they do not end up alone on one worker at the end of the run.
"""

import faulthandler
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

_TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
if _TESTS_DIR not in sys.path:
    sys.path.insert(0, _TESTS_DIR)

_SLOW_OK = [HealthCheck.too_slow, HealthCheck.data_too_large]

settings.register_profile("dev", deadline=None)
settings.register_profile(
    "ci", deadline=None, derandomize=True, database=None, print_blob=True, suppress_health_check=_SLOW_OK
)
settings.register_profile(
    "leaks", parent=settings.get_profile("ci"), max_examples=12,
    suppress_health_check=_SLOW_OK + [HealthCheck.differing_executors],
)
settings.register_profile("asan", parent=settings.get_profile("ci"), max_examples=20)
settings.register_profile("fast", parent=settings.get_profile("ci"), max_examples=20)
settings.register_profile("hunt", deadline=None, max_examples=2000, suppress_health_check=_SLOW_OK)


def _mode():
    if os.environ.get("TROVIX_SANITIZED"):
        return "asan"
    if any(a == "--leaks" or a.startswith("--leaks=") for a in sys.argv):
        return "leaks"
    return None


def _profile():
    explicit = os.environ.get("HYPOTHESIS_PROFILE")
    if explicit:
        return explicit
    return _mode() or ("ci" if os.environ.get("CI") else "dev")


settings.load_profile(_profile())


def pytest_addoption(parser):
    group = parser.getgroup("trovix")
    group.addoption(
        "--leaks", action="store", nargs="?", const="2:3", default=None, metavar="WARMUPS:RUNS",
        help="run every test WARMUPS+RUNS times under the debug interpreter and fail tests whose "
             "total reference count or allocated blocks grow in each of the last RUNS runs",
    )
    group.addoption(
        "--leaks-report", action="store", default=None, metavar="PATH",
        help="write every checked test's reference and block deltas to PATH",
    )


def pytest_configure(config):
    config.addinivalue_line("markers", "numpy: the test needs NumPy (the leak check runs it once, unmeasured)")
    config.addinivalue_line(
        "markers", "no_leakcheck(reason): the leak check runs the test once, unmeasured"
    )
    config.addinivalue_line("markers", "slow: left out of the fast subset (-m 'not slow')")
    spec = config.getoption("--leaks")
    if spec is not None:
        import leakcheck

        config.pluginmanager.register(leakcheck.LeakChecker(config, spec), "trovix-leakcheck")


# Test folders that the leak check and the sanitizer run leave to the normal run, and why.
NORMAL_RUN_ONLY = {
    "packaging": "builds and installs a wheel in subprocesses; the deep modes check this process",
    "stubs": "type-checks in subprocesses; the module itself is exercised by the other folders",
    "scaleout": "starts worker processes and a local cluster; the deep modes check this process",
}


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    deep = config.getoption("--leaks") is not None or bool(os.environ.get("TROVIX_SANITIZED"))
    for item in items:
        rel = os.path.relpath(str(item.path), _TESTS_DIR).split(os.sep)
        reason = NORMAL_RUN_ONLY.get(rel[0]) if len(rel) > 1 else None
        if reason is not None:
            item.add_marker(pytest.mark.slow)
            if deep:
                item.add_marker(pytest.mark.skip(reason=f"normal run only: {reason}"))
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)  # stable: slow ones first


def _timeout(config):
    base = float(os.environ.get("TROVIX_TEST_TIMEOUT", "300"))
    checker = config.pluginmanager.get_plugin("trovix-leakcheck")
    return base * (checker.repeats if checker is not None else 1)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item, nextitem):
    faulthandler.dump_traceback_later(_timeout(item.config), exit=True)
    try:
        return (yield)
    finally:
        faulthandler.cancel_dump_traceback_later()
