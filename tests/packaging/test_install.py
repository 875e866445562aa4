"""The paths users take: the Linux wheel as published (built offline by the project's build backend,
repaired to a manylinux tag) installed into a fresh virtual environment, offline; and the source
distribution, which holds the tracked files only."""

import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

# Builds a wheel (a compile on first use): once, in the normal run, not in every mode.
normal_run_only = pytest.mark.skipif(
    os.environ.get("TROVIX_BUILD_VARIANT", "release") != "release", reason="packaging is checked in the normal run"
)


def run(*cmd, cwd=None):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    proc = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc.stdout + proc.stderr


# A full optimised compile of its own, a quarter of the suite's work: in the deep run (what CI
# runs), not in every `./dev test`.
@normal_run_only
@pytest.mark.skipif(not os.environ.get("TROVIX_DEEP_RUN"), reason="the wheel is built and installed in the deep run")
@pytest.mark.no_leakcheck("builds and installs a wheel")
def test_repaired_wheel_installs_and_imports_in_fresh_venv(tmp_path):
    for need in ("scikit_build_core", "pip", "auditwheel"):
        pytest.importorskip(need)
    if shutil.which("patchelf") is None or not sys.platform.startswith("linux"):
        pytest.skip("repairing a Linux wheel needs Linux and patchelf")
    dist = tmp_path / "dist"
    out = run(str(REPO / "dev"), "wheel", str(dist))
    wheels = list(dist.glob("trovix-*.whl"))
    assert len(wheels) == 1, out
    assert "-cp314-cp314-manylinux_" in wheels[0].name, wheels
    tag = wheels[0].name.rsplit("-", 1)[1].removesuffix(".whl")
    assert f'is consistent with\nthe following platform tag: "{tag}"' in out, out
    # Nothing is bundled: the C++ runtime is linked in, the rest is the system's C library.
    names = zipfile.ZipFile(wheels[0]).namelist()
    assert not [n for n in names if ".libs/" in n], names
    # PEP 561 and PEP 639: the stubs, their marker and the licence travel with the package.
    for name in ("trovix/py.typed", "trovix/_trovix.pyi", "trovix/__init__.pyi"):
        assert name in names, names
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), names

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", str(venv))
    py = venv / "bin" / "python"
    run(str(py), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheels[0]))
    # Run from a neutral directory so the source tree cannot shadow the installed package.
    out = run(str(py), "-c",
              "import trovix, trovix._trovix as T; assert trovix.__all__[:-2] == T.__all__; "
              "print(T.__file__); print(T.Some(1).map(lambda v: v + 1)); print(trovix.__version__); "
              "print(T.frequencies(bytes(range(4)) * 300000)[3])", cwd=tmp_path)
    path, value, version, count = out.strip().splitlines()
    assert path.startswith(str(venv))
    assert (value, version, count) == ("Some(2)", "0.1.0", "300000")


@normal_run_only
def test_sdist_holds_tracked_files_only(tmp_path):
    pytest.importorskip("scikit_build_core")
    if not (REPO / ".git" / "index").exists():
        pytest.skip("not a git checkout")
    sys.path.insert(0, str(REPO / "tools"))
    try:
        import build_backend
    finally:
        sys.path.remove(str(REPO / "tools"))
    tracked = build_backend._index_paths(REPO / ".git" / "index")
    if shutil.which("git"):  # the index reader agrees with git
        assert tracked == sorted(run("git", "ls-files", "-z", cwd=REPO).split("\0")[:-1])
    # A copy of the tracked files plus strays, with the original index.
    tree = tmp_path / "tree"
    for rel in tracked:
        (tree / rel).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPO / rel, tree / rel)
    (tree / ".git").mkdir()
    shutil.copy2(REPO / ".git" / "index", tree / ".git" / "index")
    (tree / "src" / "stray.cpp").write_text("// an untracked file\n")
    (tree / "notes.txt").write_text("untracked\n")
    run(sys.executable, "-c", "import sys; sys.path.insert(0, 'tools'); import build_backend; "
        f"build_backend.build_sdist({str(tmp_path / 'sdist')!r})", cwd=tree)
    [sdist] = (tmp_path / "sdist").glob("trovix-*.tar.gz")
    packed = {n.split("/", 1)[1] for n in tarfile.open(sdist).getnames() if "/" in n}
    assert packed - {"PKG-INFO"} == {p for p in tracked if not p.startswith(".ci/")}
