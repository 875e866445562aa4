"""Function combinators against the plain-Python code that does the same job."""

import functools
import inspect

from common import Case

import floor

from trovix import complement, compose, curry, juxt, memoize, pipe


def f(x):
    return x + 1


def g(x):
    return x * 2


def h(x):
    return x - 3


def add(a, b):
    return a + b


def cases():
    data = list(range(100))

    composed = compose(f, g, h)
    py_composed = lambda x: f(g(h(x)))  # noqa: E731

    juxted = juxt(f, g, h)
    py_juxted = lambda x: (f(x), g(x), h(x))  # noqa: E731

    memo = memoize(f)
    lru = functools.lru_cache(maxsize=None)(f)
    for x in data:
        memo(x), lru(x)

    comp = complement(f)
    py_comp = lambda x: not f(x)  # noqa: E731

    made_once = curry(add)

    # the bind decision with many keywords: 16,000 keyword-only parameters, half of them given,
    # one required one missing (so the answer is a partial, and the function is not called: its
    # own keyword matching is the interpreter's)
    names = [f"k{i}" for i in range(16_000)]
    ns = {}
    exec(f"def wide(*, required, {', '.join(n + '=0' for n in names)}): return 0", ns)
    wide, half = curry(ns["wide"]), dict.fromkeys(names[::2], 1)
    wide_sig = inspect.signature(ns["wide"])

    native = floor.load()
    floors = []
    if native is not None:
        # our calls against native code that makes only the same vectorcalls (the difference,
        # divided by 100, is our overhead per call)
        composed_floor, juxted_floor = native.compose_floor(f, g, h), native.juxt_floor(f, g, h)
        pipe_floor = native.pipe_floor
        floors = [
            Case("floor: compose(f, g, h)(x) x100", lambda: [composed(x) for x in data],
                 lambda: [composed_floor(x) for x in data], "native loop of the same vectorcalls",
                 goal="report"),
            Case("floor: pipe(x, f, g, h) x100", lambda: [pipe(x, f, g, h) for x in data],
                 lambda: [pipe_floor(x, f, g, h) for x in data], "native loop of the same vectorcalls",
                 goal="report"),
            Case("floor: juxt(f, g, h)(x) x100", lambda: [juxted(x) for x in data],
                 lambda: [juxted_floor(x) for x in data], "native loop of the same vectorcalls",
                 goal="report"),
        ]

    return [
        Case("compose(f, g, h)(x) x100", lambda: [composed(x) for x in data],
             lambda: [py_composed(x) for x in data], "lambda x: f(g(h(x)))", goal=">= 1.1x"),
        Case("pipe(x, f, g, h) x100", lambda: [pipe(x, f, g, h) for x in data],
             lambda: [h(g(f(x))) for x in data], "h(g(f(x))) inline", goal=">= 0.85x"),
        Case("juxt(f, g, h)(x) x100", lambda: [juxted(x) for x in data],
             lambda: [py_juxted(x) for x in data], "lambda x: (f(x), g(x), h(x))", goal=">= 1.1x"),
        Case("memoize(f)(x), all hits x100", lambda: [memo(x) for x in data],
             lambda: [lru(x) for x in data], "functools.lru_cache(maxsize=None)", goal=">= 1x"),
        Case("complement(f)(x) x100", lambda: [comp(x) for x in data],
             lambda: [py_comp(x) for x in data], "lambda x: not f(x)", goal=">= 1.1x"),
        Case("curry(f)(1)(2) x100", lambda: [curry(add)(x)(2) for x in data],
             lambda: [functools.partial(add, x)(2) for x in data], "functools.partial(f, 1)(2)",
             goal=">= 0.5x"),
        Case("c(1)(2), c made once x100", lambda: [made_once(x)(2) for x in data],
             lambda: [functools.partial(add, x)(2) for x in data], "functools.partial(f, 1)(2)",
             goal=">= 1x"),
        Case("curry bind decision, 16,000 keyword-only parameters", lambda: wide(**half),
             lambda: wide_sig.bind_partial(**half), "inspect.Signature.bind_partial", goal=">= 1x",
             check=False),
    ] + floors
