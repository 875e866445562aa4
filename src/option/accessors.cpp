#include "option/accessors.h"

#include "option/option.h"
#include "sequences/access.h"
#include "utils/binding.h"
#include "utils/errors.h"
#include "utils/hash.h"
#include "utils/iterator.h"
#include "utils/ref.h"
#include "utils/source.h"

namespace trovix::option {

namespace {

// Some(item) for an item, a new NothingType for the end; an error stays.
PyObject* option_of(Next n) noexcept {
    if (n.is_error()) return nullptr;
    if (n.is_end()) return new_nothing();
    Ref item = n.take();
    return new_some(item.get());
}

// Some(value) for a successful lookup, NothingType when it failed with a lookup error (cleared);
// any other error stays.
PyObject* option_of_lookup(PyObject* value) noexcept {
    if (value != nullptr) {
        Ref owned = Ref::steal(value);
        return new_some(owned.get());
    }
    if (!pending_is_lookup_error()) return nullptr;
    PyErr_Clear();
    return new_nothing();
}

PyObject* first_opt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("first_opt", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return first_opt_of(a[0]);
}

PyObject* last_opt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("last_opt", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return last_opt_of(a[0]);
}

PyObject* nth_opt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("nth_opt", {"n", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    std::size_t n = 0;
    if (!as_usize(a[0], "n", n)) return nullptr;
    return nth_opt_of(n, a[1]);
}

PyObject* get_opt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("get_opt", {"ind", "coll"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return option_of_lookup(PyObject_GetItem(a[1], a[0]));
}

PyObject* get_in_opt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("get_in_opt", {"coll"}, -1, Extra::Args);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    // The keys tuple is owned by the binding, so keys cannot change during the walk.
    Ref current = Ref::borrow(a[0]);
    for (std::size_t i = 0; i < a.nvarargs(); ++i) {
        PyObject* next = PyObject_GetItem(current.get(), a.vararg(i));
        if (next == nullptr) return option_of_lookup(nullptr);
        current = Ref::steal(next);
    }
    return new_some(current.get());
}

PyObject* peek_opt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("peek_opt", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return option_of(sequences::peek_of(a[0]));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// The item at `index` of an exact list or tuple: reading it by index is what iterating it would
// give, without making an iterator.
PyObject* indexed_opt(PyObject* seq, std::size_t index) noexcept {
    Py_ssize_t n = Py_SIZE(seq);
    if (index >= static_cast<std::size_t>(n)) return new_nothing();
    PyObject* const* items = PyList_CheckExact(seq) ? &PyList_GET_ITEM(seq, 0) : &PyTuple_GET_ITEM(seq, 0);
    return new_some(items[index]);
}

bool is_indexed(PyObject* seq) noexcept { return PyList_CheckExact(seq) || PyTuple_CheckExact(seq); }

}  // namespace

PyObject* first_opt_of(PyObject* seq) noexcept {
    if (is_indexed(seq)) return indexed_opt(seq, 0);
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    return option_of(next_of(it.get()));
}

PyObject* last_opt_of(PyObject* seq) noexcept {
    if (is_indexed(seq)) return Py_SIZE(seq) == 0 ? new_nothing() : indexed_opt(seq, static_cast<std::size_t>(Py_SIZE(seq) - 1));
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    Ref last;
    std::size_t steps = 0;
    for (;;) {
        Next n = next_of(it.get());
        if (n.is_error()) return nullptr;
        if (n.is_end()) break;
        last = n.take();  // the previous item is released now
        if (poll_signals(steps) < 0) return nullptr;
    }
    return last ? new_some(last.get()) : new_nothing();
}

PyObject* nth_opt_of(std::size_t n, PyObject* seq) noexcept {
    if (is_indexed(seq)) return indexed_opt(seq, n);
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    std::size_t steps = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Next skipped = next_of(it.get());
        if (!skipped) return option_of(std::move(skipped));
        Ref dropped = skipped.take();
        if (poll_signals(steps) < 0) return nullptr;
    }
    return option_of(next_of(it.get()));
}

PyMethodDef kFirstOptDef = {"first_opt", fastcall_method<first_opt>(), kFastcall, "first_opt(seq)\n--\n\n"};
PyMethodDef kLastOptDef = {"last_opt", fastcall_method<last_opt>(), kFastcall, "last_opt(seq)\n--\n\n"};
PyMethodDef kNthOptDef = {"nth_opt", fastcall_method<nth_opt>(), kFastcall, "nth_opt(n, seq)\n--\n\n"};
PyMethodDef kGetOptDef = {"get_opt", fastcall_method<get_opt>(), kFastcall, "get_opt(ind, coll)\n--\n\n"};
PyMethodDef kGetInOptDef = {"get_in_opt", fastcall_method<get_in_opt>(), kFastcall,
                            "get_in_opt(coll, *keys)\n--\n\n"};
PyMethodDef kPeekOptDef = {"peek_opt", fastcall_method<peek_opt>(), kFastcall, "peek_opt(seq)\n--\n\n"};

}  // namespace trovix::option
