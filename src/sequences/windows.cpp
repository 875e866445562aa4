// sliding_window, interpose, pluck and their dedicated iterator classes.
#include "sequences/windows.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "sequences/access.h"
#include "utils/binding.h"
#include "utils/errors.h"
#include "utils/iterator.h"
#include "utils/platform.h"
#include "utils/ref.h"
#include "utils/source.h"
#include "utils/tuples.h"

namespace trovix::sequences {

namespace {

// The priming buffer never reserves more than this many slots up front, whatever the window size.
constexpr std::size_t kPrimingReserve = 4096;

// ---- SlidingWindowIter ---------------------------------------------------------------------------

struct WindowState {
    WindowState() = default;
    WindowState(PySource source, std::vector<Ref> first) : src(std::move(source)), priming(std::move(first)) {}

    PySource src;
    std::vector<Ref> priming;  // the first n - 1 items, until the first window is built
    Ref last;                  // the last window returned (kept only for n > 1)
    bool finished = false;

    int traverse(visitproc visit, void* arg) const {
        for (const Ref& item : priming) Py_VISIT(item.get());
        Py_VISIT(last.get());
        return src.traverse(visit, arg);
    }
};

struct SlidingWindowBody {
    SlidingWindowBody(std::size_t size, PySource src, std::vector<Ref> priming)
        : n(size), cell(std::move(src), std::move(priming)) {}

    std::size_t n;  // >= 1
    GilRefCell<WindowState> cell;

    int traverse(visitproc visit, void* arg) {
        WindowState* state = cell.peek();
        return state != nullptr ? state->traverse(visit, arg) : 0;
    }
    void clear() { cell.reset_if_idle(); }

    // True while no window was built and the source ended before filling the priming buffer.
    bool primed_short(const WindowState& s) const noexcept { return !s.last && s.priming.size() < n - 1; }

    Next raw_next() {
        auto s = cell.borrow_mut();
        if (!s) return Next::error();
        if (s->finished) return Next::end();
        Next x = s->src.next();
        if (!x) {
            if (x.is_end()) s->finished = true;
            return x;
        }
        Ref item = x.take();
        if (primed_short(*s)) {
            // The source ended during priming and gave an item since: no full window exists.
            s->finished = true;
            return Next::end();
        }
        if (s->last && Py_REFCNT(s->last.get()) == 1) return Next::item(shift_in_place(s->last.get(), std::move(item)));
        Ref window = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
        if (!window) {
            ffi_err();
            return Next::error();
        }
        PyObject** dst = &PyTuple_GET_ITEM(window.get(), 0);
        if (s->last) {
            // Shift the previous window by one place.
            PyObject** prev = &PyTuple_GET_ITEM(s->last.get(), 1);
            for (std::size_t i = 0; i + 1 < n; ++i) dst[i] = Py_NewRef(prev[i]);
        } else {
            for (std::size_t i = 0; i + 1 < n; ++i) dst[i] = s->priming[i].release();
            std::vector<Ref>().swap(s->priming);
        }
        dst[n - 1] = item.release();
        untrack_if_atomic(window.get());
        if (n > 1) s->last = window.clone();
        return Next::item(std::move(window));
    }

    // The previous window, which nobody else holds any more, reused for the next one (as the
    // interpreter's own pairwise and zip do): its items shift by one place and `item` goes last.
    // A new reference to it.
    PyObject* shift_in_place(PyObject* window, Ref item) noexcept {
        PyObject** items = &PyTuple_GET_ITEM(window, 0);
        PyObject* dropped = items[0];
        // An untracked window held only items that cannot lead to a cycle: only the new item can
        // make it need the collector. A tracked one stays tracked (the collector itself untracks
        // it when it finds nothing collectable inside). So a stream of windows of numbers or
        // strings never touches the collector's lists.
        if (!PyObject_GC_IsTracked(window) && may_need_tracking(item.get())) PyObject_GC_Track(window);
        if (n == 2) {
            items[0] = items[1];
        } else {
            std::memmove(items, items + 1, (n - 1) * sizeof(PyObject*));
        }
        items[n - 1] = item.release();
        reinterpret_cast<PyTupleObject*>(window)->ob_hash = -1;  // the hash it may have cached is stale
        Py_DECREF(dropped);  // may run Python code: the window is complete by now
        return Py_NewRef(window);
    }

