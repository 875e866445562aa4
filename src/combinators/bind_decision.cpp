#include "combinators/bind_decision.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "utils/errors.h"
#include "utils/interp.h"
#include "utils/once.h"
#include "utils/ref.h"

namespace trovix::combinators {

namespace {

enum Kind : int { PosOnly, PosOrKw, VarPos, KwOnly, VarKw, kKinds };
constexpr char kHasDefault = 8;   // with a kind, in the codes of ReadParameters::kinds
constexpr Py_ssize_t kMaxRead = 64;  // more parameters are left to inspect
// After the codes of ReadParameters::kinds: the number of positional parameters, of those
// without a default, whether there is *args, and the number of keyword-only parameters without a
// default.
enum Summary : int { kPositional, kRequiredPositional, kStarArgs, kRequiredKeywordOnly, kSummary };

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
// What `inspect.signature(f)` runs for a plain function f (see read_function_parameters).
enum ReaderIndex : int {
    SignatureF, UnwrapF, IsFunctionF, FromCallableF, FromFunctionF, FromCallableM, SignatureInitF, ParameterInitF,
    GetAnnotationsF, DunderAnnotationsF, kReaders
};

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
    PyTypeObject* odict;        // the OrderedDict class that Signature keeps its parameters in
    Py_ssize_t off_odict_order;  // its counter of changes to the order of its keys
    PyObject* module_dicts[3];   // the globals of inspect, builtins and itertools (watched)
    // For reading a plain function's parameters natively; `can_read` false when that never applies.
    bool can_read;
    GuardedFunction readers[kReaders];
    PyObject* keywords;         // frozenset of the keywords no parameter may be named
    PyObject* reader_dicts[3];  // the globals of annotationlib, types and functools (watched)
};

// The codes last read, for the code object and defaults they were read from (strong references,
// changed only with the interpreter lock held).
struct ReadCache {
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PyObject* kinds = nullptr;

