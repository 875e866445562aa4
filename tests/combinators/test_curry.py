"""curry: partial application decided by inspect.signature(func).bind / bind_partial.

The differential property runs chains of calls over generated signatures (positional-only,
defaults, *args, keyword-only, **kwargs) against a plain-Python reference curry.
"""

import gc
import inspect
import os
import pickle
import sys
import threading
import time
import warnings

import pytest
from fresh import run_fresh
from reliability import models
from hypothesis import given, strategies as st

from trovix._trovix import curry, flip


# The reference: inspect's bind / bind_partial on every call, the signature resolved once.
RefCurry = models.curry


def outcome(call):
    try:
        r = call()
    except Exception as exc:  # noqa: BLE001 - compared with the reference
        return ("raised", type(exc), str(exc)), None
    if isinstance(r, (curry, RefCurry)):
        return ("partial",), r
    return ("result", r), None


# ---- generated signatures ---------------------------------------------------------------------

NAMES = ["a", "b", "c", "d", "e", "f", "g"]


@st.composite
def signatures(draw):
    """Source of a function whose body returns its bound locals, and its parameter names."""
    names = iter(NAMES)
    n_posonly = draw(st.integers(0, 2))
    n_pos = draw(st.integers(0, 3))
    n_defaults = draw(st.integers(0, n_posonly + n_pos))
    positional = [next(names) for _ in range(n_posonly + n_pos)]
    parts = []
    for i, p in enumerate(positional):
        parts.append(f"{p}={i * 10}" if i >= len(positional) - n_defaults else p)
        if i == n_posonly - 1:
            parts.append("/")
    star = draw(st.booleans())
    kwonly = [(next(names), draw(st.booleans())) for _ in range(draw(st.integers(0, 2)))]
    if star:
        parts.append("*args")
    elif kwonly:
        parts.append("*")
    parts += [f"{k}=-1" if has_default else k for k, has_default in kwonly]
    if draw(st.booleans()):
        parts.append("**kw")
    # annotations need code to compute (an unknown name fails inside inspect.signature)
    annotation = draw(st.sampled_from(["", ": int", ": Unknown"]))
    if annotation and parts and parts[0] not in ("/", "*"):
        parts[0] = parts[0].split("=")[0] + annotation + parts[0][len(parts[0].split("=")[0]):]
    src = f"def target({', '.join(parts)}):\n    return tuple(sorted(locals().items()))\n"
    return src, positional + [k for k, _ in kwonly]


def _other(x, y=0, *, z):
    return x


# Changes to the function that inspect.signature sees; "after" ones come after the first call,
# when both curries have their signature already.
CHANGES = {
    "defaults past the positionals": lambda f: setattr(f, "__defaults__", (7,) * (f.__code__.co_argcount + 2)),
    "keyword defaults": lambda f: setattr(f, "__kwdefaults__", {"zz": 1, **dict.fromkeys(
        f.__code__.co_varnames[f.__code__.co_argcount:f.__code__.co_argcount + f.__code__.co_kwonlyargcount], 0)}),
    "__wrapped__": lambda f: setattr(f, "__wrapped__", _other),
    "__signature__": lambda f: setattr(f, "__signature__", inspect.signature(_other)),
    "a reserved name": lambda f: f.__code__.co_argcount and setattr(
        f, "__code__", f.__code__.replace(co_varnames=("if",) + f.__code__.co_varnames[1:])),
    "after: new code": lambda f: setattr(f, "__code__", _other.__code__),
    "after: no defaults": lambda f: setattr(f, "__defaults__", None),
}


@st.composite
def call_chains(draw, names):
    counter = iter(range(100, 10_000))
    chain = []
    for _ in range(draw(st.integers(1, 4))):
        npos = draw(st.integers(0, 3))
        kws = draw(st.lists(st.sampled_from(names + ["zz", "args", "kw"]), max_size=3, unique=True))
        chain.append(([next(counter) for _ in range(npos)], {k: next(counter) for k in kws}))
    return chain


@pytest.mark.no_leakcheck("compiles a new function for every example; the interpreter keeps per-code state")
@given(data=st.data())
def test_curry_matches_the_reference_over_generated_signatures(data):
    src, names = data.draw(signatures(), label="signature")
    ns = {}
    exec(src, ns)
    f = ns["target"]
    factory_args = data.draw(st.lists(st.integers(), max_size=2), label="factory args")
    factory_kw = data.draw(st.dictionaries(st.sampled_from(names + ["zz"]), st.integers(), max_size=2) if names
                           else st.just({}), label="factory kwargs")
    change = data.draw(st.sampled_from([None, *CHANGES]), label="change")
    if change and not change.startswith("after"):
        CHANGES[change](f)
    ours, ref = curry(f, *factory_args, **factory_kw), RefCurry(f, *factory_args, **factory_kw)
    for i, (args, kw) in enumerate(data.draw(call_chains(names), label="calls")):
        if i == 1 and change and change.startswith("after"):
            CHANGES[change](f)
        got, ours = outcome(lambda: ours(*args, **kw))
        want, ref = outcome(lambda: ref(*args, **kw))
        assert got == want, (src, change, args, kw)
        if got[0] != "partial":
            return


