// unique, isdistinct, their iterator classes (UniqueIter for objects, UniqueIntIter for integer
// buffers) and the key rule `apply_key`.
#include "sequences/unique.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

#include "sequences/access.h"
#include "sequences/walk.h"
#include "utils/binding.h"
#include "utils/call.h"
#include "utils/errors.h"
#include "utils/int_buffer.h"
#include "utils/intset.h"
#include "utils/iterator.h"
#include "utils/ref.h"
#include "utils/seen.h"
#include "utils/source.h"

namespace trovix::sequences {

namespace {

// ---- UniqueIter: the general path --------------------------------------------------------------

struct UniqueState {
    UniqueState(bool shortcut, PySource src) : seen(shortcut), source(std::move(src)) {}
    PySeen seen;
    PySource source;
    Py_ssize_t taken = 0;  // items taken so far: the index of the next one for a list source

    // Prefetches the slot of the item a few places ahead in a list source.
    void look_ahead(bool keyed) {
        if (keyed || !source.is_list()) return;
        PyObject* list = source.get();
        if (taken + kLookahead < PyList_GET_SIZE(list)) seen.prefetch(PyList_GET_ITEM(list, taken + kLookahead));
    }
};

struct UniqueBody {
    UniqueBody(PySource source, Ref key_fn)
        : key(std::move(key_fn)), cell(int_fast_hash_enabled(), std::move(source)) {}

    Ref key;  // the key callable, or empty; changes only when the collector clears
    GilRefCell<UniqueState> cell;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(key.get());
        UniqueState* state = cell.peek();
        if (state == nullptr) return 0;
        int r = state->seen.traverse(visit, arg);
        return r != 0 ? r : state->source.traverse(visit, arg);
    }
    void clear() {
        if (cell.is_borrowed()) return;
        cell.clear_if_idle([](UniqueState& state) {
            PySource dropped = std::exchange(state.source, PySource{});  // exhausted from now on
            state.seen.clear();
        });
        key.reset();
    }

    Next raw_next() {
        auto state = cell.borrow_mut();
        if (!state) return Next::error();
        std::size_t steps = 0;
        while (true) {
            // Skipping duplicates of an endless source never returns on its own.
            if (poll_signals(steps) < 0) return Next::error();
            state->look_ahead(static_cast<bool>(key));
            Next n = state->source.next();
            if (!n) return n;
            ++state->taken;
            Ref item = n.take();
            int inserted;
            if (key) {
                Ref k = Ref::steal(call_one(key.get(), item.get()));
                if (!k) return Next::error();
                inserted = state->seen.insert(k.get());
            } else {
                inserted = state->seen.insert(item.get());
            }
            if (inserted < 0) return Next::error();
            if (inserted > 0) return Next::item(std::move(item));
        }
    }

    Py_ssize_t raw_length_hint() {
        auto state = cell.borrow_mut();
        if (!state) return -1;
        return state->source.length_hint();
    }
};

// ---- UniqueIntIter: integer buffers ------------------------------------------------------------

using AnyIntSet = std::variant<IntSet<std::int64_t>, IntSet<std::uint8_t>, IntSet<std::int32_t>,
                               IntSet<std::uint64_t>, IntSet<std::uint32_t>, IntSet<std::int16_t>,
                               IntSet<std::uint16_t>, IntSet<std::int8_t>>;

template <class T>
struct SetTag {};

// The element count is read from the view at every step rather than kept beside it: once the
// collector has released the view, the state reads as an exhausted, empty buffer.
struct UniqueIntState {
    template <class T>
    UniqueIntState(IntBuf&& b, SetTag<T>)
        : buf(std::move(b)), unseen(values_of<T>()), seen(std::in_place_type<IntSet<T>>) {}

    // How many distinct values an element type can hold (no limit for the wide types).
    template <class T>
    static constexpr std::size_t values_of() noexcept {
        if constexpr (sizeof(T) <= 2) return std::size_t{1} << (8 * sizeof(T));
        else return SIZE_MAX;
    }

    IntBuf buf;  // the held view: released when the iterator is deallocated or cleared
    std::size_t position = 0;
    std::size_t unseen;  // values of the element type not yielded yet
    AnyIntSet seen;

    std::size_t left() const noexcept {
        std::size_t n = buf.size();
        if (buf.stride() == 0 && n > 1) n = 1;  // one broadcast value: at most one output
        return n - std::min(position, n);
    }

