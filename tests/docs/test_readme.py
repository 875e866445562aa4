"""README.md: the Dask example runs as a script, as a user would save and run it."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


@pytest.mark.skipif(os.environ.get("TROVIX_BUILD_VARIANT", "release") != "release",
                    reason="starts a cluster of worker processes: the normal run only")
@pytest.mark.skipif(not all(importlib.util.find_spec(m) for m in ("dask", "distributed")),
                    reason="needs dask and distributed")
@pytest.mark.no_leakcheck("runs a script in a child process")
def test_dask_example_runs_as_a_script(tmp_path):
    section = README.read_text().split("## Scaling out", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S)[1]
    script = tmp_path / "count_words.py"
    script.write_text(code)
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300,
                          cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr[-3000:]
    # Each print's comment is what it prints.
    expected = re.findall(r"^\s*print\(.*\)  # (.*)$", code, re.M)
    assert len(expected) == 2 and proc.stdout.splitlines() == expected, proc.stdout
