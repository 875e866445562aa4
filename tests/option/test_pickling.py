"""Option and result values survive pickle and copy; the combinator objects do not pickle."""

import copy
import pickle

import pytest
from hypothesis import given, strategies as st

import trovix._trovix as T
from trovix._trovix import Err, Nothing, NothingType, Ok, Some

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)

payloads = st.recursive(
    st.one_of(st.none(), st.integers(), st.floats(allow_nan=False), st.text(), st.binary()),
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.dictionaries(st.text(max_size=3), inner, max_size=3),
        st.builds(Some, inner), st.builds(Ok, inner), st.builds(Err, inner),
    ),
    max_leaves=8,
)
values = st.one_of(st.builds(Some, payloads), st.builds(Ok, payloads), st.builds(Err, payloads),
                   st.just(NothingType()))


def clones(value):
    for proto in PROTOCOLS:
        yield f"pickle protocol {proto}", pickle.loads(pickle.dumps(value, protocol=proto))
    yield "copy.copy", copy.copy(value)
    yield "copy.deepcopy", copy.deepcopy(value)


@given(values)
def test_values_round_trip_equal(value):
    for how, clone in clones(value):
        assert type(clone) is type(value), how
        assert clone == value, how
        assert repr(clone) == repr(value), how


def test_payload_sharing_and_exceptions():
    payload = [1, {"a": (2, 3)}]
    for cls in (Some, Ok, Err):
        v = cls(payload)
        shallow, deep = copy.copy(v), copy.deepcopy(v)
        assert shallow is not v and deep is not v
        assert (shallow.error if cls is Err else shallow.value) is payload
        inner = deep.error if cls is Err else deep.value
        assert inner == payload and inner is not payload

    # An Err from Result.of keeps the exception's type and arguments through pickling.
    err = T.Result.of(lambda: {}["missing"])
    for proto in PROTOCOLS:
        back = pickle.loads(pickle.dumps(err, protocol=proto))
        assert type(back.error) is KeyError and back.error.args == ("missing",)


def test_recursive_payload():
    box = []
    value = Some(box)
    box.append(value)
    for proto in PROTOCOLS:
        back = pickle.loads(pickle.dumps(value, protocol=proto))
        assert back.value[0] is back
    deep = copy.deepcopy(value)
    assert deep.value is not box and deep.value[0].value is deep.value


def test_nothing():
    # The module's Nothing comes back as itself; other instances as new, equal instances.
    for how, clone in clones(Nothing):
        assert clone is Nothing, how
    other = NothingType()
    for how, clone in clones(other):
        assert type(clone) is NothingType and clone == Nothing and clone is not Nothing, how
        assert clone is not other, how
    # Nested inside other structures, in one pickle, identity of the module's Nothing holds too.
    nested = pickle.loads(pickle.dumps([Some(Nothing), Nothing, Err(other)]))
    assert nested[0].value is Nothing and nested[1] is Nothing and nested[2] == Err(Nothing)


def test_reduce_signature():
    for value in (Some(1), Ok(1), Err(1), Nothing):
        assert type(value).__reduce__.__text_signature__ == "($self)"
        with pytest.raises(TypeError, match=r"__reduce__\(\) takes 0 positional arguments but 1 was given"):
            value.__reduce__(1)
    assert Some(1).__reduce__() == (Some, (1,))
    assert Err("e").__reduce__() == (Err, ("e",))
    assert Nothing.__reduce__() == "Nothing"
    assert NothingType().__reduce__() == (NothingType, ())


COMBINATOR_MAKERS = {
    "curry": lambda: T.curry(max, 1),
    "flip": lambda: T.flip,
    "compose": lambda: T.compose(str, abs),
    "complement": lambda: T.complement(bool),
    "juxt": lambda: T.juxt(str, abs),
    "excepts": lambda: T.excepts(ValueError, int),
    "memoize": lambda: T.memoize(abs),
}


@pytest.mark.parametrize("name", sorted(COMBINATOR_MAKERS))
def test_combinator_objects_do_not_pickle(name):
    obj = COMBINATOR_MAKERS[name]()
    for proto in PROTOCOLS:
        with pytest.raises((TypeError, pickle.PicklingError)):
            pickle.dumps(obj, protocol=proto)
