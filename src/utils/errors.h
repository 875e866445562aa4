// Error convention.
//
// Python errors travel as return values, exactly like the C API: a null PyObject*, -1 from an
// int-returning routine, or an Outcome, always with the Python exception set. C++ exceptions are
// reserved for internal faults (a broken invariant, a failed allocation). Every entry point that
// the interpreter can call is wrapped by `entry<F>` (or catches by hand and calls
// `raise_panic_from_current`), which turns a fault into `pyo3_runtime.PanicException` (and a
// failed allocation, std::bad_alloc, into MemoryError); a C++ exception never crosses into the
// interpreter.
#pragma once

#include <Python.h>

#include <stdexcept>
#include <string>
#include <type_traits>

namespace trovix {

// An internal fault of native code. `message` may be empty ("no text").
class Fault : public std::exception {
public:
    explicit Fault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Throws Fault(message) when `cond` is false. For invariants whose violation is a bug.
inline void check_invariant(bool cond, const char* message) {
    if (!cond) [[unlikely]] throw Fault(message);
}

// The interpreter's `pyo3_runtime.PanicException` class (created on first use); null with an
// exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Sets PanicException with `message` (the message of the fault).
void raise_panic(const char* message) noexcept;

// Called from a catch(...) block: sets PanicException from the exception being handled (MemoryError
// for std::bad_alloc). A fault without text uses `fallback`.
void raise_panic_from_current(const char* fallback = "native code failed without a message") noexcept;

// If the pending Python exception is a PanicException (raised by Python code that native code
// called), reports it on stderr and raises a fresh PanicException with the same message: a fault
// that passed through Python is still a fault.
void resume_panic_if_pending() noexcept;

// `SystemError` "FFI call failed without setting an exception" unless an exception is already set.
void ffi_err() noexcept;

// Attaches the note "while processing '<name>'" to the pending exception.
void add_processing_note(const char* param_name) noexcept;

// For code that may treat a failure as "does not apply" (a buffer export, a length hint): clears
// the pending exception and returns true when it is an ordinary error (an Exception other than
// MemoryError); returns false and leaves it pending otherwise (KeyboardInterrupt, SystemExit,
// MemoryError, ...), which the caller must pass on.
bool clear_ordinary_error() noexcept;

namespace detail {
template <class R>
constexpr R failure_value() noexcept {
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return static_cast<R>(-1);
}
template <class R>
constexpr bool is_failure(R r) noexcept {
    if constexpr (std::is_pointer_v<R>) return r == nullptr;
    else return r == static_cast<R>(-1);
}

template <auto F>
struct Entry;

template <class R, class... A, R (*F)(A...)>
struct Entry<F> {
    static R call(A... a) noexcept {
        try {
            R r = F(a...);
            if (is_failure(r)) [[unlikely]] {
                if (PyErr_Occurred()) resume_panic_if_pending();
            }
            return r;
        } catch (...) {
            raise_panic_from_current();
            return failure_value<R>();
        }
    }
};
}  // namespace detail

// The interpreter-facing wrapper of an operation: same signature, but noexcept, with faults
// turned into PanicException. Use it for every function, method and slot handed to the
// interpreter (e.g. `(PyCFunction)(void (*)())entry<some_map>`).
template <auto F>
inline constexpr auto entry = &detail::Entry<F>::call;

}  // namespace trovix

namespace trovix {
// The `ml_meth` of a METH_FASTCALL | METH_KEYWORDS function or method, wrapped by `entry`.
template <auto F>
inline PyCFunction fastcall_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<F>));
}
// The `ml_meth` of a METH_VARARGS | METH_KEYWORDS function, wrapped by `entry`.
template <auto F>
inline PyCFunction varargs_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<F>));
}
}  // namespace trovix
