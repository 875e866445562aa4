"""Plain-Python models of the module's operations, for differential checks.

A model does what the native operation does, call for call, in the same order (so hostile
objects that misbehave on their n-th call misbehave at the same point in both).
"""


class _Payload:
    __slots__ = ("payload",)
    tag = ""

    def __eq__(self, other):
        if isinstance(other, type(self)):
            return bool(self.payload == other.payload)
        return False

    def __ne__(self, other):
        return not (self == other)

    def __repr__(self):
        return f"{self.tag}({self.payload!r})"

    def __reduce__(self):
        return (type(self), (self.payload,))

    __hash__ = None


class Some(_Payload):
    __slots__ = ()
    tag = "Some"
    value = property(lambda self: self.payload)

    def __init__(self, value):
        self.payload = value

    def map(self, f):
        return Some(f(self.payload))

    def and_then(self, f):
        r = f(self.payload)
        if isinstance(r, (Some, NothingType)):
            return r
        raise TypeError("and_then callback must return an Option")

    def filter(self, pred):
        return Some(self.payload) if pred(self.payload) else NothingType()

    def unwrap(self):
        return self.payload

    def unwrap_or(self, default):
        return self.payload

    def unwrap_or_else(self, f):
        return self.payload

    def ok_or(self, err):
        return Ok(self.payload)

    def is_some(self):
        return True

    def is_none(self):
        return False

    def __bool__(self):
        return True


class NothingType:
    __hash__ = None

    def map(self, f):
        return NothingType()

    and_then = filter = map

    def unwrap(self):
        raise ValueError("called `unwrap` on Nothing")

    def unwrap_or(self, default):
        return default

    def unwrap_or_else(self, f):
        return f()

    def ok_or(self, err):
        return Err(err)

    def is_some(self):
        return False

    def is_none(self):
        return True

    def __bool__(self):
        return False

    def __eq__(self, other):
        return isinstance(other, NothingType)

    def __ne__(self, other):
        return not (self == other)

    def __repr__(self):
        return "Nothing"

    def __reduce__(self):
        return (NothingType, ())


class Ok(_Payload):
    __slots__ = ()
    tag = "Ok"
    value = property(lambda self: self.payload)

    def __init__(self, value):
        self.payload = value

    def map(self, f):
        return Ok(f(self.payload))

    def map_err(self, f):
        return Ok(self.payload)

    def and_then(self, f):
        r = f(self.payload)
        if isinstance(r, (Ok, Err)):
            return r
        raise TypeError("and_then callback must return a Result")

    def unwrap(self):
        return self.payload

    def unwrap_or(self, default):
        return self.payload

    def ok(self):
        return Some(self.payload)

    def err(self):
        return NothingType()

    def is_ok(self):
        return True

    def is_err(self):
        return False

    def __bool__(self):
        return True


class Err(_Payload):
    __slots__ = ()
    tag = "Err"
    error = property(lambda self: self.payload)

    def __init__(self, error):
        self.payload = error

    def map(self, f):
        return Err(self.payload)

    def map_err(self, f):
        return Err(f(self.payload))

    def and_then(self, f):
        return Err(self.payload)

    def unwrap(self):
        raise ValueError(f"called `unwrap` on Err({self.payload!r})")

    def unwrap_or(self, default):
        return default

    def ok(self):
        return NothingType()

    def err(self):
        return Some(self.payload)

    def is_ok(self):
        return False

    def is_err(self):
        return True

    def __bool__(self):
        return False


class Option:
    @staticmethod
    def of(v):
        return NothingType() if v is None else Some(v)


class Result:
    @staticmethod
    def of(f):
        try:
            return Ok(f())
        except Exception as exc:
            return Err(exc)


# ---- sequence functions ----------------------------------------------------------------------

import collections
import collections.abc
import itertools
import operator

_I64_MAX = 2**63 - 1


def _i64(n):
    v = operator.index(n)
    if not -(2**63) <= v <= _I64_MAX:
        raise OverflowError("Python int too large to convert to C long")
    return v


def _usize(n):
    v = operator.index(n)
    if not 0 <= v < 2**64:
        raise OverflowError("can't convert to an unsigned size")
    return v


def _next(it):
    """(True, item), or (False, None) at the end; errors propagate. Never calls iter(it) again."""
    try:
        return True, next(it)
    except StopIteration:
        return False, None


def first(seq):
    ok, x = _next(iter(seq))
    if not ok:
        raise StopIteration
    return x


