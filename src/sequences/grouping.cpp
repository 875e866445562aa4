// groupby, countby, frequencies (general path) and reduceby.
//
// The first three hash each key once and find equal keys through the chain map (utils/seen.h),
// keeping per-key results in its first-seen `entries`; the dict is built in one pass at the end.
// `frequencies` first offers its input to the native integer counting (int_counting.h).
#include "sequences/grouping.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "sequences/int_counting.h"
#include "sequences/unique.h"
#include "sequences/result_dict.h"
#include "sequences/walk.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/int_buffer.h"
#include "utils/ref.h"
#include "utils/seen.h"
#include "utils/source.h"

namespace trovix::sequences {

namespace {

// Computes the key of an item: a call when the key is callable (checked once), else `apply_key`.
class KeyFn {
public:
    explicit KeyFn(PyObject* key) : key_(key), callable_(PyCallable_Check(key) != 0) {}
    PyObject* operator()(PyObject* item) const { return callable_ ? call_one(key_, item) : apply_key(key_, item); }

private:
    PyObject* key_;
    bool callable_;
};

PyObject* count_dict(ChainMap<std::uint64_t>& map) {
    Ref result = Ref::steal(new_dict(map.entries().size()));
    if (!result) return nullptr;
    for (auto& e : map.entries()) {
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(e.value));
        if (!count || PyDict_SetItem(result.get(), e.key, count.get()) < 0) return nullptr;
    }
    return result.release();
}

// After this many items of a list or tuple, a walk that found mostly new keys makes room for as
// many as the whole input promises.
constexpr std::size_t kPresizeAfter = 4096;
// ... but for no more than this many keys at once (the rest grows as usual).
constexpr std::size_t kPresizeMax = std::size_t{1} << 26;

// How many distinct keys a list or tuple of `len` items promises after the first kPresizeAfter
// items gave `found`; 0 when they were mostly repeats.
std::size_t promised_keys(std::size_t found, Py_ssize_t len) {
    if (2 * found <= kPresizeAfter || static_cast<std::size_t>(len) <= kPresizeAfter) return 0;
    double expected = static_cast<double>(found) / kPresizeAfter * static_cast<double>(len);
    return std::min(static_cast<std::size_t>(expected), kPresizeMax);
}

// Exact ints and strs hash and compare without running Python code: which table finds them again
// cannot be observed.
bool plain_key(PyObject* x) noexcept { return PyLong_CheckExact(x) || PyUnicode_CheckExact(x); }

// Items of an exact list (length read afresh at every step: hashing an item may run code that
// changes the list) or tuple, by index.
template <bool kList>
struct Indexed {
    PyObject* seq;
    Py_ssize_t size() const noexcept {
        if constexpr (kList) return PyList_GET_SIZE(seq);
        else return PyTuple_GET_SIZE(seq);
    }
    PyObject* at(Py_ssize_t i) const noexcept {
        if constexpr (kList) return PyList_GET_ITEM(seq, i);
        else return PyTuple_GET_ITEM(seq, i);
    }
};

bool count_one(ChainMap<std::uint64_t>& map, PyObject* x) {
    bool is_new;
    Py_ssize_t pos = map.find_or_add(x, is_new);
    if (pos < 0) return false;
    ++map.entries()[static_cast<std::size_t>(pos)].value;
    return true;
}

// Mostly new plain keys: counts straight into the result dict, sized once for `expected` keys,
// one dict lookup per new key and no second table of the same size beside it. The counts so far
// move from `map` into the dict first. An item that is not a plain key (a finalizer run by the
// collector may change the list) stops this: the counts go back into `map` (re-adding plain keys
// runs no Python code) and `i` tells where the caller goes on. Returns the dict when every item
// was counted; null with an exception on failure; null without one when it stopped early.
template <class Items>
PyObject* count_into_dict(const Items& items, ChainMap<std::uint64_t>& map, Py_ssize_t& i, std::size_t expected) {
    Ref result = Ref::steal(new_dict(std::max(expected, map.entries().size())));
    if (!result) return nullptr;
    for (auto& e : map.entries()) {
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(e.value));
        if (!count || PyDict_SetItem(result.get(), e.key, count.get()) < 0) return nullptr;
    }
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    for (; i < items.size(); ++i) {
        Ref x = Ref::borrow(items.at(i));
        if (!plain_key(x.get())) [[unlikely]] {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(result.get(), &pos, &key, &value)) {
                bool is_new;
                Py_ssize_t at = map.find_or_add(key, is_new);
                if (at < 0) return nullptr;
                map.entries()[static_cast<std::size_t>(at)].value = PyLong_AsUnsignedLongLong(value);
            }
            return nullptr;
        }
        PyObject* found = nullptr;
        int present = PyDict_SetDefaultRef(result.get(), x.get(), one.get(), &found);
        if (present < 0) return nullptr;
        Ref current = Ref::steal(found);
        if (present == 1) {
            Ref next = Ref::steal(PyLong_FromUnsignedLongLong(PyLong_AsUnsignedLongLong(current.get()) + 1));
            if (!next || PyDict_SetItem(result.get(), x.get(), next.get()) < 0) return nullptr;
        }
    }
    return result.release();
}

