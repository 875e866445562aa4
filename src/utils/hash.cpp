#include "utils/hash.h"

namespace trovix {

bool is_lookup_error(PyObject* exc) noexcept {
    return PyErr_GivenExceptionMatches(exc, PyExc_KeyError) || PyErr_GivenExceptionMatches(exc, PyExc_IndexError) ||
           PyErr_GivenExceptionMatches(exc, PyExc_TypeError);
}

bool pending_is_lookup_error() noexcept {
    PyObject* exc = PyErr_Occurred();
    return exc != nullptr && is_lookup_error(exc);
}

}  // namespace trovix
