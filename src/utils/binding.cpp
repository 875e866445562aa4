#include "utils/binding.h"

#include "utils/errors.h"

#include <cstring>
#include <string>

namespace trovix {

namespace {

std::string full_name(const Signature& sig) {
    std::string s;
    if (sig.cls != nullptr) {
        s += sig.cls;
        s += '.';
    }
    s += sig.name;
    s += "()";
    return s;
}

void raise_too_many(const Signature& sig, std::size_t given) {
    const char* verb = given == 1 ? "was" : "were";
    std::string name = full_name(sig);
    if (sig.nrequired == sig.npos) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zu %s given", name.c_str(),
                     static_cast<int>(sig.npos), given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zu %s given",
                     name.c_str(), static_cast<int>(sig.nrequired), static_cast<int>(sig.npos), given,
                     verb);
    }
}

void raise_unexpected(const Signature& sig, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name(sig).c_str(), key);
}

void raise_multiple(const Signature& sig, const char* param) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(sig).c_str(), param);
}

// Fails with the "missing" message if a required positional parameter is unbound.
bool check_missing(const Signature& sig, const BoundArgs& out) {
    int missing[kMaxParams];
    int k = 0;
    for (int i = 0; i < sig.nrequired; ++i) {
        if (out.values[i] == nullptr) missing[k++] = i;
    }
    if (k == 0) [[likely]] return true;
    std::string list;
    for (int j = 0; j < k; ++j) {
        if (j > 0) {
            if (k == 2) list += " and ";
            else if (j == k - 1) list += ", and ";
            else list += ", ";
        }
        list += '\'';
        list += sig.params[missing[j]];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", full_name(sig).c_str(), k,
                 k == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

// Index of the declared parameter named `key`, or -1. Exact string equality; never fails (a
// name that cannot be encoded matches no parameter).
int find_param(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    for (int i = 0; i < sig.nparams(); ++i) {
        if (PyUnicode_EqualToUTF8(key, sig.params[i])) return i;
    }
    return -1;
}

// Binds one keyword. Returns false with an exception set.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, BoundArgs& out) {
    int idx = find_param(sig, key);
    if (idx >= 0) {
        if (out.values[idx] != nullptr) {
            raise_multiple(sig, sig.params[idx]);
            return false;
        }
        out.values[idx] = value;
        return true;
    }
    if (!sig.varkw) {
        raise_unexpected(sig, key);
        return false;
    }
    if (!out.varkw) {
        out.varkw = Ref::steal(PyDict_New());
        if (!out.varkw) return false;
    }
    return PyDict_SetItem(out.varkw.get(), key, value) == 0;
}

bool bind_positional(const Signature& sig, PyObject* const* args, std::size_t nargs, BoundArgs& out) {
    std::size_t npos = sig.npos;
    if (nargs > npos) {
        if (!sig.varargs) {
            raise_too_many(sig, nargs);
            return false;
        }
    }
    std::size_t n = nargs < npos ? nargs : npos;
    for (std::size_t i = 0; i < n; ++i) out.values[i] = args[i];
    if (sig.varargs) {
        std::size_t extra = nargs > npos ? nargs - npos : 0;
        out.varargs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(extra)));
        if (!out.varargs) return false;
        for (std::size_t i = 0; i < extra; ++i) {
            PyTuple_SET_ITEM(out.varargs.get(), i, Py_NewRef(args[npos + i]));
        }
    }
    return true;
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
               BoundArgs& out) noexcept {
    try {
        std::size_t nargs = PyVectorcall_NARGS(nargsf);
        if (!bind_positional(sig, args, nargs, out)) return false;
        if (kwnames != nullptr) {
            Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t i = 0; i < nkw; ++i) {
                if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
            }
        }
        return check_missing(sig, out);
    } catch (...) {
        raise_panic_from_current();
        return false;
    }
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) noexcept {
    try {
        std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
        if (!bind_positional(sig, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, out)) return false;
        if (kwargs != nullptr) {
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!bind_keyword(sig, key, value, out)) return false;
            }
        }
        return check_missing(sig, out);
    } catch (...) {
        raise_panic_from_current();
        return false;
    }
}

bool as_ssize(PyObject* value, const char* param, Py_ssize_t& out) noexcept {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (index) {
        out = PyLong_AsSsize_t(index.get());
        if (!(out == -1 && PyErr_Occurred())) return true;
    }
    add_processing_note(param);
    return false;
}

bool as_usize(PyObject* value, const char* param, std::size_t& out) noexcept {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (index) {
        out = PyLong_AsSize_t(index.get());
        if (!(out == static_cast<std::size_t>(-1) && PyErr_Occurred())) return true;
    }
    add_processing_note(param);
    return false;
}

bool as_i64(PyObject* value, const char* param, std::int64_t& out) noexcept {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (index) {
        long long v = PyLong_AsLongLong(index.get());
        if (!(v == -1 && PyErr_Occurred())) {
            out = v;
            return true;
        }
    }
    add_processing_note(param);
    return false;
}

void raise_not_instance(PyObject* value, const char* expected) noexcept {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
}

namespace {
// numpy.bool_ (named "bool_" or "bool", defined in module "numpy"): 1 or 0; -1 with an exception
// set when the names could not be read for a reason that must not be swallowed.
int is_numpy_bool_type(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) return clear_ordinary_error() ? 0 : -1;
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
        return 0;
    }
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module) return clear_ordinary_error() ? 0 : -1;
    return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}
}  // namespace

bool as_bool(PyObject* value, const char* param, bool& out) noexcept {
    if (value == Py_True || value == Py_False) {
        out = value == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(value);
    int numpy_bool = value != Py_None ? is_numpy_bool_type(type) : 0;
    if (numpy_bool < 0) {
        add_processing_note(param);
        return false;
    }
    if (numpy_bool) {
        auto slot = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
        if (slot == nullptr) {
            Ref qualname = Ref::steal(PyType_GetQualName(type));
            if (qualname) {
                PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                             qualname.get());
            }
        } else {
            int r = slot(value);
            if (r >= 0) {
                out = r != 0;
                return true;
            }
        }
    } else {
        raise_not_instance(value, "bool");
    }
    add_processing_note(param);
    return false;
}

bool check_instance(PyObject* value, PyTypeObject* type, const char* param) noexcept {
    if (PyObject_TypeCheck(value, type)) return true;
    raise_not_instance(value, type->tp_name);
    add_processing_note(param);
    return false;
}

}  // namespace trovix
