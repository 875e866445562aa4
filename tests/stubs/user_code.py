"""Ordinary user code, type-checked against the stubs by test_typing.py.

Each `reveal_type(...)` line carries the type mypy must reveal (written without the
`builtins.` and `trovix._trovix.` prefixes); a line ending in `# error` must be rejected. The
file also runs as plain Python, so the expectations describe code that works.
"""

import operator
from collections.abc import Iterator
from typing import reveal_type

from trovix import (
    Err, Iter, Nothing, NothingType, Ok, Option, Result, Some, accumulate, assoc, complement, compose,
    compose_left, concat, cons, count, countby, curry, diff, do, excepts, first, first_opt, flip,
    frequencies, get, get_in, get_opt, groupby, identity, interleave, interpose, isdistinct, itemmap,
    join, juxt, keyfilter, keymap, last_opt, mapcat, memoize, merge, merge_sorted, merge_with, nth,
    nth_opt, partition, partition_all, peek, peek_opt, pipe, pluck, reduceby, remove, sliding_window,
    tail, take, thread_first, topk, unique, update_in, valfilter, valmap,
)


def parse(text: str) -> Ok[int] | Err[str]:
    return Ok(int(text)) if text.isdigit() else Err(f"not a number: {text!r}")


def longer(a: str, b: str) -> str:
    return a if len(a) >= len(b) else b


def add_len(total: int, word: str) -> int:
    return total + len(word)


