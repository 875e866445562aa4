"""Checks that a call which would never return on its own lets signal handlers run.

The call runs in a fresh interpreter (so a loop that ignores signals cannot stall the suite): a
timer delivers SIGALRM shortly after the call starts, and the handler's exception must come out
of the call.
"""

import subprocess
import textwrap

from fresh import run_fresh

SCRIPT = """
import itertools, operator, signal
import trovix._trovix as T

class Interrupted(Exception):
    pass

def handler(signum, frame):
    raise Interrupted

signal.signal(signal.SIGALRM, handler)
try:
    signal.setitimer(signal.ITIMER_REAL, 0.02)  # inside the try: a loaded machine may fire it at once
{body}
except Interrupted:
    print("interrupted")
else:
    print("returned")
"""


def assert_interruptible(body, timeout=10):
    """`body` (statements using T, itertools and operator) must be stopped by the handler."""
    script = SCRIPT.format(body=textwrap.indent(textwrap.dedent(body).strip(), "    "))
    try:
        out = run_fresh(script, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise AssertionError(f"signal handler never ran:\n{body}") from None
    assert out.stdout.strip() == "interrupted", out.stdout
