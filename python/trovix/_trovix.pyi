"""Type information for the native module: sequence functions, combinators, dictionary functions,
option and result values, and the fluent iterator."""

from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping, MutableMapping, Sequence
from enum import Enum
from types import GenericAlias
from typing import Any, ClassVar, Concatenate, Final, Generic, Literal, NoReturn, ParamSpec, Self, SupportsIndex, TypeVar, final, overload

__all__ = [
    "Some",
    "NothingType",
    "Option",
    "Ok",
    "Err",
    "Result",
    "Nothing",
    "first_opt",
    "last_opt",
    "nth_opt",
    "get_opt",
    "get_in_opt",
    "peek_opt",
    "RustIter",
    "count",
    "first",
    "second",
    "last",
    "nth",
    "get",
    "isdistinct",
    "frequencies",
    "topk",
    "peek",
    "take",
    "drop",
    "take_nth",
    "tail",
    "cons",
    "concat",
    "concatv",
    "interpose",
    "interleave",
    "sliding_window",
    "partition",
    "partition_all",
    "merge_sorted",
    "diff",
    "groupby",
    "countby",
    "reduceby",
    "mapcat",
    "pluck",
    "remove",
    "accumulate",
    "iterate",
    "unique",
    "join",
    "curry",
    "identity",
    "apply",
    "pipe",
    "do",
    "compose",
    "compose_left",
    "complement",
    "juxt",
    "excepts",
    "memoize",
    "thread_first",
    "thread_last",
    "flip",
    "merge",
    "merge_with",
    "assoc",
    "dissoc",
    "assoc_in",
    "update_in",
    "get_in",
    "keymap",
    "valmap",
    "itemmap",
    "keyfilter",
    "valfilter",
    "itemfilter",
    "Iter",
]

_T = TypeVar("_T")
_U = TypeVar("_U")
_V = TypeVar("_V")
_K = TypeVar("_K")
_A = TypeVar("_A")
_B = TypeVar("_B")
_C = TypeVar("_C")
_D = TypeVar("_D")
_E = TypeVar("_E")
_H = TypeVar("_H")
_K2 = TypeVar("_K2")
_V2 = TypeVar("_V2")
_L = TypeVar("_L")
_R = TypeVar("_R")
_T_co = TypeVar("_T_co", covariant=True)
_E_co = TypeVar("_E_co", covariant=True)
_X = TypeVar("_X", bound=BaseException)
_M = TypeVar("_M", bound=MutableMapping[Any, Any])
_OptionT = TypeVar("_OptionT", bound=Some[Any] | NothingType)
_ResultT = TypeVar("_ResultT", bound=Ok[Any] | Err[Any])
_P = ParamSpec("_P")

# A key in the grouping and joining functions: a callable, a list of indices (a tuple of lookups),
# or one index or mapping key.
_KeySpec = Callable[[Any], Any] | list[Any] | Hashable
# The keys that are not callables (so that a lambda key picks the overload that infers its type:
# a lambda is Hashable too, and matching both overloads would make the result dict[Any, Any]).
_IndexKey = list[Any] | str | bytes | int | float | tuple[Any, ...] | frozenset[Any] | SupportsIndex | Enum | None

# ---- option and result values -------------------------------------------------------------------

@final
class Some(Generic[_T_co]):
    """An optional value that is present; `value` holds it."""

    __match_args__: ClassVar[tuple[Literal["value"]]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, value: _T_co) -> Self: ...
    @property
    def value(self) -> _T_co: ...
    def map(self, f: Callable[[_T_co], _U]) -> Some[_U]:
        """Some(f(value))."""
    def and_then(self, f: Callable[[_T_co], _OptionT]) -> _OptionT:
        """f(value), which must be a Some or NothingType."""
    def filter(self, pred: Callable[[_T_co], object]) -> Some[_T_co] | NothingType:
        """This value when pred(value) is true, else Nothing."""
    def unwrap(self) -> _T_co:
        """The value."""
    def unwrap_or(self, default: object) -> _T_co:
        """The value (`default` is not used)."""
    def unwrap_or_else(self, f: Callable[[], object]) -> _T_co:
        """The value (`f` is not called)."""
    def ok_or(self, err: object) -> Ok[_T_co]:
        """Ok(value)."""
    def is_some(self) -> Literal[True]:
        """True."""
    def is_none(self) -> Literal[False]:
        """False."""
    def __bool__(self) -> Literal[True]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[type[Some[Any]], tuple[_T_co]]: ...
    @classmethod
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """The class subscripted for annotations (`Some[int]`), as the built-in generic classes are."""

