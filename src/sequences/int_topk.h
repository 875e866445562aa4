// Native selection of the k largest values of an integer buffer: the fast path of `topk`.
#pragma once

#include <Python.h>

#include <cstddef>

namespace trovix::sequences {

// The `k` largest values of a qualifying one-dimensional contiguous integer buffer, largest
// first, as a new tuple of ints. When `seq` does not qualify, returns null with no exception set
// and `qualified` false; the caller then takes its general path. On a real failure returns null
// with the exception set (`qualified` true).
PyObject* topk_int(std::size_t k, PyObject* seq, bool& qualified);

}  // namespace trovix::sequences
