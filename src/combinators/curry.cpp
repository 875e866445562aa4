// A curry holds a callable with the positional and keyword arguments collected so far. Each call
// adds the new arguments and asks the callable's signature (resolved once, through
// `inspect.signature`, and inherited by every partial made from it): `bind` accepts them -> call;
// only `bind_partial` accepts them -> a new curry with the larger set; neither -> call anyway, so
// the callable reports its own error.
//
// The collected keywords are kept as two parallel tuples (names, values) so that a call passes
// them straight on as vectorcall keywords; a partial shares the tuples it did not change.
#include "combinators/curry.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "combinators/bind_decision.h"
#include "combinators/helpers.h"
#include "combinators/wrapper.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/imports.h"
#include "utils/ref.h"

namespace trovix::combinators {

namespace {

OnceCell g_curry_cell, g_bind_name, g_bind_partial_name;

enum class SigState : std::uint8_t { Empty = 0, Absent = 1, Resolved = 2 };

struct CurryObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* func;
    PyObject* args;      // tuple
    PyObject* kwnames;   // tuple of str, null when no keywords are collected
    PyObject* kwvalues;  // tuple, parallel to kwnames
    PyObject* sig;       // the signature object once resolved
    // For deciding bind natively (bind_decision.h); null references when it does not apply.
    PyObject* bind_proxy;
    PyObject* bind_mapping;
    std::uint64_t bind_keys;
    std::size_t bind_order;
    // The parameters read natively (bind_decision.h) when `sig` is null in the Resolved state.
    PyObject* read_code;
    PyObject* read_kinds;
    std::atomic<SigState> state;
    PyMutex resolving;                   // held by the thread that resolves the signature
    std::atomic<unsigned long> resolver;  // that thread's ident, 0 when none
    CurryObject* next_resolving;         // the list of curries being resolved (for a forked child)

    BindCapture capture() const noexcept { return {bind_proxy, bind_mapping, bind_keys, bind_order}; }
    ReadParameters read() const noexcept { return {read_code, read_kinds}; }
};
using CurryGc = GcFields<CurryObject, &CurryObject::func, &CurryObject::args, &CurryObject::kwnames,
                         &CurryObject::kwvalues, &CurryObject::sig, &CurryObject::bind_proxy,
                         &CurryObject::bind_mapping, &CurryObject::read_code, &CurryObject::read_kinds>;

PyObject* curry_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

PyObject* interned(OnceCell& cell, const char* text) noexcept {
    return cell.get_or_init([&]() -> PyObject* { return PyUnicode_InternFromString(text); });
}

// A new curry; `kwnames`/`kwvalues` may be null, `sig` and `read` empty for an unresolved one
// (the partials of a resolved one take over its signature or the parameters read, and what
// bind_decision captured).
PyObject* new_curry(PyObject* func, PyObject* args, PyObject* kwnames, PyObject* kwvalues, PyObject* sig = nullptr,
                    const BindCapture& cap = {}, const ReadParameters& read = {}) noexcept {
    auto* obj = new_wrapper<CurryObject>(kCurryType, entry<curry_call>);
    if (obj == nullptr) return nullptr;
    obj->func = Py_NewRef(func);
    obj->args = Py_NewRef(args);
    obj->kwnames = Py_XNewRef(kwnames);
    obj->kwvalues = Py_XNewRef(kwvalues);
    if (read.code != nullptr) {
        obj->read_code = Py_NewRef(read.code);
        obj->read_kinds = Py_NewRef(read.kinds);
        obj->state.store(SigState::Resolved, std::memory_order_release);
    } else if (sig != nullptr) {
        obj->sig = Py_NewRef(sig);
        obj->bind_proxy = Py_XNewRef(cap.proxy);
        obj->bind_mapping = Py_XNewRef(cap.mapping);
        obj->bind_keys = cap.keys;
        obj->bind_order = cap.order;
        obj->state.store(SigState::Resolved, std::memory_order_release);
    }
    return reinterpret_cast<PyObject*>(obj);
}

// ---- signature resolution ------------------------------------------------------------------------

// Stores the outcome of `inspect.signature(func)` unless another resolution already did.
// False with the exception set when resolution raised something else than ValueError/TypeError.
bool resolve_once(CurryObject* c) noexcept {
    Ref func = Ref::borrow(c->func);
    PyObject* signature = cached_attr(SIGNATURE);
    if (signature == nullptr) return false;
    // A plain function's parameters are read natively where that is what inspect would give.
    ReadParameters read;
    int was_read = read_function_parameters(signature, func.get(), read);
    if (was_read < 0) return false;
    if (was_read > 0) {
        Ref code = Ref::steal(read.code), kinds = Ref::steal(read.kinds);
        if (c->state.load(std::memory_order_acquire) != SigState::Empty) return true;
        c->read_code = code.release();
        c->read_kinds = kinds.release();
        c->state.store(SigState::Resolved, std::memory_order_release);
        return true;
    }
    Ref sig = Ref::steal(call_one(signature, func.get()));
    SigState outcome = SigState::Resolved;
    if (!sig) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        outcome = SigState::Absent;
    }
    BindCapture cap;
    if (sig && !capture_parameters(sig.get(), cap)) return false;
    Ref hold_proxy = Ref::steal(cap.proxy), hold_mapping = Ref::steal(cap.mapping);
    // A resolution nested in this one (the same thread, through Python code) may have finished first.
    if (c->state.load(std::memory_order_acquire) != SigState::Empty) return true;
    c->bind_proxy = hold_proxy.release();
    c->bind_mapping = hold_mapping.release();
    c->bind_keys = cap.keys;
    c->bind_order = cap.order;
    c->sig = sig.release();
    c->state.store(outcome, std::memory_order_release);
    return true;
}

