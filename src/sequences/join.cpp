// merge_sorted, join and diff.
#include "sequences/join.h"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "sequences/unique.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/imports.h"
#include "utils/iterator.h"
#include "utils/platform.h"
#include "utils/ref.h"
#include "utils/source.h"
#include "utils/tuples.h"

namespace trovix::sequences {

namespace {

// The tuple (a, b), or null with the exception set.
PyObject* pair(PyObject* a, PyObject* b) noexcept {
    PyObject* t = PyTuple_New(2);
    if (t == nullptr) return nullptr;
    PyTuple_SET_ITEM(t, 0, Py_NewRef(a));
    PyTuple_SET_ITEM(t, 1, Py_NewRef(b));
    untrack_if_atomic(t);
    return t;
}

// Pops the last of `items` (which must not be empty).
Next pop_last(std::vector<Ref>& items) noexcept {
    Ref last = std::move(items.back());
    items.pop_back();
    return Next::item(std::move(last));
}

// ---- merge_sorted -------------------------------------------------------------------------------

struct MergeSortedStep {
    Ref it;  // the iterator over what heapq.merge returned

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(it.get());
        return 0;
    }
    Next next() { return next_of(it.get()); }
};

// ---- join ---------------------------------------------------------------------------------------

// Stages: the left index is built at the first step (a failure leaves it unbuilt, and the next
// step starts over with a fresh pass over `leftseq`); then the right input is streamed, the pairs
// of one right item handed out one per step; once it ended, the unmatched-left pairs are built at
// once and handed out; then the iterator stays ended without touching either input.
struct JoinStep {
    std::vector<Ref> pending;  // pairs of the current right item, last first
    std::vector<Ref> rest;     // the unmatched-left pairs, last first (once `right_done`)
    bool right_done = false;
    Ref leftseq;
    Ref leftkey;
    PySource right;
    Ref rightkey;
    Ref matched;  // set of the keys of the index that some right item matched
    Ref index;    // dict: key -> list of the left items with that key, in left order; empty until built
    Ref left_default;   // empty when not given
    Ref right_default;  // empty when not given

    int traverse(visitproc visit, void* arg) const {
        for (const Ref& t : pending) Py_VISIT(t.get());
        for (const Ref& t : rest) Py_VISIT(t.get());
        Py_VISIT(leftseq.get());
        Py_VISIT(leftkey.get());
        Py_VISIT(rightkey.get());
        Py_VISIT(matched.get());
        Py_VISIT(index.get());
        Py_VISIT(left_default.get());
        Py_VISIT(right_default.get());
        return right.traverse(visit, arg);
    }

    // The left index, complete, or false with the exception set (nothing is kept then).
    bool build_index() {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return false;
        PySource src = PySource::open(leftseq.get());
        if (!src) return false;
        std::size_t steps = 0;
        for (;;) {
            Next x = src.next();
            if (x.is_error()) return false;
            if (x.is_end()) break;
            Ref item = x.take();
            Ref k = Ref::steal(apply_key(leftkey.get(), item.get()));
            if (!k) return false;
            PyObject* found = nullptr;
            int present = PyDict_GetItemRef(dict.get(), k.get(), &found);
            Ref group = Ref::steal(found);
            if (present < 0) return false;
            if (present) {
                if (PyList_Append(group.get(), item.get()) < 0) return false;
            } else {
                group = Ref::steal(PyList_New(1));
                if (!group) return false;
                PyList_SET_ITEM(group.get(), 0, item.release());
                if (PyDict_SetItem(dict.get(), k.get(), group.get()) < 0) return false;
            }
            if (poll_signals(steps) < 0) return false;
        }
        index = std::move(dict);
        return true;
    }

    // The index, its group lists and the matched set are reachable from Python code
    // (gc.get_referents of the iterator, gc.get_referrers of a left item), which may empty a
    // group or put something else in its place; and a pair's allocation may run finalizers. So
    // what is read from them is checked at every read, and each item is held while its pair is
    // made. A group that is not a list any more counts as empty.

    // The pairs (x, y) for the left items `group` (held by the caller) matching the right item
    // `y`: the first is returned, the others wait in `pending`; end when the group is empty.
    Next pairs_with(PyObject* group, PyObject* y) {
        if (!PyList_CheckExact(group)) return Next::end();
        Py_ssize_t m = PyList_GET_SIZE(group);
        // The left items lie anywhere in memory: fetch them all at once rather than one miss
        // after the other.
        for (Py_ssize_t i = 0; i < m; ++i) {
            char* x = reinterpret_cast<char*>(PyList_GET_ITEM(group, i));
            TROVIX_PREFETCH_W(x);
            TROVIX_PREFETCH(x - 16);  // the collector's header, read to decide on tracking
        }
        for (Py_ssize_t i = m - 1; i >= 1; --i) {
            if (i >= PyList_GET_SIZE(group)) continue;  // shortened meanwhile
            Ref x = Ref::borrow(PyList_GET_ITEM(group, i));
            Ref t = Ref::steal(pair(x.get(), y));
            if (!t) {
                pending.clear();
                return Next::error();
            }
            pending.push_back(std::move(t));
        }
        if (PyList_GET_SIZE(group) == 0) {
            if (pending.empty()) return Next::end();
            return pop_last(pending);
        }
        Ref x = Ref::borrow(PyList_GET_ITEM(group, 0));
        return Next::item(pair(x.get(), y));
    }