    void set(PyObject* c, PyObject* d, PyObject* k) noexcept {
        PyObject *old_code = code, *old_defaults = defaults, *old_kinds = kinds;
        code = Py_NewRef(c);
        defaults = Py_XNewRef(d);
        kinds = Py_NewRef(k);
        Py_XDECREF(old_code);
        Py_XDECREF(old_defaults);
        Py_XDECREF(old_kinds);
    }
};

// One interpreter's view of inspect, with the watchers that guard it (watcher ids belong to one
// interpreter).
struct EnvState {
    Env env;
    std::atomic<bool> usable{false};   // `g_env_cell` holds Py_True (read without a second lookup)
    std::atomic<bool> rebound{false};  // a global name that bind reads was rebound
    std::atomic<bool> reader_touched{false};  // a global that inspect.signature reads changed
    // Bumped whenever a key is added to or removed from a captured parameter mapping (or it is
    // cleared or replaced wholesale); a capture made before then no longer applies.
    std::atomic<std::uint64_t> mapping_keys{0};
    int watcher = -1;           // this interpreter's dictionary watcher, once added
    int function_watcher = -1;  // and its function watcher
    ReadCache cache;            // see read_function_parameters
};

void release_guard(GuardedFunction& f) noexcept {
    Py_CLEAR(f.func);
    Py_CLEAR(f.code);
    Py_CLEAR(f.defaults);
    Py_CLEAR(f.kwdefaults);
}

void release_env(EnvState& s) noexcept {
    // The watchers go first: nothing released below calls back into this state.
    if (s.watcher >= 0 && PyDict_ClearWatcher(s.watcher) < 0) PyErr_Clear();
    if (s.function_watcher >= 0 && PyFunction_ClearWatcher(s.function_watcher) < 0) PyErr_Clear();
    s.watcher = s.function_watcher = -1;
    s.usable.store(false, std::memory_order_relaxed);
    Env& env = s.env;
    for (PyTypeObject*& t : env.types) Py_CLEAR(t);
    for (PyObject*& k : env.kinds) Py_CLEAR(k);
    Py_CLEAR(env.empty);
    for (GuardedFunction& f : env.functions) release_guard(f);
    Py_CLEAR(env.odict);
    for (GuardedFunction& f : env.readers) release_guard(f);
    Py_CLEAR(env.keywords);
    for (PyObject*& d : env.reader_dicts) Py_CLEAR(d);
    Py_CLEAR(s.cache.code);
    Py_CLEAR(s.cache.defaults);
    Py_CLEAR(s.cache.kinds);
}

interp::PerInterpreter<EnvState, release_env> g_env_state;
OnceCell g_env_cell;  // Py_True: the interpreter's env is usable; Py_False: never decide natively

// The global names that the guarded functions read (in inspect, or else in builtins), and the
// attribute of itertools that `_bind` uses.
constexpr const char* kWatchedNames[] = {
    "KeyError", "StopIteration", "TypeError", "_KEYWORD_ONLY", "_POSITIONAL_ONLY", "_POSITIONAL_OR_KEYWORD",
    "_VAR_KEYWORD", "_VAR_POSITIONAL", "_empty", "iter", "itertools", "next", "tuple", "chain",
};
// The builtins that inspect.signature reads for a plain function (every global of inspect,
// annotationlib, types and functools counts).
constexpr const char* kReaderBuiltins[] = {
    "callable", "isinstance", "hasattr", "getattr", "len", "enumerate", "dict", "type", "tuple", "str", "id",
    "AttributeError", "TypeError", "ValueError", "KeyError", "NameError", "object", "property", "frozenset",
};

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
    EnvState* state = g_env_state.get();
    if (state == nullptr) return 0;
    const Env& env = state->env;
    std::atomic<bool>& rebound = state->rebound;
    std::atomic<bool>& reader_touched = state->reader_touched;
    bool module_dict = false, reader_dict = dict == env.module_dicts[0];
    for (PyObject* d : env.module_dicts) module_dict = module_dict || d == dict;
    for (PyObject* d : env.reader_dicts) reader_dict = reader_dict || d == dict;
    // The keyword defaults of a guarded function, changed in place.
    for (const GuardedFunction& g : env.functions) {
        if (g.kwdefaults == dict && event != PyDict_EVENT_DEALLOCATED) rebound.store(true, std::memory_order_relaxed);
    }
    for (const GuardedFunction& g : env.readers) {
        if (g.kwdefaults == dict && event != PyDict_EVENT_DEALLOCATED) {
            reader_touched.store(true, std::memory_order_relaxed);
        }
    }
    if (reader_dict) reader_touched.store(true, std::memory_order_relaxed);
    if (dict == env.module_dicts[1] && key != nullptr && PyUnicode_Check(key)) {
        for (const char* name : kReaderBuiltins) {
            if (PyUnicode_EqualToUTF8(key, name)) reader_touched.store(true, std::memory_order_relaxed);
        }
    }
    if (!module_dict && !reader_dict) {
        // A captured parameter mapping: a changed value is read afresh at every decision, a
        // changed set of keys is not.
        if (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_DELETED || event == PyDict_EVENT_CLEARED ||
            event == PyDict_EVENT_CLONED) {
            state->mapping_keys.fetch_add(1, std::memory_order_relaxed);
        }
        return 0;
    }
    if (!module_dict) return 0;
    if (event == PyDict_EVENT_CLONED || event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_DEALLOCATED) {
        rebound.store(true, std::memory_order_relaxed);
        reader_touched.store(true, std::memory_order_relaxed);
        return 0;
    }
    if (key == nullptr || !PyUnicode_Check(key)) return 0;
    for (const char* watched : kWatchedNames) {
        if (PyUnicode_EqualToUTF8(key, watched)) rebound.store(true, std::memory_order_relaxed);
    }
    return 0;
}