    template <class T>
    Next step() {
        IntSpan<T> span = int_span<T>(buf);
        std::size_t n = span.size();
        // Every value of the type was yielded, or every element is the one already yielded (a
        // broadcast value): nothing new can follow.
        if (unseen == 0 || (span.repeats_one() && position > 0)) position = n;
        if (position >= n) return Next::end();
        auto& set = std::get<IntSet<T>>(seen);
        if (const T* data = span.contiguous()) {
            while (position < n) {
                if (position + 16 < n) set.prefetch(data[position + 16]);
                T v = data[position++];
                if (set.insert(v)) return yield(v);
            }
        } else {
            while (position < n) {
                T v = span[position++];
                if (set.insert(v)) return yield(v);
            }
        }
        return Next::end();
    }

    template <class T>
    Next yield(T v) {
        --unseen;
        return Next::item(box_int(v));
    }
};

struct UniqueIntBody {
    template <class T>
    UniqueIntBody(IntBuf&& buf, SetTag<T> tag) : cell(std::move(buf), tag) {}

    GilRefCell<UniqueIntState> cell;

    int traverse(visitproc visit, void* arg) {
        UniqueIntState* state = cell.peek();
        return state != nullptr ? state->buf.traverse(visit, arg) : 0;
    }
    void clear() {
        cell.clear_if_idle([](UniqueIntState& state) { state.buf.reset(); });  // empty: exhausted from now on
    }

    Next raw_next() {
        auto state = cell.borrow_mut();
        if (!state) return Next::error();
        switch (state->buf.kind()) {
            case IntKind::I64: return state->step<std::int64_t>();
            case IntKind::U8: return state->step<std::uint8_t>();
            case IntKind::I32: return state->step<std::int32_t>();
            case IntKind::U64: return state->step<std::uint64_t>();
            case IntKind::U32: return state->step<std::uint32_t>();
            case IntKind::I16: return state->step<std::int16_t>();
            case IntKind::U16: return state->step<std::uint16_t>();
            case IntKind::I8: break;
        }
        return state->step<std::int8_t>();
    }