def second(seq):
    it = iter(seq)
    for _ in range(2):
        ok, x = _next(it)
        if not ok:
            raise StopIteration
    return x


def _tail(n, x):
    s = slice(-min(n, _I64_MAX), None)
    try:
        return x[s]
    except (TypeError, KeyError):
        pass
    q = collections.deque(maxlen=n if 0 < n <= _I64_MAX else None)
    for e in x:
        q.append(e)
    return tuple(q)


def tail(n, seq):
    return _tail(_usize(n), seq)


def last(seq):
    return _tail(1, seq)[0]


def nth(n, seq):
    if isinstance(seq, (list, tuple)) or isinstance(seq, collections.abc.Sequence):
        return seq[n]
    try:
        k = _i64(n)
    except MemoryError:
        raise
    except Exception:  # the conversion's own ordinary error is replaced
        k = -1
    if k < 0:
        raise ValueError("Indices for islice() must be None or an integer: 0 <= x <= sys.maxsize.")
    it = iter(seq)
    for _ in range(k + 1):
        ok, x = _next(it)
        if not ok:
            raise StopIteration
    return x


def _is_lookup_error(exc):
    return isinstance(exc, (KeyError, IndexError, TypeError))


def get(ind, coll, *rest):
    if len(rest) >= 2:
        raise TypeError("get takes at most 3 arguments")
    if isinstance(ind, list):
        out = []
        n0 = len(ind)
        i = 0
        while i < min(n0, len(ind)):
            try:
                out.append(coll[ind[i]])
            except Exception as exc:
                if not (rest and _is_lookup_error(exc)):
                    raise
                out.append(rest[0])
            i += 1
        return tuple(out)
    try:
        return coll[ind]
    except Exception as exc:
        if not (rest and _is_lookup_error(exc)):
            raise
        return rest[0]


def peek(seq):
    it = iter(seq)
    ok, x = _next(it)
    if not ok:
        raise StopIteration
    return (x, itertools.chain((x,), it))


def count(seq):
    if hasattr(seq, "__len__"):
        return len(seq)
    return sum(1 for _ in seq)


def take(n, seq):
    return itertools.islice(seq, n)


def drop(n, seq):
    return itertools.islice(seq, n, None)


def take_nth(n, seq):
    return itertools.islice(seq, 0, None, n)


def cons(el, seq):
    return itertools.chain((el,), seq)


def concat(seqs):
    return itertools.chain.from_iterable(seqs)


def concatv(*seqs):
    return itertools.chain.from_iterable(seqs)


def mapcat(func, seqs):
    return itertools.chain.from_iterable(map(func, seqs))


def interleave(seqs):
    active = [iter(s) for s in seqs]

    def step():
        pos = 0
        while active:
            if pos >= len(active):
                pos = 0
            ok, x = _next(active[pos])
            if ok:
                pos += 1
                yield x
            else:
                del active[pos]

    return step()


def iterate(func, x):
    def step(v):
        yield v
        while True:
            v = func(v)
            yield v

    return step(x)


def accumulate(binop, seq, *rest):
    if len(rest) >= 2:
        raise TypeError("accumulate takes at most 3 arguments")
    it = iter(seq)

    def step():
        missing = object()
        total = missing
        if rest:
            total = rest[0]
            yield total
        while True:
            ok, x = _next(it)
            if not ok:
                return
            total = x if total is missing else binop(total, x)
            yield total

    return step()


def remove(predicate, seq):
    it = iter(seq)

    def step():
        while True:
            ok, x = _next(it)
            if not ok:
                return
            if not predicate(x):
                yield x

    return step()


def _chunks(n, it, pad, keep_short=False):
    while True:
        buf = []
        while len(buf) < n:
            ok, x = _next(it)
            if not ok:
                if buf and keep_short:
                    yield tuple(buf)
                if buf and pad:
                    buf.extend([pad[0]] * (n - len(buf)))
                    break
                return
            buf.append(x)
        yield tuple(buf)


def partition(n, seq, *rest):
    n = _i64(n)
    if len(rest) >= 2:
        raise TypeError("partition takes at most 3 arguments")
    if n <= 0:
        return iter(())
    return _chunks(n, iter(seq), rest)


def partition_all(n, seq):
    n = _i64(n)
    if n < 1:
        return iter(())
    return _chunks(n, iter(seq), (), keep_short=True)


# ---- hashing functions -------------------------------------------------------------------------