@final
class NothingType:
    """An optional value that is absent; all instances are equal and falsy."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls) -> Self: ...
    def map(self, f: Callable[[Any], object]) -> NothingType:
        """Nothing (`f` is not called)."""
    def and_then(self, f: Callable[[Any], object]) -> NothingType:
        """Nothing (`f` is not called)."""
    def filter(self, pred: Callable[[Any], object]) -> NothingType:
        """Nothing (`pred` is not called)."""
    def unwrap(self) -> NoReturn:
        """Raises ValueError: there is no value."""
    def unwrap_or(self, default: _T) -> _T:
        """`default`."""
    def unwrap_or_else(self, f: Callable[[], _T]) -> _T:
        """f()."""
    def ok_or(self, err: _E) -> Err[_E]:
        """Err(err)."""
    def is_some(self) -> Literal[False]:
        """False."""
    def is_none(self) -> Literal[True]:
        """True."""
    def __bool__(self) -> Literal[False]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> str | tuple[type[NothingType], tuple[()]]: ...

@final
class Option:
    """Namespace of the optional-value factory `Option.of`."""

    @overload
    @staticmethod
    def of(v: None) -> NothingType: ...
    @overload
    @staticmethod
    def of(v: _T | None) -> Some[_T] | NothingType: ...

@final
class Ok(Generic[_T_co]):
    """A successful result; `value` holds it."""

    __match_args__: ClassVar[tuple[Literal["value"]]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, value: _T_co) -> Self: ...
    @property
    def value(self) -> _T_co: ...
    def map(self, f: Callable[[_T_co], _U]) -> Ok[_U]:
        """Ok(f(value))."""
    def map_err(self, f: Callable[[Any], object]) -> Ok[_T_co]:
        """An equal Ok (`f` is not called)."""
    def and_then(self, f: Callable[[_T_co], _ResultT]) -> _ResultT:
        """f(value), which must be an Ok or Err."""
    def unwrap(self) -> _T_co:
        """The value."""
    def unwrap_or(self, default: object) -> _T_co:
        """The value (`default` is not used)."""
    def ok(self) -> Some[_T_co]:
        """Some(value)."""
    def err(self) -> NothingType:
        """Nothing."""
    def is_ok(self) -> Literal[True]:
        """True."""
    def is_err(self) -> Literal[False]:
        """False."""
    def __bool__(self) -> Literal[True]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[type[Ok[Any]], tuple[_T_co]]: ...
    @classmethod
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """The class subscripted for annotations (`Some[int]`), as the built-in generic classes are."""

@final
class Err(Generic[_E_co]):
    """A failed result; `error` holds the error."""

    __match_args__: ClassVar[tuple[Literal["error"]]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, error: _E_co) -> Self: ...
    @property
    def error(self) -> _E_co: ...
    def map(self, f: Callable[[Any], object]) -> Err[_E_co]:
        """An equal Err (`f` is not called)."""
    def map_err(self, f: Callable[[_E_co], _U]) -> Err[_U]:
        """Err(f(error))."""
    def and_then(self, f: Callable[[Any], object]) -> Err[_E_co]:
        """An equal Err (`f` is not called)."""
    def unwrap(self) -> NoReturn:
        """Raises ValueError naming the error."""
    def unwrap_or(self, default: _T) -> _T:
        """`default`."""
    def ok(self) -> NothingType:
        """Nothing."""
    def err(self) -> Some[_E_co]:
        """Some(error)."""
    def is_ok(self) -> Literal[False]:
        """False."""
    def is_err(self) -> Literal[True]:
        """True."""
    def __bool__(self) -> Literal[False]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[type[Err[Any]], tuple[_E_co]]: ...
    @classmethod
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """The class subscripted for annotations (`Some[int]`), as the built-in generic classes are."""

@final
class Result:
    """Namespace of the result factory `Result.of`."""

    @staticmethod
    def of(f: Callable[[], _T]) -> Ok[_T] | Err[Exception]: ...

Nothing: Final[NothingType]
"""The module's NothingType instance (equal to every other one)."""

