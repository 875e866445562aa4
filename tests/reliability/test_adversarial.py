"""Hostile inputs against every registered callable.

`CASES` is a table: one `Case` per callable and call shape, giving how to call it with built
arguments, the hypothesis strategy of each argument's recipe (tests/reliability/hostile.py) and,
where there is one, a plain-Python model. For each case and each drawn set of recipes:

- the operation must not crash, hang or raise an internal fault (PanicException, SystemError);
- an exception raised by a hostile object that reaches the caller must be that very object;
- with a model, the operation and the model (each on freshly built arguments) must give the same
  normalised outcome: equal results, or the same exception type and message. Lazy results are
  consumed (up to a limit) with a re-entry hook that calls next() on the iterator being consumed,
  and must stay safe to call after they raised.

Adding a function is one line in the table.
"""

import copy
import dataclasses
import math
from typing import Callable

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T
from reliability import hostile as H
from reliability import models as M

LAZY_LIMIT = 40


@dataclasses.dataclass(frozen=True)
class Case:
    name: str
    call: Callable  # call(ns, *args): ns is the trovix module or the models module
    shapes: tuple  # one recipe strategy per argument
    model: bool = True  # whether call(M, ...) is a faithful model of call(T, ...)
    lazy: bool = False  # the result is an iterator to consume
    messages: bool = True  # compare exception messages too, not only types
    target: str = ""  # the registered name the case exercises (default: the name's first word)
    reenter: bool = True  # let callbacks re-enter the lazy result (see STDLIB below)

    def __str__(self):
        return self.name


def case(name, call, *shapes, **kw):
    return Case(name, call, tuple(shapes), **kw)


# ---- argument shapes -------------------------------------------------------------------------

OBJ = H.objects
FN = H.callbacks()
OPT_FN = H.callbacks(result=st.one_of(st.none(), H.option_values(), H.objects))

# ---- the table ---------------------------------------------------------------------------------

OPTION_CLASSES = {"Some": OBJ, "Ok": OBJ, "Err": OBJ, "NothingType": None}

# method -> shape of its one argument (None: no argument)
OPTION_METHODS = {
    "Some": {"map": FN, "and_then": OPT_FN, "filter": FN, "unwrap": None, "unwrap_or": OBJ,
             "unwrap_or_else": FN, "ok_or": OBJ, "is_some": None, "is_none": None, "__reduce__": None},
    "NothingType": {"map": FN, "and_then": OPT_FN, "filter": FN, "unwrap": None, "unwrap_or": OBJ,
                    "unwrap_or_else": FN, "ok_or": OBJ, "is_some": None, "is_none": None,
                    "__reduce__": None},
    "Ok": {"map": FN, "map_err": FN, "and_then": OPT_FN, "unwrap": None, "unwrap_or": OBJ,
           "ok": None, "err": None, "is_ok": None, "is_err": None, "__reduce__": None},
    "Err": {"map": FN, "map_err": FN, "and_then": OPT_FN, "unwrap": None, "unwrap_or": OBJ,
            "ok": None, "err": None, "is_ok": None, "is_err": None, "__reduce__": None},
}


def _new(ns, cls, payload=None):
    return getattr(ns, cls)() if cls == "NothingType" else getattr(ns, cls)(payload)


