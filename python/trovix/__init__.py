"""Fast functional-style tools: sequence functions, combinators, dictionary functions,
option values and a fluent iterator, implemented natively in ``trovix._trovix``."""

from typing import TypeVar as _TypeVar

from trovix import _trovix
from trovix._trovix import *  # noqa: F401,F403
from trovix._trovix import Err, NothingType, Ok, Some

# Annotations for either kind of optional value, and either kind of result. The namespaces
# `Option` and `Result` hold the factories (`Option.of`, `Result.of`), so they cannot be these
# unions themselves.
_T = _TypeVar("_T")
_E = _TypeVar("_E")
OptionOf = Some[_T] | NothingType
ResultOf = Ok[_T] | Err[_E]

__all__: list[str] = []
__all__ += _trovix.__all__  # a form type checkers follow: the package exports what the module does
__all__ += ["OptionOf", "ResultOf"]


def __getattr__(name: str) -> str:
    # The version is read from the installed metadata on first use, not at import (reading it
    # imports importlib.metadata).
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("trovix")
        except PackageNotFoundError:  # imported from a source tree, not installed
            raise AttributeError("trovix.__version__: the package is not installed (no distribution metadata)") from None
        globals()["__version__"] = value
        return value
    raise AttributeError(f"module 'trovix' has no attribute {name!r}")
