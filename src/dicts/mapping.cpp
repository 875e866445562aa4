#include "dicts/mapping.h"

#include "dicts/factory.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/ref.h"

namespace trovix::dicts {

namespace {

enum class Action { KeyMap, ValMap, ItemMap, KeyFilter, ValFilter, ItemFilter };

void raise_pair_length(bool too_long) noexcept {
    PyErr_SetString(PyExc_ValueError, too_long ? "dictionary update sequence element has length > 2; 2 is required"
                                               : "dictionary update sequence element has length < 2; 2 is required");
}

// Unpacks the object returned by itemmap's function as a (key, value) pair by iterating it; an
// exact tuple or list is read directly. False with an exception set on failure.
bool unpack_pair(PyObject* obj, Ref& key, Ref& value) noexcept {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t n = Py_SIZE(obj);
        if (n != 2) {
            raise_pair_length(n > 2);
            return false;
        }
        PyObject** items = PyTuple_CheckExact(obj) ? &PyTuple_GET_ITEM(obj, 0) : &PyList_GET_ITEM(obj, 0);
        key = Ref::borrow(items[0]);
        value = Ref::borrow(items[1]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return false;
    Ref parts[2];
    for (Ref& part : parts) {
        part = next_element(it.get());
        if (!part) {
            if (!PyErr_Occurred()) raise_pair_length(false);
            return false;
        }
    }
    Ref extra = next_element(it.get());
    if (extra) {
        raise_pair_length(true);
        return false;
    }
    if (PyErr_Occurred()) return false;
    key = std::move(parts[0]);
    value = std::move(parts[1]);
    return true;
}

// The (key, value) argument of itemmap's and itemfilter's function: a tuple built for the call.
// When the function kept no reference to the previous one, that tuple is refilled instead of
// allocating another (as the interpreter's own dict iterators do), so the callee cannot tell.
class PairArg {
public:
    PyObject* make(PyObject* key, PyObject* value) noexcept {
        PyObject* pair = pair_.get();
        if (pair == nullptr || Py_REFCNT(pair) != 1) {
            pair_ = Ref::steal(PyTuple_Pack(2, key, value));
            return pair_.get();
        }
        Ref old_key = Ref::steal(PyTuple_GET_ITEM(pair, 0));
        Ref old_value = Ref::steal(PyTuple_GET_ITEM(pair, 1));
        PyTuple_SET_ITEM(pair, 0, Py_NewRef(key));
        PyTuple_SET_ITEM(pair, 1, Py_NewRef(value));
        reinterpret_cast<PyTupleObject*>(pair)->ob_hash = -1;  // the cached hash was of the old items
        // The collector may have untracked it while it held only atomic values.
        if (!PyObject_GC_IsTracked(pair)) PyObject_GC_Track(pair);
        return pair;
    }

private:
    Ref pair_;
};

// The shared loop. `func` gets exactly one positional argument per item.
// The result of a mapping member: one item per source item (fewer only when new keys collide),
// so a new dict for an exact dict source is made with room for all of them at once.
template <Action A>
PyObject* new_mapped_result(PyObject* d, PyObject* factory) noexcept {
    constexpr bool keeps_all = A == Action::KeyMap || A == Action::ValMap || A == Action::ItemMap;
    if (keeps_all && factory == nullptr && PyDict_CheckExact(d)) return _PyDict_NewPresized(PyDict_GET_SIZE(d));
    return new_result(factory);
}

template <Action A>
PyObject* map_items(PyObject* func, PyObject* d, PyObject* factory) {
    Ref result = Ref::steal(new_mapped_result<A>(d, factory));
    if (!result) return nullptr;
    PyObject* target = result.get();
    PairArg pair;
    // itemmap's and itemfilter's function gets the (key, value) tuple of the items() iteration
    // itself when it is an exact pair (as `map(f, d.items())` would pass it), else a pair made here.
    auto pair_of = [&pair](PyObject* element, PyObject* key, PyObject* value) {
        if (PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) == 2) [[likely]] return element;
        return pair.make(key, value);
    };
    auto body = [&](PyObject* element, PyObject* key, PyObject* value) -> bool {
        if constexpr (A == Action::KeyMap) {
            Ref new_key = Ref::steal(call_one(func, key));
            return new_key && set_item(target, new_key.get(), value) == 0;
        } else if constexpr (A == Action::ValMap) {
            Ref new_value = Ref::steal(call_one(func, value));
            return new_value && set_item(target, key, new_value.get()) == 0;
        } else if constexpr (A == Action::ItemMap) {
            PyObject* arg = pair_of(element, key, value);
            if (arg == nullptr) return false;
            Ref out = Ref::steal(call_one(func, arg));
            if (!out) return false;
            Ref new_key, new_value;
            if (!unpack_pair(out.get(), new_key, new_value)) return false;
            return set_item(target, new_key.get(), new_value.get()) == 0;
        } else {
            Ref verdict;
            if constexpr (A == Action::KeyFilter) {
                verdict = Ref::steal(call_one(func, key));
            } else if constexpr (A == Action::ValFilter) {
                verdict = Ref::steal(call_one(func, value));
            } else {
                PyObject* arg = pair_of(element, key, value);
                if (arg == nullptr) return false;
                verdict = Ref::steal(call_one(func, arg));
            }
            if (!verdict) return false;
            int keep = truth(verdict.get());
            if (keep < 0) return false;
            return !keep || set_item(target, key, value) == 0;
        }
    };
    bool done;
    if constexpr (A == Action::ItemMap || A == Action::ItemFilter) {
        done = for_each_item(d, body);
    } else {
        // The element is let go before the call, so that the iterator can reuse it.
        done = for_each_item(d, [&body](PyObject* key, PyObject* value) { return body(nullptr, key, value); });
    }
    return done ? result.release() : nullptr;
}

template <Action A>
PyObject* entry_point(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == 2) [[likely]] {
        return map_items<A>(args[0], args[1], nullptr);
    }
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    return map_items<A>(a[0], a[1], a.optional(2));
}

PyObject* keymap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("keymap", {"func", "d", "factory"}, 2);
    return entry_point<Action::KeyMap>(sig, args, nargs, kwnames);
}

