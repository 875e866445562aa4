"""Some / NothingType / Ok / Err values and the Option / Result namespaces."""

import pytest
from hypothesis import given, strategies as st

from trovix._trovix import Err, Nothing, NothingType, Ok, Option, Result, Some

payloads = st.one_of(st.none(), st.integers(), st.floats(allow_nan=False), st.text(), st.tuples(st.integers()))


class TestConstruction:
    def test_payload_attributes_are_read_only(self):
        for obj, attr in ((Some(1), "value"), (Ok(1), "value"), (Err(1), "error")):
            assert getattr(obj, attr) == 1
            with pytest.raises(AttributeError):
                setattr(obj, attr, 2)
            with pytest.raises(AttributeError):
                obj.other = 3

    def test_keyword_construction(self):
        assert Some(value=3).value == 3
        assert Ok(value=3).value == 3
        assert Err(error=3).error == 3

    def test_nothing_instances_are_equal_but_distinct(self):
        assert isinstance(Nothing, NothingType)
        other = NothingType()
        assert other == Nothing and other is not Nothing

    def test_constructor_binding_errors(self):
        with pytest.raises(TypeError, match=r"^NothingType.__new__\(\) takes 0 positional arguments but 1 was given$"):
            NothingType(1)
        with pytest.raises(TypeError, match=r"^Some.__new__\(\) missing 1 required positional argument: 'value'$"):
            Some()
        with pytest.raises(TypeError, match=r"^Err.__new__\(\) got an unexpected keyword argument 'value'$"):
            Err(value=1)
        with pytest.raises(TypeError, match=r"^Ok.__new__\(\) got multiple values for argument 'value'$"):
            Ok(1, value=2)
        with pytest.raises(TypeError, match=r"^Some.__new__\(\) takes 1 positional arguments but 2 were given$"):
            Some(1, 2)

    def test_namespaces_are_not_instantiable(self):
        for cls in (Option, Result):
            with pytest.raises(TypeError):
                cls()


class TestSome:
    def test_chaining(self):
        assert Some(2).map(lambda v: v * 3) == Some(6)
        assert Some(2).filter(lambda v: v > 1) == Some(2)
        assert Some(2).unwrap() == 2
        assert Some(2).unwrap_or(9) == 2
        assert Some(2).unwrap_or_else(lambda: pytest.fail("must not be called")) == 2
        assert Some(2).ok_or("e") == Ok(2)
        assert Some(2).is_some() is True and Some(2).is_none() is False

    def test_filter_returns_fresh_values(self):
        s = Some(1)
        kept = s.filter(lambda v: True)
        assert kept == s and kept is not s
        dropped = s.filter(lambda v: v > 5)
        assert dropped == Nothing and dropped is not Nothing

    def test_filter_truth_test_errors_propagate(self):
        class Bad:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            Some(1).filter(lambda v: Bad())

    def test_and_then(self):
        assert Some(2).and_then(lambda v: Some(v + 1)) == Some(3)
        nothing = NothingType()
        assert Some(2).and_then(lambda v: nothing) is nothing
        with pytest.raises(TypeError, match="^and_then callback must return an Option$"):
            Some(2).and_then(lambda v: v * 2)
        with pytest.raises(TypeError, match="^and_then callback must return an Option$"):
            Some(2).and_then(lambda v: Ok(v))

    @given(payloads)
    def test_truthy_whatever_the_payload(self, v):
        assert bool(Some(v)) is True
        assert Some(v).is_some()


class TestNothing:
    def test_callbacks_are_not_called(self):
        boom = lambda *a: pytest.fail("must not be called")  # noqa: E731
        assert Nothing.map(boom) == Nothing
        assert Nothing.and_then(boom) == Nothing
        assert Nothing.filter(boom) == Nothing
        assert Nothing.map(boom) is not Nothing

    def test_values(self):
        assert Nothing.unwrap_or(5) == 5
        assert Nothing.unwrap_or_else(lambda: 7) == 7
        assert Nothing.ok_or("e") == Err("e")
        assert Nothing.is_none() and not Nothing.is_some()
        assert bool(Nothing) is False
        assert repr(Nothing) == "Nothing" == repr(NothingType())

    def test_unwrap_raises(self):
        with pytest.raises(ValueError, match="^called `unwrap` on Nothing$"):
            Nothing.unwrap()

    def test_unused_arguments_are_still_required(self):
        with pytest.raises(TypeError, match=r"^NothingType.map\(\) missing 1 required positional argument: 'f'$"):
            Nothing.map()
        with pytest.raises(TypeError, match=r"^NothingType.unwrap\(\) takes 0 positional arguments but 1 was given$"):
            Nothing.unwrap(1)


