"""Dictionary functions against the plain-Python expressions that do the same job."""

import copy

from common import Case

from trovix import assoc_in, get_in, itemmap, keyfilter, merge, valmap

N = 100_000


def _get_abc(d):
    try:
        return d["a"]["b"]["c"]
    except (KeyError, IndexError, TypeError):
        return None


def _assoc_in_copy(d, keys, value):
    """assoc_in written with copy.copy per level."""
    top = copy.copy(d)
    level = top
    for k in keys[:-1]:
        nxt = level[k]
        nxt = copy.copy(nxt) if hasattr(nxt, "keys") else {}
        level[k] = nxt
        level = nxt
    level[keys[-1]] = value
    return top


def cases():
    a = {i: i for i in range(N)}
    b = {i + N // 2: -i for i in range(N)}
    s = {f"k{i}": i for i in range(N)}

    def pair_swap(kv):
        return kv[1], kv[0]

    def odd(k):
        return k & 1

    hit = {"a": {"b": {"c": 1, "d": 2}, "x": 3}}
    miss = {"a": {"x": {"c": 1}}}
    path = ["a", "b", "c"]

    def three_levels():
        inner = {f"c{i}": i for i in range(1000)}
        middle = {f"b{i}": inner if i == 500 else i for i in range(1000)}
        return {f"a{i}": middle if i == 500 else i for i in range(1000)}

    nested = three_levels()
    nested_path = ["a500", "b500", "c500"]

    wanted = frozenset(range(0, N, 3))
    keep = wanted.__contains__

    def plus_one(v):
        return v + 1

    # Callbacks written in C (abs, a set's __contains__, reversed) show the loop itself; with a
    # Python function the callback's own frame dominates, and the interpreter enters a function
    # called from a comprehension more cheaply than one called from native code.
    return [
        Case("merge(a, b): 1e5 int items each", lambda: merge(a, b), lambda: {**a, **b}, "{**a, **b}",
             goal=">= 0.9x"),
        Case("valmap(abs, d): 1e5 items", lambda: valmap(abs, b),
             lambda: {k: abs(v) for k, v in b.items()}, "dict comprehension", goal=">= 1.2x"),
        Case("valmap(python function, d): 1e5 items", lambda: valmap(plus_one, s),
             lambda: {k: plus_one(v) for k, v in s.items()}, "dict comprehension"),
        Case("keyfilter(set.__contains__, d): 1e5 items", lambda: keyfilter(keep, a),
             lambda: {k: v for k, v in a.items() if keep(k)}, "dict comprehension", goal=">= 1.2x"),
        Case("keyfilter(python function, d): 1e5 items", lambda: keyfilter(odd, a),
             lambda: {k: v for k, v in a.items() if odd(k)}, "dict comprehension"),
        Case("itemmap(reversed, d): 1e5 items", lambda: itemmap(reversed, s),
             lambda: dict(map(reversed, s.items())), "dict(map(f, d.items()))", goal=">= 1.2x"),
        Case("itemmap(python function, d): 1e5 items", lambda: itemmap(pair_swap, s),
             lambda: dict(map(pair_swap, s.items())), "dict(map(f, d.items()))",
             goal=">= 1.1x"),
        Case("get_in(['a', 'b', 'c'], d): hit", lambda: get_in(path, hit), lambda: _get_abc(hit),
             "try: d['a']['b']['c']", goal=">= 1.5x"),
        Case("get_in(['a', 'b', 'c'], d): miss", lambda: get_in(path, miss), lambda: _get_abc(miss),
             "try: d['a']['b']['c']", goal=">= 2x"),
        Case("assoc_in(d, [k1, k2, k3], v): 3 levels x 1e3", lambda: assoc_in(nested, nested_path, -1),
             lambda: _assoc_in_copy(nested, nested_path, -1), "copy.copy per level", goal=">= 2x"),
    ]