# ---- optional-returning accessors ------------------------------------------------------------

def first_opt(seq: Iterable[_T]) -> Some[_T] | NothingType:
    """Some(first element), or Nothing when `seq` is empty."""

def last_opt(seq: Iterable[_T]) -> Some[_T] | NothingType:
    """Some(last element) after consuming `seq`, or Nothing when it is empty."""

def nth_opt(n: SupportsIndex, seq: Iterable[_T]) -> Some[_T] | NothingType:
    """Some(element at position n), or Nothing when `seq` is shorter."""

@overload
def get_opt(ind: _K, coll: Mapping[_K, _V]) -> Some[_V] | NothingType: ...
@overload
def get_opt(ind: SupportsIndex, coll: Sequence[_T]) -> Some[_T] | NothingType: ...
@overload
def get_opt(ind: Any, coll: Any) -> Some[Any] | NothingType:
    """Some(coll[ind]), or Nothing on a KeyError, IndexError or TypeError."""

def get_in_opt(coll: Any, *keys: Any) -> Some[Any] | NothingType:
    """Some(coll[k1][k2]...), or Nothing when a step fails with a lookup error."""

def peek_opt(seq: Iterable[_T]) -> Some[tuple[_T, Iterator[_T]]] | NothingType:
    """Some((first element, iterator over every element)), or Nothing when `seq` is empty."""

@final
class RustIter(Generic[_T_co]):
    """The native iterator that most lazy functions return."""

    def __iter__(self) -> Self: ...
    def __next__(self) -> _T_co: ...

# ---- sequence functions ------------------------------------------------------------------------

def count(seq: Iterable[object]) -> int:
    """The number of elements: len(seq) when it has one, else by iterating."""

def first(seq: Iterable[_T]) -> _T:
    """The first element; StopIteration when `seq` is empty."""

def second(seq: Iterable[_T]) -> _T:
    """The second element; StopIteration when `seq` has fewer."""

def last(seq: Iterable[_T]) -> _T:
    """The last element; IndexError when `seq` is empty."""

def nth(n: SupportsIndex, seq: Iterable[_T]) -> _T:
    """The element at position n (any index the sequence accepts for sequences)."""

@overload
def get(ind: list[Any], coll: Any) -> tuple[Any, ...]: ...
@overload
def get(ind: list[Any], coll: Any, default: Any, /) -> tuple[Any, ...]: ...
@overload
def get(ind: _K, coll: Mapping[_K, _V]) -> _V: ...
@overload
def get(ind: _K, coll: Mapping[_K, _V], default: _D, /) -> _V | _D: ...
@overload
def get(ind: SupportsIndex, coll: Sequence[_T]) -> _T: ...
@overload
def get(ind: SupportsIndex, coll: Sequence[_T], default: _D, /) -> _T | _D: ...
@overload
def get(ind: Any, coll: Any, *rest: Any) -> Any:
    """coll[ind], a tuple of lookups when `ind` is a list, or the default on a lookup error."""

def isdistinct(seq: Iterable[object]) -> bool:
    """Whether all elements are distinct; stops at the first repeat."""

def frequencies(seq: Iterable[_T]) -> dict[_T, int]:
    """How often each distinct element occurs, in first-occurrence order."""

def topk(k: SupportsIndex, seq: Iterable[_T], key: _KeySpec | None = None) -> tuple[_T, ...]:
    """The k largest elements (by key when given), largest first; ties keep input order."""

