#include "combinators/memoize.h"

#include <cstddef>
#include <initializer_list>
#include <utility>

#include "combinators/wrapper.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/imports.h"
#include "utils/ref.h"

namespace trovix::combinators {

namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

OnceCell g_memoize_cell;

struct MemoizeObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* key;    // key function, or null
    PyObject* func;
    PyObject* cache;  // dict or dict subclass, shared with whoever passed it
    bool is_unary;
    bool may_have_kwargs;
};
using MemoizeGc = GcFields<MemoizeObject, &MemoizeObject::key, &MemoizeObject::func, &MemoizeObject::cache>;

// ---- signature analysis (once, when wrapping) -----------------------------------------------------

struct Shape {
    bool is_unary = false;
    bool may_have_kwargs = true;  // the answer when the signature cannot be read
};

Ref attr(PyObject* obj, const char* name) noexcept { return Ref::steal(PyObject_GetAttrString(obj, name)); }

// 1 if `kind` equals any of `kinds`, 0 if none, -1 with an exception set.
int kind_is(PyObject* kind, std::initializer_list<PyObject*> kinds) noexcept {
    for (PyObject* k : kinds) {
        int eq = PyObject_RichCompareBool(kind, k, Py_EQ);
        if (eq != 0) return eq;
    }
    return 0;
}

// False with an exception set when any step fails.
bool read_shape(PyObject* func, Shape& out) noexcept {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return false;
    Ref signature = attr(inspect.get(), "signature");
    if (!signature) return false;
    Ref sig = Ref::steal(call_one(signature.get(), func));
    if (!sig) return false;
    Ref parameter = attr(inspect.get(), "Parameter");
    if (!parameter) return false;
    Ref empty = attr(parameter.get(), "empty"), kw_only = attr(parameter.get(), "KEYWORD_ONLY"),
        var_kw = attr(parameter.get(), "VAR_KEYWORD"), var_pos = attr(parameter.get(), "VAR_POSITIONAL"),
        pos_only = attr(parameter.get(), "POSITIONAL_ONLY"), pos_or_kw = attr(parameter.get(), "POSITIONAL_OR_KEYWORD");
    if (!empty || !kw_only || !var_kw || !var_pos || !pos_only || !pos_or_kw) return false;
    Ref params = attr(sig.get(), "parameters");
    if (!params) return false;
    Ref values = Ref::steal(PyObject_CallMethod(params.get(), "values", nullptr));
    if (!values) return false;
    Ref it = Ref::steal(PyObject_GetIter(values.get()));
    if (!it) return false;
    bool has_varargs = false, may_have_kwargs = false;
    Py_ssize_t required = 0;
    while (Ref p = Ref::steal(PyIter_Next(it.get()))) {
        Ref kind = attr(p.get(), "kind");
        if (!kind) return false;
        Ref dflt = attr(p.get(), "default");
        if (!dflt) return false;
        int r = kind_is(kind.get(), {var_pos.get()});
        if (r < 0) return false;
        if (r) has_varargs = true;
        if (dflt.get() != empty.get()) {
            may_have_kwargs = true;
            continue;
        }
        if ((r = kind_is(kind.get(), {kw_only.get(), var_kw.get()})) < 0) return false;
        if (r) may_have_kwargs = true;
        if ((r = kind_is(kind.get(), {pos_only.get(), pos_or_kw.get()})) < 0) return false;
        if (r) ++required;
    }
    if (PyErr_Occurred()) return false;
    out.may_have_kwargs = may_have_kwargs;
    out.is_unary = !may_have_kwargs && !has_varargs && required == 1;
    return true;
}

// ---- cache keys ----------------------------------------------------------------------------------

// frozenset of the (name, value) pairs of the call's keywords.
PyObject* frozen_kwargs(PyObject* const* values, PyObject* kwnames) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    Ref items = Ref::steal(PyList_New(n));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyTuple_Pack(2, PyTuple_GET_ITEM(kwnames, i), values[i]);
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(items.get(), i, pair);
    }
    Ref frozenset = import_attr("builtins", "frozenset");
    return frozenset ? call_one(frozenset.get(), items.get()) : nullptr;
}

PyObject* pair_of(Ref first, Ref second) noexcept {
    PyObject* t = PyTuple_New(2);
    if (t == nullptr) return nullptr;
    PyTuple_SET_ITEM(t, 0, first ? first.release() : new_none());
    PyTuple_SET_ITEM(t, 1, second ? second.release() : new_none());
    return t;
}

// The cached result under `key`, or null with `found` false (no exception) or with an exception
// set (`found` true means a hit).
PyObject* cached(PyObject* cache, PyObject* key, bool& hit) noexcept {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(cache, key, &value);
    hit = found > 0;
    return value;
}

