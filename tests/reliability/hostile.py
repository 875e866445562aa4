"""Hostile values for the adversarial tests.

Values are described by *recipes* (plain tuples that hypothesis draws and prints) and built by
`build(recipe, ctx)`. Building the same recipe twice gives two independent, identically behaving
objects, so an operation and its plain-Python model can each get their own fresh arguments.

A hostile object's special methods follow a *plan*: for each method, an action that starts after
the method has been called `after` times (before that it behaves normally):

    ok       behave normally
    boom     raise `Boom` (an Exception)
    halt     raise `Halt` (a BaseException only, like KeyboardInterrupt)
    wrong    return a value of the wrong type (or, for __eq__/__lt__, an object whose truth test
             raises), so the interpreter's own check raises
    mutate   mutate the containers registered in the context (append to / clear a list, resize a
             bytearray), then behave normally
    reenter  call the context's re-entry hook (e.g. `next()` on the iterator being consumed), then
             behave normally

Every exception a hostile object raises is recorded in the context, so a test can check that an
exception which reached the caller is the very object that was raised (propagated unchanged).
"""

import array

from hypothesis import strategies as st


class Boom(Exception):
    """Raised by a hostile object."""


class Halt(BaseException):
    """Raised by a hostile object; not an Exception, so `except Exception` does not catch it."""


class Ctx:
    """The state shared by the objects built from one set of recipes."""

    def __init__(self, opt=None):
        self.opt = opt  # namespace whose Some/NothingType/Ok/Err the recipes of those kinds build
        self.raised = []  # exception instances raised by hostile objects, in order
        self.targets = []  # containers that `mutate` acts on
        self.reenter = None  # hook that `reenter` calls
        self.reentries = []  # outcome of each re-entry: ("ok", value) or ("raised", exception)
        self.mutations = 0

    def raise_(self, cls, where):
        exc = cls(where)
        self.raised.append(exc)
        raise exc

    def mutate(self):
        self.mutations += 1
        for target in self.targets:
            if isinstance(target, list):
                if self.mutations % 2:
                    target.append(len(target))
                else:
                    target.clear()
            elif isinstance(target, bytearray):
                try:
                    if self.mutations % 2:
                        target.extend(b"\x07" * 64)
                    else:
                        del target[:]
                except BufferError:
                    pass  # exported to a buffer view: resizing is refused, as it must be
            elif isinstance(target, dict):
                target[("mutated", self.mutations)] = self.mutations

    def call_reenter(self):
        if self.reenter is None:
            return
        try:
            self.reentries.append(("ok", self.reenter()))
        except (Exception, Halt) as exc:  # recorded; the outer step must carry on undisturbed
            self.reentries.append(("raised", exc))


class TruthBomb:
    """Returned by a `wrong` __eq__/__lt__: its truth test raises."""

    def __init__(self, ctx):
        self.ctx = ctx

    def __bool__(self):
        self.ctx.raise_(Boom, "__bool__ of a comparison result")


# ---- hostile objects ---------------------------------------------------------------------------

METHODS = ("__hash__", "__eq__", "__lt__", "__iter__", "__next__", "__getitem__", "__index__",
           "__bool__", "__len__", "__repr__", "__call__")
ACTIONS = ("ok", "boom", "halt", "wrong", "mutate", "reenter")


class _Base:
    __slots__ = ("tag", "plan", "calls", "ctx", "items", "pos")

    def _act(self, name, normal):
        action, after = self.plan.get(name, ("ok", 0))
        n = self.calls.get(name, 0)
        self.calls[name] = n + 1
        if action == "ok" or n < after:
            return normal()
        if action == "boom":
            self.ctx.raise_(Boom, f"{name} of H{self.tag}")
        if action == "halt":
            self.ctx.raise_(Halt, f"{name} of H{self.tag}")
        if action == "wrong":
            return _WRONG[name](self)
        if action == "mutate":
            self.ctx.mutate()
        elif action == "reenter":
            self.ctx.call_reenter()
        return normal()


def _next_item(self):
    if self.pos >= len(self.items):
        raise StopIteration
    self.pos += 1
    return self.items[self.pos - 1]


