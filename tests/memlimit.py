"""Runs statements in a fresh interpreter whose address space is capped a little above what it
uses, so that a large allocation fails for real (the sanitizer runtime reserves address space
of its own and does not run under such a cap)."""

import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = """
import itertools, os, resource
import trovix._trovix as T
{setup}
used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + {headroom}, resource.getrlimit(resource.RLIMIT_AS)[1]))
for call in [{calls}]:
    try:
        call()
    except BaseException as exc:
        print(type(exc).__name__)
    else:
        print("returned")
"""

skip_if_sanitized = pytest.mark.skipif(bool(os.environ.get("TROVIX_SANITIZED")),
                                       reason="the sanitizer runtime does not run under an address-space cap")


def outcomes_when_memory_runs_out(setup, calls, headroom=32 << 20, timeout=60):
    """The name of the exception each of `calls` (expressions of lambdas) raised, or "returned"."""
    script = SCRIPT.format(setup=textwrap.dedent(setup).strip(), headroom=headroom, calls=", ".join(calls))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()
