"""Dictionary functions: the factory rule, item reading, messages, mutation during the work,
and paths far deeper than the interpreter's recursion limit."""

from collections import OrderedDict

import pytest

import trovix._trovix as T

from memlimit import outcomes_when_memory_runs_out, skip_if_sanitized

NOT_TUPLE = "'list' object is not an instance of 'tuple'"
SHORT = "dictionary update sequence element has length < 2; 2 is required"
LONG = "dictionary update sequence element has length > 2; 2 is required"


class Counting:
    """A factory that counts its calls."""

    def __init__(self, make=dict):
        self.calls, self.make = 0, make

    def __call__(self):
        self.calls += 1
        return self.make()


class ItemsOnly:
    """A mapping with nothing but keys(), items() and item access."""

    def __init__(self, pairs, element=tuple):
        self.pairs, self.element = list(pairs), element

    def keys(self):
        return [k for k, _ in self.pairs]

    def items(self):
        return [self.element(p) for p in self.pairs]

    def __getitem__(self, key):
        return dict(self.pairs)[key]


class Overriding(dict):
    """A dict subclass whose methods lie; only items() and item access may be used."""

    def items(self):
        return [(k, v * 10 if type(v) is int else v) for k, v in super().items()]

    def __setitem__(self, key, value):
        raise AssertionError("an input was modified")

    __delitem__ = update = __setitem__


def call(f):
    try:
        return ("ok", f())
    except Exception as exc:
        return (type(exc).__name__, str(exc))


@pytest.mark.parametrize("make", [
    lambda F: T.merge(factory=F), lambda F: T.merge({}, factory=F), lambda F: T.merge_with(sum, factory=F),
    lambda F: T.assoc({}, 1, 2, factory=F), lambda F: T.dissoc({1: 2}, 1, factory=F),
    lambda F: T.valmap(str, {}, factory=F), lambda F: T.itemfilter(bool, {}, F),
    lambda F: T.assoc_in({"a": 1}, ["a"], 2, factory=F), lambda F: T.update_in({}, ["a"], str, factory=F),
])
def test_factory_called_once_per_result(make):
    F = Counting(OrderedDict)
    assert type(make(F)) is OrderedDict and F.calls == 1


def test_factory_details():
    F = Counting()
    assert T.assoc_in({}, ["a", "b"], 1, factory=F) == {"a": {"b": 1}} and F.calls == 3
    assert T.merge_with(print) == {} and T.valmap(print, {}, factory=tuple) == ()
    # a result without item assignment fails with the interpreter's own error at the first one
    assert call(lambda: T.valmap(str, {1: 2}, factory=tuple)) == \
        ("TypeError", "'tuple' object does not support item assignment")
    assert call(lambda: T.assoc({}, 1, 2, factory=frozenset))[0] == "TypeError"
    assert call(lambda: T.dissoc({1: 2}, 1, factory=lambda: {1: 2}.keys()))[0] == "TypeError"
    F = Counting()
    assert call(lambda: T.merge_with(sum, {1: 1}, 5, factory=F))[0] == "AttributeError" and F.calls == 0


