// topk: integer buffers go to the native kernels (int_topk.h); anything else is materialised as a
// list and sorted descending by the interpreter's stable `list.sort(reverse=True)`, keyed calls
// through (key, -position, element) tuples so that ties keep input order.
//
// When every element (or every key) is of one exact built-in type whose comparisons can neither
// fail nor run Python code (exact int, exact str, exact float without NaN), the k largest are
// selected natively instead: a min-heap of (object, position) ranked by value and then by earlier
// position, which picks exactly the objects, in exactly the order, that the stable descending
// sort puts first. Any other input takes the sort, with whatever comparisons and errors it makes.
#include "sequences/topk.h"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "sequences/int_topk.h"
#include "sequences/unique.h"
#include "utils/binding.h"
#include "utils/errors.h"
#include "utils/iterator.h"
#include "utils/platform.h"
#include "utils/ref.h"
#include "utils/source.h"

namespace trovix::sequences {

namespace {

// ---- native selection over objects of one exact type ---------------------------------------------

// Orders exact ints by value; compact ones without a call.
struct IntOrder {
    // The value as a machine integer when it fits, for comparisons against a cached threshold.
    struct Fast {
        long long value;
        bool fits;
    };
    static Fast fast(PyObject* x) noexcept {
        auto* v = reinterpret_cast<PyLongObject*>(x);
        if (PyUnstable_Long_IsCompact(v)) [[likely]] return {static_cast<long long>(PyUnstable_Long_CompactValue(v)), true};
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(x, &overflow);
        return {value, overflow == 0};
    }
    static bool accepts(PyObject* x) noexcept { return Py_IS_TYPE(x, &PyLong_Type); }
    static bool less(PyObject* a, PyObject* b) noexcept {
        auto* la = reinterpret_cast<PyLongObject*>(a);
        auto* lb = reinterpret_cast<PyLongObject*>(b);
        if (PyUnstable_Long_IsCompact(la) && PyUnstable_Long_IsCompact(lb)) [[likely]] {
            return PyUnstable_Long_CompactValue(la) < PyUnstable_Long_CompactValue(lb);
        }
        int overflow_a = 0, overflow_b = 0;
        long long va = PyLong_AsLongLongAndOverflow(a, &overflow_a);
        long long vb = PyLong_AsLongLongAndOverflow(b, &overflow_b);
        if (overflow_a == 0 && overflow_b == 0) return va < vb;
        if (overflow_a != overflow_b) return overflow_a < overflow_b;
        // Both beyond 64 bits on the same side: comparing two exact ints never fails and runs no
        // Python code.
        return PyObject_RichCompareBool(a, b, Py_LT) == 1;
    }
};

// Orders exact floats by value; NaN is not accepted (it has no place in a total order).
struct FloatOrder {
    static bool accepts(PyObject* x) noexcept {
        return Py_IS_TYPE(x, &PyFloat_Type) && !std::isnan(PyFloat_AS_DOUBLE(x));
    }
    static bool less(PyObject* a, PyObject* b) noexcept { return PyFloat_AS_DOUBLE(a) < PyFloat_AS_DOUBLE(b); }
};

// Orders exact strs by code points, as `<` does.
struct StrOrder {
    static bool accepts(PyObject* x) noexcept { return Py_IS_TYPE(x, &PyUnicode_Type); }
    static bool less(PyObject* a, PyObject* b) noexcept {
        if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) [[likely]] {
            Py_ssize_t la = PyUnicode_GET_LENGTH(a);
            Py_ssize_t lb = PyUnicode_GET_LENGTH(b);
            int c = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b),
                                static_cast<std::size_t>(std::min(la, lb)));
            return c != 0 ? c < 0 : la < lb;
        }
        // Comparing two exact strs never fails and runs no Python code.
        return PyUnicode_Compare(a, b) < 0;
    }
};

struct Ranked {
    PyObject* obj;   // borrowed from the caller's array
    std::size_t pos;
};

// `a` ranks below `b`: smaller value, or equal value and later position.
template <class Order>
bool ranks_below(const Ranked& a, const Ranked& b) noexcept {
    if (Order::less(a.obj, b.obj)) return true;
    if (Order::less(b.obj, a.obj)) return false;
    return a.pos > b.pos;
}

enum class Selected { Done, NotApplicable };

constexpr std::size_t kPrefetch = 12;

// Selects, one key at a time, the k highest-ranked keys of one accepted type (keys borrowed: the
// caller keeps them alive until `finish`). Runs no Python code.
template <class Order>
class Selector {
public:
    explicit Selector(std::size_t k) : k_(k) {}

    // Takes the key at position `pos` (positions come in increasing order); false when the key is
    // not of the accepted type, after which the selector must not be used.
    bool offer(PyObject* x, std::size_t pos) {
        if (!Order::accepts(x)) return false;
        if (heap_.size() < k_) {
            heap_.push_back({x, pos});
            std::push_heap(heap_.begin(), heap_.end(), above);
        } else if (k_ > 0 && root_below(x)) {
            // A value equal to the root comes later, so it ranks below the root: it stays out.
            std::pop_heap(heap_.begin(), heap_.end(), above);
            heap_.back() = {x, pos};
            std::push_heap(heap_.begin(), heap_.end(), above);
        }
        return true;
    }

