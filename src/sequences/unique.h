// unique and isdistinct, their dedicated iterator classes, and the shared key rule.
#pragma once

#include <Python.h>

#include "utils/types.h"

namespace trovix::sequences {

extern PyMethodDef kUniqueDef;      // unique(seq, key=None)
extern PyMethodDef kIsdistinctDef;  // isdistinct(seq)

extern const TypeDef kUniqueIterType;
extern const TypeDef kUniqueIntIterType;
// Registration hooks: put the native next step into the classes' next slots.
int install_unique_iter_next(PyTypeObject* type) noexcept;
int install_unique_int_iter_next(PyTypeObject* type) noexcept;

// unique(seq, key): `key` null for none. New reference, or null with the exception set.
PyObject* unique_of(PyObject* seq, PyObject* key);

// The key rule of groupby, countby, reduceby, topk and join: a callable key is called with the
// item; a list key gives the tuple (item[k0], item[k1], ...); any other key is item[key].
// New reference, or null with the exception set.
PyObject* apply_key(PyObject* key, PyObject* item);

}  // namespace trovix::sequences
