"""Code that takes every public name with a star import, checked like user_code.py: the package's
own stubs export what it does, key types are inferred from lambda keys, and the union aliases
annotate functions that return either kind of value."""

from typing import reveal_type

from trovix import *

words = ["ant", "bee", "cat", "dodo"]


def parse(text: str) -> ResultOf[int, str]:
    return Ok(int(text)) if text.isdigit() else Err(text)


def half(n: int) -> OptionOf[int]:
    return Some(n // 2) if n % 2 == 0 else Nothing


reveal_type(parse("4"))  # Ok[int] | Err[str]
reveal_type(half(3))  # Some[int] | NothingType
reveal_type(groupby(lambda w: w[0], words))  # dict[str, list[str]]
reveal_type(countby(lambda w: len(w), words))  # dict[int, int]
reveal_type(reduceby(lambda w: len(w), lambda a, b: a + b, words))  # dict[int, str]
reveal_type(reduceby(lambda w: w[0], lambda n, w: n + len(w), words, 0))  # dict[str, int]
reveal_type(Iter(words).group_by(lambda w: len(w)))  # dict[int, list[str]]
reveal_type(groupby(0, words))  # dict[Any, list[str]]
groupby(lambda n: n + 1, words)  # error