// The general path over an exact list or tuple.
template <class Items>
PyObject* frequencies_indexed(const Items& items, ChainMap<std::uint64_t>& map) {
    Py_ssize_t i = 0;
    auto count_until = [&](Py_ssize_t stop) {
        for (; i < stop && i < items.size(); ++i) {
            if (i + kLookahead < items.size()) map.prefetch(items.at(i + kLookahead));
            Ref x = Ref::borrow(items.at(i));
            if (!count_one(map, x.get())) [[unlikely]] return false;
        }
        return true;
    };
    if (!count_until(static_cast<Py_ssize_t>(kPresizeAfter))) return nullptr;
    if (i < items.size()) {
        if (std::size_t expected = promised_keys(map.entries().size(), items.size())) {
            auto& entries = map.entries();
            bool plain = std::all_of(entries.begin(), entries.end(), [](const auto& e) { return plain_key(e.key); });
            if (plain) {
                PyObject* done = count_into_dict(items, map, i, expected);
                if (done != nullptr || PyErr_Occurred()) return done;
            } else {
                map.reserve(expected);
            }
        }
        if (!count_until(PY_SSIZE_T_MAX)) return nullptr;
    }
    return count_dict(map);
}

PyObject* frequencies_impl(PyObject* seq) {
    bool qualified = false;
    PyObject* native = frequencies_int(seq, qualified);
    if (qualified) return native;
    ChainMap<std::uint64_t> map(int_fast_hash_enabled());
    if (PyList_CheckExact(seq)) return frequencies_indexed(Indexed<true>{seq}, map);
    if (PyTuple_CheckExact(seq)) return frequencies_indexed(Indexed<false>{seq}, map);
    bool ok = walk_items(seq, [&](Ref& item) { return count_one(map, item.get()); });
    return ok ? count_dict(map) : nullptr;
}

PyObject* countby_impl(PyObject* key, PyObject* seq) {
    KeyFn key_of(key);
    ChainMap<std::uint64_t> map(int_fast_hash_enabled());
    bool ok = walk_items(seq, [&](Ref& item) {
        Ref k = Ref::steal(key_of(item.get()));
        if (!k) return false;
        bool is_new;
        Py_ssize_t pos = map.find_or_add(k.get(), is_new);
        if (pos < 0) return false;
        ++map.entries()[static_cast<std::size_t>(pos)].value;
        return true;
    });
    return ok ? count_dict(map) : nullptr;
}