class TestResult:
    def test_ok(self):
        assert Ok(2).map(lambda v: v + 1) == Ok(3)
        assert Ok(2).map_err(lambda e: pytest.fail("no")) == Ok(2)
        assert Ok(2).unwrap() == 2 and Ok(2).unwrap_or(0) == 2
        assert Ok(2).ok() == Some(2) and Ok(2).err() == Nothing
        assert Ok(2).is_ok() and not Ok(2).is_err()
        assert bool(Ok(None)) is True

    def test_err(self):
        assert Err(1).map(lambda v: pytest.fail("no")) == Err(1)
        assert Err(1).map_err(lambda e: e + 1) == Err(2)
        assert Err(1).and_then(lambda v: pytest.fail("no")) == Err(1)
        assert Err(1).unwrap_or(0) == 0
        assert Err(1).ok() == Nothing and Err(1).err() == Some(1)
        assert Err(1).is_err() and not Err(1).is_ok()
        assert bool(Err(1)) is False

    def test_err_unwrap_message_uses_repr(self):
        with pytest.raises(ValueError, match=r"^called `unwrap` on Err\(ValueError\('x'\)\)$"):
            Err(ValueError("x")).unwrap()

    def test_and_then(self):
        bad = Err("bad")
        assert Ok(2).and_then(lambda v: bad) is bad
        with pytest.raises(TypeError, match="^and_then callback must return a Result$"):
            Ok(2).and_then(lambda v: Some(v))

    def test_err_map_still_requires_its_argument(self):
        with pytest.raises(TypeError, match=r"^Err.map\(\) missing 1 required positional argument: 'f'$"):
            Err(1).map()


class TestFactories:
    def test_option_of(self):
        assert isinstance(Option.of(None), NothingType)
        assert Option.of(None) is not Nothing
        assert Option.of(0) == Some(0)

    def test_result_of_catches_exceptions(self):
        r = Result.of(lambda: 1 / 0)
        assert isinstance(r, Err) and isinstance(r.error, ZeroDivisionError)
        assert Result.of(lambda: 5) == Ok(5)
        not_callable = Result.of(5)
        assert isinstance(not_callable.error, TypeError)

    @pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
    def test_result_of_lets_base_exceptions_through(self, exc):
        def f():
            raise exc

        with pytest.raises(exc):
            Result.of(f)

    def test_signatures(self):
        assert Option.of.__text_signature__ == "(v)"
        assert Result.of.__text_signature__ == "(f)"


class TestComparison:
    def test_equality_by_class_and_payload(self):
        assert Some(1) == Some(1.0)
        assert Some(1) != Some(2)
        assert Some(1) != Ok(1)
        assert (Some(1) == 1) is False
        assert (Ok(1) == Err(1)) is False
        assert (Nothing == None) is False  # noqa: E711

    def test_ne_against_other_types(self):
        assert (Some(1) != 1) is True
        assert (Nothing != NothingType()) is False
        assert (Err(1) != Ok(1)) is True

    def test_payload_eq_errors_propagate(self):
        class Bad:
            def __eq__(self, other):
                raise RuntimeError("eq")

        with pytest.raises(RuntimeError, match="eq"):
            Some(Bad()) == Some(1)  # noqa: B015

    def test_nan_payloads_compare_by_value(self):
        nan = float("nan")
        assert Some(nan) != Some(nan)

    def test_ordering_and_hashing_unsupported(self):
        with pytest.raises(TypeError):
            Some(1) < Some(2)  # noqa: B015
        for v in (Some(1), Nothing, Ok(1), Err(1)):
            with pytest.raises(TypeError):
                hash(v)

    @given(payloads, payloads)
    def test_equality_matches_payload_equality(self, a, b):
        for cls in (Some, Ok, Err):
            assert (cls(a) == cls(b)) == (a == b)
            assert (cls(a) != cls(b)) == (a != b)


class TestReprAndMatching:
    def test_repr(self):
        assert repr(Some("a")) == "Some('a')"
        assert repr(Ok([1])) == "Ok([1])"
        assert repr(Err(None)) == "Err(None)"
        assert repr(Some(Some(1))) == "Some(Some(1))"

    def test_repr_errors_propagate(self):
        class Bad:
            def __repr__(self):
                raise KeyError("r")

        with pytest.raises(KeyError):
            repr(Some(Bad()))

    def test_pattern_matching(self):
        def describe(v):
            match v:
                case Some(x):
                    return ("some", x)
                case NothingType():
                    return ("nothing",)
                case Ok(x):
                    return ("ok", x)
                case Err(e):
                    return ("err", e)

        assert describe(Some(1)) == ("some", 1)
        assert describe(Nothing) == ("nothing",)
        assert describe(Ok(3)) == ("ok", 3)
        assert describe(Err("e")) == ("err", "e")
        assert Some.__match_args__ == ("value",) and Err.__match_args__ == ("error",)