def peek(seq: Iterable[_T]) -> tuple[_T, Iterator[_T]]:
    """(first element, iterator over every element); StopIteration when `seq` is empty."""

def take(n: SupportsIndex | None, seq: Iterable[_T]) -> Iterator[_T]:
    """The first n elements, lazily."""

def drop(n: SupportsIndex | None, seq: Iterable[_T]) -> Iterator[_T]:
    """Every element after the first n, lazily."""

def take_nth(n: SupportsIndex | None, seq: Iterable[_T]) -> Iterator[_T]:
    """Every n-th element, starting with the first, lazily."""

@overload
def tail(n: SupportsIndex, seq: list[_T]) -> list[_T]: ...
@overload
def tail(n: SupportsIndex, seq: str) -> str: ...
@overload
def tail(n: SupportsIndex, seq: Iterable[_T]) -> Sequence[_T]:
    """The last n elements: the container's own slice, or a tuple."""

def cons(el: _U, seq: Iterable[_T]) -> Iterator[_U | _T]:
    """`el` followed by the elements of `seq`, lazily."""

def concat(seqs: Iterable[Iterable[_T]]) -> Iterator[_T]:
    """The elements of each iterable in turn, lazily."""

def concatv(*seqs: Iterable[_T]) -> Iterator[_T]:
    """The elements of each argument in turn, lazily."""

def interpose(el: _U, seq: Iterable[_T]) -> Iterator[_T | _U]:
    """The elements of `seq` with `el` between each two; StopIteration when `seq` is empty."""

def interleave(seqs: Iterable[Iterable[_T]]) -> Iterator[_T]:
    """One element of each iterable in turn, skipping exhausted ones."""

def sliding_window(n: SupportsIndex, seq: Iterable[_T]) -> Iterator[tuple[_T, ...]]:
    """Every run of n consecutive elements, as tuples."""

@overload
def partition(n: SupportsIndex, seq: Iterable[_T]) -> Iterator[tuple[_T, ...]]: ...
@overload
def partition(n: SupportsIndex, seq: Iterable[_T], pad: _U, /) -> Iterator[tuple[_T | _U, ...]]:
    """Tuples of n elements; an incomplete last one is padded, or dropped without a pad."""

def partition_all(n: SupportsIndex, seq: Iterable[_T]) -> Iterator[tuple[_T, ...]]:
    """Tuples of n elements; the last one may be shorter."""

def merge_sorted(*seqs: Iterable[_T], key: Callable[[_T], Any] | None = None) -> Iterator[_T]:
    """The elements of sorted iterables merged into one sorted stream."""

@overload
def diff(
    *seqs: Iterable[_T], default: _D, key: Callable[[_T | _D], Any] | None = None, **kwargs: Any
) -> Iterator[tuple[_T | _D, ...]]: ...
@overload
def diff(*seqs: Iterable[_T], key: Callable[[_T], Any] | None = None, **kwargs: Any) -> Iterator[tuple[_T, ...]]:
    """The rows of elements at equal positions that are not all equal (by key when given)."""

@overload
def groupby(key: Callable[[_T], _K], seq: Iterable[_T]) -> dict[_K, list[_T]]: ...
@overload
def groupby(key: _IndexKey, seq: Iterable[_T]) -> dict[Any, list[_T]]:
    """The elements grouped into lists by key, keys in first-occurrence order."""

@overload
def countby(key: Callable[[_T], _K], seq: Iterable[_T]) -> dict[_K, int]: ...
@overload
def countby(key: _IndexKey, seq: Iterable[object]) -> dict[Any, int]:
    """How many elements have each key, keys in first-occurrence order."""

@overload
def reduceby(key: Callable[[_T], _K], binop: Callable[[_T, _T], _T], seq: Iterable[_T]) -> dict[_K, _T]: ...
@overload
def reduceby(
    key: Callable[[_T], _K], binop: Callable[[_A, _T], _A], seq: Iterable[_T], init: Callable[[], _A], /
) -> dict[_K, _A]: ...
@overload
def reduceby(key: Callable[[_T], _K], binop: Callable[[_A, _T], _A], seq: Iterable[_T], init: _A, /) -> dict[_K, _A]: ...
@overload
def reduceby(key: _IndexKey, binop: Callable[[Any, Any], Any], seq: Iterable[Any], *rest: Any) -> dict[Any, Any]:
    """The elements of each key reduced with `binop`, from `init` (called when callable) if given."""

