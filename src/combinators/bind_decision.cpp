#include "combinators/bind_decision.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <vector>

#include "utils/interp.h"
#include "utils/once.h"
#include "utils/ref.h"

namespace trovix::combinators {

namespace {

enum Kind : int { PosOnly, PosOrKw, VarPos, KwOnly, VarKw, kKinds };

// A function whose code bind runs, as found on first use.
struct GuardedFunction {
    PyObject* func;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;

    bool unchanged() const noexcept {
        auto* f = reinterpret_cast<PyFunctionObject*>(func);
        return f->func_code == code && f->func_defaults == defaults && f->func_kwdefaults == kwdefaults;
    }
};

enum TypeIndex : int { SignatureT, ParameterT, BoundArgumentsT, KindT, kTypes };
constexpr int kFunctions = 8;

// The inspect machinery as found on first use in one interpreter. Written once under
// `g_env_cell`, read-only after. Every object it points to is kept alive for the life of that
// interpreter.
struct Env {
    PyTypeObject* types[kTypes];
    unsigned int tags[kTypes];
    PyObject* kinds[kKinds];
    PyObject* empty;
    Py_ssize_t off_parameters, off_name, off_kind, off_default;
    GuardedFunction functions[kFunctions];
};

// One interpreter's view of inspect, with the dictionary watcher that guards it.
struct EnvState {
    Env env;
    std::atomic<bool> usable{false};   // `g_env_cell` holds Py_True (read without a second lookup)
    std::atomic<bool> rebound{false};  // a global name that bind reads was rebound
    int watcher = -1;                  // this interpreter's watcher id
};

void release_env(EnvState& s) noexcept {
    if (s.watcher >= 0 && PyDict_ClearWatcher(s.watcher) < 0) PyErr_Clear();
    Env& env = s.env;
    for (PyTypeObject*& t : env.types) Py_CLEAR(t);
    for (PyObject*& k : env.kinds) Py_CLEAR(k);
    Py_CLEAR(env.empty);
    for (GuardedFunction& f : env.functions) {
        Py_CLEAR(f.func);
        Py_CLEAR(f.code);
        Py_CLEAR(f.defaults);
        Py_CLEAR(f.kwdefaults);
    }
}

interp::PerInterpreter<EnvState, release_env> g_env_state;
OnceCell g_env_cell;  // Py_True: the interpreter's env is usable; Py_False: never decide natively

// The global names that the guarded functions read (in inspect, or else in builtins), and the
// attribute of itertools that `_bind` uses.
constexpr const char* kWatchedNames[] = {
    "KeyError", "StopIteration", "TypeError", "_KEYWORD_ONLY", "_POSITIONAL_ONLY", "_POSITIONAL_OR_KEYWORD",
    "_VAR_KEYWORD", "_VAR_POSITIONAL", "_empty", "iter", "itertools", "next", "tuple", "chain",
};

int on_dict_event(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) noexcept {
    EnvState* state = g_env_state.get();
    if (state == nullptr) return 0;
    std::atomic<bool>& rebound = state->rebound;
    if (event == PyDict_EVENT_CLONED || event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_DEALLOCATED) {
        rebound.store(true, std::memory_order_relaxed);
        return 0;
    }
    if (key == nullptr || !PyUnicode_Check(key)) return 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, nullptr);
    if (name == nullptr) {
        PyErr_Clear();
        rebound.store(true, std::memory_order_relaxed);
        return 0;
    }
    for (const char* watched : kWatchedNames) {
        if (std::strcmp(name, watched) == 0) rebound.store(true, std::memory_order_relaxed);
    }
    return 0;
}

PyObject* slot_of(PyObject* obj, Py_ssize_t offset) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// The offset of the object slot `name` of `type`, or -1.
Py_ssize_t slot_offset(PyTypeObject* type, const char* name) noexcept {
    Ref descr = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
    if (!descr || Py_TYPE(descr.get()) != &PyMemberDescr_Type) return -1;
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
    return member->type == Py_T_OBJECT_EX ? member->offset : -1;
}

// The plain function behind `type.name` (a function, or a property's getter), or null.
PyObject* function_of(PyTypeObject* type, const char* name, bool property) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(type));
    PyObject* value = dict ? PyDict_GetItemString(dict.get(), name) : nullptr;
    if (value == nullptr) return nullptr;
    Ref func = property ? Ref::steal(PyObject_GetAttrString(value, "fget")) : Ref::borrow(value);
    if (!func || !PyFunction_Check(func.get())) return nullptr;
    return func.release();
}