// A guarded function's code, defaults or keyword defaults were replaced (a function watcher:
// creating and destroying functions anywhere in the process costs one early return here).
int on_function_event(PyFunction_WatchEvent event, PyFunctionObject* func, PyObject*) noexcept {
    if (event == PyFunction_EVENT_CREATE || event == PyFunction_EVENT_DESTROY) [[likely]] return 0;
    EnvState* state = g_env_state.get();
    if (state == nullptr) return 0;
    const Env& env = state->env;
    std::atomic<bool>& rebound = state->rebound;
    std::atomic<bool>& reader_touched = state->reader_touched;
    auto* f = reinterpret_cast<PyObject*>(func);
    for (const GuardedFunction& g : env.functions) {
        if (g.func == f) rebound.store(true, std::memory_order_relaxed);
    }
    for (const GuardedFunction& g : env.readers) {
        if (g.func == f) reader_touched.store(true, std::memory_order_relaxed);
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

// The offset of the counter that an OrderedDict of class `odict` bumps whenever the order of its
// keys changes (`move_to_end` changes no key of the dict underneath, so no watcher sees it), or
// -1 when no word of the object behaves like one: found by moving keys of a probe and watching
// which word counts the moves, and only the moves.
Py_ssize_t find_order_counter(PyTypeObject* odict) noexcept {
    Ref od = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(odict)));
    if (!od || !PyDict_Check(od.get()) || Py_TYPE(od.get()) != odict) return -1;
    constexpr std::size_t kMaxWords = 32;
    Py_ssize_t base = static_cast<Py_ssize_t>(sizeof(PyDictObject));
    std::size_t nwords = static_cast<std::size_t>((odict->tp_basicsize - base) / static_cast<Py_ssize_t>(sizeof(std::size_t)));
    if (odict->tp_basicsize <= base || nwords > kMaxWords) return -1;
    auto read = [&](std::size_t (&out)[kMaxWords]) {
        for (std::size_t i = 0; i < nwords; ++i) {
            std::memcpy(&out[i], reinterpret_cast<char*>(od.get()) + base + i * sizeof(std::size_t), sizeof(std::size_t));
        }
    };
    Ref a = Ref::steal(PyUnicode_FromString("a")), b = Ref::steal(PyUnicode_FromString("b"));
    if (!a || !b || PyObject_SetItem(od.get(), a.get(), Py_None) < 0 || PyObject_SetItem(od.get(), b.get(), Py_None) < 0) {
        return -1;
    }
    std::size_t before[kMaxWords], moved[kMaxWords], moved_back[kMaxWords], same[kMaxWords];
    read(before);
    if (!Ref::steal(PyObject_CallMethod(od.get(), "move_to_end", "O", a.get()))) return -1;
    read(moved);
    if (!Ref::steal(PyObject_CallMethod(od.get(), "move_to_end", "OO", a.get(), Py_False))) return -1;
    read(moved_back);
    if (PyObject_SetItem(od.get(), a.get(), Py_True) < 0 || !Ref::steal(PyObject_GetItem(od.get(), b.get()))) return -1;
    read(same);
    Py_ssize_t found = -1;
    for (std::size_t i = 0; i < nwords; ++i) {
        std::size_t d1 = moved[i] - before[i], d2 = moved_back[i] - moved[i];
        if (d1 == 0 || d1 > 4 || d2 == 0 || d2 > 4 || same[i] != moved_back[i]) continue;
        if (found >= 0) return -1;  // not a unique answer
        found = base + static_cast<Py_ssize_t>(i * sizeof(std::size_t));
    }
    return found;
}

// A guard for the plain function `obj` (a classmethod's function for `classmethod`), or false.
bool guard(PyObject* obj, GuardedFunction& out, bool classmethod = false) noexcept {
    Ref func = classmethod ? Ref::steal(PyObject_GetAttrString(obj, "__func__")) : Ref::borrow(obj);
    if (!func || !PyFunction_Check(func.get())) return false;
    auto* f = reinterpret_cast<PyFunctionObject*>(func.get());
    out = {func.release(), Py_NewRef(f->func_code), Py_XNewRef(f->func_defaults), Py_XNewRef(f->func_kwdefaults)};
    return true;
}