class _ChainMap:
    """Python hash -> chain of (key, position); one hash per key, identity before equality, the
    stored key on the left of ==."""

    def __init__(self):
        self.chains = {}
        self.keys = []

    def find_or_add(self, k):
        """(position, added)."""
        h = hash(k)
        chain = self.chains.setdefault(h, [])
        for stored, pos in chain:
            if stored is k or stored == k:
                return pos, False
        pos = len(self.keys)
        chain.append((k, pos))
        self.keys.append(k)
        return pos, True


def apply_key(key, item):
    if callable(key):
        return key(item)
    if isinstance(key, list):
        return tuple(item[k] for k in key)
    return item[key]


def unique(seq, key=None):
    it = iter(seq)

    def step():
        seen = _ChainMap()
        while True:
            ok, x = _next(it)
            if not ok:
                return
            _, added = seen.find_or_add(x if key is None else key(x))
            if added:
                yield x

    return step()


def isdistinct(seq):
    seen = _ChainMap()
    for x in seq:
        if not seen.find_or_add(x)[1]:
            return False
    return True


def _count_walk(keyfn, seq, group):
    index = _ChainMap()
    acc = []
    for x in seq:
        pos, added = index.find_or_add(keyfn(x))
        if added:
            acc.append([] if group else 0)
        if group:
            acc[pos].append(x)
        else:
            acc[pos] += 1
    return dict(zip(index.keys, acc))


def frequencies(seq):
    return _count_walk(lambda x: x, seq, False)


def groupby(key, seq):
    return _count_walk(key if callable(key) else (lambda x: apply_key(key, x)), seq, True)


def countby(key, seq):
    return _count_walk(key if callable(key) else (lambda x: apply_key(key, x)), seq, False)


def reduceby(key, binop, seq, *rest):
    if len(rest) >= 2:
        raise TypeError("reduceby takes at most 4 arguments")
    result = {}
    missing = object()
    for x in seq:
        k = apply_key(key, x)
        acc = result.get(k, missing)
        if acc is not missing:
            result[k] = binop(acc, x)
        elif not rest:
            result[k] = x
        else:
            init = rest[0]
            result[k] = binop(init() if callable(init) else init, x)
    return result


# ---- windows, separators, plucking, and functions over several sequences -------------------------


def sliding_window(n, seq):
    n = _i64(n)
    if n < 0:
        raise ValueError("n must be >= 0")
    if n == 0:
        return iter(())
    it = iter(seq)
    priming = []
    while len(priming) < n - 1:
        ok, x = _next(it)
        if not ok:
            break
        priming.append(x)

    def step():
        window = None
        while True:
            ok, x = _next(it)
            if not ok or (window is None and len(priming) < n - 1):
                return
            window = (tuple(priming) if window is None else window[1:]) + (x,)
            yield window

    return step()


def _separated(el, it, ok, first):
    if not ok:
        return
    yield first
    while True:
        ok, x = _next(it)
        if not ok:
            return
        yield el
        yield x


def interpose(el, seq):
    it = iter(seq)
    ok, first = _next(it)
    if not ok:
        raise StopIteration
    return _separated(el, it, ok, first)


def pluck(ind, seqs, *rest):
    if len(rest) >= 2:
        raise TypeError("pluck takes at most 3 arguments")
    it = iter(seqs)

    def step():
        while True:
            ok, x = _next(it)
            if not ok:
                return
            yield get(ind, x, *rest)

    return step()


def merge_sorted(*seqs, key=None):
    import heapq

    return iter(heapq.merge(*seqs) if key is None else heapq.merge(*seqs, key=key))


def join(leftkey, leftseq, rightkey, rightseq, left_default=None, right_default=None):
    matched = set()
    right = iter(rightseq)

    def step():
        index = {}
        for x in leftseq:
            k = apply_key(leftkey, x)
            group = index.get(k)
            if group is None:
                index[k] = [x]
            else:
                group.append(x)
        while True:
            ok, y = _next(right)
            if not ok:
                break
            k = apply_key(rightkey, y)
            group = index.get(k)
            if group is not None:
                matched.add(k)
                yield from [(x, y) for x in group]
            elif left_default is not None:
                yield (left_default, y)
        if right_default is not None:
            rest = []
            for k, group in index.items():
                if k not in matched:
                    rest += [(x, right_default) for x in group]
            yield from rest

    return step()


_ABSENT = object()