# ---- the Part's consequences ------------------------------------------------------------------


def f3(a, b, c=1):
    return (a, b, c)


def f2(a, b):
    return (a, b)


def test_partials_and_calls():
    c = curry(f3)
    assert isinstance(c(1), curry)
    assert c(1)(2) == (1, 2, 1) == c(1, 2)
    assert curry(f3, c=3)(1)(2) == (1, 2, 3)
    assert isinstance(c(), curry) and c() is not c
    assert curry(f2, b=2)(b=5)(1) == (1, 5)
    assert curry(func=f2)(1)(2) == (1, 2)
    # keywords accumulate, later replacing earlier; the stored order is kept
    assert curry(lambda a, **kw: (a, list(kw.items())), x=1, y=2)(y=3, z=4)(0) == (0, [("x", 1), ("y", 3), ("z", 4)])
    # a stored partial is not changed by calls made from it
    p = curry(f3, 1)
    assert p(2) == (1, 2, 1) and p(3, c=4) == (1, 3, 4) and p(5) == (1, 5, 1)


def test_too_many_or_unknown_arguments_reach_the_function():
    with pytest.raises(TypeError, match="f2\\(\\) takes 2 positional arguments but 3 were given"):
        curry(f2, 1)(2, 3)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        curry(lambda a: a)(x=1)


def test_no_signature_calls_at_once():
    calls = []

    class NoSig:
        __signature__ = property(lambda self: (_ for _ in ()).throw(ValueError("no")))

        def __call__(self, *a, **k):
            calls.append((a, k))
            return len(calls)

    c = curry(NoSig())
    assert c() == 1 and c(1, x=2) == 2
    assert calls == [((), {}), ((1,), {"x": 2})]
    c5 = curry(5)
    with pytest.raises(TypeError, match="'int' object is not callable"):
        c5(1)


def test_other_exceptions_of_resolution_propagate_and_are_retried():
    attempts = []

    class Flaky:
        @property
        def __signature__(self):
            attempts.append(1)
            if len(attempts) == 1:
                raise KeyError("first")
            return inspect.Signature([inspect.Parameter("x", inspect.Parameter.POSITIONAL_ONLY)])

        def __call__(self, x):
            return x * 2

    c = curry(Flaky())
    with pytest.raises(KeyError):
        c(1)
    assert c(4) == 8 and c(5) == 10
    assert len(attempts) == 2


def test_bind_raising_something_else_propagates():
    class Sig(inspect.Signature):
        def bind(self, *a, **k):
            raise LookupError("bind")

    def g(a):
        return a

    g.__signature__ = Sig([inspect.Parameter("a", inspect.Parameter.POSITIONAL_OR_KEYWORD)])
    with pytest.raises(LookupError):
        curry(g)(1)


