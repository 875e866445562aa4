// The element walk of the eager hashing functions: exact lists and tuples are indexed (the length
// is read again at every step, so items appended during the walk are visited), anything else is
// iterated. `step(Ref& item)` gets an owned reference it may keep (by moving it out) and returns
// false with an exception set to stop the walk. An iterated walk may never end
// (`itertools.repeat`), so it lets signal handlers run as it goes.
#pragma once

#include <Python.h>

#include "utils/ref.h"
#include "utils/source.h"

namespace trovix::sequences {

// A walk that does not look ahead.
struct NoLookahead {
    void operator()(PyObject*) const noexcept {}
};

// How far ahead `ahead` sees the items of a list or tuple.
inline constexpr Py_ssize_t kLookahead = 8;

// True when the walk finished; false with the exception set otherwise. For lists and tuples,
// `ahead(item)` is shown the item kLookahead places further (borrowed; it must not call into
// Python), e.g. to prefetch the table slot that item will need.
template <class Step, class Ahead = NoLookahead>
bool walk_items(PyObject* seq, Step&& step, Ahead&& ahead = Ahead{}) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            if (i + kLookahead < PyList_GET_SIZE(seq)) ahead(PyList_GET_ITEM(seq, i + kLookahead));
            Ref item = Ref::borrow(PyList_GET_ITEM(seq, i));
            if (!step(item)) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(seq)) {
        Py_ssize_t n = PyTuple_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i + kLookahead < n) ahead(PyTuple_GET_ITEM(seq, i + kLookahead));
            Ref item = Ref::borrow(PyTuple_GET_ITEM(seq, i));
            if (!step(item)) return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    iternextfunc next = Py_TYPE(it.get())->tp_iternext;
    std::size_t steps = 0;
    while (true) {
        if (poll_signals(steps) < 0) return false;
        Ref item = Ref::steal(next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
                PyErr_Clear();
            }
            return true;
        }
        if (!step(item)) return false;
    }
}

}  // namespace trovix::sequences