    Py_ssize_t raw_length_hint() {
        auto s = cell.borrow_mut();
        if (!s) return -1;
        if (s->finished || primed_short(*s)) return 0;
        return static_cast<Py_ssize_t>(s->src.length_hint());
    }
};

// ---- InterposeIter ------------------------------------------------------------------------------

struct InterposeState {
    InterposeState() = default;
    // `first`: an item already fetched (the iterator then counts as started), or empty.
    InterposeState(PySource source, Ref first)
        : src(std::move(source)), pending(std::move(first)), started(static_cast<bool>(pending)) {}

    PySource src;
    Ref pending;           // an item fetched but not yet returned: its separator went first
    bool started = false;  // an item was returned or is pending
    bool finished = false;

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(pending.get());
        return src.traverse(visit, arg);
    }
};

struct InterposeBody {
    InterposeBody(Ref separator, PySource src, Ref first)
        : el(std::move(separator)), cell(std::move(src), std::move(first)) {}

    Ref el;  // never changes (until the collector clears the iterator): outside the cell
    GilRefCell<InterposeState> cell;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(el.get());
        InterposeState* state = cell.peek();
        return state != nullptr ? state->traverse(visit, arg) : 0;
    }
    void clear() {
        if (cell.is_borrowed()) return;
        cell.reset_if_idle();
        el.reset();
    }

    Next raw_next() {
        auto s = cell.borrow_mut();
        if (!s) return Next::error();
        if (s->pending) return Next::item(std::move(s->pending));
        if (s->finished) return Next::end();
        Next x = s->src.next();
        if (!x) {
            if (x.is_end()) s->finished = true;
            return x;
        }
        if (!s->started) {
            s->started = true;
            return x;
        }
        if (!el) [[unlikely]] return Next::end();  // cleared by the collector
        s->pending = x.take();
        return Next::item(el.clone());
    }

    Py_ssize_t raw_length_hint() {
        auto s = cell.borrow_mut();
        if (!s) return -1;
        if (s->finished) return 0;
        Py_ssize_t hint = s->src.length_hint();
        if (hint < 0) return -1;  // an error that must not be cleared (KeyboardInterrupt, MemoryError)
        Py_ssize_t r = std::min<Py_ssize_t>(hint, PY_SSIZE_T_MAX / 2 - 1);
        if (s->pending) return 2 * r + 1;
        if (s->started) return 2 * r;
        return std::max<Py_ssize_t>(2 * r - 1, 0);
    }
};

// ---- PluckIter ----------------------------------------------------------------------------------

struct PluckBody {
    PluckBody(Ref index, PySource src) : ind(std::move(index)), cell(std::move(src)) {
        PyObject* i = ind.get();
        small_index = PyLong_CheckExact(i) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(i));
        if (small_index) position = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(i));
    }

    Ref ind;  // never changes (until the collector clears the iterator): outside the cell
    GilRefCell<PySource> cell;
    bool small_index = false;  // `ind` is a small exact int, `position`
    Py_ssize_t position = 0;

    // Rows of a list or tuple source, and the items they will give, are fetched into the cache a
    // few steps before they are needed (two stages: a row must be there to find its item).
    void look_ahead(const PySource& src) const noexcept {
        if (PyObject* far = src.ahead(16)) TROVIX_PREFETCH(far);
        PyObject* near = src.ahead(6);
        if (near != nullptr && PyTuple_CheckExact(near)) {
            Py_ssize_t n = PyTuple_GET_SIZE(near);
            Py_ssize_t i = position < 0 ? position + n : position;
            if (i >= 0 && i < n) TROVIX_PREFETCH_W(PyTuple_GET_ITEM(near, i));
        }
    }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(ind.get());
        PySource* src = cell.peek();
        return src != nullptr ? src->traverse(visit, arg) : 0;
    }
    void clear() {
        if (cell.is_borrowed()) return;
        cell.reset_if_idle();
        ind.reset();
    }

    Next raw_next() {
        auto src = cell.borrow_mut();
        if (!src) return Next::error();
        if (small_index) look_ahead(*src);
        Next x = src->next();
        if (!x) return x;
        Ref item = x.take();
        if (!ind) [[unlikely]] return Next::end();  // cleared by the collector
        return Next::item(subscript(item.get(), ind.get()));
    }

    Py_ssize_t raw_length_hint() {
        auto src = cell.borrow_mut();
        if (!src) return -1;
        return static_cast<Py_ssize_t>(src->length_hint());
    }
};