_NORMAL = {
    "__hash__": lambda self: hash(self.tag % 4),
    "__eq__": lambda self, other: (isinstance(other, _Base) and other.tag == self.tag) or NotImplemented,
    "__lt__": lambda self, other: self.tag < other.tag if isinstance(other, _Base) else NotImplemented,
    "__iter__": lambda self: self if hasattr(type(self), "__next__") else iter(self.items),
    "__next__": _next_item,
    "__getitem__": lambda self, i: self.items[i],
    "__index__": lambda self: self.tag,
    "__bool__": lambda self: True,
    "__len__": lambda self: len(self.items),
    "__repr__": lambda self: f"H{self.tag}",
    "__call__": lambda self, *args: (self.tag, args),
}

_WRONG = {
    "__hash__": lambda self: "not a hash",
    "__eq__": lambda self: TruthBomb(self.ctx),
    "__lt__": lambda self: TruthBomb(self.ctx),
    "__iter__": lambda self: 5,
    "__next__": lambda self: self.ctx.raise_(Boom, "__next__ (wrong)"),
    "__getitem__": lambda self: self.ctx.raise_(IndexError, "__getitem__ (wrong)"),
    "__index__": lambda self: 1.5,
    "__bool__": lambda self: 2,
    "__len__": lambda self: -1,
    "__repr__": lambda self: 1,
    "__call__": lambda self: object(),
}


def _make_method(name):
    normal = _NORMAL[name]
    if name == "__eq__" or name == "__lt__":
        def method(self, other):
            return self._act(name, lambda: normal(self, other))
    elif name == "__getitem__":
        def method(self, i):
            return self._act(name, lambda: normal(self, i))
    elif name == "__call__":
        def method(self, *args):
            return self._act(name, lambda: normal(self, *args))
    else:
        def method(self):
            return self._act(name, lambda: normal(self))
    method.__name__ = name
    return method


_CLASSES = {}


def hostile_class(methods):
    """The class of hostile objects that define exactly `methods` (besides hash, eq and repr)."""
    key = frozenset(methods) | {"__hash__", "__eq__", "__repr__"}
    cls = _CLASSES.get(key)
    if cls is None:
        ns = {name: _make_method(name) for name in sorted(key)}
        ns["__slots__"] = ()
        cls = type("Hostile", (_Base,), ns)
        _CLASSES[key] = cls
    return cls


class HostileMap:
    """A mapping with nothing but keys(), items() and item access (a `wrong` items() gives lists
    instead of tuples, a `wrong` keys() is not iterable)."""

    __slots__ = ("tag", "plan", "calls", "ctx", "pairs")
    _act = _Base._act

    def keys(self):
        return self._act("keys", lambda: [k for k, _ in self.pairs])

    def items(self):
        return self._act("items", lambda: list(self.pairs))

    def __getitem__(self, key):
        def normal():
            for k, v in self.pairs:
                if k == key:
                    return v
            raise KeyError(key)

        return self._act("__getitem__", normal)

    def __repr__(self):
        return f"HMap{self.tag}"


_WRONG["items"] = lambda self: [[k, v] for k, v in self.pairs]
_WRONG["keys"] = lambda self: 5


def make_hostile(ctx, tag, plan, methods=(), items=()):
    obj = hostile_class(set(plan) | set(methods))()
    obj.tag, obj.plan, obj.calls, obj.ctx, obj.items, obj.pos = tag, dict(plan), {}, ctx, list(items), 0
    return obj


# ---- recipes -----------------------------------------------------------------------------------
#
#   ("v", value)                      a plain immutable value (int, str, None, float, tuple...)
#   ("h", tag, plan)                  a hostile object; plan = ((method, action, after), ...)
#   ("list"|"tuple", elems)           a container of built elements
#   ("gen", elems)                    a generator over built elements
#   ("hiter", tag, plan, elems)       an object whose __iter__ returns itself and __next__ walks elems
#   ("mut", elems)                    a list registered as the context's mutation target
#   ("bytes"|"bytearray", data) / ("array", code, values) / ("memoryview", inner) / ("strided", inner)
#   ("fn", action, after, result)     a callable: returns build(result) (or its argument when
#                                     result is None), following action/after like a hostile method
#   ("notcallable",)                  5
#   ("Some"|"Ok"|"Err", inner) / ("NothingType",)   an option value from the context's namespace
#   ("dict", pairs)                   an exact dict of built (key, value) pairs, registered as the
#                                     context's mutation target
#   ("hmap", tag, plan, pairs)        a mapping with only keys(), items() and item access over built
#                                     pairs; those three methods follow the plan


