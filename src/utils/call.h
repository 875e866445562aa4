// Calling Python callables from hot loops.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

namespace trovix {

// `callable(*args[0..nargs])`: straight through the callable's vectorcall entry when it has one
// (no call into the generic dispatcher), else through the interpreter's call. A new reference, or
// null with an exception set; a callable that fails without setting one gets the interpreter's
// SystemError.
inline PyObject* call_vector(PyObject* callable, PyObject* const* args, std::size_t nargs) noexcept {
    PyTypeObject* type = Py_TYPE(callable);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) [[likely]] {
        vectorcallfunc func;
        std::memcpy(&func, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof func);
        if (func != nullptr) [[likely]] {
            PyObject* result = func(callable, args, nargs, nullptr);
            if (result == nullptr && !PyErr_Occurred()) [[unlikely]] {
                PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
            }
            return result;
        }
    }
    return PyObject_Vectorcall(callable, args, nargs, nullptr);
}

inline PyObject* call_one(PyObject* callable, PyObject* arg) noexcept { return call_vector(callable, &arg, 1); }

// The full vectorcall `callable(*args[0..nargs], **dict(zip(kwnames, args[nargs:])))`, with the
// same shortcut as call_vector (`nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET).
inline PyObject* call_vector_kw(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) noexcept {
    PyTypeObject* type = Py_TYPE(callable);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) [[likely]] {
        vectorcallfunc func;
        std::memcpy(&func, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof func);
        if (func != nullptr) [[likely]] {
            PyObject* result = func(callable, args, nargsf, kwnames);
            if (result == nullptr && !PyErr_Occurred()) [[unlikely]] {
                PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
            }
            return result;
        }
    }
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}

// The truth value of `obj`: 1, 0, or -1 with an exception set. True, False and None answer
// without a call.
inline int truth(PyObject* obj) noexcept {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

}  // namespace trovix
