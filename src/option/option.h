// Some / NothingType / Ok / Err values and the Option / Result namespaces.
#pragma once

#include <Python.h>

#include "utils/types.h"

namespace trovix::option {

extern const TypeDef kSomeType;
extern const TypeDef kNothingType;
extern const TypeDef kOptionType;
extern const TypeDef kOkType;
extern const TypeDef kErrType;
extern const TypeDef kResultType;

// New instances for other operations (null with an exception set on failure).
PyObject* new_some(PyObject* value) noexcept;
PyObject* new_nothing() noexcept;
PyObject* new_ok(PyObject* value) noexcept;
PyObject* new_err(PyObject* error) noexcept;

}  // namespace trovix::option
