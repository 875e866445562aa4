// Native iterator objects.
//
// A lazy operation returns an iterator whose state lives inside the object and advances one item
// per next call. Two shapes share this frame:
//
//   * `RustIter`, the generic iterator: it owns one boxed step record made by the operation
//     (`new_rust_iter(step)`). Most lazy operations use it.
//   * Dedicated classes (UniqueIter, InterposeIter, ...): their instance body implements the
//     RawIterNext contract below and they get their own TypeDef.
//
// Both put `raw_iternext<Body>` straight into the type's next slot, so `next(it)` and `for`
// loops call the step without a method trampoline.
//
// ---- Writing a lazy operation on RustIter --------------------------------------------------------
//
// An operation is a step record (its state, owning every reference it needs) with one method
// `Next next()`, plus the function that checks arguments, builds the record and hands it over:
//
//     struct RemoveStep {
//         PySource src;       // the source, read by index for exact lists
//         Ref predicate;
//
//         int traverse(visitproc visit, void* arg) const {   // required: every owned reference
//             Py_VISIT(predicate.get());
//             return src.traverse(visit, arg);
//         }
//
//         Next next() {
//             for (;;) {
//                 Next n = src.next();
//                 if (!n) return n;                          // end or error passes through
//                 Ref item = n.take();
//                 Ref r = Ref::steal(call_one(predicate.get(), item.get()));   // utils/call.h
//                 if (!r) return Next::error();
//                 int t = truth(r.get());
//                 if (t < 0) return Next::error();
//                 if (t == 0) return Next::item(std::move(item));
//             }
//         }
//     };
//
//     PyObject* remove(PyObject* predicate, PyObject* seq) {
//         PySource src = PySource::open(seq);
//         if (!src) return nullptr;
//         return new_rust_iter(RemoveStep{std::move(src), Ref::borrow(predicate)});
//     }
//
// The frame runs `next()` with the borrow flag taken (re-entry raises ValueError "iterator
// already executing"), turns a thrown Fault into PanicException ("panic in __next__" when it
// has no text), and destroys the record (dropping its references) with the iterator. A step
// decides itself what a call after its end or after an error does.
//
// Every iterator takes part in cyclic garbage collection (a callback that refers back to its
// iterator is an ordinary cycle). A record without `traverse` does not compile. The collector
// only looks at a record while no step runs (a running step may hold half-built objects, which
// must stay out of sight), and the collector's clear destroys the whole record, after which the
// iterator is exhausted.
//
// ---- Writing a dedicated iterator class (the RawIterNext contract) -------------------------------
//
//     struct InterposeBody {
//         Ref el;                                 // never changes: outside the cell
//         GilRefCell<InterposeState> cell;        // everything a step changes
//
//         int traverse(visitproc visit, void* arg) {       // required: every owned reference;
//             Py_VISIT(el.get());                           // the state only while no step runs
//             InterposeState* s = cell.peek();
//             return s != nullptr ? s->traverse(visit, arg) : 0;
//         }
//         void clear() {                                    // required: drop what can form a cycle
//             el.reset();                                   // (raw_next must then end or raise,
//             cell.reset_if_idle();                         // never crash)
//         }
//
//         Next raw_next() {                       // required
//             auto state = cell.borrow_mut();
//             if (!state) return Next::error();   // busy: "iterator already executing" is set
//             return state->step(el.get());
//         }
//         Py_ssize_t raw_length_hint() {          // optional, for __length_hint__
//             auto state = cell.borrow_mut();
//             if (!state) return -1;
//             return ...;                         // >= 0, never fails for source problems
//         }
//     };
//
//     PyMethodDef kMethods[] = {
//         {"__length_hint__", length_hint_method<InterposeBody, kInterposeIterName>(), kLengthHintFlags,
//          "__length_hint__($self)\n--\n\n<the class's rule>"},
//         {nullptr, nullptr, 0, nullptr}};
//     PyType_Slot kSlots[] = {TROVIX_ITER_SLOTS(InterposeBody), {Py_tp_methods, kMethods}, {0, nullptr}};
//     const TypeDef kInterposeIterType = {"InterposeIter", kDoc, sizeof(IterObject<InterposeBody>),
//                                         kSlots, nullptr, &g_cell};
//
//     // making one:   return new_iter<InterposeBody>(kInterposeIterType, std::move(el), ...);
//     // registration: prepare_type(kInterposeIterType, install_raw_iternext<InterposeBody>)
//
// The body is constructed in place inside the instance (no separate allocation) and destroyed by
// `iter_dealloc<Body>`. `reset_if_idle` needs a state that is default-constructible, whose
// default is an exhausted iterator.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "utils/binding.h"
#include "utils/errors.h"
#include "utils/ref.h"
#include "utils/types.h"

