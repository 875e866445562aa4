#include "utils/types.h"

#include "utils/errors.h"
#include "utils/ref.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace trovix {

namespace {

enum class CreateFailure { None, Type, Dict };

PyObject* create_type(const TypeDef& def, CreateFailure& failure) noexcept {
    std::string qualified = std::string("trovix._trovix.") + def.name;
    bool has_new = false;
    bool has_traverse = false;
    bool has_vectorcall = false;
    int nslots = 0;
    for (PyType_Slot* s = def.slots; s->slot != 0; ++s) {
        if (s->slot == Py_tp_new) has_new = true;
        if (s->slot == Py_tp_traverse) has_traverse = true;
        if (s->slot == Py_tp_members) {
            for (auto* m = static_cast<PyMemberDef*>(s->pfunc); m->name != nullptr; ++m) {
                if (std::strcmp(m->name, "__vectorcalloffset__") == 0) has_vectorcall = true;
            }
        }
        ++nslots;
    }
    // The slot list handed to the interpreter: the class's own, plus its docstring.
    std::unique_ptr<PyType_Slot[]> slots(new (std::nothrow) PyType_Slot[nslots + 2]);
    if (!slots) {
        PyErr_NoMemory();
        failure = CreateFailure::Type;
        return nullptr;
    }
    int n = 0;
    for (int i = 0; i < nslots; ++i) slots[n++] = def.slots[i];
    if (def.doc != nullptr) slots[n++] = {Py_tp_doc, const_cast<char*>(def.doc)};
    slots[n] = {0, nullptr};

    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (!has_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    if (has_traverse) flags |= Py_TPFLAGS_HAVE_GC;
    if (has_vectorcall) flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    PyType_Spec spec = {qualified.c_str(), def.basicsize, 0, flags, slots.get()};
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    if (!type) {
        failure = CreateFailure::Type;
        return nullptr;
    }
    if (def.attrs != nullptr) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type.get())));
        for (const ClassAttr* a = def.attrs; a->name != nullptr; ++a) {
            Ref value = Ref::steal(a->make());
            if (!value || PyDict_SetItemString(dict.get(), a->name, value.get()) < 0) {
                failure = CreateFailure::Dict;
                return nullptr;
            }
        }
        PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    }
    return type.release();
}

PyTypeObject* get_type_impl(const TypeDef& def, CreateFailure& failure) noexcept {
    failure = CreateFailure::None;
    return reinterpret_cast<PyTypeObject*>(
        def.cell->get_or_init([&]() -> PyObject* { return create_type(def, failure); }));
}

}  // namespace

PyTypeObject* get_type(const TypeDef& def) noexcept {
    CreateFailure failure;
    return get_type_impl(def, failure);
}

PyTypeObject* get_type_for_registration(const TypeDef& def) noexcept {
    CreateFailure failure;
    PyTypeObject* type = get_type_impl(def, failure);
    if (type != nullptr) [[likely]] return type;
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    if (failure == CreateFailure::Dict) {
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing `%s.__dict__`", def.name);
    } else {
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", def.name);
    }
    if (cause) {
        Ref err = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(err.get(), cause.clone().release());
        PyException_SetContext(err.get(), cause.release());
        PyErr_SetRaisedException(err.release());
    }
    return nullptr;
}

PyTypeObject* get_type_for_instance(const TypeDef& def) noexcept {
    PyTypeObject* type = get_type(def);
    if (type != nullptr) [[likely]] return type;
    PyErr_WriteUnraisable(nullptr);
    std::string message = std::string("failed to create type object for `") + def.name + "`";
    raise_panic(message.c_str());
    return nullptr;
}

}  // namespace trovix
