"""The sanitizer run itself: the instrumented module is the one loaded, and a memory error is
reported and ends the process (only under `./dev asan`)."""

import os

import pytest
from fresh import run_fresh

import trovix._trovix as T

pytestmark = pytest.mark.skipif(not os.environ.get("TROVIX_SANITIZED"), reason="only in the sanitizer run")


def test_instrumented_module_and_runtime_are_loaded():
    with open("/proc/self/maps") as f:
        maps = f.read()
    assert "libasan" in maps and "libubsan" in maps
    assert os.path.join("build", "asan") in T.__file__


def test_a_use_after_free_is_reported(tmp_path):
    code = (
        "import ctypes\n"
        "libc = ctypes.CDLL(None)\n"
        "libc.malloc.restype = ctypes.c_void_p\n"
        "libc.free.argtypes = [ctypes.c_void_p]\n"
        "p = libc.malloc(32)\n"
        "libc.free(p)\n"
        "ctypes.string_at(p, 8)\n"
    )
    # Keep this deliberate report out of the run's report directory.
    options = os.environ.get("ASAN_OPTIONS", "").replace("log_path=", "unused_log_path=")
    proc = run_fresh(code, timeout=120, check=False, ASAN_OPTIONS=options)
    assert proc.returncode != 0
    assert "heap-use-after-free" in proc.stderr, proc.stderr[-2000:]