    // The positions of the selected keys, best first.
    void finish(std::vector<std::size_t>& out) {
        std::sort(heap_.begin(), heap_.end(), above);
        out.clear();
        out.reserve(heap_.size());
        for (const Ranked& r : heap_) out.push_back(r.pos);
    }

private:
    // The heap's order: a min-heap, whose root ranks lowest.
    static bool above(const Ranked& a, const Ranked& b) noexcept { return ranks_below<Order>(b, a); }

    // Whether the root's value is less than x's; ints compare against the root's cached value.
    bool root_below(PyObject* x) {
        PyObject* root = heap_.front().obj;
        if constexpr (std::is_same_v<Order, IntOrder>) {
            if (root != cached_root_) {
                cached_root_ = root;
                root_fast_ = IntOrder::fast(root);
            }
            IntOrder::Fast fx = IntOrder::fast(x);
            if (root_fast_.fits && fx.fits) [[likely]] return root_fast_.value < fx.value;
        }
        return Order::less(root, x);
    }

    std::size_t k_;
    std::vector<Ranked> heap_;
    PyObject* cached_root_ = nullptr;
    IntOrder::Fast root_fast_{0, false};
};

// Selects the k highest-ranked of keys[0..n) into `out` (positions, best first), or answers that
// the keys are not all of one accepted type.
template <class Order>
Selected select_ranked(PyObject* const* keys, std::size_t n, std::size_t k, std::vector<std::size_t>& out) {
    Selector<Order> selector(k);
    for (std::size_t i = 0; i < n; ++i) {
        // The objects lie scattered in memory: fetch the ones a few places ahead in advance.
        if (i + kPrefetch < n) TROVIX_PREFETCH(keys[i + kPrefetch]);
        if (!selector.offer(keys[i], i)) return Selected::NotApplicable;
    }
    selector.finish(out);
    return Selected::Done;
}

// The native selection fed key by key while the keys are computed: the selector follows the type
// of the first key and gives up at the first key of another type.
class KeyStream {
public:
    explicit KeyStream(std::size_t k) : k_(k) {}

    void offer(PyObject* key, std::size_t pos) {
        if (pos == 0) {
            PyTypeObject* type = Py_TYPE(key);
            if (type == &PyLong_Type) selector_.emplace<Selector<IntOrder>>(k_);
            else if (type == &PyUnicode_Type) selector_.emplace<Selector<StrOrder>>(k_);
            else if (type == &PyFloat_Type) selector_.emplace<Selector<FloatOrder>>(k_);
            else given_up_ = true;
        }
        if (given_up_) return;
        std::visit(
            [&](auto& s) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(s)>, std::monostate>) {
                    if (!s.offer(key, pos)) given_up_ = true;
                }
            },
            selector_);
        if (given_up_) selector_.emplace<std::monostate>();
    }

    // The selected positions, best first; NotApplicable when the keys were not all of one type.
    Selected finish(std::vector<std::size_t>& out) {
        if (given_up_) return Selected::NotApplicable;
        out.clear();
        std::visit(
            [&](auto& s) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(s)>, std::monostate>) s.finish(out);
            },
            selector_);
        return Selected::Done;
    }

private:
    std::size_t k_;
    bool given_up_ = false;
    std::variant<std::monostate, Selector<IntOrder>, Selector<StrOrder>, Selector<FloatOrder>> selector_;
};

// Native selection when keys[0..n) are all of one exact int, str or non-NaN float type.
Selected select_native(PyObject* const* keys, std::size_t n, std::size_t k, std::vector<std::size_t>& out) {
    if (n == 0) {
        out.clear();
        return Selected::Done;
    }
    PyTypeObject* type = Py_TYPE(keys[0]);
    if (type == &PyLong_Type) return select_ranked<IntOrder>(keys, n, k, out);
    if (type == &PyUnicode_Type) return select_ranked<StrOrder>(keys, n, k, out);
    if (type == &PyFloat_Type) return select_ranked<FloatOrder>(keys, n, k, out);
    return Selected::NotApplicable;
}

// A new tuple of items[positions[i]].
PyObject* tuple_at(PyObject* const* items, const std::vector<std::size_t>& positions) {
    PyObject* result = PyTuple_New(static_cast<Py_ssize_t>(positions.size()));
    if (result == nullptr) return nullptr;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        PyTuple_SET_ITEM(result, static_cast<Py_ssize_t>(i), Py_NewRef(items[positions[i]]));
    }
    return result;
}

// ---- the sort ---------------------------------------------------------------------------------------