// Curries whose signature a thread is resolving, linked through `next_resolving`; one list for
// the process, changed only under `g_resolving_lock` (interpreters with a lock of their own
// resolve at the same time; the lock is held for a few pointer moves and nothing else). In a
// forked child only the forking thread exists: a curry that another thread was resolving would
// keep its lock for ever, so the child gives each of those a fresh lock (its signature is still
// unresolved, and the next call resolves it). The list lock is taken across fork, so the child
// finds the list whole.
CurryObject* g_resolving = nullptr;
std::mutex g_resolving_lock;
std::once_flag g_atfork_once;

void lock_resolving_before_fork() noexcept { g_resolving_lock.lock(); }
void unlock_resolving_after_fork() noexcept { g_resolving_lock.unlock(); }

void reset_resolving_in_forked_child() noexcept {
    // Runs in the thread that forked, which took `g_resolving_lock` before the fork.
    std::lock_guard<std::mutex> guard(g_resolving_lock, std::adopt_lock);
    unsigned long me = PyThread_get_thread_ident();
    CurryObject** link = &g_resolving;
    while (CurryObject* c = *link) {
        if (c->resolver.load(std::memory_order_relaxed) == me) {
            link = &c->next_resolving;
            continue;
        }
        *link = c->next_resolving;
        c->next_resolving = nullptr;
        c->resolver.store(0, std::memory_order_relaxed);
        c->resolving = PyMutex{};
    }
}

// Marks `c` as being resolved by thread `me` while it lives (the interpreter lock held, the
// curry's lock taken).
class Resolving {
public:
    Resolving(CurryObject* c, unsigned long me) noexcept : c_(c) {
        std::call_once(g_atfork_once, [] {
            pthread_atfork(lock_resolving_before_fork, unlock_resolving_after_fork, reset_resolving_in_forked_child);
        });
        c_->resolver.store(me, std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(g_resolving_lock);
        c_->next_resolving = g_resolving;
        g_resolving = c_;
    }
    ~Resolving() {
        std::lock_guard<std::mutex> guard(g_resolving_lock);
        for (CurryObject** link = &g_resolving; *link != nullptr; link = &(*link)->next_resolving) {
            if (*link == c_) {
                *link = c_->next_resolving;
                break;
            }
        }
        c_->next_resolving = nullptr;
        c_->resolver.store(0, std::memory_order_relaxed);
    }
    Resolving(const Resolving&) = delete;
    Resolving& operator=(const Resolving&) = delete;

private:
    CurryObject* c_;
};

// The resolved state of `c`'s signature (Absent or Resolved), or Empty with an exception set.
// Concurrent first calls: one thread resolves, the others wait for it without holding the
// interpreter lock (PyMutex_Lock detaches while it blocks). A thread that re-enters its own
// resolution (the signature lookup calls back into this curry) resolves again, nested.
SigState resolve(CurryObject* c) noexcept {
    SigState s = c->state.load(std::memory_order_acquire);
    if (s != SigState::Empty) [[likely]] return s;
    unsigned long me = PyThread_get_thread_ident();
    bool nested = c->resolver.load(std::memory_order_relaxed) == me;
    bool ok = true;
    if (nested) {
        ok = resolve_once(c);
    } else {
        PyMutex_Lock(&c->resolving);
        if (c->state.load(std::memory_order_acquire) == SigState::Empty) {
            Resolving resolving(c, me);
            ok = resolve_once(c);
        }
        PyMutex_Unlock(&c->resolving);
    }
    return ok ? c->state.load(std::memory_order_acquire) : SigState::Empty;
}

// ---- the call ------------------------------------------------------------------------------------

// The collected keywords of one call: the stored ones updated with the new ones.
struct Keywords {
    PyObject* names = nullptr;          // borrowed or owned by `owned_names`
    PyObject* const* values = nullptr;  // `names`' values, in order
    Ref owned_names, owned_values;      // set when the two sets were merged
    Ref stored_values;                  // set when `values` are the stored tuple's items