def _option_cases():
    out = []
    for cls, payload in OPTION_CLASSES.items():
        pshapes = () if payload is None else (payload,)
        out.append(case(f"{cls}()", lambda ns, *a, c=cls: _new(ns, c, *a), *pshapes))
        out.append(case(f"repr({cls})", lambda ns, *a, c=cls: repr(_new(ns, c, *a)), *pshapes, target=cls))
        out.append(case(f"bool({cls})", lambda ns, *a, c=cls: bool(_new(ns, c, *a)), *pshapes, target=cls))
        for other in OPTION_CLASSES:
            oshapes = () if OPTION_CLASSES[other] is None else (OBJ,)
            n = len(pshapes)
            out.append(case(
                f"{cls} == {other}",
                lambda ns, *a, c=cls, o=other, n=n: _new(ns, c, *a[:n]) == _new(ns, o, *a[n:]),
                *pshapes, *oshapes))
            out.append(case(
                f"{cls} != {other}",
                lambda ns, *a, c=cls, o=other, n=n: _new(ns, c, *a[:n]) != _new(ns, o, *a[n:]),
                *pshapes, *oshapes))
        out.append(case(f"{cls} == object", lambda ns, *a, c=cls: _new(ns, c, *a[:-1]) == a[-1], *pshapes, OBJ))
        out.append(case(f"object == {cls}", lambda ns, *a, c=cls: a[0] == _new(ns, c, *a[1:]), OBJ, *pshapes,
                        target=cls))
        out.append(case(f"{cls} != object", lambda ns, *a, c=cls: _new(ns, c, *a[:-1]) != a[-1], *pshapes, OBJ))
        for meth, arg in OPTION_METHODS[cls].items():
            ashapes = () if arg is None else (arg,)
            n = len(pshapes)
            out.append(case(
                f"{cls}.{meth}",
                lambda ns, *a, c=cls, m=meth, n=n: getattr(_new(ns, c, *a[:n]), m)(*a[n:]),
                *pshapes, *ashapes))
    out += [
        case("Option.of", lambda ns, v: ns.Option.of(v), OBJ),
        case("Result.of", lambda ns, f: ns.Result.of(f), FN),
        case("Some(value=)", lambda ns, v: ns.Some(value=v), OBJ),
        case("Err(error=)", lambda ns, v: ns.Err(error=v), OBJ),
        # Copies go through __reduce__ and then the payload's own copy protocol.
        *(case(f"copy.{how}({cls})", lambda ns, v, c=cls, h=how: getattr(copy, h)(getattr(ns, c)(v)), OBJ,
               model=False, target=cls)
          for cls in ("Some", "Ok", "Err") for how in ("copy", "deepcopy")),
    ]
    return out


def fn(name, *shapes, **kw):
    """A module function called positionally with one argument per shape."""
    return case(name, lambda ns, *a, _n=name: getattr(ns, _n)(*a), *shapes, **kw)


def lazy(name, *shapes, **kw):
    return fn(name, *shapes, lazy=True, **kw)


def stdlib(name, *shapes, **kw):
    """A function that returns the interpreter's own itertools object. Re-entry is not exercised:
    itertools.chain itself leaks its current iterator when re-entered (CPython 3.14), which is not
    this module's to fix."""
    return fn(name, *shapes, lazy=True, reenter=False, **kw)


ITER = H.iterables()
ROWS = H.iterables(elements=H.rows())
BUF = H.int_buffers()
SEQ = st.one_of(ITER, BUF)
N = H.sizes
IDX = H.indices
KEY = H.keys
BINOP = H.callbacks()

