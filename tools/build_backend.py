"""The project's build backend: scikit-build-core, except that a source distribution made from a
git checkout holds the tracked files only (scikit-build-core packs every file that .gitignore does
not exclude, so a stray untracked file would ship). Outside a checkout (building from an sdist)
nothing changes."""

import pathlib
import struct
import subprocess
import tomllib

import pathspec

from scikit_build_core.build import *  # noqa: F401,F403
from scikit_build_core.build import build_sdist as _build_sdist


def _index_paths(index):
    """The paths listed in a git index file (versions 2 to 4), read directly for systems without
    git; None when the file is missing or not understood."""
    try:
        data = index.read_bytes()
    except OSError:
        return None
    if data[:4] != b"DIRC":
        return None
    version, count = struct.unpack(">II", data[4:12])
    if version not in (2, 3, 4):
        return None
    pos, paths, prev = 12, set(), b""
    for _ in range(count):
        start = pos
        flags = struct.unpack(">H", data[pos + 60 : pos + 62])[0]
        pos += 62
        if version >= 3 and flags & 0x4000:
            pos += 2  # extended flags
        if version == 4:  # the name shares a prefix with the previous one
            byte = data[pos]
            pos += 1
            strip = byte & 0x7F
            while byte & 0x80:
                byte = data[pos]
                pos += 1
                strip = ((strip + 1) << 7) | (byte & 0x7F)
            end = data.index(b"\0", pos)
            name = prev[: len(prev) - strip] + data[pos:end]
            pos = end + 1
        else:
            end = data.index(b"\0", pos)
            name = data[pos:end]
            pos = start + ((end - start + 8) & ~7)  # entries are padded to 8 bytes
        prev = name
        paths.add(name.decode("utf-8", "surrogateescape"))
    return sorted(paths)


def _tracked():
    """The tracked files of the checkout in the current directory, or None outside one."""
    if not pathlib.Path(".git").is_dir():
        return None
    try:
        out = subprocess.run(["git", "ls-files", "-z"], capture_output=True, check=True).stdout
        return [p for p in out.decode("utf-8", "surrogateescape").split("\0") if p]
    except (OSError, subprocess.CalledProcessError):
        return _index_paths(pathlib.Path(".git", "index"))


def _pattern(path):
    # An anchored gitignore pattern matching exactly this path.
    return "/" + "".join("\\" + c if c in "*?[]!#\\ " else c for c in path)


def build_sdist(sdist_directory, config_settings=None):
    tracked = _tracked()
    if tracked:
        # The tracked files, less what the project excludes from every sdist.
        declared = tomllib.loads(pathlib.Path("pyproject.toml").read_text(encoding="utf-8"))
        exclude = declared.get("tool", {}).get("scikit-build", {}).get("sdist", {}).get("exclude", [])
        skip = pathspec.GitIgnoreSpec.from_lines(exclude)
        config_settings = {**(config_settings or {}), "sdist.inclusion-mode": "manual", "sdist.exclude": ["*"],
                           "sdist.include": [_pattern(p) for p in tracked if not skip.match_file(p)]}
    return _build_sdist(sdist_directory, config_settings)