PyObject* remember(PyObject* cache, PyObject* key, PyObject* result) noexcept {
    Ref owned = Ref::steal(result);
    if (!owned || PyObject_SetItem(cache, key, owned.get()) < 0) return nullptr;
    return owned.release();
}

// Without a key function: the key is built from the vectorcall arguments.
PyObject* memoize_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    MemoizeObject* m = MemoizeGc::of(self);
    if (m->func == nullptr || m->cache == nullptr) [[unlikely]] return raise_cleared();
    Ref func = Ref::borrow(m->func), cache = Ref::borrow(m->cache);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    bool has_kw = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;
    Ref key;
    if (m->is_unary && !has_kw && nargs == 1) {
        key = Ref::borrow(args[0]);
    } else {
        Ref argtuple = Ref::steal(tuple_of(args, nargs));
        if (!argtuple) return nullptr;
        Ref frozen;
        if (has_kw) {
            frozen = Ref::steal(frozen_kwargs(args + nargs, kwnames));
            if (!frozen) return nullptr;
        }
        if (m->may_have_kwargs) {
            if (nargs == 0) argtuple.reset();
            key = Ref::steal(pair_of(std::move(argtuple), std::move(frozen)));
        } else if (has_kw) {
            key = Ref::steal(pair_of(std::move(argtuple), std::move(frozen)));
        } else {
            key = std::move(argtuple);
        }
    }
    if (!key) return nullptr;
    bool hit = false;
    PyObject* value = cached(cache.get(), key.get(), hit);
    if (hit || PyErr_Occurred()) return value;
    return remember(cache.get(), key.get(), call_vector_kw(func.get(), args, nargsf, kwnames));
}

// With a key function: called through the classic call slot, which (unlike vectorcall) tells
// `m(x)` from `m(x, **{})`: the key function receives the keyword dictionary of the call as it
// came, None when there was none, and the call of `func` gets that same dictionary.
PyObject* memoize_keyed_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    MemoizeObject* m = MemoizeGc::of(self);
    if (m->func == nullptr || m->cache == nullptr || m->key == nullptr) [[unlikely]] return raise_cleared();
    Ref func = Ref::borrow(m->func), cache = Ref::borrow(m->cache), keyfn = Ref::borrow(m->key);
    Ref hold_args = Ref::borrow(args), hold_kwargs = Ref::borrow(kwargs);
    PyObject* pair[2] = {args, kwargs != nullptr ? kwargs : Py_None};
    Ref key = Ref::steal(call_vector(keyfn.get(), pair, 2));
    if (!key) return nullptr;
    bool hit = false;
    PyObject* value = cached(cache.get(), key.get(), hit);
    if (hit || PyErr_Occurred()) return value;
    return remember(cache.get(), key.get(), PyObject_Call(func.get(), args, kwargs));
}

PyObject* memoize_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (MemoizeGc::of(self)->vectorcall == nullptr) return memoize_keyed_call(self, args, kwargs);
    return PyVectorcall_Call(self, args, kwargs);
}

PyObject* memoize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("memoize", {"func", "cache", "key"}, 1);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    PyObject* given_cache = a.optional(1);
    if (given_cache != nullptr && !check_instance(given_cache, &PyDict_Type, "cache")) return nullptr;
    Shape shape;
    if (!read_shape(a[0], shape)) {
        // No signature to read is an ordinary outcome; an interrupt while reading it is not.
        if (PyErr_Occurred() && !clear_ordinary_error()) return nullptr;
        shape = Shape{};
    }
    Ref cache = given_cache != nullptr ? Ref::borrow(given_cache) : Ref::steal(PyDict_New());
    if (!cache) return nullptr;
    PyObject* keyfn = a.optional(2);
    auto* obj = new_wrapper<MemoizeObject>(kMemoizeType, keyfn != nullptr ? nullptr : entry<memoize_call>);
    if (obj == nullptr) return nullptr;
    obj->key = Py_XNewRef(keyfn);
    obj->func = Py_NewRef(a[0]);
    obj->cache = cache.release();
    obj->is_unary = shape.is_unary;
    obj->may_have_kwargs = shape.may_have_kwargs;
    return reinterpret_cast<PyObject*>(obj);
}

PyType_Slot kMemoizeSlots[] = {
    WRAPPER_GC_SLOTS(MemoizeGc),
    {Py_tp_call, reinterpret_cast<void*>(entry<memoize_tp_call>)},
    {Py_tp_members, kVectorcallMembers<MemoizeObject>},
    {0, nullptr},
};

}  // namespace

const TypeDef kMemoizeType = {"Memoize", "", sizeof(MemoizeObject), kMemoizeSlots, nullptr, &g_memoize_cell};

PyMethodDef kMemoizeDef = {"memoize", fastcall_method<memoize>(), kFastcall,
                           "memoize(func, cache=None, key=None)\n--\n\n"};

}  // namespace trovix::combinators