    Py_ssize_t size() const noexcept { return names != nullptr ? PyTuple_GET_SIZE(names) : 0; }
};

PyObject* const* items_of(PyObject* tuple) noexcept { return reinterpret_cast<PyTupleObject*>(tuple)->ob_item; }

bool merge_keywords(CurryObject* c, PyObject* const* new_values, PyObject* kwnames, Keywords& out) noexcept {
    bool has_new = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;
    if (c->kwnames == nullptr) {
        if (has_new) {
            out.names = kwnames;
            out.values = new_values;
        }
        return true;
    }
    if (!has_new) {
        out.owned_names = Ref::borrow(c->kwnames);
        out.stored_values = Ref::borrow(c->kwvalues);
        out.names = out.owned_names.get();
        out.values = items_of(out.stored_values.get());
        return true;
    }
    // Dict-update semantics: a name given again keeps its place and takes the new value.
    Ref merged = Ref::steal(PyDict_New());
    if (!merged) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c->kwnames); ++i) {
        if (PyDict_SetItem(merged.get(), PyTuple_GET_ITEM(c->kwnames, i), PyTuple_GET_ITEM(c->kwvalues, i)) < 0) {
            return false;
        }
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        if (PyDict_SetItem(merged.get(), PyTuple_GET_ITEM(kwnames, i), new_values[i]) < 0) return false;
    }
    Py_ssize_t n = PyDict_GET_SIZE(merged.get());
    out.owned_names = Ref::steal(PyTuple_New(n));
    out.owned_values = Ref::steal(PyTuple_New(n));
    if (!out.owned_names || !out.owned_values) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    while (PyDict_Next(merged.get(), &pos, &k, &v)) {
        PyTuple_SET_ITEM(out.owned_names.get(), i, Py_NewRef(k));
        PyTuple_SET_ITEM(out.owned_values.get(), i, Py_NewRef(v));
        ++i;
    }
    out.names = out.owned_names.get();
    out.values = items_of(out.owned_values.get());
    return true;
}

// The values tuple to store in a partial.
PyObject* keyword_values(Keywords& kw) noexcept {
    if (kw.owned_values) return kw.owned_values.release();
    if (kw.stored_values) return kw.stored_values.release();
    return tuple_of(kw.values, kw.size());
}