    // The pairs (x, right_default) of the left items whose key no right item matched, last first.
    bool build_rest(std::vector<Ref>& out) {
        if (!right_default) return true;
        Py_ssize_t pos = 0;
        PyObject* k = nullptr;
        PyObject* group = nullptr;
        while (PyDict_Next(index.get(), &pos, &k, &group)) {
            Ref kref = Ref::borrow(k);
            Ref gref = Ref::borrow(group);
            int seen = PySet_Contains(matched.get(), k);
            if (seen < 0) return false;
            if (seen || !PyList_CheckExact(group)) continue;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(group); ++i) {
                Ref x = Ref::borrow(PyList_GET_ITEM(group, i));
                Ref t = Ref::steal(pair(x.get(), right_default.get()));
                if (!t) return false;
                out.push_back(std::move(t));
            }
        }
        std::reverse(out.begin(), out.end());
        return true;
    }

    Next next() {
        if (!index && !build_index()) return Next::error();
        if (!pending.empty()) return pop_last(pending);
        if (!right_done) {
            std::size_t steps = 0;
            for (;;) {
                Next y = right.next();
                if (y.is_error()) return y;
                if (y.is_end()) break;
                Ref item = y.take();
                Ref k = Ref::steal(apply_key(rightkey.get(), item.get()));
                if (!k) return Next::error();
                PyObject* found = nullptr;
                int present = PyDict_GetItemRef(index.get(), k.get(), &found);
                Ref group = Ref::steal(found);
                if (present < 0) return Next::error();
                if (present) {
                    if (PySet_Add(matched.get(), k.get()) < 0) return Next::error();
                    Next first = pairs_with(group.get(), item.get());
                    if (!first.is_end()) return first;
                    if (poll_signals(steps) < 0) return Next::error();
                    continue;  // a group emptied from outside: no pairs for this item
                }
                if (left_default) return Next::item(pair(left_default.get(), item.get()));
                if (poll_signals(steps) < 0) return Next::error();
            }
            std::vector<Ref> out;
            if (!build_rest(out)) return Next::error();
            rest = std::move(out);
            right_done = true;
        }
        if (rest.empty()) return Next::end();
        return pop_last(rest);
    }
};

// ---- diff ---------------------------------------------------------------------------------------

// `a == b` as a truth value: 1, 0, or -1 with the exception set. An exact int or str is equal to
// itself without a call.
int equal(PyObject* a, PyObject* b) noexcept {
    if (a == b && (PyLong_CheckExact(a) || PyUnicode_CheckExact(a))) return 1;
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!r) return -1;
    return truth(r.get());
}

struct DiffStep {
    std::vector<PySource> srcs;  // with a fallback, an input's source is emptied once it ended
    Ref fallback;                // the padding value; empty without one
    Ref key;                     // empty without a key
    std::vector<Ref> row;        // scratch of one step: the row being compared
    std::vector<Ref> keys;       // scratch of one step: key(value) for the row

    int traverse(visitproc visit, void* arg) const {
        for (const PySource& s : srcs) {
            if (int r = s.traverse(visit, arg)) return r;
        }
        for (const Ref& v : row) Py_VISIT(v.get());
        for (const Ref& v : keys) Py_VISIT(v.get());
        Py_VISIT(fallback.get());
        Py_VISIT(key.get());
        return 0;
    }

    // Fills `row` with the next value of each input: 1 when the row holds a real item, 0 at the
    // end, -1 on an error.
    int fill_row() {
        bool real = false;
        for (PySource& s : srcs) {
            if (!s) {
                row.push_back(fallback.clone());
                continue;
            }
            Next x = s.next();
            if (x.is_error()) return -1;
            if (x.is_end()) {
                if (!fallback) return 0;
                s = PySource();
                row.push_back(fallback.clone());
                continue;
            }
            real = true;
            row.push_back(x.take());
        }
        return real ? 1 : 0;
    }

    // 1 when every compared value of the row equals the first, 0 if not, -1 on an error.
    int all_equal() {
        std::vector<Ref>* values = &row;
        if (key) {
            for (const Ref& v : row) {
                Ref k = Ref::steal(call_one(key.get(), v.get()));
                if (!k) return -1;
                keys.push_back(std::move(k));
            }
            values = &keys;
        }
        PyObject* first = (*values)[0].get();
        for (std::size_t i = 1; i < values->size(); ++i) {
            int eq = equal(first, (*values)[i].get());
            if (eq <= 0) return eq;
        }
        return 1;
    }

