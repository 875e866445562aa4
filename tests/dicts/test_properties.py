"""Differential properties of the dictionary functions against plain-Python references, on nested
inputs: the inputs stay unchanged, the results equal the references (key order included), and
what lies off a path is shared, not copied."""

import copy
from collections import OrderedDict, defaultdict

from hypothesis import given, strategies as st

import trovix._trovix as T

KEYS = st.one_of(st.integers(-3, 3), st.sampled_from(["a", "b", "c", ""]))
LEAVES = st.one_of(st.integers(), st.none(), st.lists(st.integers(), max_size=2))
NESTED = st.recursive(LEAVES, lambda inner: st.dictionaries(KEYS, inner, max_size=4), max_leaves=12)
DICTS = st.dictionaries(KEYS, NESTED, max_size=5)
PATHS = st.lists(KEYS, min_size=1, max_size=4)


class Sub(dict):
    """A dict subclass: takes the general paths."""


def as_mapping(d, kind):
    return {"dict": lambda: d, "sub": lambda: Sub(d), "ordered": lambda: OrderedDict(d)}[kind]()


MAPPING_KINDS = st.sampled_from(["dict", "sub", "ordered"])


def same(a, b):
    return a == b and list(a) == list(b)


@given(st.lists(DICTS, max_size=4), MAPPING_KINDS, st.booleans())
def test_merge_and_merge_with(ds, kind, as_list):
    ms = [as_mapping(d, kind) for d in ds]
    before = copy.deepcopy(ms)
    args = (ms,) if as_list else tuple(ms)
    expected = {k: v for d in ds for k, v in d.items()}
    assert same(T.merge(*args), expected)
    assert same(T.merge(*args, factory=OrderedDict), OrderedDict(expected))
    grouped = defaultdict(list)
    for d in ds:
        for k, v in d.items():
            grouped[k].append(v)
    assert same(T.merge_with(tuple, *args), {k: tuple(vs) for k, vs in grouped.items()})
    assert ms == before


@given(DICTS, KEYS, LEAVES, st.lists(KEYS, max_size=4), MAPPING_KINDS)
def test_assoc_and_dissoc(d, key, value, drop, kind):
    m = as_mapping(d, kind)
    before = copy.deepcopy(m)
    assert same(T.assoc(m, key, value), {**d, key: value})
    assert same(T.dissoc(m, *drop), {k: v for k, v in d.items() if k not in drop})
    r = T.assoc(m, key, value)
    assert all(r[k] is d[k] for k in d if k != key)
    assert m == before


def tag(x):
    return ("t", repr(x))


def small(x):
    return repr(x) < "5"


@given(DICTS, MAPPING_KINDS)
def test_mapping_and_filtering(d, kind):
    m = as_mapping(d, kind)
    before = copy.deepcopy(m)
    assert same(T.keymap(tag, m), {tag(k): v for k, v in d.items()})
    assert same(T.valmap(tag, m), {k: tag(v) for k, v in d.items()})
    assert same(T.itemmap(lambda kv: (tag(kv[1]), kv[0]), m), {tag(v): k for k, v in d.items()})
    assert same(T.keyfilter(small, m), {k: v for k, v in d.items() if small(k)})
    assert same(T.valfilter(small, m), {k: v for k, v in d.items() if small(v)})
    assert same(T.itemfilter(small, m), {k: v for k, v in d.items() if small((k, v))})
    assert same(T.valmap(tag, m, factory=OrderedDict), OrderedDict((k, tag(v)) for k, v in d.items()))
    assert m == before


def ref_get_in(keys, coll, default=None):
    for k in keys:
        try:
            coll = coll[k]
        except (KeyError, IndexError, TypeError):
            return default
    return coll


def ref_update_in(d, keys, func, default=None):
    """update_in written with copy.copy per level."""
    top = copy.copy(d) if hasattr(d, "keys") else {}
    level = top
    for k in keys[:-1]:
        nxt = level.get(k) if k in level else None
        nxt = copy.copy(nxt) if hasattr(nxt, "keys") else {}
        level[k] = nxt
        level = nxt
    k = keys[-1]
    level[k] = func(level[k] if k in level else default)
    return top


@given(DICTS, PATHS, MAPPING_KINDS)
def test_nested_paths(d, keys, kind):
    m = as_mapping(d, kind)
    before = copy.deepcopy(m)
    assert T.get_in(keys, m, "miss") == ref_get_in(keys, d, "miss")
    assert same(T.assoc_in(m, keys, "new"), ref_update_in(d, keys, lambda _: "new"))
    r = T.update_in(m, keys, tag, default=0)
    assert same(r, ref_update_in(d, keys, tag, default=0))
    assert m == before
    # off the path everything is shared; on it every mapping is a new copy
    src = m
    for k in keys:
        assert all(r[j] is src[j] for j in src if j != k)
        if k not in src or not hasattr(src[k], "keys"):
            break
        assert r[k] is not src[k]
        src, r = src[k], r[k]