bool build_reader(Env& env, PyObject* inspect, int watcher) noexcept {
    PyObject* globals = PyModule_GetDict(inspect);
    PyObject* signature_cls = reinterpret_cast<PyObject*>(env.types[SignatureT]);
    PyObject* parameter_cls = reinterpret_cast<PyObject*>(env.types[ParameterT]);
    Ref annotationlib = Ref::steal(PyImport_ImportModule("annotationlib"));
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    Ref functools = Ref::steal(PyImport_ImportModule("functools"));
    Ref keyword = Ref::steal(PyImport_ImportModule("keyword"));
    if (!annotationlib || !types || !functools || !keyword) return false;
    Ref kwlist = Ref::steal(PyObject_GetAttrString(keyword.get(), "kwlist"));
    env.keywords = kwlist ? PyFrozenSet_New(kwlist.get()) : nullptr;
    if (env.keywords == nullptr) return false;
    PyObject* ann_globals = PyModule_GetDict(annotationlib.get());
    auto global = [](PyObject* dict, const char* name) { return PyDict_GetItemString(dict, name); };
    PyObject* sig_dict = reinterpret_cast<PyTypeObject*>(signature_cls)->tp_dict;
    PyObject* param_dict = reinterpret_cast<PyTypeObject*>(parameter_cls)->tp_dict;
    PyObject* from_callable = PyDict_GetItemString(sig_dict, "from_callable");
    if (from_callable == nullptr || !PyObject_TypeCheck(from_callable, &PyClassMethod_Type)) return false;
    PyObject* objs[kReaders] = {
        global(globals, "signature"),        global(globals, "unwrap"),
        global(globals, "isfunction"),       global(globals, "_signature_from_callable"),
        global(globals, "_signature_from_function"), from_callable,
        PyDict_GetItemString(sig_dict, "__init__"), PyDict_GetItemString(param_dict, "__init__"),
        global(ann_globals, "get_annotations"), global(ann_globals, "_get_dunder_annotations"),
    };
    for (int i = 0; i < kReaders; ++i) {
        if (objs[i] == nullptr || !guard(objs[i], env.readers[i], i == FromCallableM)) return false;
    }
    // Kept alive here (strong references, released with the interpreter's state).
    env.reader_dicts[0] = Py_NewRef(ann_globals);
    env.reader_dicts[1] = Py_NewRef(PyModule_GetDict(types.get()));
    env.reader_dicts[2] = Py_NewRef(PyModule_GetDict(functools.get()));
    for (PyObject* d : env.reader_dicts) {
        if (PyDict_Watch(watcher, d) < 0) return false;
    }
    for (const GuardedFunction& g : env.readers) {
        if (g.kwdefaults != nullptr && PyDict_Watch(watcher, g.kwdefaults) < 0) return false;
    }
    return true;
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
    PyObject* odict = PyDict_GetItemString(globals, "OrderedDict");
    if (odict == nullptr || !PyType_Check(odict)) return false;
    env.odict = reinterpret_cast<PyTypeObject*>(Py_NewRef(odict));
    env.off_odict_order = find_order_counter(env.odict);
    if (env.off_odict_order < 0) return false;
    env.module_dicts[0] = globals;
    env.module_dicts[1] = builtins;
    env.module_dicts[2] = PyModule_GetDict(itertools);
    // One watcher for the interpreter, even when a nested first use (an import hook calling curry
    // while inspect is imported) builds the environment a second time.
    int watcher = state.watcher;
    if (watcher < 0) watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0) return false;
    for (PyObject* d : env.module_dicts) {
        if (PyDict_Watch(watcher, d) < 0) return false;
    }
    for (const GuardedFunction& g : env.functions) {
        if (g.kwdefaults != nullptr && PyDict_Watch(watcher, g.kwdefaults) < 0) return false;
    }
    state.watcher = watcher;
    if (state.function_watcher < 0) state.function_watcher = PyFunction_AddWatcher(on_function_event);
    if (state.function_watcher < 0) return false;
    env.can_read = build_reader(env, inspect.get(), watcher);
    if (!env.can_read && PyErr_Occurred() && !clear_ordinary_error()) return false;
    // Tags last: nothing above may have changed the classes.
    for (int i = 0; i < kTypes; ++i) {
        if (!PyUnstable_Type_AssignVersionTag(env.types[i])) return false;
        env.tags[i] = env.types[i]->tp_version_tag;
    }
    return true;
}

// 1: the interpreter's env is usable (`out` is its state); 0: never decide natively; -1 with an
// exception that must not be swallowed (the cell then stays empty and the next call tries again).
int env_usable(EnvState*& out) noexcept {
    EnvState* env_state = g_env_state.get();
    if (env_state == nullptr) return 0;
    PyObject* state = g_env_cell.get_or_init([&]() -> PyObject* {
        bool ok = build_env(*env_state);
        if (PyErr_Occurred() && !clear_ordinary_error()) return nullptr;
        return Py_NewRef(ok ? Py_True : Py_False);
    });
    if (state == nullptr) return -1;
    if (state != Py_True) return 0;
    env_state->usable.store(true, std::memory_order_release);
    out = env_state;
    return 1;
}

