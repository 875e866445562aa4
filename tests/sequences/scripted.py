"""Scripted sources and interruptions for the iterator tests."""

import signal

import pytest


class Script:
    """An iterator following a script: values are yielded, "stop" ends once (later calls go on),
    an exception instance is raised."""

    def __init__(self, *script):
        self.script = list(script)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.script:
            raise StopIteration
        step = self.script.pop(0)
        if step == "stop":
            raise StopIteration
        if isinstance(step, BaseException):
            raise step
        return step


def outcomes(it, limit=50):
    """Items, and the type name of each error met, until the end."""
    out = []
    for _ in range(limit):
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except Exception as exc:  # noqa: BLE001 - recorded for the comparison
            out.append(type(exc).__name__)
    raise AssertionError("did not end")


class Interrupted(Exception):
    """Raised by the alarm handler of `interrupts`."""


def interrupts(call, after=0.05):
    """Checks that `call()` (an endless native loop) is stopped by a signal handler that raises."""

    def handler(signum, frame):
        raise Interrupted

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        with pytest.raises(Interrupted):
            call()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