def test_nested_curry_and_flip():
    inner = curry(f3, 1)
    outer = curry(inner)
    assert isinstance(outer(), curry)
    assert outer(2) == (1, 2, 1)
    assert isinstance(flip, curry)
    assert flip(pow)(2)(3) == 9 and flip(pow, 2)(3) == 9 and flip(f2, 1, 2) == (2, 1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'func'"):
        curry()
    with pytest.raises(TypeError, match=r"curry.__new__\(\) missing 1 required positional argument: 'func'"):
        curry()


def test_class_traits():
    c = curry(f3)
    assert curry.__text_signature__ == "(func, *args, **kwargs)"
    assert repr(c).startswith("<trovix._trovix.curry object at ")
    for name in ("func", "args", "keywords", "__name__", "__wrapped__", "__dict__"):
        assert not hasattr(c, name)
    with pytest.raises(AttributeError):
        c.func = 1
    with pytest.raises(TypeError):
        pickle.dumps(c)
    with pytest.raises(TypeError):
        type("Sub", (curry,), {})

    class Holder:
        attr = curry(f2)

    assert Holder().attr(1)(2) == (1, 2)  # not bound to the instance
    # Compared and hashed by identity, like functions.
    assert type(c).__eq__ is object.__eq__ and type(c).__hash__ is object.__hash__ and c != curry(f3)


def test_reentrant_resolution_does_not_deadlock():
    box = {}

    class SelfAsking:
        @property
        def __signature__(self):
            if not box.get("inside"):
                box["inside"] = True
                box["nested"] = box["c"](1)  # resolves again, nested, on the same thread
            return inspect.Signature([inspect.Parameter("x", inspect.Parameter.POSITIONAL_ONLY),
                                      inspect.Parameter("y", inspect.Parameter.POSITIONAL_ONLY)])

        def __call__(self, x, y):
            return x + y

    box["c"] = c = curry(SelfAsking())
    assert isinstance(c(1), curry)
    assert isinstance(box["nested"], curry) and box["nested"](2) == 3
    del box["c"]


def test_concurrent_first_calls_wait_for_one_resolution():
    started, attempts = threading.Event(), []

    class Slow:
        @property
        def __signature__(self):
            attempts.append(threading.get_ident())
            started.set()
            time.sleep(0.05)  # other threads must wait without holding the interpreter lock
            return inspect.Signature([inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY) for n in "ab"])

        def __call__(self, a, b):
            return a * b

    c = curry(Slow())
    results = []
    ts = [threading.Thread(target=lambda i=i: results.append(c(i)(2))) for i in range(6)]
    for t in ts:
        t.start()
    for t in ts:
        t.join(30)
    assert not any(t.is_alive() for t in ts)
    assert sorted(results) == [0, 2, 4, 6, 8, 10]
    assert len(attempts) == 1


def test_many_arguments_and_big_keyword_sets():
    def many(*args, **kw):
        return args, kw

    c = curry(lambda a, b, *rest, **kw: (a, b, rest, kw))
    args = tuple(range(40))
    kw = {f"k{i}": i for i in range(30)}
    assert c(*args, **kw) == (0, 1, args[2:], kw)
    assert c(0)(1, *args, **kw) == (0, 1, args, kw)
    assert curry(many, *args, **kw)(**kw) == (args, kw)


# ---- the native bind decision steps aside whenever inspect's machinery changes -----------------


def test_the_bind_decision_runs_no_python_code():
    # in a fresh process: the test below turns the native decision off for the rest of this one
    code = """if True:
        import sys
        from trovix._trovix import curry
        def f(a, b, /, c=0, *, d):
            return a + b + c + d
        c = curry(f)
        assert isinstance(c(1), curry)  # resolves the signature
        def g(a: int, b=1, *args, c, **kw) -> int:
            return a + b + c
        g.__annotations__  # (computing annotations runs code: inspect is asked until then)
        calls = []
        sys.setprofile(lambda frame, event, arg: calls.append(frame.f_code.co_name) if event == "call" else None)
        try:
            results = [c(1)(2)(d=3), c(1, 2, 3, d=4), type(c(1, d=1)).__name__]
            # a new curry of a plain function reads its parameters without inspect
            results += [curry(f)(1)(2)(d=3), curry(g)(1)(c=2)]
        finally:
            sys.setprofile(None)
        assert results == [6, 10, "curry", 6, 4], results
        assert calls == ["f", "f", "f", "g"], calls
    """
    run_fresh(code)


def _abc(a, b, c=0):
    return a + b + c


def _patched_bind(self, *args, **kwargs):
    raise LookupError("patched")


@pytest.mark.parametrize("change", ["class method", "code", "module global", "parameter slot", "signature slot"])
def test_changes_to_inspect_are_seen(change, monkeypatch):
    c = curry(_abc)
    assert isinstance(c(1), curry) and c(1, 2) == 3  # resolved; decided natively from here on
    if change == "class method":
        monkeypatch.setattr(inspect.Signature, "bind", _patched_bind)
        with pytest.raises(LookupError, match="patched"):
            c(1, 2)
    elif change == "code":
        monkeypatch.setattr(inspect.Signature._bind, "__code__", _patched_bind.__code__)
        with pytest.raises(LookupError, match="patched"):
            c(1, 2)
    elif change == "module global":
        # `_bind` tells defaults apart by `is _empty`: rebinding the global makes every
        # parameter look like one with a default, so bind accepts (1,) and the function is called
        monkeypatch.setattr(inspect, "_empty", object())
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'b'"):
            c(1)
    elif change == "parameter slot":
        def g(a, b):
            return (a, b)

        g.__signature__ = inspect.Signature([inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY)
                                             for n in "ab"])
        cg = curry(g)
        assert isinstance(cg(1), curry)
        # with a default for b, bind accepts (1,): g itself then reports the missing argument
        monkeypatch.setattr(g.__signature__.parameters["b"], "_default", 5)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'b'"):
            cg(1)
    else:
        def h(a, b):
            return (a, b)

        h.__signature__ = inspect.Signature([inspect.Parameter(n, inspect.Parameter.POSITIONAL_ONLY)
                                             for n in "ab"])
        ch = curry(h)
        assert isinstance(ch(1), curry)
        one = inspect.Signature([inspect.Parameter("a", inspect.Parameter.POSITIONAL_ONLY)])
        monkeypatch.setattr(h.__signature__, "_parameters", one.parameters)
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'b'"):
            ch(1)
    monkeypatch.undo()
    assert isinstance(c(1), curry) and c(1, 2) == 3


