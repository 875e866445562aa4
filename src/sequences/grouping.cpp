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

PyObject* frequencies_impl(PyObject* seq) {
    bool qualified = false;
    PyObject* native = frequencies_int(seq, qualified);
    if (qualified) return native;
    ChainMap<std::uint64_t> map(int_fast_hash_enabled());
    bool ok = walk_items(seq, [&](Ref& item) {
        bool is_new;
        Py_ssize_t pos = map.find_or_add(item.get(), is_new);
        if (pos < 0) return false;
        ++map.entries()[static_cast<std::size_t>(pos)].value;
        return true;
    }, [&](PyObject* ahead) { map.prefetch(ahead); });
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
