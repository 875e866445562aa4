// Owned references to Python objects.
//
// `Ref` owns exactly one strong reference (or none). It is move-only; the two ways in are spelled
// out at every boundary:
//   Ref::steal(p)   takes over a new reference returned by the C API (may be null)
//   Ref::borrow(p)  adds a reference to a borrowed pointer
// and the two ways out:
//   r.get()         lends the pointer, ownership stays with r
//   r.release()     hands the reference over (to a C API that steals, or to the caller)
#pragma once

#include <Python.h>

#include <utility>

namespace trovix {

class Ref {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A second owned reference to the same object.
    [[nodiscard]] Ref clone() const noexcept { return borrow(ptr_); }
    void reset() noexcept { Py_CLEAR(ptr_); }

    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// A new reference to None / True / False, for returning.
inline PyObject* new_none() noexcept { return Py_NewRef(Py_None); }
inline PyObject* new_bool(bool v) noexcept { return Py_NewRef(v ? Py_True : Py_False); }

}  // namespace trovix