def diff(*seqs, **kwargs):
    default = kwargs.get("default", _ABSENT)
    key = kwargs.get("key")
    if len(seqs) == 1 and isinstance(seqs[0], list):
        seqs = list.copy(seqs[0])
    if len(seqs) < 2:
        raise TypeError("Too few sequences given (min 2 required)")
    iters = [iter(s) for s in seqs]

    def step():
        while True:
            row, real = [], False
            for i, it in enumerate(iters):
                if it is None:
                    row.append(default)
                    continue
                ok, x = _next(it)
                if not ok:
                    if default is _ABSENT:
                        return
                    iters[i] = None
                    row.append(default)
                    continue
                real = True
                row.append(x)
            if not real:
                return
            values = row if key is None else [key(v) for v in row]
            if not all(values[0] == v for v in values[1:]):
                yield tuple(row)

    return step()
# ---- optional accessors ----------------------------------------------------------------------


def _opt(found, x):
    return Some(x) if found else NothingType()


def first_opt(seq):
    return _opt(*_next(iter(seq)))


def last_opt(seq):
    it = iter(seq)
    found, last = False, None
    while True:
        ok, x = _next(it)
        if not ok:
            return _opt(found, last)
        found, last = True, x


def nth_opt(n, seq):
    n = _usize(n)
    it = iter(seq)
    for _ in range(n):
        ok, _x = _next(it)
        if not ok:
            return NothingType()
    return _opt(*_next(it))


def get_in_opt(coll, *keys):
    for k in keys:
        try:
            coll = coll[k]
        except Exception as exc:
            if not _is_lookup_error(exc):
                raise
            return NothingType()
    return Some(coll)


def get_opt(ind, coll):
    return get_in_opt(coll, ind)


def peek_opt(seq):
    it = iter(seq)
    ok, x = _next(it)
    if not ok:
        return NothingType()
    return Some((x, itertools.chain((x,), it)))


# ---- topk --------------------------------------------------------------------------------------


def topk(k, seq, key=None):
    """The stable descending sort, decorated with (key, -position) when keyed. (The native
    selections for integer buffers and for one exact built-in type give the same answer.)"""
    k = _usize(k)
    it = iter(seq)
    rows = []
    while True:
        ok, x = _next(it)
        if not ok:
            break
        rows.append(x if key is None else (apply_key(key, x), -len(rows), x))
    rows.sort(reverse=True)
    return tuple(rows[:k]) if key is None else tuple(r[2] for r in rows[:k])


# ---- Iter --------------------------------------------------------------------------------------


class Iter:
    """The fluent wrapper."""

    def __init__(self, inner):
        self.inner = inner

    def __iter__(self):
        return iter(self.inner)

    def map(self, f):
        return Iter(map(f, self.inner))

    def filter(self, f):
        return Iter(filter(f, self.inner))

    def unique(self, key=None):
        return Iter(unique(self.inner, key))

    def take(self, n):
        return Iter(itertools.islice(self.inner, _usize(n)))

    def drop(self, n):
        return Iter(itertools.islice(self.inner, _usize(n), None))

    def partition_all(self, n):
        n = _usize(n)
        it = iter(self.inner)
        return Iter(_chunks(n, it, (), keep_short=True) if n else iter(()))

    def sliding_window(self, n):
        # no source has 2**63 items: a larger window is as good as that one
        return Iter(sliding_window(min(_usize(n), _I64_MAX), self.inner))

    def pluck(self, ind):
        return Iter(pluck(ind, self.inner))

    def interpose(self, el):
        it = iter(self.inner)

        def step():  # lazy: the first item is pulled by the first next()
            yield from _separated(el, it, *_next(it))

        return Iter(step())

    def flat_map(self, f):
        return Iter(mapcat(f, self.inner))

    def accumulate(self, binop):
        return Iter(accumulate(binop, self.inner))

    def collect(self):
        return list(self.inner)

    def reduce(self, binop, *rest):
        import functools

        if len(rest) >= 2:
            raise TypeError("reduce takes at most 2 arguments")
        return functools.reduce(binop, self.inner, *rest)

    def count(self):
        return count(self.inner)

    def frequencies(self):
        return frequencies(self.inner)

    def group_by(self, key):
        return groupby(key, self.inner)

    def to_dict(self):
        return dict(self.inner)

    def first(self):
        return first_opt(self.inner)

    def last(self):
        return last_opt(self.inner)

    def nth(self, i):
        return nth_opt(_usize(i), self.inner)


# ---- function combinators ----------------------------------------------------------------------

import inspect as _inspect

_UNRESOLVED = object()


