"""The native floor under pipe, compose and juxt (callfloor.c), compiled on first use into
build/bench/floor with the interpreter's own compiler settings; None when no compiler works."""

import importlib.util
import pathlib
import shlex
import subprocess
import sysconfig

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE.parent.parent / "build" / "bench" / "floor"


def load():
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = OUT / f"callfloor{suffix}"
    source = HERE / "callfloor.c"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        OUT.mkdir(parents=True, exist_ok=True)
        cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
        flags = ["-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}"]
        try:
            subprocess.run([*cc, *flags, str(source), "-o", str(target)], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            return None
    spec = importlib.util.spec_from_file_location("callfloor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
