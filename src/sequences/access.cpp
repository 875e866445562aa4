#include "sequences/access.h"

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <limits>
#include <utility>

#include "utils/binding.h"
#include "utils/errors.h"
#include "utils/hash.h"
#include "utils/imports.h"
#include "utils/ref.h"
#include "utils/source.h"
#include "utils/tuples.h"

namespace trovix::sequences {

namespace {

// Raises StopIteration without arguments, the answer of an exhausted eager accessor.
PyObject* raise_exhausted() noexcept {
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
}

// An item is returned, the end becomes StopIteration(), an error stays.
PyObject* item_or_stop(Next n) noexcept {
    if (n.is_end()) return raise_exhausted();
    return n.release();
}

// Drops `count` items of `it`, then fetches the next one; end when `it` runs out first.
Next next_after(PyObject* it, std::uint64_t count) noexcept {
    std::size_t steps = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        Next n = next_of(it);
        if (!n) return n;
        Ref dropped = n.take();
        if (poll_signals(steps) < 0) return Next::error();
    }
    return next_of(it);
}

// The item at position `index` of an exact list or tuple, or null when out of range (no
// exception set).
PyObject* exact_item(PyObject* seq, Py_ssize_t index) noexcept {
    if (PyList_CheckExact(seq)) {
        Py_ssize_t len = PyList_GET_SIZE(seq);
        if (index < 0) index += len;
        return index >= 0 && index < len ? Py_NewRef(PyList_GET_ITEM(seq, index)) : nullptr;
    }
    Py_ssize_t len = PyTuple_GET_SIZE(seq);
    if (index < 0) index += len;
    return index >= 0 && index < len ? Py_NewRef(PyTuple_GET_ITEM(seq, index)) : nullptr;
}

bool is_exact_list_or_tuple(PyObject* seq) noexcept { return PyList_CheckExact(seq) || PyTuple_CheckExact(seq); }

// `seq[index]` for a small index; exact lists and tuples are read directly (an index out of range
// still gets the container's own IndexError).
PyObject* item_at(PyObject* seq, Py_ssize_t index) noexcept {
    if (is_exact_list_or_tuple(seq)) {
        if (PyObject* item = exact_item(seq, index)) return item;
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? PyObject_GetItem(seq, key.get()) : nullptr;
}

// ---- module functions ----------------------------------------------------------------------------

PyObject* first(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("first", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return item_or_stop(first_of(a[0]));
}

PyObject* second(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("second", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* seq = a[0];
    if (is_exact_list_or_tuple(seq)) {
        Py_ssize_t len = PyList_CheckExact(seq) ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        return len >= 2 ? exact_item(seq, 1) : raise_exhausted();
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    return item_or_stop(next_after(it.get(), 1));
}

PyObject* last(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("last", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* seq = a[0];
    if (is_exact_list_or_tuple(seq)) {
        // seq[-1:][0] without the slice; an empty one still raises the container's IndexError.
        if (PyObject* item = exact_item(seq, -1)) return item;
    }
    Ref tail = Ref::steal(tail_of(1, seq));
    if (!tail) return nullptr;
    return item_at(tail.get(), 0);
}

PyObject* nth(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("nth", {"n", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return item_or_stop(nth_of(a[0], a[1]));
}

PyObject* get(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("get", {"ind", "coll"}, -1, Extra::Args);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    if (a.nvarargs() >= 2) {
        PyErr_SetString(PyExc_TypeError, "get takes at most 3 arguments");
        return nullptr;
    }
    PyObject* fallback = a.nvarargs() == 1 ? a.vararg(0) : nullptr;
    if (PyList_Check(a[0])) return get_items_or(a[1], a[0], fallback);
    return get_item_or(a[1], a[0], fallback);
}

PyObject* peek(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("peek", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return item_or_stop(peek_of(a[0]));
}

PyObject* count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("count", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    std::size_t n = 0;
    if (!count_of(a[0], n)) return nullptr;
    return PyLong_FromSize_t(n);
}

PyObject* tail(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("tail", {"n", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    std::size_t n = 0;
    if (!as_usize(a[0], "n", n)) return nullptr;
    return tail_of(n, a[1]);
}

// islice(seq, *bounds)
PyObject* call_islice(PyObject* seq, std::initializer_list<PyObject*> bounds) {
    PyObject* islice = cached_attr(ISLICE);
    if (islice == nullptr) return nullptr;
    PyObject* call_args[4] = {seq, nullptr, nullptr, nullptr};
    std::size_t n = 1;
    for (PyObject* b : bounds) call_args[n++] = b;
    return PyObject_Vectorcall(islice, call_args, n, nullptr);
}

PyObject* take(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("take", {"n", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return call_islice(a[1], {a[0]});
}

PyObject* drop(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("drop", {"n", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return call_islice(a[1], {a[0], Py_None});
}

PyObject* take_nth(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("take_nth", {"n", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    return call_islice(a[1], {zero.get(), Py_None, a[0]});
}

PyObject* cons(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("cons", {"el", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* chain = cached_attr(CHAIN);
    if (chain == nullptr) return nullptr;
    Ref head = Ref::steal(PyTuple_Pack(1, a[0]));
    if (!head) return nullptr;
    PyObject* chain_args[2] = {head.get(), a[1]};
    return PyObject_Vectorcall(chain, chain_args, 2, nullptr);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

Next first_of(PyObject* seq) noexcept {
    if (is_exact_list_or_tuple(seq)) {
        PyObject* item = exact_item(seq, 0);
        return item != nullptr ? Next::item(item) : Next::end();
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return Next::error();
    return next_of(it.get());
}

Next peek_of(PyObject* seq) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return Next::error();
    Next n = next_of(it.get());
    if (!n) return n;
    Ref item = n.take();
    Ref chain = import_attr("itertools", "chain");
    if (!chain) return Next::error();
    Ref head = Ref::steal(PyTuple_Pack(1, item.get()));
    if (!head) return Next::error();
    PyObject* chain_args[2] = {head.get(), it.get()};
    Ref rest = Ref::steal(PyObject_Vectorcall(chain.get(), chain_args, 2, nullptr));
    if (!rest) return Next::error();
    return Next::item(PyTuple_Pack(2, item.get(), rest.get()));
}

Next nth_of(PyObject* n, PyObject* seq) noexcept {
    if (PyList_Check(seq) || PyTuple_Check(seq)) {
        if (is_exact_list_or_tuple(seq) && PyLong_CheckExact(n)) {
            int overflow = 0;
            long long index = PyLong_AsLongLongAndOverflow(n, &overflow);
            if (overflow == 0 && !(index == -1 && PyErr_Occurred())) {
                if (PyObject* item = exact_item(seq, static_cast<Py_ssize_t>(index))) return Next::item(item);
            }
            PyErr_Clear();
        }
        return Next::item(PyObject_GetItem(seq, n));
    }
    PyObject* sequence_abc = cached_attr(SEQUENCE_ABC);
    if (sequence_abc == nullptr) return Next::error();
    int is_sequence = PyObject_IsInstance(seq, sequence_abc);
    if (is_sequence < 0) return Next::error();
    if (is_sequence) return Next::item(PyObject_GetItem(seq, n));

    long long index = -1;
    if (Ref as_int = Ref::steal(PyNumber_Index(n))) {
        index = PyLong_AsLongLong(as_int.get());
    }
    if (index < 0) {
        // The conversion's ordinary errors are replaced; an interrupt or MemoryError is not.
        if (PyErr_Occurred() && !clear_ordinary_error()) return Next::error();
        PyErr_SetString(PyExc_ValueError, "Indices for islice() must be None or an integer: 0 <= x <= sys.maxsize.");
        return Next::error();
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return Next::error();
    return next_after(it.get(), static_cast<std::uint64_t>(index));
}

PyObject* get_item_or(PyObject* coll, PyObject* key, PyObject* fallback) noexcept {
    PyObject* value = subscript(coll, key);
    if (value == nullptr && fallback != nullptr && pending_is_lookup_error()) {
        PyErr_Clear();
        return Py_NewRef(fallback);
    }
    return value;
}

PyObject* get_items_or(PyObject* coll, PyObject* keys, PyObject* fallback) noexcept {
    Py_ssize_t limit = PyList_GET_SIZE(keys);
    if (limit == 0) return PyTuple_New(0);
    Ref result = Ref::steal(PyTuple_New(limit));
    if (!result) return nullptr;
    // Lookups run Python code: the half-filled tuple stays out of the collector's sight.
    PyObject_GC_UnTrack(result.get());
    Py_ssize_t i = 0;
    for (; i < limit && i < PyList_GET_SIZE(keys); ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys, i));
        PyObject* value = get_item_or(coll, key.get(), fallback);
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(result.get(), i, value);
    }
    if (i < limit) {
        // The key list shrank during the walk: keep what was looked up.
        Ref shorter = Ref::steal(PyTuple_New(i));
        if (!shorter) return nullptr;
        for (Py_ssize_t j = 0; j < i; ++j) {
            PyTuple_SET_ITEM(shorter.get(), j, PyTuple_GET_ITEM(result.get(), j));
            PyTuple_SET_ITEM(result.get(), j, nullptr);
        }
        return shorter.release();
    }
    PyObject_GC_Track(result.get());
    untrack_if_atomic(result.get());
    return result.release();
}

bool count_of(PyObject* obj, std::size_t& out) noexcept {
    if (is_exact_list_or_tuple(obj)) {
        out = static_cast<std::size_t>(Py_SIZE(obj));
        return true;
    }
    int has_len = PyObject_HasAttrStringWithError(obj, "__len__");
    if (has_len < 0) return false;
    if (has_len) {
        Py_ssize_t len = PyObject_Size(obj);
        if (len < 0) return false;
        out = static_cast<std::size_t>(len);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return false;
    std::size_t n = 0;
    for (;;) {
        Next x = next_of(it.get());
        if (!x) {
            if (x.is_error()) return false;
            out = n;
            return true;
        }
        Ref dropped = x.take();
        if (poll_signals(n) < 0) return false;
    }
}

namespace {

// True when `obj[key]` is bound to raise TypeError (no item access at all), so trying is pointless.
bool cannot_subscript(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (PyType_Check(obj)) return false;  // __class_getitem__
    PyMappingMethods* mapping = type->tp_as_mapping;
    PySequenceMethods* sequence = type->tp_as_sequence;
    return (mapping == nullptr || mapping->mp_subscript == nullptr) &&
           (sequence == nullptr || sequence->sq_item == nullptr);
}

// The last `n` items of iterating `obj` (all of them for n == 0), as a tuple.
PyObject* tail_by_iteration(std::size_t n, PyObject* obj) {
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return nullptr;
    std::size_t steps = 0;
    if (n == 1) {
        Ref last;
        for (;;) {
            Next x = next_of(it.get());
            if (x.is_error()) return nullptr;
            if (x.is_end()) break;
            last = x.take();
            if (poll_signals(steps) < 0) return nullptr;
        }
        return last ? PyTuple_Pack(1, last.get()) : PyTuple_New(0);
    }
    std::deque<Ref> kept;
    for (;;) {
        Next x = next_of(it.get());
        if (x.is_error()) return nullptr;
        if (x.is_end()) break;
        if (n != 0 && kept.size() == n) kept.pop_front();
        kept.push_back(x.take());
        if (poll_signals(steps) < 0) return nullptr;
    }
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kept.size())));
    if (!result) return nullptr;
    Py_ssize_t i = 0;
    for (Ref& item : kept) PyTuple_SET_ITEM(result.get(), i++, item.release());
    return result.release();
}

}  // namespace

PyObject* tail_of(std::size_t n, PyObject* obj) {
    if (cannot_subscript(obj)) return tail_by_iteration(n, obj);
    constexpr std::size_t kMax = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    long long m = static_cast<long long>(n < kMax ? n : kMax);
    Ref start = Ref::steal(PyLong_FromLongLong(-m));
    if (!start) return nullptr;
    Ref slice = Ref::steal(PySlice_New(start.get(), Py_None, nullptr));
    if (!slice) return nullptr;
    if (PyObject* sliced = PyObject_GetItem(obj, slice.get())) return sliced;
    // A mapping refusing a slice key, or an object without item access: take the items instead.
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    return tail_by_iteration(n, obj);
}

PyMethodDef kCountDef = {"count", fastcall_method<count>(), kFastcall, "count(seq)\n--\n\n"};
PyMethodDef kFirstDef = {"first", fastcall_method<first>(), kFastcall, "first(seq)\n--\n\n"};
PyMethodDef kSecondDef = {"second", fastcall_method<second>(), kFastcall, "second(seq)\n--\n\n"};
PyMethodDef kLastDef = {"last", fastcall_method<last>(), kFastcall, "last(seq)\n--\n\n"};
PyMethodDef kNthDef = {"nth", fastcall_method<nth>(), kFastcall, "nth(n, seq)\n--\n\n"};
PyMethodDef kGetDef = {"get", fastcall_method<get>(), kFastcall, "get(ind, coll, *rest)\n--\n\n"};
PyMethodDef kPeekDef = {"peek", fastcall_method<peek>(), kFastcall, "peek(seq)\n--\n\n"};
PyMethodDef kTakeDef = {"take", fastcall_method<take>(), kFastcall, "take(n, seq)\n--\n\n"};
PyMethodDef kDropDef = {"drop", fastcall_method<drop>(), kFastcall, "drop(n, seq)\n--\n\n"};
PyMethodDef kTakeNthDef = {"take_nth", fastcall_method<take_nth>(), kFastcall, "take_nth(n, seq)\n--\n\n"};
PyMethodDef kTailDef = {"tail", fastcall_method<tail>(), kFastcall, "tail(n, seq)\n--\n\n"};
PyMethodDef kConsDef = {"cons", fastcall_method<cons>(), kFastcall, "cons(el, seq)\n--\n\n"};

}  // namespace trovix::sequences
