"""Fast functional-style tools: sequence functions, combinators, dictionary functions,
option values and a fluent iterator, implemented natively in ``trovix._trovix``."""

from trovix import _trovix
from trovix._trovix import *  # noqa: F401,F403

__all__: list[str] = []
__all__ += _trovix.__all__  # a form type checkers follow: the package exports what the module does
