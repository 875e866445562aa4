"""Fast functional-style tools: sequence functions, combinators, dictionary functions,
option values and a fluent iterator, implemented natively in ``trovix._trovix``."""

from trovix import _trovix
from trovix._trovix import *  # noqa: F401,F403

__all__ = list(_trovix.__all__)