namespace trovix {

// ---- Next: the answer of one step ------------------------------------------------------------------

// One of: an item (a new reference the Next carries), the end (no exception set), or an error
// (the Python exception is set). A Next that carries an item must be consumed (take / release).
class [[nodiscard]] Next {
public:
    // Takes over a new reference; null counts as an error (the exception must be set).
    static Next item(PyObject* new_ref) noexcept { return Next(new_ref, new_ref == nullptr); }
    static Next item(Ref r) noexcept { return item(r.release()); }
    static Next end() noexcept { return Next(nullptr, false); }
    // The Python exception must be set.
    static Next error() noexcept { return Next(nullptr, true); }

    bool is_item() const noexcept { return item_ != nullptr; }
    bool is_end() const noexcept { return item_ == nullptr && !error_; }
    bool is_error() const noexcept { return error_; }
    // True for an item; `if (!n) return n;` passes an end or an error on.
    explicit operator bool() const noexcept { return item_ != nullptr; }

    // The carried item, as an owned reference.
    Ref take() noexcept { return Ref::steal(std::exchange(item_, nullptr)); }
    // The carried item as a new reference, or null (end: no exception; error: exception set):
    // exactly what a `tp_iternext` slot returns.
    PyObject* release() noexcept { return std::exchange(item_, nullptr); }

private:
    Next(PyObject* item, bool error) noexcept : item_(item), error_(error) {}
    PyObject* item_;
    bool error_;
};

// ---- GilRefCell: the borrow flag -------------------------------------------------------------------

// Sets ValueError "iterator already executing".
void raise_already_executing() noexcept;

// A value with a borrow flag (0 free, -1 borrowed). Only touched with the interpreter lock held,
// so plain loads and stores suffice. Re-entrant use becomes an error instead of corrupting the value.
template <class T>
class GilRefCell {
public:
    template <class... A>
    explicit GilRefCell(A&&... args) : value_(std::forward<A>(args)...) {}
    GilRefCell(const GilRefCell&) = delete;
    GilRefCell& operator=(const GilRefCell&) = delete;

    // Holds the borrow until destroyed.
    class [[nodiscard]] Guard {
    public:
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() {
            if (cell_ != nullptr) cell_->flag_ += 1;
        }
        explicit operator bool() const noexcept { return cell_ != nullptr; }
        T& operator*() const noexcept { return cell_->value_; }
        T* operator->() const noexcept { return &cell_->value_; }

    private:
        friend class GilRefCell;
        explicit Guard(GilRefCell* cell) noexcept : cell_(cell) {}
        GilRefCell* cell_;
    };

    // The borrowed value; an empty guard (with ValueError "iterator already executing" set) when
    // the cell is already borrowed.
    Guard borrow_mut() noexcept {
        if (flag_ != 0) [[unlikely]] {
            raise_already_executing();
            return Guard(nullptr);
        }
        flag_ = -1;
        return Guard(this);
    }

    bool is_borrowed() const noexcept { return flag_ != 0; }

    // The value when no step is using it, else null: for the garbage collector's look, which
    // must not see a state in the middle of a step.
    T* peek() noexcept { return flag_ != 0 ? nullptr : &value_; }

    // The collector's clear: unless the value is in use, runs `f(value)` under the borrow, so
    // that code run by a destructor that reaches the iterator gets "iterator already executing"
    // instead of a half-destroyed state.
    template <class F>
    void clear_if_idle(F&& f) {
        if (flag_ != 0) return;
        flag_ = -1;
        struct Release {
            Py_ssize_t& flag;
            ~Release() { flag = 0; }
        } release{flag_};
        f(value_);
    }
    // The same, replacing the value by `T{}` (which must be an exhausted state).
    void reset_if_idle()
        requires std::default_initializable<T>
    {
        clear_if_idle([](T& v) { T old = std::exchange(v, T{}); });
    }

private:
    Py_ssize_t flag_ = 0;
    T value_;
};

// ---- Instances -------------------------------------------------------------------------------------

// The instance layout of every native iterator class: the object header, then the body built in
// place.
template <class Body>
struct IterObject {
    PyObject_HEAD
    alignas(Body) unsigned char storage[sizeof(Body)];