def mapcat(func: Callable[[_T], Iterable[_U]], seqs: Iterable[_T]) -> Iterator[_U]:
    """The elements of func(x) for each x in turn, lazily."""

@overload
def pluck(ind: list[Any], seqs: Iterable[Any], *rest: Any) -> Iterator[tuple[Any, ...]]: ...
@overload
def pluck(ind: _K, seqs: Iterable[Mapping[_K, _V]]) -> Iterator[_V]: ...
@overload
def pluck(ind: SupportsIndex, seqs: Iterable[Sequence[_T]]) -> Iterator[_T]: ...
@overload
def pluck(ind: Any, seqs: Iterable[Any], *rest: Any) -> Iterator[Any]:
    """x[ind] for each element x (a tuple of lookups when `ind` is a list), with an optional default."""

def remove(predicate: Callable[[_T], object], seq: Iterable[_T]) -> Iterator[_T]:
    """The elements for which `predicate` is false, lazily."""

@overload
def accumulate(binop: Callable[[_T, _T], _T], seq: Iterable[_T]) -> Iterator[_T]: ...
@overload
def accumulate(binop: Callable[[_A, _T], _A], seq: Iterable[_T], initial: _A, /) -> Iterator[_A]:
    """The running totals of `binop`, starting with `initial` when given."""

def iterate(func: Callable[[_T], _T], x: _T) -> Iterator[_T]:
    """x, func(x), func(func(x)), ... without end."""

def unique(seq: Iterable[_T], key: Callable[[_T], Hashable] | None = None) -> Iterator[_T]:
    """The elements whose value (or key) was not seen before, lazily."""

@overload
def join(
    leftkey: _KeySpec,
    leftseq: Iterable[_L],
    rightkey: _KeySpec,
    rightseq: Iterable[_R],
    left_default: None = None,
    right_default: None = None,
) -> Iterator[tuple[_L, _R]]: ...
@overload
def join(
    leftkey: _KeySpec,
    leftseq: Iterable[_L],
    rightkey: _KeySpec,
    rightseq: Iterable[_R],
    left_default: _A | None = None,
    right_default: _B | None = None,
) -> Iterator[tuple[_L | _A, _R | _B]]:
    """Pairs (left, right) with equal keys; defaults stand in for unmatched sides (outer joins)."""

# ---- function combinators ----------------------------------------------------------------------

@final
class curry(Generic[_R]):
    """`func` with some arguments given: calls it once the arguments are complete, else a new curry."""

    def __new__(cls, func: Callable[..., _R], *args: Any, **kwargs: Any) -> Self: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...

def identity(x: _T) -> _T:
    """`x` itself."""

def apply(func: Callable[_P, _R], *args: _P.args, **kwargs: _P.kwargs) -> _R:
    """func(*args, **kwargs)."""

@overload
def pipe(data: _T) -> _T: ...
@overload
def pipe(data: _T, f1: Callable[[_T], _A], /) -> _A: ...
@overload
def pipe(data: _T, f1: Callable[[_T], _A], f2: Callable[[_A], _B], /) -> _B: ...
@overload
def pipe(data: _T, f1: Callable[[_T], _A], f2: Callable[[_A], _B], f3: Callable[[_B], _C], /) -> _C: ...
@overload
def pipe(
    data: _T, f1: Callable[[_T], _A], f2: Callable[[_A], _B], f3: Callable[[_B], _C], f4: Callable[[_C], _D], /
) -> _D: ...
@overload
def pipe(data: Any, *funcs: Callable[[Any], Any]) -> Any:
    """`data` passed through each function in turn."""

def do(func: Callable[[_T], object], x: _T) -> _T:
    """Calls func(x) for its effect and returns `x`."""