def build(recipe, ctx):
    kind = recipe[0]
    if kind == "v":
        return recipe[1]
    if kind == "h":
        return make_hostile(ctx, recipe[1], {m: (a, n) for m, a, n in recipe[2]})
    if kind in ("list", "tuple", "gen", "mut"):
        elems = [build(r, ctx) for r in recipe[1]]
        if kind == "tuple":
            return tuple(elems)
        if kind == "gen":
            return (e for e in elems)
        if kind == "mut":
            ctx.targets.append(elems)
        return elems
    if kind == "hiter":
        elems = [build(r, ctx) for r in recipe[3]]
        plan = {m: (a, n) for m, a, n in recipe[2]}
        return make_hostile(ctx, recipe[1], plan, methods=("__iter__", "__next__"), items=elems)
    if kind == "bytes":
        return bytes(recipe[1])
    if kind == "bytearray":
        b = bytearray(recipe[1])
        ctx.targets.append(b)
        return b
    if kind == "array":
        return array.array(recipe[1], recipe[2])
    if kind == "memoryview":
        return memoryview(build(recipe[1], ctx))
    if kind == "strided":
        return memoryview(build(recipe[1], ctx))[::2]
    if kind == "fn":
        return _make_fn(ctx, recipe[1], recipe[2], recipe[3])
    if kind == "notcallable":
        return 5
    if kind in ("Some", "Ok", "Err"):
        return getattr(ctx.opt, kind)(build(recipe[1], ctx))
    if kind == "NothingType":
        return ctx.opt.NothingType()
    if kind == "dict":
        d = {build(k, ctx): build(v, ctx) for k, v in recipe[1]}
        ctx.targets.append(d)
        return d
    if kind == "hmap":
        m = HostileMap()
        m.tag, m.plan, m.calls, m.ctx = recipe[1], {a: (b, n) for a, b, n in recipe[2]}, {}, ctx
        m.pairs = [(build(k, ctx), build(v, ctx)) for k, v in recipe[3]]
        return m
    raise AssertionError(f"unknown recipe {recipe!r}")


def _make_fn(ctx, action, after, result):
    calls = [0]

    def fn(*args, **kwargs):
        n = calls[0]
        calls[0] += 1
        if n >= after:
            if action == "boom":
                ctx.raise_(Boom, "callback")
            if action == "halt":
                ctx.raise_(Halt, "callback")
            if action == "mutate":
                ctx.mutate()
            if action == "reenter":
                ctx.call_reenter()
        if result is None:
            return args[0] if args else None
        return build(result, ctx)

    return fn


# ---- strategies --------------------------------------------------------------------------------

plain = st.one_of(
    st.integers(-3, 8),
    st.sampled_from([None, True, 0.5, float("nan"), "a", "b", "", (1, 2), 2**70, -(2**63)]),
).map(lambda v: ("v", v))


def hostile(methods=("__hash__", "__eq__", "__repr__", "__bool__", "__lt__"), actions=ACTIONS):
    step = st.tuples(st.sampled_from(methods), st.sampled_from(actions), st.sampled_from([0, 0, 1, 2]))
    return st.builds(lambda tag, plan: ("h", tag, tuple(plan)), st.integers(0, 9), st.lists(step, max_size=3))


objects = st.one_of(plain, plain, hostile())
"""Any value: plain ones and hostile ones (hash, eq, repr, truth, ordering)."""


def results(inner=objects):
    """What a callback returns: its argument (None), or a built value."""
    return st.one_of(st.none(), inner)


def option_values(inner=objects):
    return st.one_of(
        st.tuples(st.sampled_from(["Some", "Ok", "Err"]), inner),
        st.just(("NothingType",)),
    )


def callbacks(result=results(), actions=("ok", "ok", "boom", "halt", "mutate", "reenter")):
    fn = st.builds(lambda a, n, r: ("fn", a, n, r), st.sampled_from(actions), st.sampled_from([0, 0, 1, 3]), result)
    return st.one_of(fn, fn, fn, st.just(("notcallable",)), hostile(methods=("__call__", "__repr__")))


def iterables(elements=objects, max_size=6):
    elems = st.lists(elements, max_size=max_size).map(tuple)
    iter_plan = st.lists(
        st.tuples(st.sampled_from(["__iter__", "__next__"]), st.sampled_from(ACTIONS), st.sampled_from([0, 1, 3])),
        max_size=2,
    ).map(tuple)
    return st.one_of(
        elems.map(lambda e: ("list", e)),
        elems.map(lambda e: ("tuple", e)),
        elems.map(lambda e: ("gen", e)),
        elems.map(lambda e: ("mut", e)),
        st.builds(lambda t, p, e: ("hiter", t, p, e), st.integers(0, 9), iter_plan, elems),
    )


