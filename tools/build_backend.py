"""The project's build backend: scikit-build-core, except that a source distribution made from a
git checkout holds the tracked files only (scikit-build-core packs every file that .gitignore does
not exclude, so a stray untracked file would ship). Outside a checkout (building from an sdist)
nothing changes."""

import pathlib
import subprocess
import tomllib

from scikit_build_core.build import *  # noqa: F401,F403
from scikit_build_core.build import build_sdist as _build_sdist


def _untracked():
    """Untracked files that .gitignore does not exclude, or None outside a git checkout."""
    try:
        out = subprocess.run(["git", "ls-files", "--others", "--exclude-standard", "-z"],
                             capture_output=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return [p for p in out.decode("utf-8", "surrogateescape").split("\0") if p]


def _pattern(path):
    # An anchored gitignore pattern matching exactly this path.
    escaped = "".join("\\" + c if c in "*?[]!#\\ " else c for c in path)
    return "/" + escaped


def build_sdist(sdist_directory, config_settings=None):
    untracked = _untracked()
    if untracked:
        settings = dict(config_settings or {})
        declared = tomllib.loads(pathlib.Path("pyproject.toml").read_text())
        exclude = declared.get("tool", {}).get("scikit-build", {}).get("sdist", {}).get("exclude", [])
        given = settings.get("sdist.exclude", [])
        given = given.split(";") if isinstance(given, str) else list(given)
        settings["sdist.exclude"] = [*exclude, *given, *map(_pattern, untracked)]
        config_settings = settings
    return _build_sdist(sdist_directory, config_settings)