// list.sort(reverse=True); -1 with the sort's error set.
int sort_descending(PyObject* list) {
    Ref name = Ref::steal(PyUnicode_InternFromString("sort"));
    if (!name) return -1;
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "reverse"));
    if (!kwnames) return -1;
    PyObject* args[2] = {list, Py_True};
    Ref r = Ref::steal(PyObject_VectorcallMethod(name.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    return r ? 0 : -1;
}

// A new list of the items of `seq` (an exact list or tuple is copied, anything else iterated).
PyObject* materialise(PyObject* seq) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) return PySequence_List(seq);
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    std::size_t steps = 0;
    for (;;) {
        Next n = next_of(it.get());
        if (n.is_error()) return nullptr;
        if (n.is_end()) break;
        Ref item = n.take();
        if (PyList_Append(list.get(), item.get()) < 0) return nullptr;
        if (poll_signals(steps) < 0) return nullptr;
    }
    return list.release();
}

PyObject* topk_plain(std::size_t k, PyObject* seq) {
    bool qualified = false;
    PyObject* native = topk_int(k, seq, qualified);
    if (qualified) return native;
    std::vector<std::size_t> chosen;
    // An exact list is scanned in place: the scan runs no Python code, so it cannot change.
    if (PyList_CheckExact(seq)) {
        PyObject* const* items = PySequence_Fast_ITEMS(seq);
        if (select_native(items, static_cast<std::size_t>(PyList_GET_SIZE(seq)), k, chosen) == Selected::Done) {
            return tuple_at(items, chosen);
        }
    }
    Ref list = Ref::steal(materialise(seq));
    if (!list) return nullptr;
    if (!PyList_CheckExact(seq)) {
        PyObject* const* items = PySequence_Fast_ITEMS(list.get());
        if (select_native(items, static_cast<std::size_t>(PyList_GET_SIZE(list.get())), k, chosen) == Selected::Done) {
            return tuple_at(items, chosen);
        }
    }
    if (sort_descending(list.get()) < 0) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(list.get());
    Py_ssize_t m = static_cast<std::size_t>(n) < k ? n : static_cast<Py_ssize_t>(k);
    Ref head = Ref::steal(PyList_GetSlice(list.get(), 0, m));
    return head ? PyList_AsTuple(head.get()) : nullptr;
}

PyObject* topk_keyed(std::size_t k, PyObject* seq, PyObject* key) {
    PySource src = PySource::open(seq);
    if (!src) return nullptr;
    std::vector<Ref> keys, items;  // own every key the stream looks at
    KeyStream stream(k);
    if (src.is_indexed()) {  // a list or tuple: its length costs no Python code
        keys.reserve(src.length_hint());
        items.reserve(src.length_hint());
    }
    std::size_t steps = 0;
    for (;;) {
        Next n = src.next();
        if (n.is_error()) return nullptr;
        if (n.is_end()) break;
        Ref item = n.take();
        Ref kv = Ref::steal(apply_key(key, item.get()));
        if (!kv) return nullptr;
        stream.offer(kv.get(), keys.size());
        keys.push_back(std::move(kv));
        items.push_back(std::move(item));
        if (poll_signals(steps) < 0) return nullptr;
    }
    // Ref is one pointer wide: the vectors are arrays of object pointers.
    static_assert(sizeof(Ref) == sizeof(PyObject*));
    auto* item_array = reinterpret_cast<PyObject* const*>(items.data());
    std::vector<std::size_t> chosen;
    if (stream.finish(chosen) == Selected::Done) return tuple_at(item_array, chosen);

    // The decorated tuples are made first, so that no half-filled list is ever visible.
    std::vector<Ref> rows;
    rows.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        Ref neg = Ref::steal(PyLong_FromLongLong(-static_cast<long long>(i)));
        if (!neg) return nullptr;
        rows.push_back(Ref::steal(PyTuple_Pack(3, keys[i].get(), neg.get(), items[i].get())));
        if (!rows.back()) return nullptr;
    }
    Ref decorated = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!decorated) return nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyList_SET_ITEM(decorated.get(), static_cast<Py_ssize_t>(i), rows[i].release());
    }
    keys.clear();
    items.clear();
    if (sort_descending(decorated.get()) < 0) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(decorated.get());
    Py_ssize_t m = static_cast<std::size_t>(n) < k ? n : static_cast<Py_ssize_t>(k);
    // The chosen items are held before the result is allocated: an allocation may run finalizers,
    // which could reach the decorated list through the collector and change it.
    items.reserve(static_cast<std::size_t>(m));
    for (Py_ssize_t i = 0; i < m; ++i) items.push_back(Ref::borrow(PyTuple_GET_ITEM(PyList_GET_ITEM(decorated.get(), i), 2)));
    decorated.reset();
    Ref result = Ref::steal(PyTuple_New(m));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < m; ++i) PyTuple_SET_ITEM(result.get(), i, items[static_cast<std::size_t>(i)].release());
    return result.release();
}

PyObject* topk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("topk", {"k", "seq", "key"}, 2);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    std::size_t k = 0;
    if (!as_usize(a[0], "k", k)) return nullptr;
    PyObject* key = a.optional(2);
    return key == nullptr ? topk_plain(k, a[1]) : topk_keyed(k, a[1], key);
}

}  // namespace

PyMethodDef kTopkDef = {"topk", fastcall_method<topk>(), METH_FASTCALL | METH_KEYWORDS,
                        "topk(k, seq, key=None)\n--\n\n"};

}  // namespace trovix::sequences