bool build_env(EnvState& state) noexcept {
    Env& env = state.env;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return false;
    PyObject* globals = PyModule_GetDict(inspect.get());
    const char* type_names[kTypes] = {"Signature", "Parameter", "BoundArguments", "_ParameterKind"};
    for (int i = 0; i < kTypes; ++i) {
        PyObject* t = PyDict_GetItemString(globals, type_names[i]);
        if (t == nullptr || !PyType_Check(t)) return false;
        env.types[i] = reinterpret_cast<PyTypeObject*>(Py_NewRef(t));
    }
    Ref bound_cls = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(env.types[SignatureT]),
                                                      "_bound_arguments_cls"));
    if (bound_cls.get() != reinterpret_cast<PyObject*>(env.types[BoundArgumentsT])) return false;
    const char* kind_names[kKinds] = {"_POSITIONAL_ONLY", "_POSITIONAL_OR_KEYWORD", "_VAR_POSITIONAL", "_KEYWORD_ONLY",
                                      "_VAR_KEYWORD"};
    for (int i = 0; i < kKinds; ++i) {
        PyObject* k = PyDict_GetItemString(globals, kind_names[i]);
        if (k == nullptr || Py_TYPE(k) != env.types[KindT]) return false;
        env.kinds[i] = Py_NewRef(k);
    }
    env.empty = Py_XNewRef(PyDict_GetItemString(globals, "_empty"));
    if (env.empty == nullptr) return false;
    env.off_parameters = slot_offset(env.types[SignatureT], "_parameters");
    env.off_name = slot_offset(env.types[ParameterT], "_name");
    env.off_kind = slot_offset(env.types[ParameterT], "_kind");
    env.off_default = slot_offset(env.types[ParameterT], "_default");
    if (env.off_parameters < 0 || env.off_name < 0 || env.off_kind < 0 || env.off_default < 0) return false;

    struct {
        TypeIndex type;
        const char* name;
        bool property;
    } const fns[kFunctions] = {
        {SignatureT, "bind", false},      {SignatureT, "bind_partial", false}, {SignatureT, "_bind", false},
        {SignatureT, "parameters", true}, {ParameterT, "name", true},          {ParameterT, "kind", true},
        {ParameterT, "default", true},    {BoundArgumentsT, "__init__", false},
    };
    PyObject* builtins = nullptr;
    for (int i = 0; i < kFunctions; ++i) {
        PyObject* func = function_of(env.types[fns[i].type], fns[i].name, fns[i].property);
        if (func == nullptr) return false;
        auto* f = reinterpret_cast<PyFunctionObject*>(func);
        if (f->func_globals != globals || (builtins != nullptr && f->func_builtins != builtins)) return false;
        builtins = f->func_builtins;
        env.functions[i] = {func, Py_NewRef(f->func_code), Py_XNewRef(f->func_defaults), Py_XNewRef(f->func_kwdefaults)};
    }
    PyObject* itertools = PyDict_GetItemString(globals, "itertools");
    if (itertools == nullptr || !PyModule_CheckExact(itertools) || builtins == nullptr || !PyDict_Check(builtins)) {
        return false;
    }
    // One watcher for the interpreter, even when a nested first use (an import hook calling curry
    // while inspect is imported) builds the environment a second time.
    int& watcher = state.watcher;
    if (watcher < 0) watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0) return false;
    if (PyDict_Watch(watcher, globals) < 0 || PyDict_Watch(watcher, builtins) < 0 ||
        PyDict_Watch(watcher, PyModule_GetDict(itertools)) < 0) {
        return false;
    }
    // Tags last: nothing above may have changed the classes.
    for (int i = 0; i < kTypes; ++i) {
        if (!PyUnstable_Type_AssignVersionTag(env.types[i])) return false;
        env.tags[i] = env.types[i]->tp_version_tag;
    }
    return true;
}

bool env_usable() noexcept {
    EnvState* env_state = g_env_state.get();
    if (env_state == nullptr) return false;
    PyObject* state = g_env_cell.get_or_init([&]() -> PyObject* {
        bool ok = build_env(*env_state);
        if (PyErr_Occurred()) PyErr_Clear();
        return Py_NewRef(ok ? Py_True : Py_False);
    });
    if (state == nullptr) PyErr_Clear();
    if (state != Py_True) return false;
    env_state->usable.store(true, std::memory_order_release);
    return true;
}