// The interpreter's state, when its environment is usable and still the one found on first use;
// else null.
EnvState* env_intact() noexcept {
    EnvState* state = g_env_state.get();
    if (state == nullptr || !state->usable.load(std::memory_order_acquire) ||
        state->rebound.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    const Env& env = state->env;
    for (int i = 0; i < kTypes; ++i) {
        if (env.types[i]->tp_version_tag != env.tags[i]) return nullptr;
    }
    return state;  // (the guarded functions are watched: a change sets `rebound`)
}

// As env_intact, also comparing what the watchers stand for (for the first use of a signature).
EnvState* env_unchanged() noexcept {
    EnvState* state = env_intact();
    if (state == nullptr) return nullptr;
    for (const GuardedFunction& f : state->env.functions) {
        if (!f.unchanged()) return nullptr;
    }
    return state;
}

// Reading a plain function's parameters natively gives what inspect.signature would.
bool reader_intact(const EnvState& state) noexcept {
    return state.env.can_read && !state.reader_touched.load(std::memory_order_relaxed);  // (watched, as above)
}

struct Param {
    PyObject* name;
    Kind kind;
    bool has_default;
};

bool same_str(PyObject* a, PyObject* b) noexcept {
    return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// The keyword names of one call, found by name: a scan for a few, a hash table for many (so a
// decision stays linear in the number of keywords).
class KeywordIndex {
public:
    KeywordIndex(PyObject* const* kw, Py_ssize_t n, std::vector<Py_ssize_t>& table) noexcept
        : kw_(kw), n_(n), table_(table) {
        if (n_ <= kScan) return;
        std::size_t size = 16;
        while (size < static_cast<std::size_t>(n_) * 2) size *= 2;
        mask_ = size - 1;
        table_.assign(size, -1);
        for (Py_ssize_t j = 0; j < n_; ++j) {
            std::size_t at = slot(kw_[j]);
            while (table_[at] >= 0) at = (at + 1) & mask_;
            table_[at] = j;
        }
    }

    // The index of the keyword `name`, or -1.
    Py_ssize_t find(PyObject* name) const noexcept {
        if (n_ <= kScan) {
            for (Py_ssize_t j = 0; j < n_; ++j) {
                if (same_str(kw_[j], name)) return j;
            }
            return -1;
        }
        for (std::size_t at = slot(name);; at = (at + 1) & mask_) {
            Py_ssize_t j = table_[at];
            if (j < 0 || same_str(kw_[j], name)) return j;
        }
    }

private:
    static constexpr Py_ssize_t kScan = 8;
    // An exact str's hash never fails (and is cached in the object).
    std::size_t slot(PyObject* name) const noexcept { return static_cast<std::size_t>(PyObject_Hash(name)) & mask_; }

    PyObject* const* kw_;
    Py_ssize_t n_;
    std::vector<Py_ssize_t>& table_;
    std::size_t mask_ = 0;
};

// `Signature._bind(args, kwargs, partial=partial)` for `npos` positionals and the keywords of
// `index` (`nkw` of them): true when it returns, false when it raises TypeError. `popped` is
// scratch space.
bool binds(const std::vector<Param>& params, Py_ssize_t npos, const KeywordIndex& index, Py_ssize_t nkw, bool partial,
           std::vector<char>& popped) noexcept {
    auto in_kwargs = [&](PyObject* name) -> Py_ssize_t {
        Py_ssize_t j = index.find(name);
        return j >= 0 && !popped[static_cast<std::size_t>(j)] ? j : -1;
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

namespace {

// The answer for the parameter list `plist`.
BindAnswer decide(const std::vector<Param>& plist, Py_ssize_t npos, PyObject* kwnames) noexcept {
    thread_local std::vector<char> popped;
    thread_local std::vector<Py_ssize_t> table;
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kw = nkw > 0 ? reinterpret_cast<PyTupleObject*>(kwnames)->ob_item : nullptr;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        if (!PyUnicode_CheckExact(kw[j])) return BindAnswer::Unknown;
    }
    KeywordIndex index(kw, nkw, table);
    if (binds(plist, npos, index, nkw, false, popped)) return BindAnswer::Bound;
    return binds(plist, npos, index, nkw, true, popped) ? BindAnswer::Partial : BindAnswer::Neither;
}

}  // namespace

namespace {

// The mapping behind a `mappingproxy` (its one referent), or null.
PyObject* proxied_mapping(PyObject* proxy) noexcept {
    if (Py_TYPE(proxy) != &PyDictProxy_Type) return nullptr;
    struct Found {
        PyObject* mapping = nullptr;
        int count = 0;
    } found;
    Py_TYPE(proxy)->tp_traverse(
        proxy,
        [](PyObject* obj, void* arg) -> int {
            auto* f = static_cast<Found*>(arg);
            f->mapping = obj;
            ++f->count;
            return 0;
        },
        &found);
    return found.count == 1 ? found.mapping : nullptr;
}

std::size_t order_of(const Env& env, PyObject* mapping) noexcept {
    if (Py_TYPE(mapping) != env.odict) return 0;
    std::size_t order;
    std::memcpy(&order, reinterpret_cast<char*>(mapping) + env.off_odict_order, sizeof order);
    return order;
}

// The mapping iterates its values in the order of the dict underneath it, all of them exact
// Parameter objects: then a walk with PyDict_Next sees what `parameters.values()` yields.
// -1 with an exception set, 0 when not, 1 when it does.
int walk_matches(const Env& env, PyObject* mapping) noexcept {
    Ref values = Ref::steal(PyObject_CallMethod(mapping, "values", nullptr));
    Ref it = values ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
    if (!it) return -1;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        if (item.get() != value || Py_TYPE(value) != env.types[ParameterT]) return 0;
    }
    if (Ref extra = Ref::steal(PyIter_Next(it.get()))) return 0;
    return PyErr_Occurred() ? -1 : 1;
}

}  // namespace

bool capture_parameters(PyObject* sig, BindCapture& out) noexcept {
    out = BindCapture{};
    EnvState* state = nullptr;
    int usable = env_usable(state);
    if (usable <= 0) return usable == 0;
    if (env_unchanged() != state) return true;
    const Env& env = state->env;
    if (Py_TYPE(sig) != env.types[SignatureT]) return true;
    // With the machinery intact, `sig.parameters` is this slot.
    PyObject* proxy = slot_of(sig, env.off_parameters);
    PyObject* mapping = proxy != nullptr ? proxied_mapping(proxy) : nullptr;
    if (mapping == nullptr || (Py_TYPE(mapping) != env.odict && !PyDict_CheckExact(mapping))) return true;
    // Watched before it is read: a change from here on is seen.
    if (PyDict_Watch(state->watcher, mapping) < 0) return clear_ordinary_error();
    std::uint64_t keys = state->mapping_keys.load(std::memory_order_relaxed);
    std::size_t order = order_of(env, mapping);
    int matches = walk_matches(env, mapping);
    if (matches < 0) return clear_ordinary_error();
    if (matches == 0 || order != order_of(env, mapping)) return true;
    out = BindCapture{Py_NewRef(proxy), Py_NewRef(mapping), keys, order};
    return true;
}

BindAnswer decide_bind(PyObject* sig, const BindCapture& cap, Py_ssize_t npos, PyObject* kwnames) noexcept {
    EnvState* state = cap.proxy != nullptr && cap.mapping != nullptr ? env_intact() : nullptr;
    if (state == nullptr) return BindAnswer::Unknown;
    const Env& env = state->env;
    if (Py_TYPE(sig) != env.types[SignatureT] || slot_of(sig, env.off_parameters) != cap.proxy) {
        return BindAnswer::Unknown;
    }
    PyObject* mapping = cap.mapping;
    if (state->mapping_keys.load(std::memory_order_relaxed) != cap.keys || order_of(env, mapping) != cap.order) {
        return BindAnswer::Unknown;
    }
    thread_local std::vector<Param> plist;
    plist.clear();
    bool known = true;
    Py_BEGIN_CRITICAL_SECTION(mapping);
    Py_ssize_t pos = 0;
    PyObject *key, *p;
    while (known && PyDict_Next(mapping, &pos, &key, &p)) {
        if (Py_TYPE(p) != env.types[ParameterT]) {
            known = false;
            break;
        }
        PyObject* name = slot_of(p, env.off_name);
        PyObject* kind = slot_of(p, env.off_kind);
        PyObject* dflt = slot_of(p, env.off_default);
        if (name == nullptr || !PyUnicode_CheckExact(name) || dflt == nullptr) {
            known = false;
            break;
        }
        int k = 0;
        while (k < kKinds && env.kinds[k] != kind) ++k;
        if (k == kKinds) {
            known = false;
            break;
        }
        plist.push_back({name, static_cast<Kind>(k), dflt != env.empty});
    }
    Py_END_CRITICAL_SECTION();
    if (!known) return BindAnswer::Unknown;
    return decide(plist, npos, kwnames);
}

int read_function_parameters(PyObject* signature, PyObject* func, ReadParameters& out) noexcept {
    out = ReadParameters{};
    EnvState* state = nullptr;
    int usable = env_usable(state);
    if (usable <= 0) return usable;
    if (!PyFunction_Check(func) || env_unchanged() != state || !reader_intact(*state) ||
        signature != state->env.readers[SignatureF].func) {
        return 0;
    }
    auto* f = reinterpret_cast<PyFunctionObject*>(func);
    // Every lookup below is in an exact dict whose keys are exact str: no code runs.
    auto plain_dict = [](PyObject* d) {
        if (!PyDict_CheckExact(d)) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return false;
        }
        return true;
    };
    if (f->func_dict != nullptr) {
        if (!plain_dict(f->func_dict)) return 0;
        for (const char* name : {"__signature__", "__wrapped__", "__text_signature__", "__partialmethod__"}) {
            if (PyDict_GetItemString(f->func_dict, name) != nullptr) return 0;
        }
    }
    if (f->func_annotations != nullptr ? !plain_dict(f->func_annotations)
                                       : f->func_annotate != nullptr && f->func_annotate != Py_None) {
        return 0;
    }
    if (!PyCode_Check(f->func_code)) return 0;
    auto* code = reinterpret_cast<PyCodeObject*>(f->func_code);
    PyObject* defaults = f->func_defaults;
    PyObject* kwdefaults = f->func_kwdefaults;
    // The last function read again (the usual case: many curries of one function): the codes
    // depend only on the code object and the defaults, which are immutable; keyword defaults are
    // a dict that can change in place, so a function with some is always read afresh.
    ReadCache& cache = state->cache;
    bool cacheable = kwdefaults == nullptr;
#ifdef Py_GIL_DISABLED
    cacheable = false;
#endif
    if (cacheable && cache.code == f->func_code && cache.defaults == defaults) {
        out = ReadParameters{Py_NewRef(cache.code), Py_NewRef(cache.kinds)};
        return 1;
    }
    if ((defaults != nullptr && !PyTuple_CheckExact(defaults)) || (kwdefaults != nullptr && !plain_dict(kwdefaults))) {
        return 0;
    }
    Py_ssize_t npos = code->co_argcount, nposonly = code->co_posonlyargcount, nkwonly = code->co_kwonlyargcount;
    bool varargs = (code->co_flags & CO_VARARGS) != 0, varkw = (code->co_flags & CO_VARKEYWORDS) != 0;
    Py_ssize_t ndefaults = defaults != nullptr ? PyTuple_GET_SIZE(defaults) : 0;
    Py_ssize_t n = npos + nkwonly + (varargs ? 1 : 0) + (varkw ? 1 : 0);
    // The arguments are the first local names, in this order: positional, keyword-only, *args,
    // **kwargs.
    PyObject* names = code->co_localsplusnames;
    if (ndefaults > npos || n > kMaxRead || !PyTuple_CheckExact(names) || PyTuple_GET_SIZE(names) < n) return 0;
    Ref kinds = Ref::steal(PyBytes_FromStringAndSize(nullptr, n + kSummary));
    if (!kinds) return clear_ordinary_error() ? 0 : -1;
    char* codes = PyBytes_AS_STRING(kinds.get());
    char* summary = codes + n;
    summary[kPositional] = static_cast<char>(npos);
    summary[kRequiredPositional] = static_cast<char>(npos - ndefaults);
    summary[kStarArgs] = varargs ? 1 : 0;
    summary[kRequiredKeywordOnly] = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        // Names that Parameter accepts, each once (a repeated name would collapse in the mapping).
        if (!PyUnicode_CheckExact(name) || PyUnicode_IsIdentifier(name) != 1) return 0;
        int reserved = PySet_Contains(state->env.keywords, name);
        if (reserved != 0) return reserved < 0 ? (clear_ordinary_error() ? 0 : -1) : 0;
        for (Py_ssize_t j = 0; j < i; ++j) {
            if (same_str(name, PyTuple_GET_ITEM(names, j))) return 0;
        }
        Kind kind;
        bool has_default = false;
        if (i < npos) {
            kind = i < nposonly ? PosOnly : PosOrKw;
            has_default = i >= npos - ndefaults;
        } else if (i < npos + nkwonly) {
            kind = KwOnly;
            has_default = kwdefaults != nullptr && PyDict_GetItemWithError(kwdefaults, name) != nullptr;
            if (PyErr_Occurred()) return clear_ordinary_error() ? 0 : -1;
            if (!has_default) ++summary[kRequiredKeywordOnly];
        } else {
            kind = varargs && i == npos + nkwonly ? VarPos : VarKw;
        }
        codes[i] = static_cast<char>(kind | (has_default ? kHasDefault : 0));
    }
    if (cacheable) cache.set(f->func_code, defaults, kinds.get());
    out = ReadParameters{Py_NewRef(f->func_code), kinds.release()};
    return 1;
}