@overload
def compose() -> Callable[[_T], _T]: ...
@overload
def compose(f1: Callable[_P, _R], /) -> Callable[_P, _R]: ...
@overload
def compose(f1: Callable[[_A], _R], f2: Callable[_P, _A], /) -> Callable[_P, _R]: ...
@overload
def compose(f1: Callable[[_B], _R], f2: Callable[[_A], _B], f3: Callable[_P, _A], /) -> Callable[_P, _R]: ...
@overload
def compose(*funcs: Callable[..., Any]) -> Callable[..., Any]:
    """The composition of the functions, applied right to left."""

@overload
def compose_left() -> Callable[[_T], _T]: ...
@overload
def compose_left(f1: Callable[_P, _R], /) -> Callable[_P, _R]: ...
@overload
def compose_left(f1: Callable[_P, _A], f2: Callable[[_A], _R], /) -> Callable[_P, _R]: ...
@overload
def compose_left(f1: Callable[_P, _A], f2: Callable[[_A], _B], f3: Callable[[_B], _R], /) -> Callable[_P, _R]: ...
@overload
def compose_left(*funcs: Callable[..., Any]) -> Callable[..., Any]:
    """The composition of the functions, applied left to right."""

def complement(func: Callable[_P, object]) -> Callable[_P, bool]:
    """A function returning the negated truth value of func's result."""

@overload
def juxt(funcs: Iterable[Callable[_P, _R]], /) -> Callable[_P, tuple[_R, ...]]: ...
@overload
def juxt(*funcs: Callable[_P, _R]) -> Callable[_P, tuple[_R, ...]]:
    """A function returning the tuple of every function's result for the same arguments."""

@overload
def excepts(exc: type[_X], func: Callable[_P, _R], handler: Callable[[_X], _H]) -> Callable[_P, _R | _H]: ...
@overload
def excepts(
    exc: tuple[type[BaseException], ...], func: Callable[_P, _R], handler: Callable[[Any], _H]
) -> Callable[_P, _R | _H]: ...
@overload
def excepts(
    exc: type[BaseException] | tuple[type[BaseException], ...], func: Callable[_P, _R], handler: None = None
) -> Callable[_P, _R | None]:
    """`func`, with the matching exceptions turned into handler(exc), or None without a handler."""

def memoize(
    func: Callable[_P, _R],
    cache: dict[Any, Any] | None = None,
    key: Callable[[tuple[Any, ...], dict[str, Any] | None], Hashable] | None = None,
) -> Callable[_P, _R]:
    """`func` with its results kept in `cache`, keyed by the arguments (or by key(args, kwargs))."""

@overload
def thread_first(val: _T) -> _T: ...
@overload
def thread_first(val: _T, f1: Callable[[_T], _A], /) -> _A: ...
@overload
def thread_first(val: Any, *forms: Callable[[Any], Any] | tuple[Any, ...]) -> Any:
    """`val` threaded through the forms; a tuple form (f, *extra) calls f(val, *extra)."""

@overload
def thread_last(val: _T) -> _T: ...
@overload
def thread_last(val: _T, f1: Callable[[_T], _A], /) -> _A: ...
@overload
def thread_last(val: Any, *forms: Callable[[Any], Any] | tuple[Any, ...]) -> Any:
    """`val` threaded through the forms; a tuple form (f, *extra) calls f(*extra, val)."""

flip: Final[curry[Any]]
"""flip(func, a, b) calls func(b, a); a curry, so flip(func) and flip(func, a) wait for the rest."""

# ---- dictionary functions ---------------------------------------------------------------------

@overload
def merge(dicts: Iterable[Mapping[_K, _V]], /) -> dict[_K, _V]: ...
@overload
def merge(*dicts: Mapping[_K, _V], factory: None = None) -> dict[_K, _V]: ...
@overload
def merge(*dicts: Mapping[Any, Any], factory: Callable[[], _M]) -> _M:
    """A new mapping with the items of every mapping; later ones win."""