// The other forms of pluck: a list of indices, or a default for failed lookups.
struct PluckManyStep {
    PySource src;
    Ref ind;       // an index, or a list of indices
    Ref fallback;  // empty without a default

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(ind.get());
        Py_VISIT(fallback.get());
        return src.traverse(visit, arg);
    }

    Next next() {
        Next x = src.next();
        if (!x) return x;
        Ref item = x.take();
        if (PyList_Check(ind.get())) return Next::item(get_items_or(item.get(), ind.get(), fallback.get()));
        return Next::item(get_item_or(item.get(), ind.get(), fallback.get()));
    }
};

// ---- types --------------------------------------------------------------------------------------

OnceCell g_sliding_window_iter_cell, g_interpose_iter_cell, g_pluck_iter_cell;

constexpr char kSlidingWindowIterName[] = "SlidingWindowIter";
constexpr char kInterposeIterName[] = "InterposeIter";
constexpr char kPluckIterName[] = "PluckIter";

constexpr char kSlidingWindowIterDoc[] =
    "Dedicated iterator for `sliding_window`: raw `PyIter_Next`, ring buffer,\n"
    "and the output tuple built straight from the deque (no temp Vec per\n"
    "window). Frozen + Mutex preserves the reentrancy contract.";

constexpr char kInterposeIterDoc[] =
    "Dedicated iterator for `interpose`: raw source access (direct indexing\n"
    "for exact lists) and one INCREF of `el` per separator \u2014 no boxed closure.\n"
    "`el` lives outside the cell: it never mutates.";

constexpr char kPluckIterDoc[] =
    "Dedicated iterator for single-index `pluck` without a default: one\n"
    "`PyObject_GetItem` per element behind a raw `tp_iternext` slot, instead of\n"
    "paying for `map` plus `itemgetter` dispatch.";

