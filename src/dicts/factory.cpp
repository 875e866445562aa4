#include "dicts/factory.h"

#include "utils/binding.h"
#include "utils/errors.h"
#include "utils/once.h"

namespace trovix::dicts {

namespace {

// Interned attribute names, made once per process.
OnceCell kKeysName;
OnceCell kItemsName;

PyObject* interned(OnceCell& cell, const char* text) noexcept {
    return cell.get_or_init([text] { return PyUnicode_InternFromString(text); });
}

}  // namespace

PyObject* new_result(PyObject* factory) noexcept {
    if (factory == nullptr) return PyDict_New();
    return PyObject_CallNoArgs(factory);
}

int has_keys(PyObject* obj) noexcept {
    if (PyDict_CheckExact(obj)) return 1;
    PyObject* name = interned(kKeysName, "keys");
    if (name == nullptr) return -1;
    return PyObject_HasAttrWithError(obj, name);
}

PyObject* items_iter(PyObject* source) noexcept {
    PyObject* name = interned(kItemsName, "items");
    if (name == nullptr) return nullptr;
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(source, name));
    if (!items) return nullptr;
    return PyObject_GetIter(items.get());
}

bool split_item(PyObject* element, PyObject*& key, PyObject*& value) noexcept {
    if (!PyTuple_Check(element)) [[unlikely]] {
        raise_not_instance(element, "tuple");
        return false;
    }
    if (PyTuple_GET_SIZE(element) < 2) [[unlikely]] {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
    }
    key = PyTuple_GET_ITEM(element, 0);
    value = PyTuple_GET_ITEM(element, 1);
    return true;
}

int copy_into(PyObject* target, PyObject* source) noexcept {
    if (PyDict_CheckExact(target) && PyDict_CheckExact(source)) {
        // The interpreter's own merge: it detects a source changed by a key's __eq__ meanwhile.
        if (PyDict_Merge(target, source, 1) < 0) {
            ffi_err();
            return -1;
        }
        return 0;
    }
    bool done = for_each_item(source, [target](PyObject* key, PyObject* value) {
        return set_item(target, key, value) == 0;
    });
    return done ? 0 : -1;
}

}  // namespace trovix::dicts