class curry:  # noqa: N801 - the native class's name
    def __init__(self, func, *args, **kwargs):
        self.func, self.args, self.kwargs, self.sig = func, args, kwargs, _UNRESOLVED

    def __call__(self, *a, **k):
        P = self.args + a
        K = dict(self.kwargs)
        K.update(k)
        if self.sig is _UNRESOLVED:
            try:
                self.sig = _inspect.signature(self.func)
            except (ValueError, TypeError):
                self.sig = None
        if self.sig is None:
            return self.func(*P, **K)
        try:
            self.sig.bind(*P, **K)
        except TypeError:
            try:
                self.sig.bind_partial(*P, **K)
            except TypeError:
                return self.func(*P, **K)
            new = object.__new__(curry)
            new.func, new.args, new.kwargs, new.sig = self.func, P, K, self.sig
            return new
        return self.func(*P, **K)


def identity(x):
    return x


def apply(func, *args, **kwargs):
    return func(*args, **kwargs)


def do(func, x):
    func(x)
    return x


def _flip(func, a, b):
    return func(b, a)


flip = curry(_flip)


def pipe(data, *funcs):
    for f in funcs:
        data = f(data)
    return data


class Compose:
    def __init__(self, funcs):
        self.funcs = funcs

    def __call__(self, *args, **kwargs):
        value = self.funcs[0](*args, **kwargs)
        for f in self.funcs[1:]:
            value = f(value)
        return value


def compose(*funcs):
    return Compose(funcs[::-1]) if funcs else identity


def compose_left(*funcs):
    return Compose(funcs) if funcs else identity


def _thread(val, forms, last):
    for form in forms:
        if isinstance(form, tuple):
            func, extra = form[0], form[1:]
            val = func(*extra, val) if last else func(val, *extra)
        else:
            val = form(val)
    return val


def thread_first(val, *forms):
    return _thread(val, forms, False)


def thread_last(val, *forms):
    return _thread(val, forms, True)


class Juxt:
    def __init__(self, funcs):
        self.funcs = funcs

    def __call__(self, *args, **kwargs):
        return tuple(f(*args, **kwargs) for f in self.funcs)


def juxt(*funcs):
    if len(funcs) == 1 and not callable(funcs[0]):
        funcs = tuple(funcs[0])
    return Juxt(funcs)


class Complement:
    def __init__(self, func):
        self.func = func

    def __call__(self, *args, **kwargs):
        return not self.func(*args, **kwargs)


def complement(func):
    return Complement(func)


class Excepts:
    def __init__(self, exc, func, handler):
        self.exc, self.func, self.handler = exc, func, handler

    def __call__(self, *args, **kwargs):
        try:
            return self.func(*args, **kwargs)
        except BaseException as exc:  # noqa: B036 - matched against `exc` like the interpreter does
            if not issubclass(type(exc), self.exc):
                raise
            return None if self.handler is None else self.handler(exc)


def excepts(exc, func, handler=None):
    return Excepts(exc, func, handler)


def _memo_shape(func):
    try:
        params = _inspect.signature(func).parameters.values()
        P = _inspect.Parameter
        has_var = any(p.kind == P.VAR_POSITIONAL for p in params)
        may_kw = any(p.default is not P.empty or p.kind in (P.KEYWORD_ONLY, P.VAR_KEYWORD) for p in params)
        required = sum(1 for p in params
                       if p.default is P.empty and p.kind in (P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD))
    except MemoryError:
        raise
    except Exception:  # every ordinary failure of the analysis gives the fallback flags
        return False, True
    return (not may_kw and not has_var and required == 1), may_kw


def memo_key(shape, args, kwargs):
    """The cache key of a call without a key function, given `_memo_shape(func)`."""
    is_unary, may_have_kwargs = shape
    if is_unary and not kwargs and len(args) == 1:
        return args[0]
    frozen = frozenset(kwargs.items()) if kwargs else None
    if may_have_kwargs:
        return (args or None, frozen)
    if kwargs:
        return (args, frozen)
    return args


class Memoize:
    def __init__(self, func, cache, key):
        self.func, self.cache, self.key = func, cache, key
        self.is_unary, self.may_have_kwargs = _memo_shape(func)

    def __call__(self, *args, **kwargs):
        if self.key is not None:
            k = self.key(args, kwargs if kwargs else None)
        else:
            k = memo_key((self.is_unary, self.may_have_kwargs), args, kwargs)
        missing = object()
        found = dict.get(self.cache, k, missing)
        if found is not missing:
            return found
        result = self.func(*args, **kwargs)
        self.cache[k] = result
        return result


