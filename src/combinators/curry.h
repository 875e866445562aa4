// curry: partial application decided by the wrapped callable's signature.
#pragma once

#include <Python.h>

#include "utils/types.h"

namespace trovix::combinators {

extern const TypeDef kCurryType;

// The module's `flip`: a curry of the builtin function "flip" (helpers.h), no arguments bound.
PyObject* make_flip();

}  // namespace trovix::combinators