def test_merge_and_association():
    a, b = {1: 2}, {1: 3, 4: 5}
    assert T.merge(a, b) == {1: 3, 4: 5} and a == {1: 2} and T.merge(a) is not a
    assert T.merge([{1: 2}, {3: 4}]) == {1: 2, 3: 4} and T.merge(iter([a])) == a
    assert call(lambda: T.merge([{1: 2}], {3: 4})) == ("TypeError", "'list' object is not iterable")
    assert call(lambda: T.merge({1: 2}, 5)) == ("TypeError", "'int' object is not iterable")
    assert call(lambda: T.merge({}, {}, None)) == ("TypeError", "'NoneType' object is not iterable")
    assert call(lambda: T.merge(5)) == ("TypeError", "'int' object is not iterable")
    assert T.merge(a, Overriding({1: 1, 7: 7}), ItemsOnly([(8, 9)])) == {1: 10, 7: 70, 8: 9}
    assert list(T.merge({3: 0}, {1: 0}, {3: 1})) == [3, 1]
    seen = []
    assert T.merge_with(lambda vs: seen.append(list(vs)) or sum(vs), {1: 1, 2: 2}, {1: 10}) == {1: 11, 2: 2}
    assert seen == [[1, 10], [2]]
    assert T.merge_with(len, [Overriding({1: 1}), {1: 2}]) == {1: 2}
    assert T.assoc(Overriding({1: 1}), 2, 3) == {1: 10, 2: 3}
    assert T.dissoc({1: 2, 3: 4}, 1, 5, 1) == {3: 4} and T.dissoc(ItemsOnly([(1, 2)])) == {1: 2}
    assert call(lambda: T.dissoc({}, [1])) == ("TypeError", "cannot use 'list' as a dict key (unhashable type: 'list')")


CHANGED_SIZE = "dictionary changed size during iteration"
NO_ITEMS = ("AttributeError", "'int' object has no attribute 'items'")


# A non-mapping is an error (merge and merge_with take a lone argument for an iterable of
# mappings), except on a path, where it is replaced.
@pytest.mark.parametrize("f, non_mapping", [
    (lambda d: T.merge(d, factory=dict), ("TypeError", "'int' object is not iterable")),
    (lambda d: T.merge_with(list, d), ("TypeError", "'int' object is not iterable")),
    (lambda d: T.assoc(d, 1, 2), NO_ITEMS), (lambda d: T.dissoc(d), NO_ITEMS),
    (lambda d: T.keymap(str, d), NO_ITEMS), (lambda d: T.valmap(str, d), NO_ITEMS),
    (lambda d: T.itemmap(tuple, d), NO_ITEMS), (lambda d: T.keyfilter(bool, d), NO_ITEMS),
    (lambda d: T.valfilter(bool, d), NO_ITEMS), (lambda d: T.itemfilter(bool, d), NO_ITEMS),
    (lambda d: T.assoc_in(d, [1, 2], 3), ("ok", {1: {2: 3}})),
])
def test_items_must_be_pairs(f, non_mapping):
    assert call(lambda: f(ItemsOnly([(1, 2)], element=list))) == ("TypeError", NOT_TUPLE)
    assert call(lambda: f(ItemsOnly([(1,)])))[0] == "IndexError"
    assert call(lambda: f(5)) == non_mapping


def test_mapping_and_filtering():
    assert T.keymap(str.lower, {"A": 1, "a": 2}) == {"a": 2}
    assert T.itemmap(reversed, {1: 2}) == {2: 1} and T.itemmap(lambda kv: [kv[1], 0], {1: 2}) == {2: 0}
    for bad, expected in [(lambda kv: (kv[0],), SHORT), (lambda kv: (), SHORT), (lambda kv: iter([1]), SHORT),
                          (lambda kv: (1, 2, 3), LONG), (lambda kv: iter(range(10**9)), LONG)]:
        assert call(lambda: T.itemmap(bad, {1: 2})) == ("ValueError", expected)
    assert call(lambda: T.itemmap(lambda kv: None, {1: 2})) == ("TypeError", "'NoneType' object is not iterable")
    assert T.keyfilter(lambda k: k > 1, {1: "a", 2: "b"}) == {2: "b"}
    assert T.valfilter(lambda v: v, {1: 0, 2: [], 3: "x"}) == {3: "x"}
    got = []
    assert T.itemfilter(lambda kv: got.append(kv) or True, {1: 2, 3: 4}) == {1: 2, 3: 4}
    assert got == [(1, 2), (3, 4)]
    assert T.valmap(str, Overriding({1: 1})) == {1: "10"}
    assert call(lambda: T.valfilter(lambda v: NotBool(), {1: 2})) == ("ValueError", "no truth")


class NotBool:
    def __bool__(self):
        raise ValueError("no truth")