    Next row_tuple() {
        Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(row.size())));
        if (!t) return Next::error();
        for (std::size_t i = 0; i < row.size(); ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), row[i].release());
        untrack_if_atomic(t.get());
        return Next::item(std::move(t));
    }

    Next next() {
        // The scratch rows are empty between steps, whatever the outcome.
        struct Reset {
            DiffStep& s;
            ~Reset() {
                s.row.clear();
                s.keys.clear();
            }
        } reset{*this};
        std::size_t steps = 0;
        for (;;) {
            int filled = fill_row();
            if (filled <= 0) return filled < 0 ? Next::error() : Next::end();
            int eq = all_equal();
            if (eq < 0) return Next::error();
            if (eq == 0) return row_tuple();
            row.clear();
            keys.clear();
            if (poll_signals(steps) < 0) return Next::error();
        }
    }
};

// ---- module functions ---------------------------------------------------------------------------

PyObject* merge_sorted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("merge_sorted", {}, -1, Extra::Args, {"key"});
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    return merge_sorted_impl(a.varargs.get(), a.optional(0));
}

PyObject* join(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature(
        "join", {"leftkey", "leftseq", "rightkey", "rightseq", "left_default", "right_default"}, 4);
    if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == 4) [[likely]] {
        return join_impl(args[0], args[1], args[2], args[3], nullptr, nullptr);
    }
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    return join_impl(a[0], a[1], a[2], a[3], a.optional(4), a.optional(5));
}

// diff(*seqs, **kwargs): every call shape binds (surplus positionals are the sequences, every
// keyword goes to **kwargs), so the argument tuple and keyword dict are read as they come.
PyObject* diff(PyObject*, PyObject* args, PyObject* kwargs) {
    Ref fallback;
    Ref key;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject* value = nullptr;
        if (PyDict_GetItemStringRef(kwargs, "default", &value) < 0) return nullptr;
        fallback = Ref::steal(value);
        if (PyDict_GetItemStringRef(kwargs, "key", &value) < 0) return nullptr;
        key = Ref::steal(value);
        if (key.get() == Py_None) key.reset();
    }
    return diff_impl(args, fallback.get(), key.get());
}

}  // namespace

PyObject* merge_sorted_impl(PyObject* seqs, PyObject* key) {
    Ref merge = import_attr("heapq", "merge");
    if (!merge) return nullptr;
    Ref kwargs;
    if (key != nullptr) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs || PyDict_SetItemString(kwargs.get(), "key", key) < 0) return nullptr;
    }
    Ref merged = Ref::steal(PyObject_Call(merge.get(), seqs, kwargs.get()));
    if (!merged) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(merged.get()));
    if (!it) return nullptr;
    return new_rust_iter(MergeSortedStep{std::move(it)});
}

PyObject* join_impl(PyObject* leftkey, PyObject* leftseq, PyObject* rightkey, PyObject* rightseq,
                    PyObject* left_default, PyObject* right_default) {
    Ref matched = Ref::steal(PySet_New(nullptr));
    if (!matched) return nullptr;
    PySource right = PySource::open(rightseq);
    if (!right) return nullptr;
    JoinStep step;
    step.leftseq = Ref::borrow(leftseq);
    step.leftkey = Ref::borrow(leftkey);
    step.right = std::move(right);
    step.rightkey = Ref::borrow(rightkey);
    step.matched = std::move(matched);
    step.left_default = Ref::borrow(left_default);
    step.right_default = Ref::borrow(right_default);
    return new_rust_iter(std::move(step));
}

PyObject* diff_impl(PyObject* seqs, PyObject* fallback, PyObject* key) {
    Ref inputs = Ref::borrow(seqs);
    if (PyTuple_GET_SIZE(seqs) == 1 && PyList_Check(PyTuple_GET_ITEM(seqs, 0))) {
        // The sequences of one list argument, as the list stands now (opening them runs Python
        // code that might change it).
        PyObject* list = PyTuple_GET_ITEM(seqs, 0);
        inputs = Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
        if (!inputs) return nullptr;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(inputs.get());
    if (n < 2) {
        PyErr_SetString(PyExc_TypeError, "Too few sequences given (min 2 required)");
        return nullptr;
    }
    DiffStep step;
    step.srcs.reserve(static_cast<std::size_t>(n));
    PyObject** items = PySequence_Fast_ITEMS(inputs.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PySource src = PySource::open(items[i]);
        if (!src) return nullptr;
        step.srcs.push_back(std::move(src));
    }
    step.fallback = Ref::borrow(fallback);
    step.key = Ref::borrow(key);
    step.row.reserve(static_cast<std::size_t>(n));
    return new_rust_iter(std::move(step));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMergeSortedDef = {"merge_sorted", fastcall_method<merge_sorted>(), kFastcall,
                               "merge_sorted(*seqs, key=None)\n--\n\n"};
PyMethodDef kDiffDef = {"diff", varargs_method<diff>(), METH_VARARGS | METH_KEYWORDS, "diff(*seqs, **kwargs)\n--\n\n"};
PyMethodDef kJoinDef = {"join", fastcall_method<join>(), kFastcall,
                        "join(leftkey, leftseq, rightkey, rightseq, left_default=None, right_default=None)\n--\n\n"};

}  // namespace trovix::sequences
