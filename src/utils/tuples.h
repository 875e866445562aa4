// Building result tuples.
#pragma once

#include <Python.h>

namespace trovix {

// Whether a container holding `item` has to be tracked by the garbage collector: the interpreter's
// own test (an object of a type with GC support, except an exact tuple that is untracked).
inline bool may_need_tracking(PyObject* item) noexcept {
    return PyType_IS_GC(Py_TYPE(item)) && !(PyTuple_CheckExact(item) && !PyObject_GC_IsTracked(item));
}

// Takes a freshly built, fully filled exact tuple out of the garbage collector's list when none of
// its items can lead to a cycle: each is of a type without GC support, or an exact tuple that is
// itself untracked. This is the interpreter's own rule for tuples (its collector untracks such
// tuples when it first meets them), applied at creation, so that streams of tuples of numbers or
// strings cost the collector nothing.
inline void untrack_if_atomic(PyObject* tuple) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        // (A static type object counts as collectable here: that only keeps the tuple tracked.)
        if (may_need_tracking(PyTuple_GET_ITEM(tuple, i))) return;
    }
    if (PyObject_GC_IsTracked(tuple)) PyObject_GC_UnTrack(tuple);
}

}  // namespace trovix
