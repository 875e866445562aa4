// Where the module keeps what belongs to one interpreter.
//
// Python objects belong to the interpreter that made them, so every object the module caches
// (type objects, the panic exception class, standard-library attributes, interned names, curry's
// view of inspect) is kept once per interpreter that loads the module. The main interpreter keeps
// its values in the process-wide statics themselves, for the life of the process. Every other
// interpreter gets a record of its own when it first executes the module; the record lives in that
// interpreter's dictionary of per-interpreter data and is released when the interpreter shuts down
// (after its modules, when that dictionary is cleared), dropping every reference it holds.
//
// Finding a value: until a second interpreter has loaded the module, one relaxed load of a
// process-wide flag says "main interpreter". After that, the calling thread's interpreter is asked
// for; the main interpreter still reads the statics, the others find their record in a small
// table of the live interpreters, read without a lock.
//
// Native state that is not a Python object but refers to one interpreter's objects (curry's view
// of inspect, its dictionary watcher) is a `PerInterpreter<T>`: one `T` for the main interpreter
// in static storage, one made on first use for each other interpreter and handed to `Release`
// when that interpreter shuts down.
//
// Process-wide native state that touches no Python object (the worker pool, pure switches) stays
// shared by all interpreters.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>

namespace trovix::interp {

// True once an interpreter other than the main one has executed the module.
extern std::atomic<bool> g_others;

inline bool others_loaded() noexcept { return g_others.load(std::memory_order_relaxed); }

// Called first by the module's execution step: makes the calling interpreter's record unless it is
// the main interpreter or already has one. 0, or -1 with an exception set.
int attach() noexcept;

// The calling interpreter's home for one cached object: `main_home` in the main interpreter, else
// the slot numbered by `id` (assigned on first use) in the interpreter's record. Null when this
// interpreter has no record (it is shutting down).
std::atomic<PyObject*>* object_home(std::atomic<PyObject*>& main_home, std::atomic<unsigned>& id) noexcept;

// Like object_home for native state: `main_value` in the main interpreter, else this interpreter's
// instance, made by `make` (placement construction into `size` bytes) on first use. Null when the
// interpreter has no record or the allocation failed (no exception is set).
void* native_home(void* main_value, std::atomic<unsigned>& id, std::size_t size, void (*make)(void*),
                  void (*release)(void*)) noexcept;

// Sets the error for a cell used while its interpreter shuts down.
void raise_gone() noexcept;

template <class T, void (*Release)(T&)>
class PerInterpreter {
    static_assert(std::is_trivially_destructible_v<T>, "the main interpreter's instance is never destroyed");
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

public:
    constexpr PerInterpreter() noexcept = default;

    // This interpreter's instance, or null when its record is gone or could not be allocated.
    T* get() noexcept {
        if (!others_loaded()) [[likely]] return &main_;
        return static_cast<T*>(native_home(&main_, id_, sizeof(T), &make, &release));
    }

private:
    static void make(void* p) noexcept { new (p) T(); }
    static void release(void* p) noexcept { Release(*static_cast<T*>(p)); }

    T main_{};
    std::atomic<unsigned> id_{0};
};

}  // namespace trovix::interp