def test_get_in():
    assert T.get_in(["a", "b"], {"a": {"b": 1}}) == 1
    assert T.get_in(["a", "x"], {"a": {}}) is None and T.get_in(["a", "x"], {"a": {}}, 0) == 0
    assert call(lambda: T.get_in(["a", "x"], {"a": {}}, no_default=True)) == ("KeyError", "'x'")
    assert T.get_in(["a", 5], {"a": [1, 2]}) is None and T.get_in(["a", "b"], {"a": 1}) is None
    assert T.get_in(["a", [1]], {"a": {}}) is None
    d = {"a": 1}
    assert T.get_in([], d) is d and T.get_in("ab", {"a": {"b": 2}}) == 2
    assert T.get_in(iter(["a"]), ItemsOnly([("a", 3)])) == 3
    exc = pytest.raises(TypeError, T.get_in, ["a"], {}, no_default=1).value
    assert str(exc) == "'int' object is not an instance of 'bool'"
    assert exc.__notes__ == ["while processing 'no_default'"]

    class Odd(dict):
        def __getitem__(self, key):
            raise ValueError(key)

    assert call(lambda: T.get_in(["a"], Odd())) == ("ValueError", "a")
    assert call(lambda: T.get_in(5, {})) == ("TypeError", "'int' object is not iterable")


def test_assoc_in_and_update_in():
    d = {"a": {"b": 1, "c": [2]}, "z": [3]}
    r = T.assoc_in(d, ["a", "b"], 9)
    assert r == {"a": {"b": 9, "c": [2]}, "z": [3]} and d == {"a": {"b": 1, "c": [2]}, "z": [3]}
    assert r["z"] is d["z"] and r["a"]["c"] is d["a"]["c"] and r["a"] is not d["a"]
    assert T.assoc_in({"a": 5}, ["a", "b"], 1) == {"a": {"b": 1}} and T.assoc_in(None, ["a"], 1) == {"a": 1}
    assert T.update_in({"a": 1}, ["a"], lambda v: v + 1) == {"a": 2}
    assert T.update_in({}, ["a"], repr, default=10) == {"a": "10"} and T.update_in({}, ["a"], repr) == {"a": "None"}
    assert T.update_in({"a": [1, 2]}, ["a", 0], repr) == {"a": {0: "None"}}
    assert T.update_in(Overriding({"a": {"b": 1}}), ["a", "b"], repr) == {"a": {"b": "1"}}
    for f in (lambda: T.assoc_in({}, [], 1), lambda: T.update_in({}, iter([]), str)):
        exc = pytest.raises(StopIteration, f).value
        assert exc.args == ()

    class Odd(dict):
        def __getitem__(self, key):
            raise IndexError(key)

    assert call(lambda: T.assoc_in(Odd(a=1), ["a"], 2)) == ("IndexError", "a")
    assert call(lambda: T.update_in({}, ["a"], None))[0] == "TypeError"


def test_path_lookups_never_change_a_defaultdict():
    from collections import Counter, defaultdict

    d = defaultdict(dict, {"x": defaultdict(list)})
    assert T.get_in(["a", "b"], d) is None and T.get_in(["x", "y"], d, 0) == 0 and T.get_in(["x"], d) is d["x"]
    assert call(lambda: T.get_in(["x", (1, 2)], d, no_default=True)) == ("KeyError", "(1, 2)")
    assert T.assoc_in(d, ["a", "b"], 1) == {"a": {"b": 1}, "x": {}}
    assert T.update_in(d, ["x", "y", "z"], repr) == {"x": {"y": {"z": "None"}}} and d == {"x": {}}
    # Other mappings keep plain item access: a Counter's answer for a missing key counts.
    c = Counter()
    assert T.get_in(["a"], c) == 0 and T.update_in(c, ["a"], lambda v: v + 1) == {"a": 1} and c == {}


