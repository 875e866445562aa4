#include "combinators/compose.h"

#include <cstddef>
#include <vector>

#include "combinators/helpers.h"
#include "combinators/wrapper.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/ref.h"

namespace trovix::combinators {

namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

OnceCell g_compose_cell;

// The arguments of a `(*items)` or `(first, *items)` function: the items are read straight from
// the argument array for a positional call, from the bound tuple otherwise.
struct Items {
    PyObject* first = nullptr;  // only with a leading parameter
    PyObject* const* items = nullptr;
    Py_ssize_t n = 0;
    BoundArgs bound;
};

[[nodiscard]] bool bind_items(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                              Items& out) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t lead = sig.npos;
    if (kwnames == nullptr && nargs >= lead) [[likely]] {
        if (lead == 1) out.first = args[0];
        out.items = args + lead;
        out.n = nargs - lead;
        return true;
    }
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargsf), kwnames, out.bound)) return false;
    if (lead == 1) out.first = out.bound[0];
    out.items = reinterpret_cast<PyTupleObject*>(out.bound.varargs.get())->ob_item;
    out.n = PyTuple_GET_SIZE(out.bound.varargs.get());
    return true;
}

// ---- Compose -------------------------------------------------------------------------------------

struct ComposeObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* funcs;  // non-empty tuple, in the order of application
};
using ComposeGc = GcFields<ComposeObject, &ComposeObject::funcs>;

PyObject* compose_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* funcs = ComposeGc::of(self)->funcs;
    if (funcs == nullptr) [[unlikely]] return raise_cleared();
    Ref hold = Ref::borrow(funcs);
    Ref value = Ref::steal(call_vector_kw(PyTuple_GET_ITEM(funcs, 0), args, nargsf, kwnames));
    Py_ssize_t n = PyTuple_GET_SIZE(funcs);
    for (Py_ssize_t i = 1; i < n && value; ++i) value = Ref::steal(call_one(PyTuple_GET_ITEM(funcs, i), value.get()));
    return value.release();
}

PyObject* new_compose(const Items& a, bool right_to_left) {
    if (a.n == 0) return PyCMethod_New(&kIdentityDef, nullptr, nullptr, nullptr);
    Ref funcs = Ref::steal(PyTuple_New(a.n));
    if (!funcs) return nullptr;
    for (Py_ssize_t i = 0; i < a.n; ++i) {
        PyTuple_SET_ITEM(funcs.get(), i, Py_NewRef(a.items[right_to_left ? a.n - 1 - i : i]));
    }
    auto* obj = new_wrapper<ComposeObject>(kComposeType, entry<compose_call>);
    if (obj == nullptr) return nullptr;
    obj->funcs = funcs.release();
    return reinterpret_cast<PyObject*>(obj);
}

PyObject* compose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("compose", {}, -1, Extra::Args);
    Items a;
    return bind_items(sig, args, nargs, kwnames, a) ? new_compose(a, true) : nullptr;
}

PyObject* compose_left(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("compose_left", {}, -1, Extra::Args);
    Items a;
    return bind_items(sig, args, nargs, kwnames, a) ? new_compose(a, false) : nullptr;
}

// ---- pipe and threading --------------------------------------------------------------------------

PyObject* pipe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("pipe", {"data"}, -1, Extra::Args);
    Items a;
    if (!bind_items(sig, args, nargs, kwnames, a)) return nullptr;
    Ref value = Ref::borrow(a.first);
    for (Py_ssize_t i = 0; i < a.n && value; ++i) value = Ref::steal(call_one(a.items[i], value.get()));
    return value.release();
}

// One form applied to `value`: a tuple (func, extra...) calls func with the value before (first)
// or after (last) the extras; anything else is called with the value alone.
PyObject* apply_form(PyObject* form, PyObject* value, bool last) {
    if (!PyTuple_Check(form)) return call_one(form, value);
    Py_ssize_t size = PyTuple_GET_SIZE(form);
    if (size == 0) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** argv = small;
    if (size + 1 > static_cast<Py_ssize_t>(std::size(small))) {
        large.resize(static_cast<std::size_t>(size) + 1);
        argv = large.data();
    }
    // argv[0] is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET); the call's arguments follow.
    PyObject** out = argv + 1;
    Py_ssize_t nextra = size - 1;
    for (Py_ssize_t i = 0; i < nextra; ++i) out[last ? i : i + 1] = PyTuple_GET_ITEM(form, i + 1);
    out[last ? nextra : 0] = value;
    return PyObject_Vectorcall(PyTuple_GET_ITEM(form, 0), out,
                               static_cast<std::size_t>(size) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* thread(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool last) {
    Items a;
    if (!bind_items(sig, args, nargs, kwnames, a)) return nullptr;
    Ref value = Ref::borrow(a.first);
    for (Py_ssize_t i = 0; i < a.n && value; ++i) {
        Ref form = Ref::borrow(a.items[i]);
        value = Ref::steal(apply_form(form.get(), value.get(), last));
    }
    return value.release();
}

PyObject* thread_first(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("thread_first", {"val"}, -1, Extra::Args);
    return thread(sig, args, nargs, kwnames, false);
}

PyObject* thread_last(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("thread_last", {"val"}, -1, Extra::Args);
    return thread(sig, args, nargs, kwnames, true);
}

PyType_Slot kComposeSlots[] = {WRAPPER_GC_SLOTS(ComposeGc), WRAPPER_CALL_SLOTS(ComposeObject), {0, nullptr}};

}  // namespace

const TypeDef kComposeType = {"Compose", "", sizeof(ComposeObject), kComposeSlots, nullptr, &g_compose_cell};

PyMethodDef kComposeDef = {"compose", fastcall_method<compose>(), kFastcall, "compose(*funcs)\n--\n\n"};
PyMethodDef kComposeLeftDef = {"compose_left", fastcall_method<compose_left>(), kFastcall,
                               "compose_left(*funcs)\n--\n\n"};
PyMethodDef kPipeDef = {"pipe", fastcall_method<pipe>(), kFastcall, "pipe(data, *funcs)\n--\n\n"};
PyMethodDef kThreadFirstDef = {"thread_first", fastcall_method<thread_first>(), kFastcall,
                               "thread_first(val, *forms)\n--\n\n"};
PyMethodDef kThreadLastDef = {"thread_last", fastcall_method<thread_last>(), kFastcall,
                              "thread_last(val, *forms)\n--\n\n"};

}  // namespace trovix::combinators