# Cases whose conversions of integer arguments raise the interpreter's own messages compare
# exception types only (messages=False).
SEQUENCE_CASES = [
    fn("first", SEQ),
    fn("second", SEQ),
    fn("last", SEQ),
    fn("nth", IDX, SEQ, messages=False),
    fn("get", OBJ, ROWS),
    fn("get", IDX, H.rows()),
    fn("get", st.lists(IDX, max_size=3).map(lambda r: ("list", tuple(r))), H.rows(), OBJ),
    fn("get", IDX, H.rows(), OBJ),
    # a key list that the container's __getitem__ mutates during the walk
    fn("get", st.lists(IDX, max_size=4).map(lambda r: ("mut", tuple(r))),
       H.hostile(methods=("__getitem__", "__repr__")), OBJ),
    case("peek", lambda ns, s: (lambda r: (r[0], list(r[1])))(ns.peek(s)), SEQ),
    fn("count", SEQ),
    fn("tail", N, SEQ, messages=False),
    stdlib("take", N, SEQ),
    stdlib("drop", N, SEQ),
    stdlib("take_nth", N, SEQ),
    stdlib("cons", OBJ, ITER),
    stdlib("concat", H.nested),
    stdlib("concatv", ITER, ITER, ITER),
    stdlib("mapcat", FN, H.nested),
    lazy("interleave", H.nested),
    lazy("iterate", FN, OBJ),
    lazy("accumulate", BINOP, SEQ),
    lazy("accumulate", BINOP, ITER, OBJ),
    lazy("remove", FN, SEQ),
    lazy("partition", N, SEQ, messages=False),
    lazy("partition", N, ITER, OBJ, messages=False),
    lazy("partition_all", N, SEQ, messages=False),
    lazy("unique", SEQ),
    case("unique", lambda ns, s, k: ns.unique(s, key=k), SEQ, FN, lazy=True),
    fn("isdistinct", SEQ),
    fn("frequencies", SEQ),
    fn("groupby", KEY, ROWS),
    fn("countby", KEY, ROWS),
    fn("reduceby", KEY, BINOP, ROWS),
    fn("reduceby", KEY, BINOP, ROWS, st.one_of(OBJ, FN)),
    lazy("sliding_window", N, SEQ, messages=False),
    lazy("interpose", OBJ, SEQ),
    lazy("pluck", IDX, ROWS),
    lazy("pluck", IDX, ROWS, OBJ),
    lazy("pluck", st.lists(IDX, max_size=3).map(lambda r: ("list", tuple(r))), ROWS),
    # a key list that the rows' __getitem__ mutates during the walk
    lazy("pluck", st.lists(IDX, max_size=4).map(lambda r: ("mut", tuple(r))),
         H.iterables(elements=H.hostile(methods=("__getitem__", "__repr__"))), OBJ),
    lazy("pluck", IDX, ROWS, OBJ, OBJ),
    lazy("merge_sorted", ITER, ITER),
    case("merge_sorted", lambda ns, a, b, k: ns.merge_sorted(a, b, key=k), ITER, ITER, FN, lazy=True),
    lazy("join", KEY, ROWS, KEY, ROWS),
    lazy("join", KEY, ROWS, KEY, ROWS, OBJ, OBJ),
    lazy("diff", ITER, ITER),
    lazy("diff", H.nested),
    case("diff", lambda ns, a, b, c, d: ns.diff(a, b, c, default=d, other=d), ITER, ITER, ITER, OBJ, lazy=True),
    case("diff", lambda ns, a, b, k: ns.diff(a, b, key=k), ITER, ITER, FN, lazy=True),
    case("diff", lambda ns, a, b, d, k: ns.diff([a, b], default=d, key=k), ITER, ITER, OBJ, FN, lazy=True),
]

ACCESSOR_CASES = [
    fn("first_opt", SEQ),
    fn("last_opt", SEQ),
    fn("nth_opt", IDX, SEQ, messages=False),
    fn("get_opt", IDX, H.rows()),
    fn("get_opt", OBJ, ROWS),
    case("get_in_opt", lambda ns, c, *ks: ns.get_in_opt(c, *ks), ROWS, IDX, IDX),
    case("get_in_opt", lambda ns, c, k: ns.get_in_opt(c, k), H.rows(), OBJ),
    case("peek_opt", lambda ns, s: ns.peek_opt(s).map(lambda p: (p[0], list(p[1]))), SEQ),
    fn("topk", N, SEQ, messages=False),
    fn("topk", N, st.lists(st.one_of(st.integers(-3, 3), st.sampled_from([2**70, 0.5, -0.0, "a", "b", True]))
                            .map(lambda v: ("v", v)), max_size=8).map(lambda e: ("list", tuple(e))), messages=False),
    case("topk", lambda ns, k, s, key: ns.topk(k, s, key=key), N, ROWS, KEY, messages=False),
]


def method(meth, *shapes, source=SEQ, lazy=False, **kw):
    """An Iter method called on Iter(source); a chaining method's result is iterated."""
    if lazy:
        call = lambda ns, s, *a, _m=meth: iter(getattr(ns.Iter(s), _m)(*a))  # noqa: E731
    else:
        call = lambda ns, s, *a, _m=meth: getattr(ns.Iter(s), _m)(*a)  # noqa: E731
    return case(f"Iter.{meth}", call, source, *shapes, lazy=lazy, target="Iter", **kw)