// The interpreter's environment, when it is usable and still the one found on first use; else null.
const Env* env_intact() noexcept {
    EnvState* state = g_env_state.get();
    if (state == nullptr || !state->usable.load(std::memory_order_acquire) ||
        state->rebound.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    const Env& env = state->env;
    for (int i = 0; i < kTypes; ++i) {
        if (env.types[i]->tp_version_tag != env.tags[i]) return nullptr;
    }
    for (const GuardedFunction& f : env.functions) {
        if (!f.unchanged()) return nullptr;
    }
    return &env;
}

struct Param {
    PyObject* name;
    Kind kind;
    bool has_default;
};

bool same_str(PyObject* a, PyObject* b) noexcept {
    return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// `Signature._bind(args, kwargs, partial=partial)` for `npos` positionals and the keyword names
// `kw[0..nkw]`: true when it returns, false when it raises TypeError. `popped` is scratch space.
bool binds(const std::vector<Param>& params, Py_ssize_t npos, PyObject* const* kw, Py_ssize_t nkw, bool partial,
           std::vector<char>& popped) noexcept {
    auto in_kwargs = [&](PyObject* name) -> Py_ssize_t {
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            if (!popped[j] && same_str(kw[j], name)) return j;
        }
        return -1;
    };
    popped.assign(static_cast<std::size_t>(nkw), 0);
    std::size_t n = params.size(), i = 0, rest = 0;
    Py_ssize_t used = 0;
    // Positional arguments against the parameters, in order.
    while (true) {
        if (used == npos) {
            if (i == n) {
                rest = n;
                break;
            }
            const Param& p = params[i++];
            if (p.kind == VarPos) {
                rest = i;
                break;
            }
            if (in_kwargs(p.name) >= 0) {
                if (p.kind == PosOnly) {
                    if (!p.has_default) return false;
                    continue;  // reported after the keywords, unless **kwargs takes it
                }
                rest = i - 1;
                break;
            }
            if (p.kind == VarKw || p.has_default || partial) {
                rest = i - 1;
                break;
            }
            return false;  // missing a required argument
        }
        if (i == n) return false;  // too many positional arguments
        const Param& p = params[i++];
        if (p.kind == VarKw || p.kind == KwOnly) return false;
        if (p.kind == VarPos) {
            rest = i;
            break;
        }
        if (p.kind != PosOnly && in_kwargs(p.name) >= 0) return false;  // multiple values
        ++used;
    }
    // The remaining parameters take keywords.
    bool has_varkw = false;
    for (std::size_t j = rest; j < n; ++j) {
        const Param& p = params[j];
        if (p.kind == VarKw) {
            has_varkw = true;
            continue;
        }
        if (p.kind == VarPos) continue;
        Py_ssize_t k = in_kwargs(p.name);
        if (k >= 0) {
            popped[static_cast<std::size_t>(k)] = 1;
        } else if (!partial && !p.has_default) {
            return false;
        }
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (!popped[static_cast<std::size_t>(j)]) return has_varkw;
    }
    return true;
}

}  // namespace

void capture_parameters(PyObject* sig, PyObject*& proxy, PyObject*& params) noexcept {
    proxy = params = nullptr;
    const Env* found = env_usable() ? env_intact() : nullptr;
    if (found == nullptr) return;
    const Env& env = *found;
    if (Py_TYPE(sig) != env.types[SignatureT]) return;
    PyObject* stored = slot_of(sig, env.off_parameters);
    Ref via_property = Ref::steal(PyObject_GetAttrString(sig, "parameters"));
    Ref values = via_property ? Ref::steal(PyObject_CallMethod(via_property.get(), "values", nullptr)) : Ref();
    Ref tuple = values ? Ref::steal(PySequence_Tuple(values.get())) : Ref();
    if (!tuple || stored == nullptr || via_property.get() != stored) {
        PyErr_Clear();
        return;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple.get()); ++i) {
        if (Py_TYPE(PyTuple_GET_ITEM(tuple.get(), i)) != env.types[ParameterT]) return;
    }
    proxy = Py_NewRef(stored);
    params = tuple.release();
}

BindAnswer decide_bind(PyObject* sig, PyObject* proxy, PyObject* params, Py_ssize_t npos, PyObject* kwnames) noexcept {
    const Env* found = proxy != nullptr && params != nullptr ? env_intact() : nullptr;
    if (found == nullptr) return BindAnswer::Unknown;
    const Env& env = *found;
    if (Py_TYPE(sig) != env.types[SignatureT] || slot_of(sig, env.off_parameters) != proxy) {
        return BindAnswer::Unknown;
    }
    thread_local std::vector<Param> plist;
    thread_local std::vector<char> popped;
    Py_ssize_t n = PyTuple_GET_SIZE(params);
    plist.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* p = PyTuple_GET_ITEM(params, i);
        PyObject* name = slot_of(p, env.off_name);
        PyObject* kind = slot_of(p, env.off_kind);
        PyObject* dflt = slot_of(p, env.off_default);
        if (name == nullptr || !PyUnicode_CheckExact(name) || dflt == nullptr) return BindAnswer::Unknown;
        int k = 0;
        while (k < kKinds && env.kinds[k] != kind) ++k;
        if (k == kKinds) return BindAnswer::Unknown;
        plist[static_cast<std::size_t>(i)] = {name, static_cast<Kind>(k), dflt != env.empty};
    }
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kw = nkw > 0 ? reinterpret_cast<PyTupleObject*>(kwnames)->ob_item : nullptr;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (!PyUnicode_CheckExact(kw[j])) return BindAnswer::Unknown;
    }
    if (binds(plist, npos, kw, nkw, false, popped)) return BindAnswer::Bound;
    return binds(plist, npos, kw, nkw, true, popped) ? BindAnswer::Partial : BindAnswer::Neither;
}

}  // namespace trovix::combinators
