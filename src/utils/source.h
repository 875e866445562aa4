// Pulling items out of a source argument.
//
// `PySource` reads an exact `list` or `tuple` by index (no iterator object, no call per item)
// and everything else through its iterator. The list variant re-reads the length at every step,
// so items appended during iteration are seen and a shortened list ends early; once it has
// reached the end it stays finished, like the interpreter's own list iterator. Subclasses go
// through their iterator because they may override item access or `__iter__`.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>

#include "utils/iterator.h"
#include "utils/ref.h"

namespace trovix {

// The classic next call on an iterator: an item, the end (a StopIteration raised by the iterator
// is absorbed) or an error. Iterators over iterators nest native calls as deep as the chain, so
// the call goes through the interpreter's stack guard (RecursionError instead of a C stack
// overflow).
// The interpreter's iterators over its own containers never pull from another iterator (and a
// generator's frame has its own guard): the guard is skipped for them.
inline bool is_leaf_iterator(PyTypeObject* t) noexcept {
    return t == &PyListIter_Type || t == &PyTupleIter_Type || t == &PyRangeIter_Type || t == &PyLongRangeIter_Type ||
           t == &PyGen_Type || t == &PyDictIterKey_Type || t == &PyDictIterValue_Type || t == &PyDictIterItem_Type ||
           t == &PySetIter_Type;
}

inline Next next_of(PyObject* iterator) noexcept {
    PyTypeObject* type = Py_TYPE(iterator);
    PyObject* item;
    if (is_leaf_iterator(type)) [[likely]] {
        item = (*type->tp_iternext)(iterator);
    } else {
        if (Py_EnterRecursiveCall(" while getting the next item")) [[unlikely]] return Next::error();
        item = (*type->tp_iternext)(iterator);
        Py_LeaveRecursiveCall();
    }
    if (item != nullptr) [[likely]] return Next::item(item);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return Next::error();
        PyErr_Clear();
    }
    return Next::end();
}

// For native loops that drain a source without running Python code of their own: every 65536
// steps, lets pending signal handlers run (so Ctrl-C can stop `count(itertools.count())`).
// Returns -1 with the handler's exception set, else 0.
inline int poll_signals(std::size_t& steps) noexcept {
    if ((++steps & 0xFFFF) != 0) [[likely]] return 0;
    return PyErr_CheckSignals();
}

class PySource {
public:
    // An empty source (only useful as a placeholder).
    PySource() noexcept = default;
    PySource(PySource&&) noexcept = default;
    PySource& operator=(PySource&&) noexcept = default;

    // The source for `obj`: read by index for an exact list or tuple, else `iter(obj)`. An empty
    // PySource with the interpreter's error set (e.g. TypeError for an object that is not
    // iterable) on failure.
    static PySource open(PyObject* obj) noexcept {
        PySource s;
        if (PyList_CheckExact(obj)) {
            s.obj_ = Ref::borrow(obj);
            s.is_list_ = true;
        } else if (PyTuple_CheckExact(obj)) {
            s.obj_ = Ref::borrow(obj);
            s.is_tuple_ = true;
        } else {
            s.obj_ = Ref::steal(PyObject_GetIter(obj));
        }
        return s;
    }

    // False for an empty source (a failed `open`).
    explicit operator bool() const noexcept { return static_cast<bool>(obj_); }

