// The registration sequence of the module's execution step.
//
// The module namespace (and `__all__`) lists names in exactly the order of `kRegistration`
// (module.cpp). Each step is one of: add a class, add a value made at import time, add a
// function, or install the native next step into a class that is not added to the namespace.
// New functionality is added by putting one step in its place in that table.
#pragma once

#include <Python.h>

#include "utils/types.h"

namespace trovix::module {

enum class StepKind {
    Class,        // add the class under its name; then run `after` on the type, if given
    Value,        // add `make()` under `name`
    Function,     // add a builtin function made from `def`
    PrepareType,  // create the type and run `after` on it; nothing is added to the namespace
};

struct Step {
    StepKind kind;
    const TypeDef* type = nullptr;
    PyMethodDef* def = nullptr;
    const char* name = nullptr;
    PyObject* (*make)() = nullptr;
    int (*after)(PyTypeObject*) = nullptr;  // 0 or -1 with an exception set
};

inline Step add_class(const TypeDef& type, int (*after)(PyTypeObject*) = nullptr) {
    return {StepKind::Class, &type, nullptr, nullptr, nullptr, after};
}
inline Step add_value(const char* name, PyObject* (*make)()) {
    return {StepKind::Value, nullptr, nullptr, name, make, nullptr};
}
inline Step add_function(PyMethodDef& def) { return {StepKind::Function, nullptr, &def, nullptr, nullptr, nullptr}; }
inline Step prepare_type(const TypeDef& type, int (*after)(PyTypeObject*)) {
    return {StepKind::PrepareType, &type, nullptr, nullptr, nullptr, after};
}

// Adds `value` to the module under `name`, appending `name` to `__all__` (created on first use).
int add_name(PyObject* module, const char* name, PyObject* value) noexcept;

}  // namespace trovix::module
