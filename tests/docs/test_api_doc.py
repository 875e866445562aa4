"""docs/api.md: every public name has an entry, and every entry's example runs as written.

Each entry (a `### name` heading and what follows it) is its own doctest, so a run can be
narrowed to one family or name, e.g. `./dev test tests/docs -k "Dictionary"` or `-k merge_with`.
"""

import ast
import doctest
import operator
import pathlib
import re

import pytest

import trovix

REPO = pathlib.Path(__file__).resolve().parents[2]
DOC = REPO / "docs" / "api.md"
STUB = REPO / "python" / "trovix" / "__init__.pyi"  # the package: the module's names and its own


def _entries():
    """(family, name, first line number, text) of every entry, and of every guide section (a
    `## ` heading with examples of its own: the quick tour)."""
    family = None
    entries, guides = [], []
    line = 0
    for block in re.split(r"^(?=##+ )", DOC.read_text(), flags=re.M):
        heading = block.split("\n", 1)[0]
        if heading.startswith("## "):
            family = heading[3:].strip()
            if ">>>" in block:
                guides.append(("guide", family, line, block))
        elif heading.startswith("### "):
            entries.append((family, heading[4:].strip(), line, block))
        line += block.count("\n")
    return entries, guides


ENTRIES, GUIDES = _entries()


def _stub_names():
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            return [elt.value for elt in node.value.elts]
    raise AssertionError("no __all__ in the stub")


def test_every_public_name_has_one_entry():
    names = [name for _, name, _, _ in ENTRIES]
    assert sorted(names) == sorted(_stub_names())
    assert set(trovix.__all__) <= set(names)
    assert len(names) == len(set(names))
    for _, name, _, block in ENTRIES:
        assert ">>>" in block, f"{name} has no example"


@pytest.mark.parametrize("family, name, line, block", ENTRIES + GUIDES,
                         ids=[f"{f}::{n}" for f, n, _, _ in ENTRIES + GUIDES])
def test_example(family, name, line, block):
    assert family == "guide" or name in trovix.__all__, f"{name} is documented but missing"
    # Code fences are not part of the expected output.
    text = re.sub(r"^```\w*$", "", block, flags=re.M)
    globs = {n: getattr(trovix, n) for n in trovix.__all__}
    globs["operator"] = operator
    test = doctest.DocTestParser().get_doctest(text, globs, f"api.md {name}", str(DOC), line)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    out = []
    runner.run(test, out=out.append)
    globs.clear()  # the examples' objects (and any cycles through them) go with the test
    assert runner.failures == 0, "".join(out)
