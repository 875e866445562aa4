// memoize and its cache wrapper Memoize.
#pragma once

#include <Python.h>

#include "utils/types.h"

namespace trovix::combinators {

extern const TypeDef kMemoizeType;

extern PyMethodDef kMemoizeDef;

}  // namespace trovix::combinators