PyMethodDef kSlidingWindowIterMethods[] = {
    {"__length_hint__", length_hint_method<SlidingWindowBody, kSlidingWindowIterName>(), kLengthHintFlags,
     "__length_hint__($self)\n--\n\n"
     "Exact for list sources (one window per remaining element once\n"
     "primed), the source's own hint otherwise."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kInterposeIterMethods[] = {
    {"__length_hint__", length_hint_method<InterposeBody, kInterposeIterName>(), kLengthHintFlags,
     "__length_hint__($self)\n--\n\n"
     "k source items yield 2k-1 outputs (a separator before every item but\n"
     "the first). Exact for list sources, the source's own hint otherwise."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kPluckIterMethods[] = {
    {"__length_hint__", length_hint_method<PluckBody, kPluckIterName>(), kLengthHintFlags,
     "__length_hint__($self)\n--\n\n"
     "One output per remaining source element (PEP 424): exact for list\n"
     "sources, the source's own hint otherwise."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kSlidingWindowIterSlots[] = {
    TROVIX_ITER_SLOTS(SlidingWindowBody), {Py_tp_methods, kSlidingWindowIterMethods}, {0, nullptr}};
PyType_Slot kInterposeIterSlots[] = {
    TROVIX_ITER_SLOTS(InterposeBody), {Py_tp_methods, kInterposeIterMethods}, {0, nullptr}};
PyType_Slot kPluckIterSlots[] = {TROVIX_ITER_SLOTS(PluckBody), {Py_tp_methods, kPluckIterMethods}, {0, nullptr}};

// ---- module functions ---------------------------------------------------------------------------

PyObject* sliding_window(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("sliding_window", {"n", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    std::int64_t n = 0;
    if (!as_i64(a[0], "n", n)) return nullptr;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "n must be >= 0");
        return nullptr;
    }
    return sliding_window_impl(static_cast<std::size_t>(n), a[1]);
}

PyObject* interpose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = function_signature("interpose", {"el", "seq"});
    PyObject* a[2];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return nullptr;
    return interpose_impl(a[0], a[1]);
}

PyObject* pluck_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames == nullptr && PyVectorcall_NARGS(nargs) == 2) [[likely]] return pluck(args[0], args[1], nullptr);
    static constexpr Signature sig = function_signature("pluck", {"ind", "seqs"}, -1, Extra::Args);
    BoundArgs a;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    return pluck(a[0], a[1], a.varargs.get());
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

const TypeDef kSlidingWindowIterType = {kSlidingWindowIterName, kSlidingWindowIterDoc,
                                        sizeof(IterObject<SlidingWindowBody>), kSlidingWindowIterSlots, nullptr,
                                        &g_sliding_window_iter_cell};
const TypeDef kInterposeIterType = {kInterposeIterName, kInterposeIterDoc, sizeof(IterObject<InterposeBody>),
                                    kInterposeIterSlots, nullptr, &g_interpose_iter_cell};
const TypeDef kPluckIterType = {kPluckIterName, kPluckIterDoc, sizeof(IterObject<PluckBody>), kPluckIterSlots,
                                nullptr, &g_pluck_iter_cell};

int install_sliding_window_iter_next(PyTypeObject* type) noexcept {
    return install_raw_iternext<SlidingWindowBody>(type);
}
int install_interpose_iter_next(PyTypeObject* type) noexcept { return install_raw_iternext<InterposeBody>(type); }
int install_pluck_iter_next(PyTypeObject* type) noexcept { return install_raw_iternext<PluckBody>(type); }

PyObject* sliding_window_impl(std::size_t n, PyObject* seq) {
    if (n == 0) return empty_iter();
    PySource src = PySource::open(seq);
    if (!src) return nullptr;
    std::vector<Ref> priming;
    try {
        priming.reserve(std::min(n - 1, kPrimingReserve));
        std::size_t steps = 0;
        while (priming.size() < n - 1) {
            Next x = src.next();
            if (x.is_error()) return nullptr;
            if (x.is_end()) break;
            priming.push_back(x.take());
            if (poll_signals(steps) < 0) return nullptr;
        }
    } catch (const std::bad_alloc&) {
        // A window larger than memory over an endless source: an ordinary MemoryError.
        return PyErr_NoMemory();
    }
    return new_iter<SlidingWindowBody>(kSlidingWindowIterType, n, std::move(src), std::move(priming));
}

PyObject* interpose_impl(PyObject* el, PyObject* seq) {
    PySource src = PySource::open(seq);
    if (!src) return nullptr;
    Next first = src.next();
    if (first.is_error()) return nullptr;
    if (first.is_end()) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    return new_iter<InterposeBody>(kInterposeIterType, Ref::borrow(el), std::move(src), first.take());
}

PyObject* interpose_lazy(PyObject* el, PyObject* seq) {
    PySource src = PySource::open(seq);
    if (!src) return nullptr;
    return new_iter<InterposeBody>(kInterposeIterType, Ref::borrow(el), std::move(src), Ref());
}

PyObject* pluck(PyObject* ind, PyObject* seqs, PyObject* rest) {
    Py_ssize_t nrest = rest != nullptr ? PyTuple_GET_SIZE(rest) : 0;
    if (nrest >= 2) {
        PyErr_SetString(PyExc_TypeError, "pluck takes at most 3 arguments");
        return nullptr;
    }
    PySource src = PySource::open(seqs);
    if (!src) return nullptr;
    if (nrest == 0 && !PyList_Check(ind)) {
        return new_iter<PluckBody>(kPluckIterType, Ref::borrow(ind), std::move(src));
    }
    Ref fallback = nrest == 1 ? Ref::borrow(PyTuple_GET_ITEM(rest, 0)) : Ref();
    return new_rust_iter(PluckManyStep{std::move(src), Ref::borrow(ind), std::move(fallback)});
}

PyMethodDef kInterposeDef = {"interpose", fastcall_method<interpose>(), kFastcall, "interpose(el, seq)\n--\n\n"};
PyMethodDef kSlidingWindowDef = {"sliding_window", fastcall_method<sliding_window>(), kFastcall,
                                 "sliding_window(n, seq)\n--\n\n"};
PyMethodDef kPluckDef = {"pluck", fastcall_method<pluck_function>(), kFastcall, "pluck(ind, seqs, *rest)\n--\n\n"};

}  // namespace trovix::sequences
