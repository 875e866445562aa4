"""Optional accessors: first_opt, last_opt, nth_opt, get_opt, get_in_opt, peek_opt."""

import itertools

import pytest
from hypothesis import given, strategies as st

from trovix._trovix import (Nothing, NothingType, Some, first_opt, get_in_opt, get_opt, last_opt,
                            nth_opt, peek_opt)


def model_nth(n, seq):
    for i, x in enumerate(seq):
        if i == n:
            return Some(x)
    return NothingType()


def model_get_in(coll, *keys):
    for k in keys:
        try:
            coll = coll[k]
        except (KeyError, IndexError, TypeError):
            return NothingType()
    return Some(coll)


def fresh_nothing(value):
    return type(value) is NothingType and value == Nothing and value is not Nothing


sources = st.lists(st.integers(-5, 5), max_size=8)


@given(sources, st.sampled_from([list, tuple, iter, lambda v: (x for x in v)]), st.integers(0, 10))
def test_iteration_accessors_match_plain_python(values, make, n):
    assert first_opt(make(values)) == (Some(values[0]) if values else Nothing)
    assert last_opt(make(values)) == (Some(values[-1]) if values else Nothing)
    assert nth_opt(n, make(values)) == model_nth(n, values)
    peeked = peek_opt(make(values))
    if values:
        head, it = peeked.value
        assert head == values[0] and list(it) == values
    else:
        assert fresh_nothing(peeked)


@given(st.recursive(st.integers(0, 3) | st.text(max_size=2),
                    lambda c: st.lists(c, max_size=3) | st.dictionaries(st.integers(0, 3) | st.text(max_size=2), c,
                                                                      max_size=3),
                    max_leaves=10),
       st.lists(st.integers(-4, 4) | st.text(max_size=2), max_size=4))
def test_get_in_opt_matches_a_plain_walk(coll, keys):
    assert get_in_opt(coll, *keys) == model_get_in(coll, *keys)
    if keys:
        assert get_opt(keys[0], coll) == model_get_in(coll, keys[0])


@pytest.mark.parametrize("call, expected", [
    (lambda: first_opt([]), Nothing),
    (lambda: first_opt([None]), Some(None)),
    (lambda: last_opt(iter([])), Nothing),
    (lambda: last_opt(range(5)), Some(4)),
    (lambda: nth_opt(0, "abc"), Some("a")),
    (lambda: nth_opt(3, "abc"), Nothing),
    (lambda: nth_opt(True, "abc"), Some("b")),
    (lambda: get_opt(5, [1, 2]), Nothing),
    (lambda: get_opt("k", {}), Nothing),
    (lambda: get_opt(-1, [1, 2]), Some(2)),
    (lambda: get_opt(slice(1, None), [1, 2]), Some([2])),
    (lambda: get_opt("a", 5), Nothing),
    (lambda: get_in_opt({"a": {"b": 1}}, "a", "b"), Some(1)),
    (lambda: get_in_opt({"a": 1}, "a", "b"), Nothing),
    (lambda: peek_opt([]), Nothing),
])
def test_documented_answers(call, expected):
    got = call()
    assert got == expected and type(got) is type(expected)
    if expected is Nothing:
        assert got is not Nothing
    assert bool(first_opt([None]))


def test_get_in_opt_without_keys_is_the_collection_itself():
    d = {}
    assert get_in_opt(d).value is d


def test_last_opt_consumes_a_generator_and_keeps_only_the_last():
    g = (x for x in range(3))
    assert last_opt(g) == Some(2)
    assert next(g, "done") == "done"


def test_peek_opt_advances_the_source_by_exactly_one():
    src = iter([1, 2, 3])
    head, it = peek_opt(src).value
    assert head == 1 and next(src) == 2
    assert list(it) == [1, 3]
    assert isinstance(it, itertools.chain)


class Broken(Exception):
    pass


def failing_at(k):
    """A generator that yields 0..k-1 and then raises Broken."""
    yield from range(k)
    raise Broken


@pytest.mark.parametrize("n", [1, 3])
def test_nth_opt_propagates_source_errors_in_skip_and_fetch(n):
    with pytest.raises(Broken):
        nth_opt(n, failing_at(1))


def test_errors_other_than_lookup_errors_propagate():
    class Picky(dict):
        def __getitem__(self, key):
            raise ValueError(key)

    with pytest.raises(ValueError):
        get_opt("a", Picky())
    with pytest.raises(ValueError):
        get_in_opt({"a": Picky()}, "a", "b")
    for f in (first_opt, last_opt, peek_opt):
        with pytest.raises(Broken):
            f(failing_at(0))
        with pytest.raises(TypeError):
            f(5)


def test_lookup_error_subclasses_count_as_missing():
    class Missing(KeyError):
        pass

    class Weird:
        def __getitem__(self, key):
            raise Missing(key)

    assert get_opt(1, Weird()) == Nothing
    assert get_in_opt([Weird()], 0, 1) == Nothing


@pytest.mark.parametrize("n, exc", [(-1, OverflowError), (2**64, OverflowError), ("2", TypeError), (1.0, TypeError)])
def test_nth_opt_rejects_bad_indices_with_a_note(n, exc):
    with pytest.raises(exc) as info:
        nth_opt(n, [1, 2])
    assert info.value.__notes__ == ["while processing 'n'"]


def test_binding():
    with pytest.raises(TypeError, match=r"^get_opt\(\) missing 1 required positional argument: 'coll'$"):
        get_opt(1)
    with pytest.raises(TypeError, match=r"^get_in_opt\(\) got an unexpected keyword argument 'keys'$"):
        get_in_opt({}, keys=1)
    assert nth_opt(seq="ab", n=1) == Some("b")
    assert get_in_opt(coll={"a": 1}) == Some({"a": 1})


def test_subclasses_are_read_through_their_own_iteration():
    class Backwards(list):
        def __iter__(self):
            return iter(self[::-1])

    class Pair(tuple):
        def __iter__(self):
            return iter("xy")

    assert first_opt(Backwards([1, 2, 3])) == Some(3) and last_opt(Backwards([1, 2, 3])) == Some(1)
    assert nth_opt(1, Backwards([1, 2, 3])) == Some(2)
    assert first_opt(Pair((1, 2))) == Some("x") and last_opt(Pair((1, 2))) == Some("y")
    assert nth_opt(5, (1, 2)) == Nothing and last_opt(()) == Nothing
