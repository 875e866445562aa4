"""Word counting on all cores of one process: the workers of an InterpreterPoolExecutor each count
their own share of a text file with `frequencies`, and the shares are merged with
`merge_with(sum)`; one interpreter counting the whole file, and the same split over a
ProcessPoolExecutor, beside it.

The workers import this module by name, so it imports nothing that cannot load in a
subinterpreter (no NumPy).
"""

import atexit
import functools
import os
import pathlib
import random
import tempfile
from concurrent.futures import InterpreterPoolExecutor, ProcessPoolExecutor

from common import Case

import trovix._trovix as T

SEED = 20261208
N_WORDS = 4_000_000
WORKERS = 2
SPIN = 20_000_000
HERE = str(pathlib.Path(__file__).resolve().parent)


def make_text(path):
    """About N_WORDS words, 12 to a line, drawn from 20000 made-up words with a skewed frequency."""
    rng = random.Random(SEED)
    vocab = ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 9))) for _ in range(20000)]
    weights = [1 / (i + 10) for i in range(len(vocab))]
    words = rng.choices(vocab, weights, k=N_WORDS)
    with open(path, "w") as f:
        for i in range(0, N_WORDS, 12):
            f.write(" ".join(words[i:i + 12]) + "\n")


def read_share(path, share, shares):
    """The text of the lines that start in the share-th of `shares` equal byte ranges of the file."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        def boundary(k):
            if k == 0 or k == shares:
                return size if k else 0
            f.seek(k * size // shares - 1)
            f.readline()  # to the start of the next line
            return f.tell()
        start, end = boundary(share), boundary(share + 1)
        f.seek(start)
        return f.read(end - start).decode()


def count_share(path, share, shares):
    return T.frequencies(read_share(path, share, shares).split())


def spin(n):
    return sum(range(n))


def count_split(pool, path):
    parts = pool.map(functools.partial(count_share, path, shares=WORKERS), range(WORKERS))
    return T.merge_with(sum, *parts)


def cases():
    tmp = tempfile.mkdtemp(prefix="trovix-bench-")
    path = os.path.join(tmp, "words.txt")
    make_text(path)

    pools = {}

    def pool(kind):
        if kind not in pools:
            if kind == "interpreters":
                # A worker finds this module through the benchmark folder on its own sys.path.
                p = InterpreterPoolExecutor(WORKERS, initializer=exec,
                                            initargs=(f"import sys; sys.path.insert(0, {HERE!r})", {}))
            else:
                p = ProcessPoolExecutor(WORKERS)
            list(p.map(abs, range(WORKERS)))  # the workers are up before the first timing
            pools[kind] = p
            atexit.register(p.shutdown)
        return pools[kind]

    def cleanup():
        os.remove(path)
        os.rmdir(tmp)

    atexit.register(cleanup)
    name = f"word count: 4e6 words, {WORKERS} interpreters"
    return [
        Case(f"{name} vs 1", lambda: count_split(pool("interpreters"), path),
             lambda: count_share(path, 0, 1), "one interpreter, frequencies", ">= 1.6x"),
        Case(f"{name} vs processes", lambda: count_split(pool("interpreters"), path),
             lambda: count_split(pool("processes"), path), f"ProcessPoolExecutor({WORKERS})"),
        # What the machine gives two workers at the moment (other load on the cores shows here).
        Case(f"control: Python loop, {WORKERS} interpreters vs 1",
             lambda: sum(pool("interpreters").map(spin, [SPIN // WORKERS] * WORKERS)),
             lambda: sum(map(spin, [SPIN // WORKERS] * WORKERS)), "one interpreter, the same loops"),
    ]