    Py_ssize_t raw_length_hint() {
        auto state = cell.borrow_mut();
        if (!state) return -1;
        // A narrow array may be far longer than the values it can hold: a consumer that
        // preallocates from the hint must not ask for one slot per element.
        return static_cast<Py_ssize_t>(std::min(state->left(), state->unseen));
    }
};

OnceCell g_unique_iter_cell, g_unique_int_iter_cell;

constexpr char kUniqueIterDoc[] =
    "Dedicated iterator for `unique`: each element costs one raw `PyIter_Next`,\n"
    "one `PyObject_Hash` and one probe of a native table (instead of a membership\n"
    "test plus an insertion on a Python set). The frozen type plus a lock keeps\n"
    "the \"iterator already executing\" reentrancy contract of `RustIter`.";

constexpr char kUniqueIterName[] = "UniqueIter";
constexpr char kUniqueIntIterName[] = "UniqueIntIter";

constexpr char kUniqueIntIterDoc[] =
    "Lazy `unique` over a 1-D contiguous int buffer: scans natively and boxes\n"
    "only the values it yields, so early exits (`take(5, unique(big_array))`)\n"
    "stay cheap while full scans skip per-element boxing and PyObject hashing.";

PyMethodDef kUniqueIterMethods[] = {
    {"__length_hint__", length_hint_method<UniqueBody, kUniqueIterName>(), kLengthHintFlags,
     "__length_hint__($self)\n--\n\n"
     "Upper bound (PEP 424 allows estimates): every remaining source\n"
     "element could be new. Lets consumers preallocate."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kUniqueIntIterMethods[] = {
    {"__length_hint__", length_hint_method<UniqueIntBody, kUniqueIntIterName>(), kLengthHintFlags,
     "__length_hint__($self)\n--\n\n"
     "Upper bound (PEP 424 allows estimates): every remaining element\n"
     "could be new."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kUniqueIterSlots[] = {TROVIX_ITER_SLOTS(UniqueBody), {Py_tp_methods, kUniqueIterMethods}, {0, nullptr}};
PyType_Slot kUniqueIntIterSlots[] = {
    TROVIX_ITER_SLOTS(UniqueIntBody), {Py_tp_methods, kUniqueIntIterMethods}, {0, nullptr}};

// ---- unique / isdistinct -------------------------------------------------------------------------

PyObject* unique_impl(PyObject* seq, PyObject* key) {
    if (key == nullptr) {
        IntBuf buf = int_buffer(seq);
        if (buf.failed()) return nullptr;
        if (buf && buf.scannable()) {
            return visit_int_buffer(buf, [&](const auto& span) -> PyObject* {
                using T = std::remove_cv_t<std::remove_pointer_t<decltype(span.contiguous())>>;
                return new_iter<UniqueIntBody>(kUniqueIntIterType, std::move(buf), SetTag<T>{});
            });
        }
    }
    PySource source = PySource::open(seq);
    if (!source) return nullptr;
    return new_iter<UniqueBody>(kUniqueIterType, std::move(source), Ref::borrow(key));
}

// The set grows with the values seen, so that an early duplicate costs the same in a short
// buffer as in a long one.
template <class T>
bool all_distinct(const IntSpan<T>& span) {
    IntSet<T> set;
    return span.for_blocks(0, span.size(), [&set](const T* data, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (i + 16 < n) set.prefetch(data[i + 16]);
            if (!set.insert(data[i])) return false;
        }
        return true;
    });
}

PyObject* isdistinct_impl(PyObject* seq) {
    {
        IntBuf buf = int_buffer(seq);
        if (buf.failed()) return nullptr;
        if (buf && buf.scannable()) {
            bool distinct = visit_int_buffer(buf, [](const auto& span) { return all_distinct(span); });
            return new_bool(distinct);
        }
    }
    PySeen seen(int_fast_hash_enabled());
    bool distinct = true;
    bool ok = walk_items(seq, [&](Ref& item) {
        int inserted = seen.insert(item.get());
        if (inserted < 0) return false;
        if (inserted == 0) {
            distinct = false;
            return false;
        }
        return true;
    }, [&](PyObject* ahead) { seen.prefetch(ahead); });
    if (!ok && distinct) return nullptr;
    return new_bool(distinct);
}

PyObject* unique(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("unique", {"seq", "key"}, 1);
    if (nargs == 1 && kwnames == nullptr) [[likely]] return unique_impl(args[0], nullptr);
    BoundArgs bound;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, bound)) return nullptr;
    return unique_impl(bound[0], bound.optional(1));
}

PyObject* isdistinct(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("isdistinct", {"seq"});
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return isdistinct_impl(a[0]);
}

}  // namespace

const TypeDef kUniqueIterType = {"UniqueIter", kUniqueIterDoc, sizeof(IterObject<UniqueBody>), kUniqueIterSlots,
                                 nullptr, &g_unique_iter_cell};
const TypeDef kUniqueIntIterType = {"UniqueIntIter", kUniqueIntIterDoc, sizeof(IterObject<UniqueIntBody>),
                                    kUniqueIntIterSlots, nullptr, &g_unique_int_iter_cell};

int install_unique_iter_next(PyTypeObject* type) noexcept { return install_raw_iternext<UniqueBody>(type); }
int install_unique_int_iter_next(PyTypeObject* type) noexcept { return install_raw_iternext<UniqueIntBody>(type); }

PyObject* apply_key(PyObject* key, PyObject* item) {
    if (PyCallable_Check(key)) return call_one(key, item);
    if (PyList_Check(key)) {
        Py_ssize_t n = PyList_GET_SIZE(key);
        if (n == 0) return PyTuple_New(0);
        Ref result = Ref::steal(PyTuple_New(n));
        if (!result) return nullptr;
        // Lookups run Python code: the half-filled tuple stays out of the collector's sight.
        PyObject_GC_UnTrack(result.get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(key) && i < n; ++i) {
            Ref index = Ref::borrow(PyList_GET_ITEM(key, i));
            PyObject* value = subscript(item, index.get());
            if (value == nullptr) return nullptr;
            PyTuple_SET_ITEM(result.get(), i, value);
        }
        if (PyList_GET_SIZE(key) < n) {
            // The key list shrank while it was being read (an item's __getitem__ changed it).
            PyErr_SetString(PyExc_RuntimeError, "key list changed size during lookup");
            return nullptr;
        }
        PyObject_GC_Track(result.get());
        return result.release();
    }
    return subscript(item, key);
}

PyMethodDef kUniqueDef = {"unique", fastcall_method<unique>(), METH_FASTCALL | METH_KEYWORDS,
                          "unique(seq, key=None)\n--\n\n"};
PyMethodDef kIsdistinctDef = {"isdistinct", fastcall_method<isdistinct>(), METH_FASTCALL | METH_KEYWORDS,
                              "isdistinct(seq)\n--\n\n"};

PyObject* unique_of(PyObject* seq, PyObject* key) { return unique_impl(seq, key); }

}  // namespace trovix::sequences