PyObject* valmap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("valmap", {"func", "d", "factory"}, 2);
    return entry_point<Action::ValMap>(sig, args, nargs, kwnames);
}

PyObject* itemmap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("itemmap", {"func", "d", "factory"}, 2);
    return entry_point<Action::ItemMap>(sig, args, nargs, kwnames);
}

PyObject* keyfilter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("keyfilter", {"predicate", "d", "factory"}, 2);
    return entry_point<Action::KeyFilter>(sig, args, nargs, kwnames);
}

PyObject* valfilter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("valfilter", {"predicate", "d", "factory"}, 2);
    return entry_point<Action::ValFilter>(sig, args, nargs, kwnames);
}

PyObject* itemfilter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("itemfilter", {"predicate", "d", "factory"}, 2);
    return entry_point<Action::ItemFilter>(sig, args, nargs, kwnames);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef kKeymapDef = {"keymap", fastcall_method<keymap>(), kFastcall, "keymap(func, d, factory=None)\n--\n\n"};
PyMethodDef kValmapDef = {"valmap", fastcall_method<valmap>(), kFastcall, "valmap(func, d, factory=None)\n--\n\n"};
PyMethodDef kItemmapDef = {"itemmap", fastcall_method<itemmap>(), kFastcall, "itemmap(func, d, factory=None)\n--\n\n"};
PyMethodDef kKeyfilterDef = {"keyfilter", fastcall_method<keyfilter>(), kFastcall,
                             "keyfilter(predicate, d, factory=None)\n--\n\n"};
PyMethodDef kValfilterDef = {"valfilter", fastcall_method<valfilter>(), kFastcall,
                             "valfilter(predicate, d, factory=None)\n--\n\n"};
PyMethodDef kItemfilterDef = {"itemfilter", fastcall_method<itemfilter>(), kFastcall,
                              "itemfilter(predicate, d, factory=None)\n--\n\n"};

}  // namespace trovix::dicts
