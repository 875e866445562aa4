// Element access: first, second, last, nth, get, peek, count, tail, take, drop, take_nth, cons.
//
// take, drop, take_nth and cons return the interpreter's own `itertools.islice` / `chain`
// objects unchanged; the others answer at once.
#pragma once

#include <Python.h>

#include <cstddef>

#include "utils/iterator.h"

namespace trovix::sequences {

extern PyMethodDef kCountDef;
extern PyMethodDef kFirstDef;
extern PyMethodDef kSecondDef;
extern PyMethodDef kLastDef;
extern PyMethodDef kNthDef;
extern PyMethodDef kGetDef;
extern PyMethodDef kPeekDef;
extern PyMethodDef kTakeDef;
extern PyMethodDef kDropDef;
extern PyMethodDef kTakeNthDef;
extern PyMethodDef kTailDef;
extern PyMethodDef kConsDef;

// Operations shared with other functions and methods.

// The number of items of `obj`: len(obj) when it has `__len__`, else counted by iterating.
// False with an exception set on failure.
[[nodiscard]] bool count_of(PyObject* obj, std::size_t& out) noexcept;

// The last `n` items of `obj`: `obj[-n:]` when `obj` accepts that slice (n == 0 selects
// everything), else a tuple of the last `n` items of its iteration (all of them for n == 0).
// A new reference, or null with an exception set.
PyObject* tail_of(std::size_t n, PyObject* obj);

// The first item of `seq` (end when it is empty).
Next first_of(PyObject* seq) noexcept;

// The pair (first item, iterator over every item) of `seq` (end when it is empty); the source
// iterator has been advanced by one item. `itertools.chain` is looked up at every call.
Next peek_of(PyObject* seq) noexcept;

// The item at position `n` of `seq` (end when an iterated `seq` runs out first). Lists, tuples
// and registered sequences are indexed with `n` as given; anything else needs 0 <= n.
Next nth_of(PyObject* n, PyObject* seq) noexcept;

// `obj[key]`. An exact list or tuple with a small exact int key in range is read directly; every
// other case (and an index out of range, for the container's own IndexError) goes through the
// item protocol. A new reference, or null with the exception set.
inline PyObject* subscript(PyObject* obj, PyObject* key) noexcept {
    if (PyLong_CheckExact(key) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(key))) {
        Py_ssize_t i = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(key));
        if (PyTuple_CheckExact(obj)) {
            Py_ssize_t n = PyTuple_GET_SIZE(obj);
            if (i < 0) i += n;
            if (i >= 0 && i < n) return Py_NewRef(PyTuple_GET_ITEM(obj, i));
        } else if (PyList_CheckExact(obj)) {
            Py_ssize_t n = PyList_GET_SIZE(obj);
            if (i < 0) i += n;
            if (i >= 0 && i < n) return Py_NewRef(PyList_GET_ITEM(obj, i));
        }
    }
    return PyObject_GetItem(obj, key);
}

// `coll[key]`; with a `fallback` (may be null), a lookup error (KeyError, IndexError, TypeError)
// gives a new reference to the fallback instead. Null with the exception set otherwise.
PyObject* get_item_or(PyObject* coll, PyObject* key, PyObject* fallback) noexcept;

// The tuple (coll[k0], coll[k1], ...) for the list `keys`, each lookup under the rule of
// get_item_or. The keys are read by index as the list stands at each step: the walk stops at the
// length it had at the start, or earlier if a lookup shrinks it.
PyObject* get_items_or(PyObject* coll, PyObject* keys, PyObject* fallback) noexcept;

}  // namespace trovix::sequences