# ---- the decision follows the signature object as bind reads it, also after changes in place --


class _WithDefault(inspect.Parameter):
    __slots__ = ()

    @property
    def default(self):
        return 5


def _move_a_to_end(sig):
    gc.get_referents(sig.parameters)[0].move_to_end("a")


def _drop_b(sig):
    del gc.get_referents(sig.parameters)[0]["b"]


def _b_with_default(sig):
    gc.get_referents(sig.parameters)[0]["b"] = sig.parameters["b"].replace(default=5)


def _b_class(sig):
    sig.parameters["b"].__class__ = _WithDefault


@pytest.mark.parametrize("change", [_move_a_to_end, _drop_b, _b_with_default, _b_class])
@pytest.mark.parametrize("kind", [inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD])
def test_changes_to_the_parameters_after_capture(change, kind):
    def g(*args, **kwargs):
        return args, kwargs

    g.__signature__ = inspect.Signature([inspect.Parameter("a", kind),
                                         inspect.Parameter("b", kind, default=0 if change is _move_a_to_end else
                                                           inspect.Parameter.empty)])
    c, ref = curry(g), RefCurry(g)
    assert outcome(lambda: c(1))[0] == outcome(lambda: ref(1))[0]  # resolved and captured
    change(g.__signature__)
    for args, kwargs in [((1,), {}), ((), {"b": 2}), ((1, 2), {}), ((), {})]:
        assert outcome(lambda: c(*args, **kwargs))[0] == outcome(lambda: ref(*args, **kwargs))[0]


def test_many_keywords_bind_like_inspect():
    names = [f"k{i}" for i in range(3000)]
    ns = {}
    exec(f"def f(*, {', '.join(n + '=0' for n in names[:-1])}, {names[-1]}): return 'called'", ns)
    c, ref = curry(ns["f"]), RefCurry(ns["f"])
    half = dict.fromkeys(names[:1500], 1)
    for kwargs in [half, dict(half, k2999=1), {"k2999": 1, "nope": 2}]:
        assert outcome(lambda: c(**kwargs))[0] == outcome(lambda: ref(**kwargs))[0]


# ---- interrupts and forks during resolution ------------------------------------------------------


def test_interrupt_while_reading_the_signature_reaches_the_caller():
    # Python code that the first call runs (inspect's) may be interrupted: the interrupt must
    # reach the caller, not turn into "decide in Python" and let the call go on
    def f(a, b):
        return a + b

    fired = []

    def tracer(frame, event, arg):
        code = frame.f_code
        if event == "call" and code.co_filename == inspect.__file__ and code.co_name == "parameters":
            fired.append(code.co_name)
            raise KeyboardInterrupt
        return None

    sys.settrace(tracer)
    try:
        result = curry(f)(1)
    except KeyboardInterrupt:
        result = "interrupted"
    finally:
        sys.settrace(None)
    assert result == "interrupted" if fired else isinstance(result, curry)


class _SlowSignature:
    """A callable whose signature lookup blocks until released."""

    def __init__(self):
        self.entered, self.release = threading.Event(), threading.Event()

    def __call__(self, a, b):
        return a + b

    @property
    def __signature__(self):
        self.entered.set()
        self.release.wait(10)
        return inspect.Signature([inspect.Parameter(n, inspect.Parameter.POSITIONAL_OR_KEYWORD) for n in "ab"])


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_resolves_a_curry_another_thread_was_resolving():
    slow = _SlowSignature()
    c = curry(slow)
    t = threading.Thread(target=c, args=(1,))
    t.start()
    assert slow.entered.wait(10)
    slow.release.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with a thread running
        pid = os.fork()
    if pid == 0:
        slow.release.set()
        os._exit(0 if c(1, 2) == 3 else 1)
    deadline = time.monotonic() + 20
    while (done := os.waitpid(pid, os.WNOHANG)) == (0, 0) and time.monotonic() < deadline:
        time.sleep(0.05)
    if done == (0, 0):
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    slow.release.set()
    t.join()
    assert done[0] == pid and os.waitstatus_to_exitcode(done[1]) == 0
