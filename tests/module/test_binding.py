"""The shared argument-binding procedure, exercised through the registered callables."""

import re

import pytest

import trovix._trovix as T
from trovix._trovix import Nothing, Ok, Some


def raises_exactly(exc, message):
    return pytest.raises(exc, match="^" + re.escape(message) + "$")


class TestMethodBinding:
    def test_keyword_binding(self):
        assert Some(1).map(f=lambda v: v + 1) == Some(2)
        assert Nothing.unwrap_or(default=3) == 3
        assert T.Option.of(v=None) == Nothing

    def test_messages(self):
        with raises_exactly(TypeError, "Some.map() takes 1 positional arguments but 2 were given"):
            Some(1).map(abs, abs)
        with raises_exactly(TypeError, "Some.map() got an unexpected keyword argument 'g'"):
            Some(1).map(g=abs)
        with raises_exactly(TypeError, "Some.map() got multiple values for argument 'f'"):
            Some(1).map(abs, f=abs)
        with raises_exactly(TypeError, "Ok.unwrap() got an unexpected keyword argument 'x'"):
            Ok(1).unwrap(x=1)
        with raises_exactly(TypeError, "Option.of() missing 1 required positional argument: 'v'"):
            T.Option.of()
        with raises_exactly(TypeError, "Result.of() takes 1 positional arguments but 3 were given"):
            T.Result.of(1, 2, 3)

    def test_unexpected_keyword_reported_before_missing(self):
        # keywords are checked in the order given, before missing parameters
        with raises_exactly(TypeError, "Some.__new__() got an unexpected keyword argument 'x'"):
            Some(x=1)

    def test_failed_binding_consumes_nothing(self):
        it = iter([1, 2, 3])
        with pytest.raises(TypeError):
            Some(it, 2)
        assert list(it) == [1, 2, 3]


class TestCallbackExceptions:
    @pytest.mark.parametrize("exc", [KeyboardInterrupt, ValueError, StopIteration, SystemExit])
    def test_callback_exceptions_pass_unchanged(self, exc):
        err = exc("boom")

        def f(v):
            raise err

        with pytest.raises(exc) as info:
            Some(1).map(f)
        assert info.value is err


class TestFunctionBinding:
    def test_message_forms(self):
        with raises_exactly(TypeError, "take() missing 1 required positional argument: 'seq'"):
            T.take(1)
        with raises_exactly(TypeError, "take() missing 2 required positional arguments: 'n' and 'seq'"):
            T.take()
        with raises_exactly(TypeError, "take() takes 2 positional arguments but 3 were given"):
            T.take(1, [], 3)
        with raises_exactly(TypeError, "first() takes 1 positional arguments but 2 were given"):
            T.first([], [])
        with raises_exactly(TypeError, "take() got multiple values for argument 'n'"):
            T.take(1, seq=[], n=2)
        with raises_exactly(TypeError, "first() got an unexpected keyword argument 'other'"):
            T.first(seq=[1], other=2)
        with raises_exactly(TypeError, "concatv() got an unexpected keyword argument 'seqs'"):
            T.concatv(seqs=[1])

    def test_keywords_bind_in_any_order(self):
        assert list(T.take(seq=[1, 2, 3], n=2)) == [1, 2]
        assert T.nth(seq="abc", n=1) == "b"

    def test_integer_conversion(self):
        class Index:
            def __index__(self):
                return 1

        assert list(T.tail(Index(), [5, 6])) == [6]
        for bad, exc in (("2", TypeError), (1.0, TypeError), (2**200, OverflowError), (-1, OverflowError)):
            with pytest.raises(exc) as info:
                T.tail(bad, [1])
            assert info.value.__notes__ == ["while processing 'n'"], bad

    def test_index_errors_propagate_with_note(self):
        class BadIndex:
            def __index__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError) as info:
            T.tail(BadIndex(), [1])
        assert info.value.__notes__ == ["while processing 'n'"]

    def test_conversion_failure_consumes_nothing(self):
        it = iter([1, 2, 3])
        with pytest.raises(TypeError):
            T.tail("x", it)
        assert list(it) == [1, 2, 3]
