// Cells that are filled once per interpreter and then kept for the life of that interpreter.
//
// A cell holds one object for each interpreter that uses it (interp.h): the main interpreter's in
// the cell itself, for the life of the process; another interpreter's in that interpreter's record,
// released when it shuts down. Within one interpreter: the first successful `get_or_init` stores
// the object (a strong reference the cell owns); a failed initialiser leaves the cell empty so that
// the next call tries again. A thread that finds another thread filling the cell waits for it with
// the interpreter lock released, so the filling thread (which may itself release and retake the
// lock, e.g. while importing) is never blocked by the waiter.
//
// The initialiser may run Python code (an import runs import hooks), which may come back to the
// same cell on the filling thread. Such a re-entrant call does not wait for itself: it runs the
// initialiser too, and whichever finishes first fills the cell (the other result is dropped).
//
// The lock is shared by all interpreters: a thread may wait while another interpreter fills its
// own value of the same cell (with its own interpreter lock released, as above).
//
// A child forked while another thread was filling a cell starts with that cell empty and usable
// (the filling thread does not exist in the child, so its lock is replaced).
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "utils/interp.h"

namespace trovix {

class OnceCell {
public:
    constexpr OnceCell() noexcept = default;

    // The calling interpreter's object (borrowed), or null if the cell is still empty there.
    PyObject* peek() const noexcept {
        if (!interp::others_loaded()) [[likely]] return value_.load(std::memory_order_acquire);
        return peek_elsewhere();
    }

    // `init` returns a new reference, or null with an exception set.
    template <class Init>
    PyObject* get_or_init(Init&& init) noexcept {
        if (PyObject* v = peek()) [[likely]] return v;
        return slow_init(init);
    }

private:
    // peek() once other interpreters use the module (kept out of line: the inlined part stays small).
    PyObject* peek_elsewhere() const noexcept;

    template <class Init>
    PyObject* slow_init(Init& init) noexcept {
        unsigned long me = PyThread_get_thread_ident();
        if (filler_.load(std::memory_order_relaxed) == me) return fill(init);  // re-entry
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        std::lock_guard<std::mutex> guard(mutex_, std::adopt_lock);
        if (PyObject* v = peek()) return v;
        Filling filling(*this, me);
        return fill(init);
    }

    // Runs `init`; the first result stored wins.
    template <class Init>
    PyObject* fill(Init& init) noexcept {
        std::atomic<PyObject*>* home = interp::others_loaded() ? interp::object_home(value_, id_) : &value_;
        if (home == nullptr) {
            interp::raise_gone();
            return nullptr;
        }
        PyObject* v = init();
        if (v == nullptr) return nullptr;
        if (PyObject* stored = home->load(std::memory_order_acquire)) {
            Py_DECREF(v);
            return stored;
        }
        home->store(v, std::memory_order_release);
        return v;
    }

    // Marks the cell as being filled by thread `me` (and lists it for a forked child) for the
    // guard's lifetime. Created and destroyed with the interpreter lock held and `mutex_` locked.
    class Filling {
    public:
        Filling(OnceCell& cell, unsigned long me) noexcept;
        ~Filling();
        Filling(const Filling&) = delete;
        Filling& operator=(const Filling&) = delete;

    private:
        OnceCell& cell_;
    };

    friend void reset_cells_in_forked_child() noexcept;

    mutable std::atomic<PyObject*> value_{nullptr};  // the main interpreter's object
    mutable std::atomic<unsigned> id_{0};             // the slot in other interpreters' records
    std::mutex mutex_;
    std::atomic<unsigned long> filler_{0};  // thread filling the cell (0: none)
    OnceCell* next_filling_ = nullptr;      // the list of cells being filled
};

}  // namespace trovix
