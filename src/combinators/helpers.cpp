#include "combinators/helpers.h"

#include <cstddef>
#include <iterator>
#include <vector>

#include "combinators/wrapper.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/ref.h"

namespace trovix::combinators {

namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

OnceCell g_juxt_cell, g_complement_cell, g_excepts_cell;

// ---- Juxt ----------------------------------------------------------------------------------------

struct JuxtObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* funcs;  // tuple, in calling order
};
using JuxtGc = GcFields<JuxtObject, &JuxtObject::funcs>;

PyObject* juxt_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* funcs = JuxtGc::of(self)->funcs;
    if (funcs == nullptr) [[unlikely]] return raise_cleared();
    Ref hold = Ref::borrow(funcs);  // a callee may drop the last other reference to the wrapper
    Py_ssize_t n = PyTuple_GET_SIZE(funcs);
    // The results are collected first and put into the tuple only once all are there: no Python
    // code ever sees a tuple with empty slots (gc.get_referrers() would hand it out).
    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** results = small;
    if (n > static_cast<Py_ssize_t>(std::size(small))) {
        large.resize(static_cast<std::size_t>(n));
        results = large.data();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        results[i] = call_vector_kw(PyTuple_GET_ITEM(funcs, i), args, nargsf, kwnames);
        if (results[i] == nullptr) {
            for (Py_ssize_t j = 0; j < i; ++j) Py_DECREF(results[j]);
            return nullptr;
        }
    }
    PyObject* out = PyTuple_New(n);
    if (out == nullptr) {
        for (Py_ssize_t j = 0; j < n; ++j) Py_DECREF(results[j]);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out, i, results[i]);
    return out;
}

PyObject* juxt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("juxt", {}, -1, Extra::Args);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    Ref funcs = a.varargs.clone();
    if (a.nvarargs() == 1 && !PyCallable_Check(a.vararg(0))) {
        funcs = Ref::steal(PySequence_Tuple(a.vararg(0)));
        if (!funcs) return nullptr;
    }
    auto* obj = new_wrapper<JuxtObject>(kJuxtType, entry<juxt_call>);
    if (obj == nullptr) return nullptr;
    obj->funcs = funcs.release();
    return reinterpret_cast<PyObject*>(obj);
}

// ---- Complement ----------------------------------------------------------------------------------

struct ComplementObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* func;
};
using ComplementGc = GcFields<ComplementObject, &ComplementObject::func>;

PyObject* complement_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* func = ComplementGc::of(self)->func;
    if (func == nullptr) [[unlikely]] return raise_cleared();
    Ref r = Ref::steal(call_vector_kw(func, args, nargsf, kwnames));
    if (!r) return nullptr;
    int t = truth(r.get());
    return t < 0 ? nullptr : new_bool(t == 0);
}

PyObject* complement(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("complement", {"func"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    auto* obj = new_wrapper<ComplementObject>(kComplementType, entry<complement_call>);
    if (obj == nullptr) return nullptr;
    obj->func = Py_NewRef(a[0]);
    return reinterpret_cast<PyObject*>(obj);
}

// ---- Excepts -------------------------------------------------------------------------------------

struct ExceptsObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* exc;
    PyObject* func;
    PyObject* handler;  // null when none was given
};
using ExceptsGc = GcFields<ExceptsObject, &ExceptsObject::exc, &ExceptsObject::func, &ExceptsObject::handler>;

PyObject* excepts_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    ExceptsObject* e = ExceptsGc::of(self);
    if (e->func == nullptr || e->exc == nullptr) [[unlikely]] return raise_cleared();
    Ref exc = Ref::borrow(e->exc);
    Ref handler = Ref::borrow(e->handler);
    PyObject* r = call_vector_kw(e->func, args, nargsf, kwnames);
    if (r != nullptr) return r;
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (!raised) return nullptr;
    if (!PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), exc.get())) {
        PyErr_SetRaisedException(raised.release());
        return nullptr;
    }
    if (!handler) return new_none();
    // The handler runs as an `except` block would: with the caught exception being handled, so
    // that `sys.exception()` sees it and an error raised by the handler takes it as its context.
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(raised.get());
    PyObject* result = call_one(handler.get(), raised.get());
    PyErr_SetHandledException(outer.get());
    return result;
}