PyObject* curry_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    CurryObject* c = CurryGc::of(self);
    if (c->func == nullptr || c->args == nullptr) [[unlikely]] return raise_cleared();
    Ref func = Ref::borrow(c->func);
    Ref stored = Ref::borrow(c->args);
    Py_ssize_t nstored = PyTuple_GET_SIZE(stored.get());
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Keywords kw;
    if (!merge_keywords(c, args + nargs, kwnames, kw)) return nullptr;
    Py_ssize_t npos = nstored + nargs, nkw = kw.size();

    // buf[0] is free for callees (PY_VECTORCALL_ARGUMENTS_OFFSET), buf[1] holds the signature for
    // its method calls, then the positional arguments P and the keyword values of K.
    PyObject* small[16];
    std::vector<PyObject*> large;
    PyObject** buf = small;
    std::size_t need = static_cast<std::size_t>(2 + npos + nkw);
    if (need > std::size(small)) {
        large.resize(need);
        buf = large.data();
    }
    PyObject** pos = buf + 2;
    for (Py_ssize_t i = 0; i < nstored; ++i) pos[i] = PyTuple_GET_ITEM(stored.get(), i);
    for (Py_ssize_t i = 0; i < nargs; ++i) pos[nstored + i] = args[i];
    for (Py_ssize_t i = 0; i < nkw; ++i) pos[npos + i] = kw.values[i];
    auto call_func = [&]() -> PyObject* {
        return call_vector_kw(func.get(), pos, static_cast<std::size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                              kw.names);
    };

    SigState state = resolve(c);
    if (state == SigState::Empty) return nullptr;
    if (state == SigState::Absent) return call_func();
    // The fields below are read without taking references: nothing until the Python methods of
    // the signature runs code that could release them (the collector clears only unreachable
    // objects, and this one is being called).
    PyObject* sig_field = c->sig;
    BindCapture cap = c->capture();
    ReadParameters read = c->read();
    if (sig_field == nullptr && (read.code == nullptr || read.kinds == nullptr)) [[unlikely]] return raise_cleared();
    auto make_partial = [&]() -> PyObject* {
        Ref collected = Ref::steal(tuple_of(pos, npos));
        if (!collected) return nullptr;
        Ref values;
        if (nkw > 0) {
            values = Ref::steal(keyword_values(kw));
            if (!values) return nullptr;
        }
        return new_curry(func.get(), collected.get(), nkw > 0 ? kw.names : nullptr, values.get(), sig_field, cap,
                         read);
    };
    switch (sig_field != nullptr ? decide_bind(sig_field, cap, npos, kw.names) : decide_read(read, npos, kw.names)) {
        case BindAnswer::Bound:
        case BindAnswer::Neither:
            return call_func();
        case BindAnswer::Partial:
            return make_partial();
        case BindAnswer::Unknown:
            break;
    }

    Ref sig = Ref::borrow(sig_field);
    Ref hold_proxy = Ref::borrow(cap.proxy), hold_mapping = Ref::borrow(cap.mapping);
    Ref hold_code = Ref::borrow(read.code), hold_kinds = Ref::borrow(read.kinds);
    if (!sig) {
        // inspect changed since the parameters were read: the signature object is made now,
        // from the function as it was then, and asked as it would have been.
        PyObject* signature = cached_attr(SIGNATURE);
        if (signature == nullptr) return nullptr;
        sig = Ref::steal(signature_of_read(signature, read));
        if (!sig) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
            PyErr_Clear();
            return call_func();
        }
    }
    // The signature's own methods, looked up and called as they are.
    auto sig_method = [&](OnceCell& cell, const char* name) -> PyObject* {
        PyObject* method = interned(cell, name);
        if (method == nullptr) return nullptr;
        buf[1] = sig.get();
        return PyObject_VectorcallMethod(method, buf + 1,
                                         static_cast<std::size_t>(npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kw.names);
    };
    if (Ref bound = Ref::steal(sig_method(g_bind_name, "bind"))) return call_func();
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    Ref bind_error = Ref::steal(PyErr_GetRaisedException());
    if (Ref bound = Ref::steal(sig_method(g_bind_partial_name, "bind_partial"))) return make_partial();
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    return call_func();
}

// A curry of the bound `func`, `*args` and `**kwargs`.
PyObject* curry_of(BoundArgs& a) noexcept {
    Ref names, values;
    if (a.varkw && PyDict_GET_SIZE(a.varkw.get()) > 0) {
        Py_ssize_t n = PyDict_GET_SIZE(a.varkw.get());
        names = Ref::steal(PyTuple_New(n));
        values = Ref::steal(PyTuple_New(n));
        if (!names || !values) return nullptr;
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(a.varkw.get(), &pos, &k, &v)) {
            PyTuple_SET_ITEM(names.get(), i, Py_NewRef(k));
            PyTuple_SET_ITEM(values.get(), i, Py_NewRef(v));
            ++i;
        }
    }
    return new_curry(a[0], a.varargs.get(), names.get(), values.get());
}

constexpr Signature kNewSignature = method_signature("curry", "__new__", {"func"}, -1, Extra::ArgsKwargs);

PyObject* curry_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    BoundArgs a;
    if (!bind_tuple(kNewSignature, args, kwargs, a)) return nullptr;
    return curry_of(a);
}

// `curry(...)` called from Python: bound straight from the argument array.
PyObject* curry_construct(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs >= 1) [[likely]] {
        Ref rest = Ref::steal(tuple_of(args + 1, nargs - 1));
        return rest ? new_curry(args[0], rest.get(), nullptr, nullptr) : nullptr;
    }
    BoundArgs a;
    if (!bind_fast(kNewSignature, args, nargsf, kwnames, a)) return nullptr;
    return curry_of(a);
}

PyType_Slot kCurrySlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<curry_new>)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(entry<curry_construct>)},
    WRAPPER_GC_SLOTS(CurryGc),
    WRAPPER_CALL_SLOTS(CurryObject),
    {0, nullptr},
};

}  // namespace

const TypeDef kCurryType = {"curry", "curry(func, *args, **kwargs)\n--\n\n", sizeof(CurryObject), kCurrySlots,
                            nullptr, &g_curry_cell};

PyObject* make_flip() {
    Ref fn = Ref::steal(PyCMethod_New(&kFlipDef, nullptr, nullptr, nullptr));
    if (!fn) return nullptr;
    Ref none = Ref::steal(PyTuple_New(0));
    return none ? new_curry(fn.get(), none.get(), nullptr, nullptr) : nullptr;
}

}  // namespace trovix::combinators
