#include "dicts/merge.h"

#include "dicts/factory.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/ref.h"

namespace trovix::dicts {

namespace {

// The mappings to work on: the positional arguments themselves, or, when there is exactly one
// and it has no `keys`, the list of what iterating it gives. A new reference to a tuple or a
// list that no other code can reach, or null with an exception set.
PyObject* mapping_list(PyObject* args) noexcept {
    if (PyTuple_GET_SIZE(args) == 1) {
        PyObject* only = PyTuple_GET_ITEM(args, 0);
        int mapping = has_keys(only);
        if (mapping < 0) return nullptr;
        if (!mapping) return PySequence_List(only);
    }
    return Py_NewRef(args);
}

// TypeError "'<type __name__>' object is not iterable".
void raise_not_iterable(PyObject* obj) noexcept {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not iterable", name.get());
}

// The exact-dict path of `merge`: a copy of the first argument updated with the others. Sets
// `taken` to false (and returns null without an exception) at the first argument that is not an
// exact dict.
PyObject* merge_exact(PyObject* args, bool& taken) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    taken = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyDict_CheckExact(PyTuple_GET_ITEM(args, i))) return nullptr;
    }
    taken = true;
    Ref result = Ref::steal(PyDict_Copy(PyTuple_GET_ITEM(args, 0)));
    if (!result) {
        ffi_err();
        return nullptr;
    }
    for (Py_ssize_t i = 1; i < n; ++i) {
        if (PyDict_Update(result.get(), PyTuple_GET_ITEM(args, i)) < 0) {
            ffi_err();
            return nullptr;
        }
    }
    return result.release();
}

PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("merge", {}, -1, Extra::Args, {"factory"});
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    PyObject* dicts = a.varargs.get();
    PyObject* factory = a.optional(0);
    if (factory == nullptr && PyTuple_GET_SIZE(dicts) > 0) {
        bool taken = false;
        PyObject* result = merge_exact(dicts, taken);
        if (taken) return result;
    }
    Ref result = Ref::steal(new_result(factory));
    if (!result) return nullptr;
    Ref list = Ref::steal(mapping_list(dicts));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list.get()); ++i) {
        Ref element = Ref::borrow(PySequence_Fast_GET_ITEM(list.get(), i));
        int mapping = has_keys(element.get());
        if (mapping < 0) return nullptr;
        if (!mapping) {
            raise_not_iterable(element.get());
            return nullptr;
        }
        if (copy_into(result.get(), element.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* merge_with(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("merge_with", {"func"}, -1, Extra::Args, {"factory"});
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    PyObject* func = a[0];
    PyObject* factory = a.optional(1);
    Ref list = Ref::steal(mapping_list(a.varargs.get()));
    if (!list) return nullptr;

    // key -> list of its values in the order met; private, so nothing else can change it.
    Ref groups = Ref::steal(PyDict_New());
    if (!groups) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list.get()); ++i) {
        Ref mapping = Ref::borrow(PySequence_Fast_GET_ITEM(list.get(), i));
        bool done = for_each_item(mapping.get(), [&groups](PyObject* key, PyObject* value) {
            PyObject* found = nullptr;
            int present = PyDict_GetItemRef(groups.get(), key, &found);
            if (present < 0) return false;
            Ref values = Ref::steal(found);
            if (present) return PyList_Append(values.get(), value) == 0;
            values = Ref::steal(PyList_New(1));
            if (!values) return false;
            PyList_SET_ITEM(values.get(), 0, Py_NewRef(value));
            return PyDict_SetItem(groups.get(), key, values.get()) == 0;
        });
        if (!done) return nullptr;
    }

    Ref result = Ref::steal(new_result(factory));
    if (!result) return nullptr;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* values = nullptr;
    while (PyDict_Next(groups.get(), &pos, &key, &values)) {
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(values);
        Ref merged = Ref::steal(call_one(func, v.get()));
        if (!merged) return nullptr;
        if (set_item(result.get(), k.get(), merged.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* assoc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("assoc", {"d", "key", "value", "factory"}, 3);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    Ref result = Ref::steal(new_result(a.optional(3)));
    if (!result) return nullptr;
    if (copy_into(result.get(), a[0]) < 0) return nullptr;
    if (set_item(result.get(), a[1], a[2]) < 0) return nullptr;
    return result.release();
}

PyObject* dissoc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("dissoc", {"d"}, -1, Extra::Args, {"factory"});
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    Ref result = Ref::steal(new_result(a.optional(1)));
    if (!result) return nullptr;
    if (copy_into(result.get(), a[0]) < 0) return nullptr;
    for (std::size_t i = 0; i < a.nvarargs(); ++i) {
        PyObject* key = a.vararg(i);
        int present = PySequence_Contains(result.get(), key);
        if (present < 0) return nullptr;
        if (present && PyObject_DelItem(result.get(), key) < 0) return nullptr;
    }
    return result.release();
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef kMergeDef = {"merge", fastcall_method<merge>(), kFastcall, "merge(*dicts, factory=None)\n--\n\n"};
PyMethodDef kMergeWithDef = {"merge_with", fastcall_method<merge_with>(), kFastcall,
                             "merge_with(func, *dicts, factory=None)\n--\n\n"};
PyMethodDef kAssocDef = {"assoc", fastcall_method<assoc>(), kFastcall, "assoc(d, key, value, factory=None)\n--\n\n"};
PyMethodDef kDissocDef = {"dissoc", fastcall_method<dissoc>(), kFastcall, "dissoc(d, *keys, factory=None)\n--\n\n"};

}  // namespace trovix::dicts
