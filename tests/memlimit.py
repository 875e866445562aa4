"""Calls run in a fresh interpreter whose address space is capped just above what it uses, so that a
large allocation really fails (not under the sanitizer runtime, which reserves its own)."""

import os
import subprocess
import sys

import pytest

SCRIPT = """import itertools, os, resource, trovix._trovix as T
{setup}
resource.setrlimit(resource.RLIMIT_AS, (int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
                                        + {headroom}, resource.getrlimit(resource.RLIMIT_AS)[1]))
for call in [{calls}]:
    try: call(); print("returned")
    except BaseException as exc: print(type(exc).__name__)
"""
skip_if_sanitized = pytest.mark.skipif(bool(os.environ.get("TROVIX_SANITIZED")), reason="no address-space cap there")


def outcomes_when_memory_runs_out(setup, calls, headroom=32 << 20):
    out = subprocess.run([sys.executable, "-c", SCRIPT.format(setup=setup, headroom=headroom, calls=", ".join(calls))],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()
