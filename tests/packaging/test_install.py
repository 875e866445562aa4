"""The path users take: build a wheel with the project's build backend and install it into a
fresh virtual environment, offline."""

import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]


def run(*cmd, cwd=None):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    proc = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc.stdout


def test_wheel_installs_and_imports_in_fresh_venv(tmp_path):
    pytest.importorskip("scikit_build_core")
    pytest.importorskip("pip")
    dist = tmp_path / "dist"
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
        "-q", "-w", str(dist), str(REPO))
    wheels = list(dist.glob("trovix-*.whl"))
    assert len(wheels) == 1, wheels
    # PEP 561: the stubs and their marker travel with the package.
    names = zipfile.ZipFile(wheels[0]).namelist()
    assert "trovix/py.typed" in names and "trovix/_trovix.pyi" in names, names

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", str(venv))
    py = venv / "bin" / "python"
    run(str(py), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheels[0]))
    # Run from a neutral directory so the source tree cannot shadow the installed package.
    out = run(str(py), "-c",
              "import trovix, trovix._trovix as T; assert trovix.__all__ == T.__all__; "
              "print(T.__file__); print(T.Some(1).map(lambda v: v + 1))", cwd=tmp_path)
    path, value = out.strip().splitlines()
    assert path.startswith(str(venv))
    assert value == "Some(2)"
