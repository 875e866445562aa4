#include "dicts/paths.h"

#include <utility>
#include <vector>

#include "dicts/factory.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/hash.h"
#include "utils/imports.h"
#include "utils/ref.h"
#include "utils/source.h"

namespace trovix::dicts {

namespace {

// ---- get_in ------------------------------------------------------------------------------------

// `d[key]` as a lookup that never changes `d`: the value (1, `out` set), absent (0, nothing set),
// or -1 with the error set. An exact dict is read directly. A defaultdict (or subclass) would
// insert a missing key through its default factory: there a key its storage lacks is absent, and
// only a present one is read through item access. Any other object is read through item access,
// where a KeyError means absent (so a Counter's `__missing__` answer, 0, counts as found).
int lookup_key(PyObject* d, PyObject* key, Ref& out) noexcept {
    PyObject* found = nullptr;
    if (PyDict_CheckExact(d)) {
        int present = PyDict_GetItemRef(d, key, &found);
        out = Ref::steal(found);
        return present;
    }
    if (PyDict_Check(d)) {
        PyObject* dd = cached_attr(DEFAULTDICT_TYPE);
        if (dd == nullptr) return -1;
        if (PyObject_TypeCheck(d, reinterpret_cast<PyTypeObject*>(dd))) {
            int present = PyDict_Contains(d, key);
            if (present <= 0) return present;
        }
    }
    found = PyObject_GetItem(d, key);
    if (found != nullptr) {
        out = Ref::steal(found);
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    return 0;
}

// The value at the end of `keys` in `coll`. A lookup error (KeyError, IndexError, TypeError)
// gives `fallback` (borrowed, may be None) unless `no_default`; any other error propagates.
PyObject* get_in_walk(PyObject* keys, PyObject* coll, PyObject* fallback, bool no_default) noexcept {
    PySource path = PySource::open(keys);
    if (!path) return nullptr;
    Ref current = Ref::borrow(coll);
    std::size_t steps = 0;
    for (;;) {
        // An endless path through a mapping that contains itself never ends on its own.
        if (poll_signals(steps) < 0) return nullptr;
        Next n = path.next();
        if (n.is_end()) return current.release();
        if (n.is_error()) return nullptr;
        Ref key = n.take();
        PyObject* found = nullptr;
        int present = 1;
        if (PyDict_CheckExact(current.get())) [[likely]] {
            // A miss costs no exception.
            present = PyDict_GetItemRef(current.get(), key.get(), &found);
        } else if (PyDict_Check(current.get())) {
            // A dict subclass: a defaultdict's factory is never asked.
            Ref value;
            present = lookup_key(current.get(), key.get(), value);
            found = value.release();
        } else {
            found = PyObject_GetItem(current.get(), key.get());
            if (found == nullptr) present = -1;
        }
        if (present == 0) {
            if (!no_default) return Py_NewRef(fallback);
            // The mapping's own KeyError, without asking it (a defaultdict would insert).
            if (Ref args = Ref::steal(PyTuple_Pack(1, key.get()))) PyErr_SetObject(PyExc_KeyError, args.get());
            return nullptr;
        }
        if (present < 0) {
            if (no_default || !pending_is_lookup_error()) return nullptr;
            PyErr_Clear();
            return Py_NewRef(fallback);
        }
        current = Ref::steal(found);
    }
}

PyObject* get_in(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("get_in", {"keys", "coll", "default", "no_default"}, 2);
    if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == 2) [[likely]] {
        return get_in_walk(args[0], args[1], Py_None, false);
    }
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    bool no_default = false;
    if (a[3] != nullptr && !as_bool(a[3], "no_default", no_default)) return nullptr;
    PyObject* fallback = a[2] != nullptr ? a[2] : Py_None;
    return get_in_walk(a[0], a[1], fallback, no_default);
}

// ---- assoc_in / update_in ----------------------------------------------------------------------

// The new nested mapping: every mapping along `keys` (non-empty) copied into a
// new result made by the factory rule, with the value at the end replaced by `leaf(existing)`
// (`existing` null when absent). A non-mapping on the path is replaced by a new level. The levels
// are made top-down and linked bottom-up, exactly in the order a recursive descent would make its
// calls, but in a loop.
template <class Leaf>
PyObject* rec_update(PyObject* d, const std::vector<Ref>& keys, PyObject* factory, Leaf&& leaf) {
    auto n = static_cast<Py_ssize_t>(keys.size());
    std::vector<Ref> levels;
    levels.reserve(static_cast<std::size_t>(n));
    Ref current = Ref::borrow(d);
    Ref existing;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref result = Ref::steal(new_result(factory));
        if (!result) return nullptr;
        int mapping = has_keys(current.get());
        if (mapping < 0) return nullptr;
        existing.reset();
        if (mapping) {
            if (copy_into(result.get(), current.get()) < 0) return nullptr;
            if (lookup_key(current.get(), keys[static_cast<std::size_t>(i)].get(), existing) < 0) return nullptr;
        }
        levels.push_back(std::move(result));
        if (i + 1 < n) {
            current = existing ? std::move(existing) : Ref::steal(new_result(factory));
            if (!current) return nullptr;
        }
    }
    current.reset();
    Ref value = Ref::steal(leaf(existing.get()));
    if (!value) return nullptr;
    existing.reset();
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        Ref level = std::move(levels[static_cast<std::size_t>(i)]);
        if (set_item(level.get(), keys[static_cast<std::size_t>(i)].get(), value.get()) < 0) return nullptr;
        value = std::move(level);
    }
    return value.release();
}

// The keys of the path `keys`, each held, into `out`; StopIteration() when it is empty. They are
// held natively rather than in a list, which the Python code that the walk calls (a mapping's
// keys(), __getitem__, a factory) could find through the collector and change.
bool collect_path(PyObject* keys, std::vector<Ref>& out) {
    Ref list = Ref::steal(PySequence_List(keys));
    if (!list) return false;
    Py_ssize_t n = PyList_GET_SIZE(list.get());
    if (n == 0) {
        PyErr_SetNone(PyExc_StopIteration);
        return false;
    }
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(Ref::borrow(PyList_GET_ITEM(list.get(), i)));
    return true;
}

PyObject* assoc_in(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("assoc_in", {"d", "keys", "value", "factory"}, 3);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    std::vector<Ref> path;
    if (!collect_path(a[1], path)) return nullptr;
    PyObject* value = a[2];
    return rec_update(a[0], path, a.optional(3), [value](PyObject*) { return Py_NewRef(value); });
}

PyObject* update_in(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig =
        function_signature("update_in", {"d", "keys", "func", "default", "factory"}, 3);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    std::vector<Ref> path;
    if (!collect_path(a[1], path)) return nullptr;
    PyObject* func = a[2];
    PyObject* fallback = a[3] != nullptr ? a[3] : Py_None;
    return rec_update(a[0], path, a.optional(4), [func, fallback](PyObject* existing) {
        return call_one(func, existing != nullptr ? existing : fallback);
    });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef kAssocInDef = {"assoc_in", fastcall_method<assoc_in>(), kFastcall,
                           "assoc_in(d, keys, value, factory=None)\n--\n\n"};
PyMethodDef kUpdateInDef = {"update_in", fastcall_method<update_in>(), kFastcall,
                            "update_in(d, keys, func, default=None, factory=None)\n--\n\n"};
PyMethodDef kGetInDef = {"get_in", fastcall_method<get_in>(), kFastcall,
                         "get_in(keys, coll, default=None, no_default=False)\n--\n\n"};

}  // namespace trovix::dicts