    static Body& body(PyObject* self) noexcept {
        return *std::launder(reinterpret_cast<Body*>(reinterpret_cast<IterObject*>(self)->storage));
    }
};

// A new instance of the class `def` whose body is built from `args`; null with an exception set.
template <class Body, class... A>
PyObject* new_iter(const TypeDef& def, A&&... args) {
    PyTypeObject* type = get_type_for_instance(def);
    if (type == nullptr) return nullptr;
    // Allocated untracked and unzeroed: the collector must not look at the body before it exists.
    auto* obj = PyObject_GC_New(IterObject<Body>, type);
    if (obj == nullptr) return nullptr;
    try {
        new (obj->storage) Body(std::forward<A>(args)...);
    } catch (...) {
        free_instance(reinterpret_cast<PyObject*>(obj));
        throw;
    }
    PyObject_GC_Track(obj);
    return reinterpret_cast<PyObject*>(obj);
}

// tp_dealloc: destroys the body (dropping every reference it holds), then frees the object.
// A long chain of iterators over iterators is freed through the interpreter's deferred
// deallocation of collected objects, not by a native recursion as deep as the chain.
template <class Body>
void iter_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    IterObject<Body>::body(self).~Body();
    free_instance(self);
}

// What the frame asks of a body: a next step and the collector's two hooks.
template <class Body>
concept IterBody = requires(Body& b, visitproc visit, void* arg) {
    { b.raw_next() } -> std::same_as<Next>;
    { b.traverse(visit, arg) } -> std::same_as<int>;
    { b.clear() };
};

// tp_traverse / tp_clear of every iterator class.
template <IterBody Body>
int iter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return IterObject<Body>::body(self).traverse(visit, arg);
}
template <IterBody Body>
int iter_clear(PyObject* self) noexcept {
    try {
        IterObject<Body>::body(self).clear();
    } catch (...) {
        // A destructor that throws is an internal fault; the collector cannot take an error.
        PyErr_Clear();
    }
    return 0;
}

// tp_iter of every iterator class: the object itself.
PyObject* iter_self(PyObject* self) noexcept;

// Converts a step's answer for the next slot, handling a PanicException raised by Python code.
inline PyObject* finish_next(Next n) noexcept {
    if (n.is_error()) [[unlikely]] resume_panic_if_pending();
    return n.release();
}

// The next slot of every native iterator class: `Body::raw_next()` with faults turned into
// PanicException ("panic in __next__" when the fault has no text).
template <class Body>
PyObject* raw_iternext(PyObject* self) noexcept {
    try {
        return finish_next(IterObject<Body>::body(self).raw_next());
    } catch (...) {
        raise_panic_from_current("panic in __next__");
        return nullptr;
    }
}

// Puts `raw_iternext<Body>` into the next slot of `type` (a registration `after` hook).
template <class Body>
int install_raw_iternext(PyTypeObject* type) noexcept {
    type->tp_iternext = raw_iternext<Body>;
    return 0;
}

// The `__length_hint__` method of a dedicated class `Cls` (its Python name): no arguments, bound
// like every other method, then `Body::raw_length_hint()` (>= 0, or -1 with an exception set when
// the object is busy or the source's hint failed with an error that must not be cleared) as an int.
inline constexpr int kLengthHintFlags = METH_FASTCALL | METH_KEYWORDS;

template <class Body, const char* Cls>
PyObject* length_hint_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        if (nargs != 0 || kwnames != nullptr) [[unlikely]] {
            static constexpr Signature sig = method_signature(Cls, "__length_hint__", {});
            BoundArgs bound;
            if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, bound)) return nullptr;
        }
        Py_ssize_t n = IterObject<Body>::body(self).raw_length_hint();
        if (n < 0) {
            resume_panic_if_pending();
            return nullptr;
        }
        return PyLong_FromSsize_t(n);
    } catch (...) {
        raise_panic_from_current();
        return nullptr;
    }
}
template <class Body, const char* Cls>
PyCFunction length_hint_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(length_hint_impl<Body, Cls>));
}

