// Lazily created heap types, one set per interpreter (utils/interp.h).
//
// Every class of the module is described by a static `TypeDef` and created from it the first
// time an interpreter needs it, then kept for the life of that interpreter. Common properties: qualified name
// "trovix._trovix.<Name>", base `object`, not subclassable, immutable, no instance dict, no weak
// references. Classes without a constructor also cannot be instantiated. A class takes part in
// cyclic garbage collection only if its slots include Py_tp_traverse (the value classes that can
// hold an exception, whose traceback easily leads back to the value). Instances are called through
// their vectorcall entry when the class's members include "__vectorcalloffset__".
#pragma once

#include <Python.h>

#include "utils/once.h"

namespace trovix {

// A class attribute put into the type's dict right after creation (e.g. `__match_args__`).
struct ClassAttr {
    const char* name;
    PyObject* (*make)();  // new reference or null with an exception set
};

struct TypeDef {
    const char* name;        // bare class name, e.g. "Some"
    const char* doc;         // docstring (text-signature head for classes with a constructor), or null
    int basicsize;           // instance size
    PyType_Slot* slots;      // terminated by {0, nullptr}; include Py_tp_new for a constructor
    const ClassAttr* attrs;  // terminated by {nullptr, nullptr}, or null
    OnceCell* cell;          // the cell holding the type
};

// The type object (borrowed, owned by its cell), creating it on first use; null with the
// interpreter's error set if it cannot be created.
PyTypeObject* get_type(const TypeDef& def) noexcept;

// For registration: like get_type, but a failure becomes RuntimeError
// "An error occurred while initializing class <Name>" (or "... `<Name>.__dict__`") chained to
// the interpreter's error.
PyTypeObject* get_type_for_registration(const TypeDef& def) noexcept;

// For making an instance where the type may not exist yet: a failure is reported as unraisable
// and becomes PanicException "failed to create type object for `<Name>`".
PyTypeObject* get_type_for_instance(const TypeDef& def) noexcept;

// Allocates an instance of `type` (fields zeroed), or null with an exception set.
template <class T>
T* alloc_instance(PyTypeObject* type) noexcept {
    return reinterpret_cast<T*>(type->tp_alloc(type, 0));
}

// Frees an instance after its fields were released; drops the instance's reference to its
// heap type. (A garbage-collected class untracks the instance before releasing its fields.)
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace trovix