ITER_CASES = [
    case("iter(Iter)", lambda ns, s: iter(ns.Iter(s)), st.one_of(SEQ, OBJ), lazy=True, target="Iter",
         reenter=False),
    method("map", FN, lazy=True, reenter=False),
    method("filter", FN, lazy=True, reenter=False),
    method("unique", lazy=True),
    method("unique", FN, lazy=True),
    method("take", N, lazy=True, reenter=False, messages=False),
    method("drop", N, lazy=True, reenter=False, messages=False),
    method("sliding_window", N, lazy=True, messages=False),
    method("partition_all", N, lazy=True, messages=False),
    method("flat_map", FN, source=H.nested, lazy=True, reenter=False),
    method("pluck", IDX, source=ROWS, lazy=True),
    method("interpose", OBJ, lazy=True),
    method("accumulate", BINOP, lazy=True),
    method("collect"),
    method("reduce", BINOP),
    method("reduce", BINOP, OBJ),
    method("count"),
    method("frequencies"),
    method("group_by", KEY, source=ROWS),
    method("to_dict", source=ROWS),
    method("first"),
    method("last"),
    method("nth", IDX, messages=False),
]

EXC = st.sampled_from([H.Boom, H.Halt, Exception, TypeError, (H.Boom, H.Halt), (ValueError,)]).map(lambda v: ("v", v))
FORM = st.one_of(FN, st.lists(OBJ, max_size=2).flatmap(
    lambda extra: st.tuples(FN).map(lambda f: ("tuple", (f[0], *extra)))), st.just(("tuple", ())))


def _two(a, b):
    return (a, b)


COMBINATOR_CASES = [
    case("curry", lambda ns, f, x, y: ns.curry(f, x)(y), FN, OBJ, OBJ),
    case("curry", lambda ns, f, x: ns.curry(f, k=x)(x, k=x), FN, OBJ),
    case("curry", lambda ns, x, y: ns.curry(_two)(x)(y), OBJ, OBJ),
    case("curry", lambda ns, x, y: ns.curry(_two, b=y)(x, y), OBJ, OBJ),
    fn("identity", OBJ),
    fn("apply", FN, OBJ, OBJ),
    case("apply", lambda ns, f, x: ns.apply(f, x, key=x), FN, OBJ),
    fn("pipe", OBJ, FN, FN),
    fn("do", FN, OBJ),
    case("compose", lambda ns, f, g, x: ns.compose(f, g)(x), FN, FN, OBJ),
    case("compose", lambda ns, x: ns.compose()(x), OBJ),
    case("compose_left", lambda ns, f, g, x: ns.compose_left(f, g)(x, k=x), FN, FN, OBJ),
    case("complement", lambda ns, f, x: ns.complement(f)(x), FN, OBJ),
    case("juxt", lambda ns, f, g, x: ns.juxt(f, g)(x), FN, FN, OBJ),
    case("juxt", lambda ns, fs, x: ns.juxt(fs)(x), H.iterables(elements=FN, max_size=3), OBJ),
    case("excepts", lambda ns, e, f, x: ns.excepts(e, f)(x), EXC, FN, OBJ),
    case("excepts", lambda ns, e, f, h, x: ns.excepts(e, f, h)(x), EXC, FN, FN, OBJ),
    case("memoize", lambda ns, f, x, y: (lambda m: (m(x), m(y), m(x)))(ns.memoize(f)), FN, OBJ, OBJ),
    case("memoize", lambda ns, f, x, y: (lambda m: (m(x, k=y), m(x, k=y)))(ns.memoize(f)), FN, OBJ, OBJ),
    case("memoize", lambda ns, x, y: (lambda m: (m(x), m(y), m(x)))(ns.memoize(ns.identity)), OBJ, OBJ),
    case("memoize", lambda ns, f, k, x: (lambda m: (m(x), m(x)))(ns.memoize(f, key=k)), FN, FN, OBJ),
    fn("thread_first", OBJ, FORM, FORM),
    fn("thread_last", OBJ, FORM, FORM),
    case("flip", lambda ns, f, a, b: ns.flip(f)(a)(b), FN, OBJ, OBJ),
]