    // The next item, the end, or an error raised by the source's iterator.
    Next next() noexcept {
        if (is_list_) [[likely]] {
            if (finished_) return Next::end();
            PyObject* list = obj_.get();
            if (index_ >= static_cast<std::size_t>(PyList_GET_SIZE(list))) {
                finished_ = true;
                return Next::end();
            }
            return Next::item(Py_NewRef(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(index_++))));
        }
        if (is_tuple_) {
            PyObject* tuple = obj_.get();
            if (index_ >= static_cast<std::size_t>(PyTuple_GET_SIZE(tuple))) return Next::end();
            return Next::item(Py_NewRef(PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(index_++))));
        }
        if (!obj_) [[unlikely]] return Next::end();  // cleared by the garbage collector
        return next_of(obj_.get());
    }

    // Stores up to `n` next items (new references) into dst[0..n): returns how many were stored
    // (fewer than `n` only when the source has ended), or -1 on an error, leaving the items
    // already stored in `dst` for the caller to release.
    Py_ssize_t fill(PyObject** dst, Py_ssize_t n) noexcept {
        if (is_list_ || is_tuple_) {
            // Taking references runs no code, so the list cannot change while the run is copied.
            if (finished_) return 0;
            PyObject* seq = obj_.get();
            Py_ssize_t len = is_list_ ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
            auto index = static_cast<Py_ssize_t>(index_);
            Py_ssize_t take = len > index ? std::min(n, len - index) : 0;
            PyObject** items = is_list_ ? &PyList_GET_ITEM(seq, 0) : &PyTuple_GET_ITEM(seq, 0);
            for (Py_ssize_t i = 0; i < take; ++i) dst[i] = Py_NewRef(items[index + i]);
            index_ += static_cast<std::size_t>(take);
            if (take < n && is_list_) finished_ = true;  // stays finished, as next() would
            return take;
        }
        if (!obj_) [[unlikely]] return 0;
        return fill_from_iterator(obj_.get(), dst, n, !is_builtin_iterator());
    }

    // True when taking items runs no Python code and allocates nothing the garbage collector
    // tracks: a list or tuple read by index, or the interpreter's own iterator over a list, tuple
    // or range (a chunk being filled from one cannot be seen half-filled).
    bool runs_no_code() const noexcept { return is_list_ || is_tuple_ || is_builtin_iterator(); }

    // The garbage collector's look at the list, tuple or iterator.
    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(obj_.get());
        return 0;
    }

    // `guarded`: under the interpreter's stack guard (an iterator that may pull from another).
    static Py_ssize_t fill_from_iterator(PyObject* it, PyObject** dst, Py_ssize_t n, bool guarded = true) noexcept;

    // How many items are probably left: a hint failing with an ordinary error counts as 0; -1
    // with the exception set when it failed with one that must propagate (KeyboardInterrupt,
    // MemoryError, ...).
    Py_ssize_t length_hint() const noexcept;

    // For a source read by index: the item `k` places after the next one (borrowed), or null.
    // Only for prefetching: the item may be gone by the time the source reaches it.
    PyObject* ahead(std::size_t k) const noexcept {
        if (is_list_) {
            std::size_t i = index_ + k;
            return !finished_ && i < static_cast<std::size_t>(PyList_GET_SIZE(obj_.get()))
                       ? PyList_GET_ITEM(obj_.get(), static_cast<Py_ssize_t>(i))
                       : nullptr;
        }
        if (is_tuple_) {
            std::size_t i = index_ + k;
            return i < static_cast<std::size_t>(PyTuple_GET_SIZE(obj_.get()))
                       ? PyTuple_GET_ITEM(obj_.get(), static_cast<Py_ssize_t>(i))
                       : nullptr;
        }
        return nullptr;
    }

    bool is_list() const noexcept { return is_list_; }
    // True when items are read by index: taking one runs no Python code.
    bool is_indexed() const noexcept { return is_list_ || is_tuple_; }
    // The list or tuple (read by index) or the iterator, borrowed.
    PyObject* get() const noexcept { return obj_.get(); }

private:
    bool is_builtin_iterator() const noexcept {
        if (!obj_ || is_list_ || is_tuple_) return false;
        PyTypeObject* t = Py_TYPE(obj_.get());
        return t == &PyListIter_Type || t == &PyTupleIter_Type || t == &PyRangeIter_Type || t == &PyLongRangeIter_Type;
    }

    Ref obj_;
    std::size_t index_ = 0;
    bool is_list_ = false;
    bool is_tuple_ = false;
    bool finished_ = false;
};

}  // namespace trovix
