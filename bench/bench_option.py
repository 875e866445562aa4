"""Option values against the same values written as a plain-Python class."""

from common import Case

from trovix import Some


class PySome:
    __slots__ = ("value",)
    __match_args__ = ("value",)

    def __init__(self, value):
        self.value = value

    def map(self, f):
        return PySome(f(self.value))

    def unwrap_or(self, default):
        return self.value

    def __eq__(self, other):
        return isinstance(other, PySome) and self.value == other.value


def cases():
    data = list(range(1000))

    def trovix_chain():
        return [Some(x).map(abs).unwrap_or(0) for x in data]

    def python_chain():
        return [PySome(x).map(abs).unwrap_or(0) for x in data]

    return [Case("Some(x).map(f).unwrap_or(d) x1000", trovix_chain, python_chain,
                 "plain-Python Some class", goal="> 1x")]
