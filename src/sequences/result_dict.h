// The result dicts of the counting and grouping functions.
#pragma once

#include <Python.h>

#include <cstddef>

namespace trovix::sequences {

// A new empty dict with room for `n` keys, so that filling it never resizes (null with an
// exception set on failure).
inline PyObject* new_dict(std::size_t n) noexcept { return _PyDict_NewPresized(static_cast<Py_ssize_t>(n)); }

}  // namespace trovix::sequences