namespace {

// The parameters read, in inspect's order: positional, *args, keyword-only, **kwargs.
void read_list(const ReadParameters& read, std::vector<Param>& plist) noexcept {
    PyObject* names = reinterpret_cast<PyCodeObject*>(read.code)->co_localsplusnames;
    Py_ssize_t n = PyBytes_GET_SIZE(read.kinds) - kSummary;
    const char* codes = PyBytes_AS_STRING(read.kinds);
    plist.clear();
    for (Kind group : {PosOrKw, VarPos, KwOnly, VarKw}) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            auto kind = static_cast<Kind>(codes[i] & ~kHasDefault);
            if (kind == group || (group == PosOrKw && kind == PosOnly)) {
                plist.push_back({PyTuple_GET_ITEM(names, i), kind, (codes[i] & kHasDefault) != 0});
            }
        }
    }
}

}  // namespace

BindAnswer decide_read(const ReadParameters& read, Py_ssize_t npos, PyObject* kwnames) noexcept {
    if (read.code == nullptr || read.kinds == nullptr || env_intact() == nullptr) return BindAnswer::Unknown;
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        // Positional arguments only: they fill the positional parameters in order (the rest
        // taken by *args), and the parameters left over must all have defaults.
        const char* summary = PyBytes_AS_STRING(read.kinds) + PyBytes_GET_SIZE(read.kinds) - kSummary;
        bool fits = npos <= summary[kPositional] || summary[kStarArgs] != 0;
        if (!fits) return BindAnswer::Neither;
        bool complete = npos >= summary[kRequiredPositional] && summary[kRequiredKeywordOnly] == 0;
        return complete ? BindAnswer::Bound : BindAnswer::Partial;
    }
    thread_local std::vector<Param> plist;
    read_list(read, plist);
    return decide(plist, npos, kwnames);
}

