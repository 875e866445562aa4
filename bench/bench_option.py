"""Option values: construction and chaining against the plain-Python way."""

from common import Case

from trovix import Some


def cases():
    data = list(range(1000))

    def trovix_chain():
        return [Some(x).map(abs).unwrap_or(0) for x in data]

    def python_chain():
        return [abs(x) if x is not None else 0 for x in data]

    return [Case("Some(x).map(f).unwrap_or(d) x1000", trovix_chain, python_chain, "inline conditional")]