MAP = H.mappings()
NESTED_MAP = st.one_of(H.nested_mappings, H.nested_mappings, H.plain)
MAPS = H.iterables(elements=st.one_of(MAP, MAP, H.plain), max_size=3)
PATH = H.paths
MAP_KEY = st.one_of(H.mapping_keys, H.mapping_keys, H.hostile(methods=("__hash__", "__eq__")))
FACTORY = H.callbacks(result=st.one_of(st.just(("dict", ())), st.just(("dict", ())), H.plain))
PAIR_FN = H.callbacks(result=st.one_of(
    st.none(), st.tuples(MAP_KEY, OBJ).map(lambda p: ("tuple", p)),
    st.lists(H.mapping_keys, max_size=3).map(lambda p: ("list", tuple(p))), OBJ))


def kw(name, *shapes, **kw_):
    """A module function whose last argument goes by keyword `factory`."""
    return case(name, lambda ns, *a, _n=name: getattr(ns, _n)(*a[:-1], factory=a[-1]), *shapes, **kw_)


DICT_CASES = [
    fn("merge", MAP, MAP, MAP),
    fn("merge", st.one_of(MAP, MAPS, OBJ)),
    kw("merge", MAP, st.one_of(MAP, OBJ), FACTORY),
    fn("merge_with", FN, MAP, MAP),
    fn("merge_with", FN, st.one_of(MAPS, MAP)),
    kw("merge_with", FN, MAP, MAP, FACTORY),
    fn("assoc", MAP, MAP_KEY, OBJ),
    fn("assoc", st.one_of(MAP, OBJ), MAP_KEY, OBJ, FACTORY),
    fn("dissoc", MAP, MAP_KEY, MAP_KEY),
    kw("dissoc", MAP, MAP_KEY, FACTORY),
    fn("assoc_in", NESTED_MAP, PATH, OBJ),
    fn("assoc_in", NESTED_MAP, PATH, OBJ, FACTORY),
    fn("update_in", NESTED_MAP, PATH, FN),
    fn("update_in", NESTED_MAP, PATH, FN, OBJ, FACTORY),
    fn("get_in", PATH, NESTED_MAP),
    fn("get_in", PATH, NESTED_MAP, OBJ, st.one_of(st.booleans().map(lambda b: ("v", b)), OBJ)),
    # keys that hash or compare badly: the native lookup and the model may call them differently
    fn("get_in", H.iterables(elements=MAP_KEY, max_size=3), NESTED_MAP, OBJ, model=False),
    fn("keymap", FN, MAP),
    kw("keymap", FN, MAP, FACTORY),
    fn("valmap", FN, MAP),
    fn("valmap", FN, MAP, FACTORY),
    fn("itemmap", PAIR_FN, MAP),
    fn("itemmap", PAIR_FN, MAP, FACTORY),
    fn("keyfilter", FN, MAP),
    fn("valfilter", FN, MAP, FACTORY),
    fn("itemfilter", FN, MAP),
    kw("itemfilter", FN, MAP, FACTORY),
]

CASES = [
    *_option_cases(),
    *SEQUENCE_CASES,
    *ACCESSOR_CASES,
    *ITER_CASES,
    *COMBINATOR_CASES,
    *DICT_CASES,
]


# ---- outcome comparison --------------------------------------------------------------------

_OPTION_TYPES = {
    T.Some: "Some", T.Ok: "Ok", T.Err: "Err", T.NothingType: "NothingType",
    M.Some: "Some", M.Ok: "Ok", M.Err: "Err", M.NothingType: "NothingType",
}


def normalise(value, depth=0):
    """A structure that compares without calling any user code."""
    if depth > 20:
        return ("deep",)
    t = type(value)
    if t in _OPTION_TYPES:
        tag = _OPTION_TYPES[t]
        if tag == "NothingType":
            return (tag,)
        return (tag, normalise(value.error if tag == "Err" else value.value, depth + 1))
    if isinstance(value, H._Base):
        return ("H", value.tag)
    if isinstance(value, BaseException):
        return ("exc", type(value).__name__, str(value) if isinstance(value, (H.Boom, H.Halt)) else "")
    if t in (list, tuple):
        return (t.__name__, tuple(normalise(v, depth + 1) for v in value))
    if t is dict:
        return ("dict", tuple((normalise(k, depth + 1), normalise(v, depth + 1)) for k, v in value.items()))
    if t is float and math.isnan(value):
        return ("nan",)
    if t in (int, str, float, bool, bytes, type(None)):
        return (t.__name__, value)
    return ("object", t.__name__)