PyObject* signature_of_read(PyObject* signature, const ReadParameters& read) noexcept {
    // A function with the same code and the same parameters with and without defaults gives the
    // same signature as far as binding goes (the default values themselves never matter).
    std::vector<Param> plist;
    read_list(read, plist);
    Ref globals = Ref::steal(PyDict_New());
    Ref func = globals ? Ref::steal(PyFunction_New(read.code, globals.get())) : Ref();
    if (!func) return nullptr;
    Py_ssize_t ndefaults = 0;
    Ref kwdefaults = Ref::steal(PyDict_New());
    if (!kwdefaults) return nullptr;
    for (const Param& p : plist) {
        if (!p.has_default) continue;
        if (p.kind == KwOnly) {
            if (PyDict_SetItem(kwdefaults.get(), p.name, Py_None) < 0) return nullptr;
        } else {
            ++ndefaults;
        }
    }
    Ref defaults = Ref::steal(PyTuple_New(ndefaults));
    if (!defaults) return nullptr;
    for (Py_ssize_t i = 0; i < ndefaults; ++i) PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    if (PyFunction_SetDefaults(func.get(), ndefaults > 0 ? defaults.get() : Py_None) < 0 ||
        PyFunction_SetKwDefaults(func.get(), PyDict_GET_SIZE(kwdefaults.get()) > 0 ? kwdefaults.get() : Py_None) < 0) {
        return nullptr;
    }
    return PyObject_CallOneArg(signature, func.get());
}

}  // namespace trovix::combinators
