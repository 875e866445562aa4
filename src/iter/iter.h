// The fluent wrapper `Iter`: `Iter(data).map(f).filter(p).take(10).collect()`.
//
// An Iter holds one object, `inner`, and never changes it. Each method hands `inner` to an
// operation of the sequence, grouping or accessor families (or to a built-in) and either wraps
// the lazy result in a new Iter or returns the eager result. It adds no iteration logic of its own.
#pragma once

#include <Python.h>

#include "utils/types.h"

namespace trovix::iter {

extern const TypeDef kIterType;

}  // namespace trovix::iter