def _is_fault(exc):
    return type(exc).__name__ == "PanicException" or isinstance(exc, SystemError)


def run(c, ns, recipes):
    """Builds fresh arguments, calls the case; returns (ctx, kind, payload).

    Cycles made here (an iterator whose callback reaches the iterator through the re-entry hook;
    an `Err` holding an exception whose traceback reaches this frame) are left to the collector.
    """
    ctx = H.Ctx(opt=ns)
    args = [H.build(r, ctx) for r in recipes]
    items = []
    it = result = None
    try:
        result = c.call(ns, *args)
        if not c.lazy:
            return ctx, "ok", normalise(result)
        it = result
        if c.reenter:
            ctx.reenter = lambda: next(it)
        for _ in range(LAZY_LIMIT):
            try:
                items.append(next(it))
            except StopIteration:
                break
        return ctx, "ok", normalise(items)
    except BaseException as exc:  # noqa: B036 - hostile objects raise BaseExceptions on purpose
        if it is not None:
            _poke_after_error(it)
        return ctx, "raised", (exc, normalise(items))


def _poke_after_error(it):
    """An iterator that raised may be called again: it must not crash or fault."""
    try:
        for _ in range(3):
            try:
                next(it)
            except StopIteration:
                return
            except BaseException as exc:  # noqa: B036
                assert not _is_fault(exc), f"internal fault after an error: {exc!r}"
    finally:
        del it  # see run()


def check(c, recipes):
    ctx, kind, payload = run(c, T, recipes)
    if kind == "raised":
        exc, _ = payload
        assert not _is_fault(exc), f"{c}: internal fault {exc!r}"
        if isinstance(exc, (H.Boom, H.Halt)):
            assert any(exc is e for e in ctx.raised), f"{c}: {exc!r} is not the exception that was raised"
    for outcome in ctx.reentries:
        if outcome[0] == "raised":
            assert not _is_fault(outcome[1]), f"{c}: internal fault on re-entry {outcome[1]!r}"
    if not c.model:
        return
    _, mkind, mpayload = run(c, M, recipes)
    if kind == "ok" or mkind == "ok":
        assert (kind, payload) == (mkind, mpayload), (
            f"{c}: native gave {kind} {payload!r}, model gave {mkind} {mpayload!r}")
        return
    exc, items = payload
    mexc, mitems = mpayload
    assert items == mitems, f"{c}: items before the error differ: {items!r} vs {mitems!r}"
    assert type(exc) is type(mexc), f"{c}: native raised {exc!r}, model raised {mexc!r}"
    if c.messages:
        assert str(exc) == str(mexc), f"{c}: native raised {exc!r}, model raised {mexc!r}"


def _callable_name(c):
    return c.target or c.name.split("(")[0].split(".")[0].split(" ")[0]


def _ids(cases):
    seen = {}
    out = []
    for c in cases:
        seen[c.name] = seen.get(c.name, 0) + 1
        out.append(c.name if seen[c.name] == 1 else f"{c.name}#{seen[c.name]}")
    return out


@pytest.mark.parametrize("c", CASES, ids=_ids(CASES))
@given(data=st.data())
def test_hostile_arguments(c, data):
    assert hasattr(T, _callable_name(c)), f"{_callable_name(c)} is missing"
    recipes = [data.draw(shape, label=f"arg{i}") for i, shape in enumerate(c.shapes)]
    check(c, recipes)


def test_every_registered_callable_is_in_the_table():
    covered = {_callable_name(c) for c in CASES}
    names = [n for n in T.__all__ if n != "Nothing"]
    missing = [n for n in names if n not in covered and n not in {"Option", "Result"} | UNTABLED]
    assert not missing, f"add these callables to CASES: {missing}"


# Registered names that have no adversarial case of their own, and why.
UNTABLED = {
    "RustIter",  # cannot be called from Python; its instances come from the lazy functions above
}
