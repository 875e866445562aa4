"""The type stubs of the module: mypy's stubtest against the built module, and a file of user
code whose revealed types and rejected lines mypy must report exactly."""

import contextlib
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

import trovix

HERE = pathlib.Path(__file__).resolve().parent
USER_CODE = HERE / "user_code.py"
STAR_CODE = HERE / "star_import.py"  # every public name through `from trovix import *`
ALLOWLIST = HERE / "stubtest_allowlist.txt"
TIMEOUT = 600

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run_mypy(module, *args):
    env = dict(os.environ)
    # The package next to the build (not installed): point mypy at it. An installed package is
    # found through its py.typed marker instead (and mypy refuses site-packages in MYPYPATH).
    root = os.path.dirname(os.path.dirname(os.path.abspath(trovix.__file__)))
    if not root.endswith(("site-packages", "dist-packages")):
        env["MYPYPATH"] = root
    proc = subprocess.run([sys.executable, "-m", module, *args], capture_output=True, text=True,
                          env=env, timeout=TIMEOUT, cwd=HERE)
    return proc.returncode, proc.stdout + proc.stderr


@needs_mypy
def test_stubtest_is_clean():
    # The package checks its native module too (the stubs of both against both at runtime).
    rc, out = run_mypy("mypy.stubtest", "trovix", "--allowlist", str(ALLOWLIST))
    assert rc == 0 and "2 modules" in out, out
    assert rc == 0, out


def _prefixes(text):
    return re.sub(r"\b(?:builtins|typing|_typeshed|collections\.abc|trovix\._trovix)\.", "", text)


def _expectations(path):
    revealed, errors = {}, set()
    for n, line in enumerate(path.read_text().splitlines(), 1):
        code, _, comment = line.partition("  # ")
        if re.match(r"\s*reveal_type\(", code):
            revealed[n] = comment.strip()
        elif comment.strip() == "error":
            errors.add(n)
    return revealed, errors


@needs_mypy
@pytest.mark.parametrize("path", [USER_CODE, STAR_CODE], ids=lambda p: p.stem)
def test_user_code_types(path):
    rc, out = run_mypy("mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                       "--no-error-summary", "--hide-error-context", path.name)
    revealed, errors = {}, {}
    for line in out.splitlines():
        m = re.match(re.escape(path.name) + r":(\d+): (note|error): (.*)", line)
        if m is None:
            continue
        n, kind, text = int(m[1]), m[2], m[3]
        if kind == "note" and text.startswith("Revealed type is "):
            revealed[n] = _prefixes(text[len("Revealed type is "):].strip('"'))
        elif kind == "error":
            errors.setdefault(n, []).append(text)
    want_revealed, want_errors = _expectations(path)
    mismatched = {n: (revealed.get(n), want) for n, want in want_revealed.items() if revealed.get(n) != want}
    assert not mismatched, "line: (revealed, expected)\n" + "\n".join(f"{n}: {v}" for n, v in mismatched.items())
    assert set(errors) == want_errors, f"errors on unexpected lines, or expected errors missing:\n{out}"


@pytest.mark.parametrize("path", [USER_CODE, STAR_CODE], ids=lambda p: p.stem)
def test_user_code_runs(path):
    """The checked file is working code: every line runs, and every rejected line also fails."""
    source = []
    for line in path.read_text().splitlines():
        code, _, comment = line.partition("  # ")
        if comment.strip() == "error":
            indent = code[: len(code) - len(code.lstrip())]
            line = f"{indent}with _fails(): {code.strip()}"
        source.append(line)
    imported = re.search(r"from trovix import \((.*?)\)", path.read_text(), re.S)
    missing = sorted(set(re.findall(r"\b(\w+)\b", imported[1] if imported else "")) - set(dir(trovix)))
    assert not missing, f"missing: {', '.join(missing)}"

    @contextlib.contextmanager
    def _fails():
        with pytest.raises((TypeError, AttributeError)):
            yield

    namespace = {"__name__": "user_code", "_fails": _fails}
    exec(compile("\n".join(source), str(path), "exec"), namespace)
