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
        Case("sliding_window(2): 1e6 list", lambda: T.sliding_window(2, data),
             lambda: itertools.pairwise(data), "itertools.pairwise", ">= 1x"),
        Case("sliding_window(4): 1e6 list", lambda: T.sliding_window(4, data),
             lambda: deque_windows(4, data), "deque recipe", ">= 2x"),
        Case("interpose: 1e6 list", lambda: T.interpose(None, data),
             lambda: interposed(None, data), "generator", ">= 2x"),
        Case("pluck(0): 1e6 tuples", lambda: T.pluck(0, rows),
             lambda: map(operator.itemgetter(0), rows), "map(itemgetter(0))", ">= 0.9x"),
        Case("pluck([0, 2]): 1e6 tuples", lambda: T.pluck([0, 2], rows),
             lambda: map(get02, rows), "map(itemgetter(0, 2))", ">= 0.9x"),
        Case("join: 1e5 x 1e5 rows, 1e4 keys", lambda: T.join(0, left, 0, right),
             lambda: gen_join(left, right), "dict-of-lists join generator", ">= 2x"),
        Case("diff: 2 x 1e6 list, 1% differ", lambda: T.diff(data, other),
             lambda: zip_diff(data, other), "generator over zip", ">= 1.5x"),
    ]