PyObject* groupby_impl(PyObject* key, PyObject* seq) {
    KeyFn key_of(key);
    // Each group collects straight into its result list: growing a list reallocates its item
    // array in place where it can, and no copy is needed at the end.
    ChainMap<Ref> map(int_fast_hash_enabled());
    bool ok = walk_items(seq, [&](Ref& item) {
        Ref k = Ref::steal(key_of(item.get()));
        if (!k) return false;
        bool is_new;
        Py_ssize_t pos = map.find_or_add(k.get(), is_new);
        if (pos < 0) return false;
        Ref& group = map.entries()[static_cast<std::size_t>(pos)].value;
        if (!group) {
            group = Ref::steal(PyList_New(0));
            if (!group) return false;
        }
        return PyList_Append(group.get(), item.get()) == 0;
    });
    if (!ok) return nullptr;
    Ref result = Ref::steal(new_dict(map.entries().size()));
    if (!result) return nullptr;
    for (auto& e : map.entries()) {
        if (PyDict_SetItem(result.get(), e.key, e.value.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* reduceby_impl(PyObject* key, PyObject* binop, PyObject* seq, const BoundArgs& bound) {
    if (bound.nvarargs() >= 2) {
        PyErr_SetString(PyExc_TypeError, "reduceby takes at most 4 arguments");
        return nullptr;
    }
    PyObject* init = bound.nvarargs() == 1 ? bound.vararg(0) : nullptr;
    bool init_callable = init != nullptr && PyCallable_Check(init);
    KeyFn key_of(key);
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    std::size_t steps = 0;
    while (true) {
        if (poll_signals(steps) < 0) return nullptr;
        PyObject* raw = nullptr;
        int got = PyIter_NextItem(it.get(), &raw);
        if (got < 0) return nullptr;
        if (got == 0) break;
        Ref x = Ref::steal(raw);
        Ref k = Ref::steal(key_of(x.get()));
        if (!k) return nullptr;
        PyObject* found = nullptr;
        int present = PyDict_GetItemRef(result.get(), k.get(), &found);
        if (present < 0) return nullptr;
        Ref acc = Ref::steal(found);
        if (present == 0) {
            if (init == nullptr) {
                if (PyDict_SetItem(result.get(), k.get(), x.get()) < 0) return nullptr;
                continue;
            }
            acc = init_callable ? Ref::steal(PyObject_CallNoArgs(init)) : Ref::borrow(init);
            if (!acc) return nullptr;
        }
        PyObject* args[2] = {acc.get(), x.get()};
        Ref value = Ref::steal(call_vector(binop, args, 2));
        if (!value || PyDict_SetItem(result.get(), k.get(), value.get()) < 0) return nullptr;
    }
    return result.release();
}

// ---- entry points -----------------------------------------------------------------------------

PyObject* frequencies(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("frequencies", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return frequencies_impl(a[0]);
}

PyObject* groupby(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("groupby", {"key", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return groupby_impl(a[0], a[1]);
}

PyObject* countby(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("countby", {"key", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return countby_impl(a[0], a[1]);
}

PyObject* reduceby(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig =
        function_signature("reduceby", {"key", "binop", "seq"}, -1, Extra::Args);
    BoundArgs bound;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, bound)) return nullptr;
    return reduceby_impl(bound[0], bound[1], bound[2], bound);
}

}  // namespace

PyMethodDef kFrequenciesDef = {"frequencies", fastcall_method<frequencies>(), METH_FASTCALL | METH_KEYWORDS,
                               "frequencies(seq)\n--\n\n"};
PyMethodDef kGroupbyDef = {"groupby", fastcall_method<groupby>(), METH_FASTCALL | METH_KEYWORDS,
                           "groupby(key, seq)\n--\n\n"};
PyMethodDef kCountbyDef = {"countby", fastcall_method<countby>(), METH_FASTCALL | METH_KEYWORDS,
                           "countby(key, seq)\n--\n\n"};
PyMethodDef kReducebyDef = {"reduceby", fastcall_method<reduceby>(), METH_FASTCALL | METH_KEYWORDS,
                            "reduceby(key, binop, seq, *rest)\n--\n\n"};

PyObject* frequencies_of(PyObject* seq) { return frequencies_impl(seq); }
PyObject* groupby_of(PyObject* key, PyObject* seq) { return groupby_impl(key, seq); }

}  // namespace trovix::sequences
