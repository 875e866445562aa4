// Building blocks of the callable wrapper classes (curry, Compose, Juxt, Complement, Excepts,
// Memoize).
//
// Every wrapper holds references to arbitrary callables, so it takes part in cyclic garbage
// collection: `GcFields<T, &T::a, &T::b, ...>` gives the dealloc / traverse / clear slots that
// visit and drop exactly the listed reference fields. A wrapper is called through its vectorcall
// entry: its first field after the header is `vectorcallfunc vectorcall`, published to the
// interpreter by `kVectorcallMembers<T>`.
//
//     struct JuxtObject { PyObject_HEAD vectorcallfunc vectorcall; PyObject* funcs; };
//     using JuxtGc = GcFields<JuxtObject, &JuxtObject::funcs>;
//     PyType_Slot slots[] = { WRAPPER_GC_SLOTS(JuxtGc), WRAPPER_CALL_SLOTS(JuxtObject), ... };
#pragma once

#include <Python.h>

#include <cstddef>

#include "utils/types.h"

namespace trovix::combinators {

template <class T, PyObject* T::*... Fields>
struct GcFields {
    static T* of(PyObject* self) noexcept { return reinterpret_cast<T*>(self); }

    static void dealloc(PyObject* self) noexcept {
        PyObject_GC_UnTrack(self);
        clear(self);
        free_instance(self);
    }
    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(self));
        int r = 0;
        ((r == 0 ? (r = visit_field(of(self)->*Fields, visit, arg)) : 0), ...);
        return r;
    }
    static int clear(PyObject* self) noexcept {
        (clear_field(of(self)->*Fields), ...);
        return 0;
    }

private:
    static void clear_field(PyObject*& field) noexcept { Py_CLEAR(field); }
    static int visit_field(PyObject* field, visitproc visit, void* arg) noexcept {
        return field != nullptr ? visit(field, arg) : 0;
    }
};

template <class T>
inline PyMemberDef kVectorcallMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(T, vectorcall)), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#define WRAPPER_GC_SLOTS(Gc)                                             \
    {Py_tp_dealloc, reinterpret_cast<void*>(&Gc::dealloc)},              \
        {Py_tp_traverse, reinterpret_cast<void*>(&Gc::traverse)},        \
        {Py_tp_clear, reinterpret_cast<void*>(&Gc::clear)}

#define WRAPPER_CALL_SLOTS(T)                                            \
    {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},           \
        {Py_tp_members, ::trovix::combinators::kVectorcallMembers<T>}

// Allocates a wrapper of class `def` with its vectorcall entry set (other fields null); null with
// an exception set.
template <class T>
T* new_wrapper(const TypeDef& def, vectorcallfunc call) noexcept {
    PyTypeObject* type = get_type_for_instance(def);
    if (type == nullptr) return nullptr;
    T* obj = alloc_instance<T>(type);
    if (obj != nullptr) obj->vectorcall = call;
    return obj;
}

// A new tuple of `args[0..n]`, or null with an exception set.
inline PyObject* tuple_of(PyObject* const* args, Py_ssize_t n) noexcept {
    PyObject* t = PyTuple_New(n);
    if (t == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(args[i]));
    return t;
}

// The error of a wrapper whose references were dropped by the garbage collector (a finaliser can
// still reach it); never seen in ordinary use.
inline PyObject* raise_cleared() noexcept {
    PyErr_SetString(PyExc_ReferenceError, "the wrapped callable was released by the garbage collector");
    return nullptr;
}

}  // namespace trovix::combinators
