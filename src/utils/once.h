// Process-wide cells that are filled once and then kept for the life of the process.
//
// The first successful `get_or_init` stores the object (a strong reference the cell owns
// forever); a failed initialiser leaves the cell empty so that the next call tries again. A thread
// that finds another thread filling the cell waits for it with the interpreter lock released, so
// the filling thread (which may itself release and retake the lock, e.g. while importing) is never
// blocked by the waiter.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace trovix {

class OnceCell {
public:
    constexpr OnceCell() noexcept = default;

    // The stored object (borrowed), or null if the cell is still empty.
    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

    // `init` returns a new reference, or null with an exception set.
    template <class Init>
    PyObject* get_or_init(Init&& init) noexcept {
        if (PyObject* v = peek()) [[likely]] return v;
        return slow_init(init);
    }

private:
    template <class Init>
    PyObject* slow_init(Init& init) noexcept {
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
        if (PyObject* v = peek()) return v;
        PyObject* v = init();
        if (v != nullptr) value_.store(v, std::memory_order_release);
        return v;
    }

    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace trovix