// The slots every iterator class starts with.
#define TROVIX_ITER_SLOTS(Body)                                                        \
    {Py_tp_dealloc, reinterpret_cast<void*>(::trovix::iter_dealloc<Body>)},             \
        {Py_tp_traverse, reinterpret_cast<void*>(::trovix::iter_traverse<Body>)},       \
        {Py_tp_clear, reinterpret_cast<void*>(::trovix::iter_clear<Body>)},             \
        {Py_tp_iter, reinterpret_cast<void*>(::trovix::iter_self)},                     \
        {Py_tp_iternext, reinterpret_cast<void*>(::trovix::raw_iternext<Body>)}

// ---- RustIter ----------------------------------------------------------------------------------------

// The type-erased step of a RustIter.
class IterStep {
public:
    virtual Next next() = 0;
    virtual int traverse(visitproc visit, void* arg) const = 0;
    // Ends the record: destroys it, and frees it when it lives outside its iterator.
    virtual void destroy() noexcept = 0;

protected:
    ~IterStep() = default;
};

// A step record: its next step and a look at every reference it owns.
template <class S>
concept StepRecord = requires(S& s, const S& cs, visitproc visit, void* arg) {
    { s.next() } -> std::same_as<Next>;
    { cs.traverse(visit, arg) } -> std::same_as<int>;
};

// Owns a boxed step record (see IterStep::destroy).
struct StepDestroy {
    void operator()(IterStep* s) const noexcept { s->destroy(); }
};
using StepPtr = std::unique_ptr<IterStep, StepDestroy>;

// Room for the step record inside the iterator object itself: records that fit (all ordinary
// ones) cost no allocation of their own.
inline constexpr std::size_t kInlineStepSize = 80;

namespace detail {
template <StepRecord S>
class StepBox final : public IterStep {
public:
    StepBox(S&& s, bool inline_storage) : step_(std::move(s)), inline_(inline_storage) {}
    Next next() override { return step_.next(); }
    int traverse(visitproc visit, void* arg) const override { return step_.traverse(visit, arg); }
    void destroy() noexcept override {
        if (inline_) {
            this->~StepBox();
        } else {
            this->~StepBox();
            PyObject_Free(this);
        }
    }

private:
    S step_;
    bool inline_;
};
}  // namespace detail

// The body of a RustIter: room for the step record, the borrow flag and the owned step (gone
// once the collector cleared the iterator, which then is exhausted).
struct RustIterBody {
    template <StepRecord S>
    explicit RustIterBody(S&& s) : step(box(std::move(s))) {}
    RustIterBody(const RustIterBody&) = delete;
    RustIterBody& operator=(const RustIterBody&) = delete;

    alignas(std::max_align_t) unsigned char room[kInlineStepSize];
    GilRefCell<StepPtr> step;

    Next raw_next() {
        auto s = step.borrow_mut();
        if (!s) return Next::error();
        if (!*s) [[unlikely]] return Next::end();
        return (*s)->next();
    }
    int traverse(visitproc visit, void* arg) {
        StepPtr* s = step.peek();
        return s != nullptr && *s ? (*s)->traverse(visit, arg) : 0;
    }
    void clear() { step.reset_if_idle(); }

private:
    template <StepRecord S>
    StepPtr box(S&& s) {
        using Box = detail::StepBox<S>;
        if constexpr (sizeof(Box) <= kInlineStepSize && alignof(Box) <= alignof(std::max_align_t)) {
            return StepPtr(new (room) Box(std::move(s), true));
        } else {
            void* mem = PyObject_Malloc(sizeof(Box));
            if (mem == nullptr) throw std::bad_alloc();
            try {
                return StepPtr(new (mem) Box(std::move(s), false));
            } catch (...) {
                PyObject_Free(mem);
                throw;
            }
        }
    }
};

extern const TypeDef kRustIterType;

// A new RustIter owning `step` (a step record: `Next next()` and `traverse`, see above).
// Null with an exception set on failure; `step` is destroyed then.
template <StepRecord S>
PyObject* new_rust_iter(S step) {
    return new_iter<RustIterBody>(kRustIterType, std::move(step));
}

// A RustIter that yields nothing.
PyObject* empty_iter();

}  // namespace trovix
