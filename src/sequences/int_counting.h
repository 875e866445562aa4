// Native counting of integer buffers: the fast path of `frequencies`.
#pragma once

#include <Python.h>

namespace trovix::sequences {

// Counts the values of a qualifying one-dimensional contiguous integer buffer and returns a new
// dict value -> count in first-occurrence order. When `seq` does not qualify, returns null with
// no exception set and `qualified` false; the caller then takes its general path. On a real
// failure returns null with the exception set (`qualified` true).
PyObject* frequencies_int(PyObject* seq, bool& qualified);

}  // namespace trovix::sequences