PyObject* excepts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("excepts", {"exc", "func", "handler"}, 2);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    auto* obj = new_wrapper<ExceptsObject>(kExceptsType, entry<excepts_call>);
    if (obj == nullptr) return nullptr;
    obj->exc = Py_NewRef(a[0]);
    obj->func = Py_NewRef(a[1]);
    obj->handler = Py_XNewRef(a.optional(2));
    return reinterpret_cast<PyObject*>(obj);
}

// ---- plain helpers -------------------------------------------------------------------------------

PyObject* apply(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig = function_signature("apply", {"func"}, -1, Extra::ArgsKwargs);
    BoundArgs a;
    if (!bind_tuple(sig, args, kwargs, a)) return nullptr;
    return PyObject_Call(a[0], a.varargs.get(), a.varkw.get());
}

PyObject* do_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("do", {"func", "x"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    Ref x = Ref::borrow(a[1]);
    Ref discarded = Ref::steal(call_one(a[0], x.get()));
    return discarded ? x.release() : nullptr;
}

PyObject* identity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("identity", {"x"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* flip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("flip", {"func", "a", "b"});
    PyObject* a[3];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* swapped[3] = {nullptr, a[2], a[1]};
    return PyObject_Vectorcall(a[0], swapped + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ---- types ---------------------------------------------------------------------------------------

PyType_Slot kJuxtSlots[] = {WRAPPER_GC_SLOTS(JuxtGc), WRAPPER_CALL_SLOTS(JuxtObject), {0, nullptr}};
PyType_Slot kComplementSlots[] = {WRAPPER_GC_SLOTS(ComplementGc), WRAPPER_CALL_SLOTS(ComplementObject),
                                  {0, nullptr}};
PyType_Slot kExceptsSlots[] = {WRAPPER_GC_SLOTS(ExceptsGc), WRAPPER_CALL_SLOTS(ExceptsObject), {0, nullptr}};

}  // namespace

const TypeDef kJuxtType = {"Juxt", "", sizeof(JuxtObject), kJuxtSlots, nullptr, &g_juxt_cell};
const TypeDef kComplementType = {"Complement", "", sizeof(ComplementObject), kComplementSlots, nullptr,
                                 &g_complement_cell};
const TypeDef kExceptsType = {"Excepts", "", sizeof(ExceptsObject), kExceptsSlots, nullptr, &g_excepts_cell};

PyMethodDef kJuxtDef = {"juxt", fastcall_method<juxt>(), kFastcall, "juxt(*funcs)\n--\n\n"};
PyMethodDef kComplementDef = {"complement", fastcall_method<complement>(), kFastcall, "complement(func)\n--\n\n"};
PyMethodDef kExceptsDef = {"excepts", fastcall_method<excepts>(), kFastcall,
                           "excepts(exc, func, handler=None)\n--\n\n"};
PyMethodDef kApplyDef = {"apply", varargs_method<apply>(), METH_VARARGS | METH_KEYWORDS,
                         "apply(func, *args, **kwargs)\n--\n\n"};
PyMethodDef kDoDef = {"do", fastcall_method<do_>(), kFastcall, "do(func, x)\n--\n\n"};
PyMethodDef kIdentityDef = {"identity", fastcall_method<identity>(), kFastcall, "identity(x)\n--\n\n"};
PyMethodDef kFlipDef = {"flip", fastcall_method<flip>(), kFastcall, "flip(func, a, b)\n--\n\n"};

}  // namespace trovix::combinators