def test_path_keys_changed_by_python_code_during_the_walk():
    import gc

    marker = object()
    path = ["a", marker, "c"]

    class Clearing(dict):
        def items(self):
            [ref.clear() for ref in gc.get_referrers(marker) if type(ref) is list and ref is not path]
            return super().items()

    assert T.assoc_in(Clearing(a={}), path, 1) == {"a": {marker: {"c": 1}}} and len(path) == 3


DEEP = 10**6


@pytest.mark.no_leakcheck("a path of a million keys: slow under the debug interpreter, nothing to count")
def test_paths_deeper_than_the_recursion_limit():
    keys = list(range(DEEP))
    deep = T.assoc_in({}, keys, "leaf")
    assert T.get_in(keys, deep) == "leaf" and T.get_in(keys + ["x"], deep) is None
    updated = T.update_in(deep, keys, str.upper)
    assert T.get_in(keys, updated) == "LEAF" and T.get_in(keys, deep) == "leaf"
    again = T.assoc_in(deep, iter(keys[: DEEP // 2]), 0)
    assert T.get_in(keys[: DEEP // 2], again) == 0 and T.get_in(keys[: DEEP // 2 + 1], deep) is not None
    del deep, updated, again


@skip_if_sanitized
@pytest.mark.no_leakcheck("runs in a child process")
def test_long_paths_give_memory_error_when_memory_runs_out():
    calls = ["lambda: T.assoc_in({}, path, 1)", "lambda: T.update_in({}, path, str)"]
    assert outcomes_when_memory_runs_out("path = [0] * 8_000_000", calls, headroom=96 << 20) == ["MemoryError"] * 2


def test_sources_mutated_during_the_work():
    d = {i: i for i in range(10)}

    def grow(v):
        d[len(d) + 100] = v
        return v

    for f in (T.valmap, T.keymap, T.keyfilter):
        with pytest.raises(RuntimeError):
            f(grow, d)

    class Stealing(dict):
        """A factory result whose assignment empties the source."""

        def __setitem__(self, key, value):
            source.clear()
            super().__setitem__(key, value)

    source = {i: i for i in range(10)}
    with pytest.raises(RuntimeError):
        T.assoc(source, 1, 2, factory=Stealing)
    source = {i: {i: i} for i in range(10)}
    with pytest.raises(RuntimeError):
        T.assoc_in(source, [1, 1], 2, factory=Stealing)

    victims = []

    class Shrinking:
        """A key whose comparison empties the dicts being merged in."""

        def __hash__(self):
            return 1

        def __eq__(self, other):
            for v in victims:
                v.clear()
            return False

    victim = {Shrinking(): 1, Shrinking(): 2, 3: 3}
    victims.append(victim)
    assert call(lambda: T.merge({Shrinking(): 0}, victim)) == ("RuntimeError", "dict mutated during update")
    victims.clear()
    victim = {Shrinking(): 1, Shrinking(): 2, 3: 3}
    victims.append(victim)
    assert call(lambda: T.merge_with(list, {Shrinking(): 0}, victim)) == ("RuntimeError", CHANGED_SIZE)
    victims[:] = [{1: 1, 2: 2, 3: 3}]
    assert call(lambda: T.keymap(lambda k: Shrinking(), victims[0])) == ("RuntimeError", CHANGED_SIZE)

    lists = []
    r = T.merge_with(lambda vs: lists.append(vs) or vs.clear() or 0, {1: 1}, {1: 2, 2: 3})
    assert r == {1: 0, 2: 0}


ENDLESS = """
class Endless:
    def keys(self):
        return itertools.repeat(1)

    def items(self):
        return itertools.repeat((1, 2))
"""


@pytest.mark.parametrize("body", [
    ENDLESS + "T.merge({}, Endless())",
    ENDLESS + "T.merge_with(sum, {}, Endless())",
    ENDLESS + "T.valmap(abs, Endless())",
    "d = {}; d[0] = d; T.get_in(itertools.repeat(0), d)",
], ids=["merge", "merge_with", "valmap", "get_in"])
def test_endless_walks_let_signal_handlers_run(body):
    from interrupt import assert_interruptible

    assert_interruptible(body)
