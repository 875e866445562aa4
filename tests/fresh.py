"""Runs code in a fresh interpreter of the build under test (the same executable, import path and
environment as this process, so the deep modes' interpreters and sanitizer runtimes carry over)."""

import os
import subprocess
import sys
import textwrap


def run_fresh(code, timeout=180, env=None, check=True, **settings):
    """Runs `code` (dedented) in a new process with `env` (default: this process's environment)
    plus the variables in `settings`; returns the finished `subprocess.CompletedProcess`. With
    `check`, a non-zero exit fails the calling test with the end of both outputs."""
    env = dict(os.environ if env is None else env, **settings)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=env)
    if check:
        assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc
