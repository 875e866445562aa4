"""The module in isolated subinterpreters (each with its own interpreter lock)."""

import os
import pathlib
import re
import subprocess
import sys
import textwrap
import threading
from concurrent import interpreters

import pytest

import trovix._trovix as T

# One representative call per family, checked against plain Python inside the interpreter.
FAMILIES = """
import array, collections, sys
import trovix._trovix as T
words = "the cat and the hat and the bat".split()
assert T.frequencies(words) == dict(collections.Counter(words))
assert T.groupby(len, words) == {3: words}
assert list(T.unique(words)) == list(dict.fromkeys(words))
assert list(T.sliding_window(2, [1, 2, 3])) == [(1, 2), (2, 3)]
assert list(T.take(2, T.interpose(0, [1, 2, 3]))) == [1, 0]
assert list(T.concat([[1], T.cons(2, [3])])) == [1, 2, 3] and T.nth(1, (4, 5)) == 5
assert T.topk(2, [5, 1, 9, 3]) == (9, 5)
assert list(T.join(len, ["a"], len, ["b"])) == [("a", "b")]
assert T.frequencies(array.array("b", [1, 2, 1])) == {1: 2, 2: 1}
# combinators, with a curry that resolves its signature through inspect
add3 = T.curry(lambda a, b, c=1: a + b + c)
assert add3(1)(2) == 4 and add3(1, c=5)(2) == 8 and type(add3(1)) is T.curry
assert T.flip(lambda a, b: a - b, 1, 10) == 9
assert T.compose(str, abs)(-3) == "3" and T.memoize(abs)(-2) == 2
assert T.merge_with(sum, {"a": 1}, {"a": 2, "b": 3}) == {"a": 3, "b": 3}
assert T.assoc_in({}, ["x", "y"], 1) == {"x": {"y": 1}}
assert T.get_opt(5, [1]) == T.Nothing and T.Some(2).map(str) == T.Some("2")
assert T.Ok(1).and_then(lambda v: T.Err(v)) == T.Err(1)
assert T.Iter([3, 1, 2]).map(lambda x: x * 2).collect() == [6, 2, 4]
# the interpreter's own classes, also after a second import of the module
assert type(T.Some(1)) is T.Some and type(T.unique([1])).__name__ == "UniqueIter"
del sys.modules["trovix._trovix"]
import trovix._trovix as again
assert again is not T and again.Some is T.Some and again.curry is T.curry
"""

# Integer kernels above the parallel threshold (few distinct values: counted on the pool).
KERNELS = """
big = array.array("q", [7, 3, 7, 1]) * (1 << 18)
assert T.frequencies(big) == {7: 1 << 19, 3: 1 << 18, 1: 1 << 18}
assert T.topk(2, big) == (7, 7) and not T.isdistinct(big)
"""


def run_in(interp, code):
    interp.exec(textwrap.dedent(code))


def test_every_family_in_a_fresh_interpreter():
    interp = interpreters.create()
    try:
        run_in(interp, FAMILIES + KERNELS + "ids = [id(T.Some), id(T.curry), id(T.RustIter)]")
        ids = interp.call(eval, "ids")  # the interpreter's classes are its own
        assert not {id(T.Some), id(T.curry), id(T.RustIter)} & set(ids)
    finally:
        interp.close()
    assert T.frequencies("abca") == {"a": 2, "b": 1, "c": 1}  # the main interpreter is unaffected


@pytest.mark.no_leakcheck("measures its own growth across 100 interpreters")
def test_interpreters_come_and_go_without_growth():
    def cycle(n):
        for _ in range(n):
            interp = interpreters.create()
            run_in(interp, FAMILIES)
            interp.close()
        with open("/proc/self/statm") as f:
            return getattr(sys, "gettotalrefcount", lambda: 0)(), int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    refs, rss = cycle(5)
    ref_growth, rss_growth = (after - before for after, before in zip(cycle(100), (refs, rss)))
    assert ref_growth < 1000, ref_growth  # a leaked set of classes alone is far more per interpreter
    if not os.environ.get("TROVIX_SANITIZED"):  # the sanitizer holds freed memory back on purpose
        assert rss_growth < 32 << 20, rss_growth


KERNEL_LOOP = """
import array, trovix._trovix as T
data, runs = array.array("q", [5, 2, 5, 9]) * (1 << 18), 0
while True:
    assert T.frequencies(data) == {5: 1 << 19, 2: 1 << 18, 9: 1 << 18}
    runs += 1
    if runs == 1:
        queue.put("running")
    if runs >= 5 and not stop.empty():
        break
"""


def test_two_interpreters_at_once_and_one_closed_mid_kernel():
    stops = [interpreters.create_queue() for _ in range(2)]
    started = interpreters.create_queue()
    workers = [interpreters.create() for _ in range(2)]
    errors = []

    def run(i):
        try:
            workers[i].prepare_main(queue=started, stop=stops[i])
            run_in(workers[i], KERNEL_LOOP)
        except BaseException as exc:  # noqa: B036 - reported to the test
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    try:
        assert [started.get(timeout=120), started.get(timeout=120)] == ["running"] * 2
        # Both are inside their kernels now; a third interpreter uses the pool and is closed.
        extra = interpreters.create()
        run_in(extra, "import array, trovix; assert len(trovix.frequencies(array.array('b', [1, 2]) * (1 << 19))) == 2")
        extra.close()
    finally:
        for stop, t, w in zip(stops, threads, workers):
            stop.put(True)
            t.join(timeout=300)
            w.close()
    assert not errors and not any(t.is_alive() for t in threads), errors


FORK = """
import os, sys, warnings
from concurrent import interpreters
import trovix._trovix as T
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
interp = interpreters.create()
interp.exec("import trovix")
interp.close()  # (the interpreter itself cannot fork while a subinterpreter is alive)
pid = os.fork()
if pid == 0:  # the child: the main interpreter's module, and a fresh subinterpreter, work
    try:
        interpreters.create().exec(sys.argv[1])
        os._exit(0 if T.curry(divmod)(7)(2) == (3, 1) else 1)
    finally:
        os._exit(2)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.no_leakcheck("runs in a child process")
def test_fork_after_subinterpreters():
    out = subprocess.run([sys.executable, "-c", FORK, textwrap.dedent(FAMILIES)], capture_output=True, text=True)
    assert out.stdout == "0\n", out.stderr


@pytest.mark.no_leakcheck("runs the example in a child process")
def test_readme_example_runs_as_a_script(tmp_path):
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
    section = readme.split("## Parallel in one process", 1)[1].split("\n## ", 1)[0]
    script = tmp_path / "example.py"
    script.write_text(re.search(r"```python\n(.*?)```", section, re.S).group(1))
    (tmp_path / "words.txt").write_text("the cat and the hat\n" * 3000)
    out = subprocess.run([sys.executable, str(script), "words.txt"], capture_output=True, text=True,
                         timeout=300, cwd=tmp_path, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1] == "the 6000 cat 3000 and 3000 hat 3000"