@overload
def merge_with(func: Callable[[list[_V]], _R], dicts: Iterable[Mapping[_K, _V]], /) -> dict[_K, _R]: ...
@overload
def merge_with(func: Callable[[list[_V]], _R], *dicts: Mapping[_K, _V], factory: None = None) -> dict[_K, _R]: ...
@overload
def merge_with(func: Callable[[list[Any]], Any], *dicts: Mapping[Any, Any], factory: Callable[[], _M]) -> _M:
    """A new mapping of func(list of each key's values) over all the mappings."""

@overload
def assoc(d: Mapping[_K, _V], key: _K2, value: _V2, factory: None = None) -> dict[_K | _K2, _V | _V2]: ...
@overload
def assoc(d: Mapping[Any, Any], key: Any, value: Any, factory: Callable[[], _M]) -> _M:
    """A copy of `d` with d[key] = value."""

@overload
def dissoc(d: Mapping[_K, _V], *keys: object, factory: None = None) -> dict[_K, _V]: ...
@overload
def dissoc(d: Mapping[Any, Any], *keys: object, factory: Callable[[], _M]) -> _M:
    """A copy of `d` without the given keys."""

@overload
def assoc_in(d: object, keys: Iterable[Any], value: Any, factory: None = None) -> dict[Any, Any]: ...
@overload
def assoc_in(d: object, keys: Iterable[Any], value: Any, factory: Callable[[], _M]) -> _M:
    """A copy of the nested mapping `d` with the value at the path `keys` replaced."""

@overload
def update_in(
    d: object, keys: Iterable[Any], func: Callable[[Any], Any], default: Any = None, factory: None = None
) -> dict[Any, Any]: ...
@overload
def update_in(d: object, keys: Iterable[Any], func: Callable[[Any], Any], default: Any, factory: Callable[[], _M]) -> _M: ...
@overload
def update_in(
    d: object, keys: Iterable[Any], func: Callable[[Any], Any], default: Any = None, *, factory: Callable[[], _M]
) -> _M:
    """A copy of the nested mapping `d` with func applied to the value at the path `keys`."""

def get_in(keys: Iterable[Any], coll: Any, default: Any = None, no_default: bool = False) -> Any:
    """coll[k1][k2]... along the path, or `default` on a lookup error (raised with no_default)."""

@overload
def keymap(func: Callable[[_K], _K2], d: Mapping[_K, _V], factory: None = None) -> dict[_K2, _V]: ...
@overload
def keymap(func: Callable[[_K], Any], d: Mapping[_K, Any], factory: Callable[[], _M]) -> _M:
    """A new mapping with func applied to every key."""

@overload
def valmap(func: Callable[[_V], _V2], d: Mapping[_K, _V], factory: None = None) -> dict[_K, _V2]: ...
@overload
def valmap(func: Callable[[_V], Any], d: Mapping[Any, _V], factory: Callable[[], _M]) -> _M:
    """A new mapping with func applied to every value."""

@overload
def itemmap(
    func: Callable[[tuple[_K, _V]], tuple[_K2, _V2]], d: Mapping[_K, _V], factory: None = None
) -> dict[_K2, _V2]: ...
@overload
def itemmap(func: Callable[[tuple[_K, _V]], Iterable[Any]], d: Mapping[_K, _V], factory: Callable[[], _M]) -> _M:
    """A new mapping of the pairs func((key, value))."""

@overload
def keyfilter(predicate: Callable[[_K], object], d: Mapping[_K, _V], factory: None = None) -> dict[_K, _V]: ...
@overload
def keyfilter(predicate: Callable[[_K], object], d: Mapping[_K, Any], factory: Callable[[], _M]) -> _M:
    """A new mapping with the items whose key passes `predicate`."""

@overload
def valfilter(predicate: Callable[[_V], object], d: Mapping[_K, _V], factory: None = None) -> dict[_K, _V]: ...
@overload
def valfilter(predicate: Callable[[_V], object], d: Mapping[Any, _V], factory: Callable[[], _M]) -> _M:
    """A new mapping with the items whose value passes `predicate`."""