def half(n: int) -> Some[int] | NothingType:
    return Some(n // 2) if n % 2 == 0 else NothingType()


# ---- option and result values --------------------------------------------------------------
reveal_type(Some(1))  # Some[int]
reveal_type(Some(1).map(str))  # Some[str]
reveal_type(Some(4).and_then(half))  # Some[int] | NothingType
reveal_type(Some(4).filter(lambda v: v > 2))  # Some[int] | NothingType
reveal_type(Some("a").unwrap())  # str
reveal_type(Some(1).ok_or("missing"))  # Ok[int]
reveal_type(Nothing.unwrap_or(3))  # int
reveal_type(Nothing.ok_or("missing"))  # Err[str]
reveal_type(Option.of(5))  # Some[int] | NothingType
reveal_type(Option.of(None))  # NothingType
reveal_type(Result.of(lambda: 1 / 3))  # Ok[float] | Err[Exception]
reveal_type(Ok(2).map(float))  # Ok[float]
reveal_type(Ok("7").and_then(parse))  # Ok[int] | Err[str]
reveal_type(Err("bad").map_err(len))  # Err[int]
reveal_type(Err(ValueError("x")).err())  # Some[ValueError]
reveal_type(parse("12").unwrap_or(0))  # int
reveal_type(half(3).unwrap_or(-1))  # int

opt = first_opt([1, 2, 3])
if opt:
    reveal_type(opt)  # Some[int]
    reveal_type(opt.value)  # int
match parse("5"):
    case Ok(value):
        reveal_type(value)  # int
    case Err(error):
        reveal_type(error)  # str

Some(2).and_then(lambda v: v * 2)  # error
Ok(2).and_then(lambda v: Some(v))  # error
Some(1).value = 2  # error

# ---- optional accessors ----------------------------------------------------------------------
reveal_type(last_opt("abc"))  # Some[str] | NothingType
reveal_type(nth_opt(1, (1.5, 2.5)))  # Some[float] | NothingType
reveal_type(get_opt("k", {"k": 1}))  # Some[int] | NothingType
reveal_type(peek_opt(iter([1])))  # Some[tuple[int, Iterator[int]]] | NothingType

# ---- sequence functions ----------------------------------------------------------------------
words = ["ant", "bee", "ant"]
reveal_type(count(words))  # int
reveal_type(first(words))  # str
reveal_type(nth(1, words))  # str
reveal_type(get(0, words))  # str
reveal_type(get([0, 1], words))  # tuple[Any, ...]
reveal_type(get("x", {"x": 1}, None))  # int | None
reveal_type(isdistinct(words))  # bool
reveal_type(frequencies(words))  # dict[str, int]
reveal_type(topk(2, [3, 1, 2]))  # tuple[int, ...]
reveal_type(peek(words))  # tuple[str, Iterator[str]]
reveal_type(take(2, words))  # Iterator[str]
reveal_type(tail(2, words))  # list[str]
reveal_type(tail(2, iter(words)))  # Sequence[str]
reveal_type(cons(0, words))  # Iterator[int | str]
reveal_type(concat([[1], [2, 3]]))  # Iterator[int]
reveal_type(interpose(0, [1, 2]))  # Iterator[int]
reveal_type(interleave([[1], [2]]))  # Iterator[int]
reveal_type(sliding_window(2, words))  # Iterator[tuple[str, ...]]
reveal_type(partition(2, [1, 2, 3]))  # Iterator[tuple[int, ...]]
reveal_type(partition(2, [1, 2, 3], None))  # Iterator[tuple[int | None, ...]]
reveal_type(partition_all(2, words))  # Iterator[tuple[str, ...]]
reveal_type(merge_sorted([1, 3], [2]))  # Iterator[int]
reveal_type(diff([1, 2], [1, 3]))  # Iterator[tuple[int, ...]]
reveal_type(diff([1, 2], [1], default=None))  # Iterator[tuple[int | None, ...]]
reveal_type(groupby(len, words))  # dict[int, list[str]]
reveal_type(countby(len, words))  # dict[int, int]
reveal_type(reduceby(len, longer, words))  # dict[int, str]
reveal_type(reduceby(len, add_len, words, 0))  # dict[int, int]
reveal_type(reduceby(0, operator.add, [(1, 2)]))  # dict[Any, Any]
reveal_type(mapcat(list, words))  # Iterator[str]
reveal_type(pluck("a", [{"a": 1}]))  # Iterator[int]
reveal_type(pluck(0, [(1, 2), (3, 4)]))  # Iterator[int]
reveal_type(remove(str.isdigit, words))  # Iterator[str]
reveal_type(accumulate(operator.add, [1, 2]))  # Iterator[int]
reveal_type(accumulate(add_len, words, 0))  # Iterator[int]
reveal_type(unique(words, key=len))  # Iterator[str]
reveal_type(join(0, [(1, "a")], 0, [(1, 2.0)]))  # Iterator[tuple[tuple[int, str], tuple[int, float]]]

# ---- combinators -----------------------------------------------------------------------------
reveal_type(identity(3))  # int
reveal_type(pipe(3, str, len))  # int
reveal_type(thread_first("ab", len))  # int
reveal_type(do(print, 5))  # int
reveal_type(compose(str, abs)(-2))  # str
reveal_type(compose_left(abs, str)(-2))  # str
reveal_type(complement(str.isdigit))  # def (self: str) -> bool
reveal_type(juxt(str.upper, str.lower)("Ab"))  # tuple[str, ...]
reveal_type(excepts(ValueError, int, lambda e: -1)("x"))  # int
reveal_type(excepts(ValueError, int)("x"))  # int | None
reveal_type(memoize(len))  # def (Sized) -> int
add3 = curry(lambda a, b, c: a + b + c)
reveal_type(add3)  # curry[Any]
reveal_type(flip(operator.sub, 1, 10))  # Any
compose(str, abs)("x")  # error

# ---- dictionary functions --------------------------------------------------------------------
prices = {"tea": 2.5, "bun": 1.0}
reveal_type(merge(prices, {"jam": 3.0}))  # dict[str, float]
reveal_type(merge([prices, prices]))  # dict[str, float]
reveal_type(merge_with(sum, {"a": 1}, {"a": 2}))  # dict[str, int | Literal[0]]
reveal_type(assoc(prices, "jam", 3))  # dict[str, float | int]
reveal_type(keymap(str.upper, prices))  # dict[str, float]
reveal_type(valmap(round, prices))  # dict[str, int]
reveal_type(itemmap(lambda kv: (kv[1], kv[0]), prices))  # dict[float, str]
reveal_type(keyfilter(lambda k: k != "tea", prices))  # dict[str, float]
reveal_type(valfilter(lambda v: v > 2, prices))  # dict[str, float]
reveal_type(get_in(["a", "b"], {"a": {"b": 1}}))  # Any
reveal_type(update_in({"a": 1}, ["a"], lambda v: v + 1))  # dict[Any, Any]
merge(prices, factory=list)  # error

# ---- the fluent iterator ---------------------------------------------------------------------
reveal_type(Iter([1, 2]))  # Iter[int]
reveal_type(Iter([1, 2]).map(str).collect())  # list[str]
reveal_type(Iter(words).filter(None).unique().take(2))  # Iter[str]
reveal_type(Iter(words).sliding_window(2).collect())  # list[tuple[str, ...]]
reveal_type(Iter(words).flat_map(list).frequencies())  # dict[str, int]
reveal_type(Iter([{"a": 1}]).pluck("a").collect())  # list[int]
reveal_type(Iter([1, 2]).interpose("-").collect())  # list[int | str]
reveal_type(Iter([1, 2]).reduce(operator.add))  # int
reveal_type(Iter(words).reduce(lambda acc, w: acc + len(w), 0))  # int
reveal_type(Iter(words).group_by(len))  # dict[int, list[str]]
reveal_type(Iter([("a", 1)]).to_dict())  # dict[str, int]
reveal_type(Iter(words).first())  # Some[str] | NothingType
reveal_type(Iter(words).nth(5).unwrap_or(""))  # str
for item in Iter([1.5]):
    reveal_type(item)  # float
Iter([1, 2]).to_dict()  # error