def memoize(func, cache=None, key=None):
    return Memoize(func, {} if cache is None else cache, key)


# ---- dictionary functions ------------------------------------------------------------------------

_MISSING = object()


def _new_result(factory):
    return {} if factory is None else factory()


def _items(source):
    for e in source.items():
        if not isinstance(e, tuple):
            raise TypeError(f"'{type(e).__qualname__}' object is not an instance of 'tuple'")
        yield e[0], e[1]


def _copy_into(target, source):
    for k, v in _items(source):
        target[k] = v


def _mapping_list(dicts):
    if len(dicts) == 1 and not hasattr(dicts[0], "keys"):
        return list(dicts[0])
    return dicts


def merge(*dicts, factory=None):
    if factory is None and dicts and all(type(d) is dict for d in dicts):
        result = dict(dicts[0])
        for d in dicts[1:]:
            result.update(d)
        return result
    result = _new_result(factory)
    for d in _mapping_list(dicts):
        if not hasattr(d, "keys"):
            raise TypeError(f"'{type(d).__name__}' object is not iterable")
        _copy_into(result, d)
    return result


def merge_with(func, *dicts, factory=None):
    groups = {}
    for d in _mapping_list(dicts):
        for k, v in _items(d):
            if k in groups:
                groups[k].append(v)
            else:
                groups[k] = [v]
    result = _new_result(factory)
    for k, vs in groups.items():
        result[k] = func(vs)
    return result


def assoc(d, key, value, factory=None):
    result = _new_result(factory)
    _copy_into(result, d)
    result[key] = value
    return result


def dissoc(d, *keys, factory=None):
    result = _new_result(factory)
    _copy_into(result, d)
    for k in keys:
        if k in result:
            del result[k]
    return result


def _pair(obj):
    it = iter(obj)
    parts = []
    for _ in range(2):
        ok, x = _next(it)
        if not ok:
            raise ValueError("dictionary update sequence element has length < 2; 2 is required")
        parts.append(x)
    if _next(it)[0]:
        raise ValueError("dictionary update sequence element has length > 2; 2 is required")
    return parts


def _map_items(d, factory, step):
    result = _new_result(factory)
    for k, v in _items(d):
        step(result, k, v)
    return result


def keymap(func, d, factory=None):
    def step(r, k, v):
        r[func(k)] = v

    return _map_items(d, factory, step)


def valmap(func, d, factory=None):
    def step(r, k, v):
        r[k] = func(v)

    return _map_items(d, factory, step)


def itemmap(func, d, factory=None):
    def step(r, k, v):
        nk, nv = _pair(func((k, v)))
        r[nk] = nv

    return _map_items(d, factory, step)


def _filter(test, d, factory):
    def step(r, k, v):
        if test(k, v):
            r[k] = v

    return _map_items(d, factory, step)


def keyfilter(predicate, d, factory=None):
    return _filter(lambda k, v: predicate(k), d, factory)


def valfilter(predicate, d, factory=None):
    return _filter(lambda k, v: predicate(v), d, factory)


def itemfilter(predicate, d, factory=None):
    return _filter(lambda k, v: predicate((k, v)), d, factory)


def _as_bool(v):
    if v is True or v is False:
        return v
    if v is None:
        raise TypeError("'None' is not an instance of 'bool'")
    raise TypeError(f"'{type(v).__qualname__}' object is not an instance of 'bool'")


def get_in(keys, coll, default=None, no_default=False):
    no_default = _as_bool(no_default)
    for k in keys:
        try:
            coll = coll[k]
        except Exception as exc:
            if no_default or not _is_lookup_error(exc):
                raise
            return default
    return coll


def _rec_update(d, keys, leaf, factory):
    result = _new_result(factory)
    existing = _MISSING
    if hasattr(d, "keys"):
        _copy_into(result, d)
        try:
            existing = d[keys[0]]
        except KeyError:
            pass
    if len(keys) == 1:
        new = leaf(existing)
    elif existing is not _MISSING:
        new = _rec_update(existing, keys[1:], leaf, factory)
    else:
        new = _rec_update(_new_result(factory), keys[1:], leaf, factory)
    result[keys[0]] = new
    return result


def _path(keys):
    keys = list(keys)
    if not keys:
        raise StopIteration
    return keys


def assoc_in(d, keys, value, factory=None):
    return _rec_update(d, _path(keys), lambda _: value, factory)


def update_in(d, keys, func, default=None, factory=None):
    return _rec_update(d, _path(keys), lambda old: func(default if old is _MISSING else old), factory)