_TYPECODE_RANGES = {code: (array.array(code).itemsize * 8, code.islower()) for code in "bhilqBHILQ"}


def _typed_values(code, max_size):
    bits, signed = _TYPECODE_RANGES[code]
    lo, hi = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
    edges = st.sampled_from([lo, hi, lo + 1, hi - 1, 0, 1])
    small = st.integers(max(lo, -3), min(hi, 3))
    return st.lists(st.one_of(small, small, edges), max_size=max_size).map(lambda v: ("array", code, tuple(v)))


def int_buffers(max_size=12):
    """Integer buffers: bytes, bytearray, array.array of every integer type (with extreme values),
    memoryviews, and a strided (non-contiguous) view."""
    values = st.lists(st.integers(0, 255), max_size=max_size)
    return st.one_of(
        values.map(lambda v: ("bytes", tuple(v))),
        values.map(lambda v: ("bytearray", tuple(v))),
        *(_typed_values(code, max_size) for code in "bhilqBHILQ"),
        values.map(lambda v: ("memoryview", ("bytes", tuple(v)))),
        values.map(lambda v: ("strided", ("array", "q", tuple(v)))),
        values.map(lambda v: ("memoryview", ("bytearray", tuple(v)))),
    )


indices = st.one_of(
    st.integers(-3, 10).map(lambda v: ("v", v)),
    st.sampled_from([2**63, -(2**63) - 1, 2**64, True, "1", 1.0, None]).map(lambda v: ("v", v)),
    hostile(methods=("__index__",), actions=("ok", "boom", "halt", "wrong")),
)
"""Integer-like arguments: small, huge, wrong types, and objects whose __index__ misbehaves."""


def rows(elements=objects):
    """Elements to take keys from: tuples of values (so index and list-of-index keys apply), or
    single values (so subscription fails)."""
    return st.one_of(
        st.lists(elements, max_size=3).map(lambda e: ("tuple", tuple(e))),
        st.lists(elements, max_size=3).map(lambda e: ("tuple", tuple(e))),
        elements,
    )


keys = st.one_of(
    callbacks(),
    st.integers(-1, 3).map(lambda v: ("v", v)),
    st.lists(st.integers(-1, 2).map(lambda v: ("v", v)), max_size=3).map(lambda ks: ("list", tuple(ks))),
    hostile(methods=("__index__", "__hash__", "__eq__")),
)
"""Keys of the grouping functions: callables, indices, lists of indices, hostile keys."""

nested = iterables(elements=st.one_of(iterables(max_size=3), plain), max_size=4)
"""Iterables of iterables (with some non-iterable elements)."""

sizes = st.one_of(
    st.integers(-2, 5).map(lambda v: ("v", v)),
    st.sampled_from([2**63, 2**64, "2", None]).map(lambda v: ("v", v)),
    hostile(methods=("__index__",), actions=("ok", "boom", "halt", "wrong")),
)
"""Chunk sizes and counts: small, non-positive, too large, wrong types, hostile __index__."""

mapping_keys = st.one_of(st.integers(-1, 3), st.sampled_from(["a", "b", (1, 2)])).map(lambda v: ("v", v))
"""Keys of built mappings: plain, hashable, equal only to equal plain keys."""


def mappings(values=objects, max_size=4):
    """Exact dicts (mutation targets) and hostile mappings of `values`."""
    pairs = st.lists(st.tuples(mapping_keys, values), max_size=max_size).map(tuple)
    plan = st.lists(
        st.tuples(st.sampled_from(["items", "keys", "__getitem__"]), st.sampled_from(ACTIONS), st.sampled_from([0, 1, 2])),
        max_size=2,
    ).map(tuple)
    return st.one_of(
        pairs.map(lambda p: ("dict", p)),
        pairs.map(lambda p: ("dict", p)),
        st.builds(lambda t, pl, p: ("hmap", t, pl, p), st.integers(0, 9), plan, pairs),
    )


nested_mappings = mappings(st.one_of(objects, mappings(st.one_of(objects, mappings(max_size=2)), max_size=3)))
"""Mappings of mappings, up to three levels, with non-mappings mixed in."""

paths = st.one_of(
    iterables(elements=mapping_keys, max_size=3),
    st.lists(mapping_keys, max_size=4).map(lambda ks: ("list", tuple(ks))),
)
"""Paths of keys: lists, tuples, generators, mutated lists and hostile iterators."""
