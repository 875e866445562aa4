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
