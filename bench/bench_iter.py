"""Optional accessors and the Iter class against the plain built-ins doing the same job."""

from common import Case

import trovix._trovix as T


def cases():
    short = [[i, i + 1] for i in range(1_000_000)]
    data = list(range(100_000))
    f = lambda v: v * 3  # noqa: E731
    p = lambda v: v % 5  # noqa: E731
    first_opt = T.first_opt

    def trovix_first():
        for s in short:
            first_opt(s)

    def python_first():
        for s in short:
            next(iter(s), None)

    return [
        Case("first_opt(s) over 1e6 short lists", trovix_first, python_first, "next(iter(s), None)", ">= 1x",
             check=False),
        Case("Iter(lst).map(f).filter(p).collect(), 1e5", lambda: T.Iter(data).map(f).filter(p).collect(),
             lambda: list(filter(p, map(f, data))), "list(filter(p, map(f, lst)))", ">= 0.95x"),
    ]
