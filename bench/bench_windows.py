"""Windows, separators, plucking, joins and diffs, against itertools and the plain-Python way."""

import collections
import itertools
import operator
import random

from common import Case

import trovix as T


def deque_windows(n, seq):
    it = iter(seq)
    window = collections.deque(itertools.islice(it, n - 1), maxlen=n)
    for x in it:
        window.append(x)
        yield tuple(window)


def interposed(el, seq):
    it = iter(seq)
    for x in it:
        yield x
        break
    for x in it:
        yield el
        yield x


def dict_join(left, right):
    index = {}
    for x in left:
        group = index.get(x[0])
        if group is None:
            index[x[0]] = [x]
        else:
            group.append(x)
    return [(x, y) for y in right for x in index.get(y[0], ())]


def gen_join(left, right):
    index = {}
    for x in left:
        group = index.get(x[0])
        if group is None:
            index[x[0]] = [x]
        else:
            group.append(x)
    for y in right:
        for x in index.get(y[0], ()):
            yield (x, y)


def drain(it):
    """Consumes an iterator one item at a time, keeping nothing."""
    collections.deque(it, maxlen=0)


def zip_diff(a, b):
    for x, y in zip(a, b):
        if x != y:
            yield (x, y)


def cases():
    n = 1_000_000
    data = list(range(n))
    rows = [(i, i + 1, i + 2) for i in range(n)]
    keys = 10_000
    rng = random.Random(0)
    left = [(rng.randrange(keys), i) for i in range(100_000)]
    right = [(rng.randrange(keys), -i) for i in range(100_000)]
    other = [v if v % 100 else -v - 1 for v in data]
    get02 = operator.itemgetter(0, 2)
    return [
        Case("sliding_window(2): 1e6 list", lambda: list(T.sliding_window(2, data)),
             lambda: list(itertools.pairwise(data)), "itertools.pairwise", ">= 0.9x"),
        Case("sliding_window(4): 1e6 list", lambda: list(T.sliding_window(4, data)),
             lambda: list(deque_windows(4, data)), "deque recipe", ">= 2x"),
        Case("interpose: 1e6 list", lambda: list(T.interpose(None, data)),
             lambda: list(interposed(None, data)), "generator", ">= 2x"),
        Case("pluck(0): 1e6 tuples", lambda: list(T.pluck(0, rows)),
             lambda: list(map(operator.itemgetter(0), rows)), "map(itemgetter(0))", ">= 0.9x"),
        Case("pluck([0, 2]): 1e6 tuples", lambda: list(T.pluck([0, 2], rows)),
             lambda: list(map(get02, rows)), "map(itemgetter(0, 2))", ">= 0.9x"),
        Case("join: 1e5 x 1e5 rows, 1e4 keys", lambda: list(T.join(0, left, 0, right)),
             lambda: dict_join(left, right), "dict-of-lists join", ">= 2x"),
        # The same, consumed one item at a time (nothing kept), against a generator.
        Case("sliding_window(4): 1e6 list, streamed", lambda: drain(T.sliding_window(4, data)),
             lambda: drain(deque_windows(4, data)), "deque recipe", check=False),
        Case("join: 1e5 x 1e5 rows, 1e4 keys, streamed", lambda: drain(T.join(0, left, 0, right)),
             lambda: drain(gen_join(left, right)), "dict-of-lists join generator", check=False),
        Case("diff: 2 x 1e6 list, 1% differ", lambda: list(T.diff(data, other)),
             lambda: list(zip_diff(data, other)), "generator over zip", ">= 1.5x"),
    ]