@overload
def itemfilter(predicate: Callable[[tuple[_K, _V]], object], d: Mapping[_K, _V], factory: None = None) -> dict[_K, _V]: ...
@overload
def itemfilter(predicate: Callable[[tuple[_K, _V]], object], d: Mapping[_K, _V], factory: Callable[[], _M]) -> _M:
    """A new mapping with the items whose (key, value) pair passes `predicate`."""

# ---- fluent iterator ---------------------------------------------------------------------------

@final
class Iter(Generic[_T_co]):
    """A chainable wrapper: lazy methods return a new Iter, the others a plain value."""

    def __new__(cls, inner: Iterable[_T_co]) -> Self: ...
    def __iter__(self) -> Iterator[_T_co]: ...
    def map(self, f: Callable[[_T_co], _U]) -> Iter[_U]:
        """f(x) for each element, lazily."""
    def filter(self, f: Callable[[_T_co], object] | None) -> Iter[_T_co]:
        """The elements for which f(x) is true (or that are true, with None), lazily."""
    def unique(self, key: Callable[[_T_co], Hashable] | None = None) -> Iter[_T_co]:
        """The elements whose value (or key) was not seen before, lazily."""
    def take(self, n: SupportsIndex) -> Iter[_T_co]:
        """The first n elements, lazily."""
    def drop(self, n: SupportsIndex) -> Iter[_T_co]:
        """Every element after the first n, lazily."""
    def sliding_window(self, n: SupportsIndex) -> Iter[tuple[_T_co, ...]]:
        """Every run of n consecutive elements as a tuple, lazily."""
    def partition_all(self, n: SupportsIndex) -> Iter[tuple[_T_co, ...]]:
        """Tuples of n elements, the last one possibly shorter, lazily."""
    def flat_map(self, f: Callable[[_T_co], Iterable[_U]]) -> Iter[_U]:
        """The elements of f(x) for each element in turn, lazily."""
    @overload
    def pluck(self, ind: list[Any]) -> Iter[tuple[Any, ...]]: ...
    @overload
    def pluck(self: Iter[Mapping[_K, _V]], ind: _K) -> Iter[_V]: ...
    @overload
    def pluck(self: Iter[Sequence[_U]], ind: SupportsIndex) -> Iter[_U]: ...
    @overload
    def pluck(self, ind: Any) -> Iter[Any]:
        """x[ind] for each element (a tuple of lookups when `ind` is a list), lazily."""
    def interpose(self, el: _U) -> Iter[_T_co | _U]:
        """The elements with `el` between every two, lazily."""
    def accumulate(self, binop: Callable[[_T_co, _T_co], _T_co]) -> Iter[_T_co]:
        """The running totals of binop, lazily."""
    def collect(self) -> list[_T_co]:
        """A list of the elements."""
    @overload
    def reduce(self, binop: Callable[[_T_co, _T_co], _T_co]) -> _T_co: ...
    @overload
    def reduce(self, binop: Callable[[_A, _T_co], _A], initial: _A, /) -> _A:
        """functools.reduce(binop, elements[, initial])."""
    def count(self) -> int:
        """The number of elements."""
    def frequencies(self) -> dict[_T_co, int]:
        """How often each distinct element occurs."""
    @overload
    def group_by(self, key: Callable[[_T_co], _K]) -> dict[_K, list[_T_co]]: ...
    @overload
    def group_by(self, key: _IndexKey) -> dict[Any, list[_T_co]]:
        """The elements grouped into lists by key."""
    def to_dict(self: Iter[tuple[_K, _V]]) -> dict[_K, _V]:
        """dict() of the (key, value) elements."""
    def first(self) -> Some[_T_co] | NothingType:
        """Some(first element), or Nothing."""
    def last(self) -> Some[_T_co] | NothingType:
        """Some(last element), or Nothing."""
    @classmethod
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """The class subscripted for annotations (`Some[int]`), as the built-in generic classes are."""
    def nth(self, i: SupportsIndex) -> Some[_T_co] | NothingType:
        """Some(element at position i), or Nothing."""
