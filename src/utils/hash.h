// Hashing objects, and the "not found" test of lookups with a default.
#pragma once

#include <Python.h>

#include "utils/errors.h"

namespace trovix {

// The interpreter's hash of `obj`, or -1 with an exception set (the object's own error, e.g.
// TypeError for an unhashable object, or SystemError "FFI call failed without setting an
// exception"). Shortcuts: an exact str with its hash already cached costs no call; with
// `small_int_shortcut`, an exact int of a single internal digit (|v| < 2**30) hashes to itself
// (-1 becomes -2), which is what the interpreter returns for it.
inline Py_hash_t py_hash(PyObject* obj, bool small_int_shortcut) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(obj)->hash;
        if (cached != -1) return cached;
    } else if (small_int_shortcut && type == &PyLong_Type) {
        auto* v = reinterpret_cast<PyLongObject*>(obj);
        if (PyUnstable_Long_IsCompact(v)) {
            Py_ssize_t value = PyUnstable_Long_CompactValue(v);
            return value == -1 ? -2 : static_cast<Py_hash_t>(value);
        }
    }
    Py_hash_t h = PyObject_Hash(obj);
    if (h == -1) [[unlikely]] ffi_err();
    return h;
}

// True when `exc` (an exception instance) is a KeyError, IndexError or TypeError, or an instance of
// a subclass of one of them: the failures that count as "not found" where a default is returned.
bool is_lookup_error(PyObject* exc) noexcept;

// The same test on the pending exception (false when none is pending).
bool pending_is_lookup_error() noexcept;

}  // namespace trovix
