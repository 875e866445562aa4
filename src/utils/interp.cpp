#include "utils/interp.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

namespace trovix::interp {

std::atomic<bool> g_others{false};

namespace {

// More cells or native values than this would be a change of the module itself: the slots of a
// record are fixed so that a reader never races with a growing table.
constexpr unsigned kMaxObjects = 512;
constexpr unsigned kMaxNatives = 32;

constexpr const char kCapsuleName[] = "trovix._trovix.interpreter_state";

struct Native {
    std::atomic<void*> value{nullptr};
    void (*release)(void*) = nullptr;
};

// One interpreter's values (not the main interpreter's). Objects and natives are written with that
// interpreter attached and read by its threads only.
struct Record {
    PyInterpreterState* interp;
    std::atomic<PyObject*> objects[kMaxObjects] = {};
    Native natives[kMaxNatives] = {};
};

std::atomic<unsigned> g_object_ids{0}, g_native_ids{0};

// The records of the live interpreters. `g_generation` changes whenever one is removed, which
// invalidates every thread's cache (an interpreter made later may reuse a freed one's address).
std::mutex g_registry_mutex;
std::vector<Record*>* g_registry = nullptr;  // allocated on first use, never freed
std::atomic<std::uint64_t> g_generation{1};
std::once_flag g_atfork_once;

struct Cache {
    PyInterpreterState* interp;
    std::uint64_t generation;
    Record* record;
};
thread_local Cache t_cache = {nullptr, 0, nullptr};

// A forked child keeps only the main interpreter: the records of the others describe objects that
// no longer exist. They are dropped (leaked; their memory belonged to interpreters the child never
// runs) and the registry lock, which another thread may have held, is replaced.
void forget_records_in_child() noexcept {
    new (&g_registry_mutex) std::mutex();
    if (g_registry != nullptr) g_registry->clear();
    g_generation.fetch_add(1, std::memory_order_release);
}

Record* find(PyInterpreterState* interp) noexcept {
    std::lock_guard lock(g_registry_mutex);
    if (g_registry == nullptr) return nullptr;
    for (Record* r : *g_registry) {
        if (r->interp == interp) return r;
    }
    return nullptr;
}

// The calling interpreter's record, or null when it has none; `main` tells the main interpreter
// (which has no record).
Record* current(bool& main) noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    main = interp == PyInterpreterState_Main();
    if (main) return nullptr;
    std::uint64_t generation = g_generation.load(std::memory_order_acquire);
    Cache& cache = t_cache;
    if (cache.interp == interp && cache.generation == generation) [[likely]] return cache.record;
    Record* record = find(interp);
    cache = {interp, generation, record};
    return record;
}

unsigned index_of(std::atomic<unsigned>& id, std::atomic<unsigned>& counter, unsigned limit) noexcept {
    unsigned i = id.load(std::memory_order_acquire);
    if (i != 0) [[likely]] return i - 1;
    unsigned fresh = counter.fetch_add(1, std::memory_order_relaxed) + 1;
    if (fresh > limit) Py_FatalError("trovix: more per-interpreter values than a record holds");
    // Two first uses may race: one number wins, the other is never used again.
    if (!id.compare_exchange_strong(i, fresh, std::memory_order_acq_rel)) return i - 1;
    return fresh - 1;
}

// Releases a record when its interpreter's dictionary is cleared. The record leaves the registry
// first, so that anything its releases set off finds the interpreter gone instead of refilling it.
void release_record(PyObject* capsule) noexcept {
    auto* record = static_cast<Record*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (record == nullptr) {
        PyErr_Clear();
        return;
    }
    {
        std::lock_guard lock(g_registry_mutex);
        if (g_registry != nullptr) {
            auto it = std::find(g_registry->begin(), g_registry->end(), record);
            if (it != g_registry->end()) g_registry->erase(it);
        }
    }
    g_generation.fetch_add(1, std::memory_order_release);
    PyObject* pending = PyErr_GetRaisedException();
    // Natives first: they may watch objects held below (curry's dictionary watcher).
    for (Native& n : record->natives) {
        if (void* value = n.value.exchange(nullptr)) {
            n.release(value);
            ::operator delete(value);
        }
    }
    for (unsigned i = kMaxObjects; i-- > 0;) {
        Py_XDECREF(record->objects[i].exchange(nullptr));
    }
    delete record;
    PyErr_SetRaisedException(pending);
}

}  // namespace

int attach() noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (interp == PyInterpreterState_Main() || find(interp) != nullptr) return 0;
    std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, forget_records_in_child); });
    auto* record = new (std::nothrow) Record();
    if (record == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    record->interp = interp;
    PyObject* capsule = PyCapsule_New(record, kCapsuleName, release_record);
    if (capsule == nullptr) {
        delete record;
        return -1;
    }
    PyObject* dict = PyInterpreterState_GetDict(interp);
    if (dict == nullptr || PyDict_SetItemString(dict, kCapsuleName, capsule) < 0) {
        // The capsule's destructor frees the record; it was never registered.
        Py_DECREF(capsule);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no per-interpreter dictionary");
        return -1;
    }
    Py_DECREF(capsule);  // the interpreter's dictionary owns it now
    {
        std::lock_guard lock(g_registry_mutex);
        if (g_registry == nullptr) g_registry = new (std::nothrow) std::vector<Record*>();
        bool added = false;
        if (g_registry != nullptr) {
            try {
                g_registry->push_back(record);
                added = true;
            } catch (...) {
            }
        }
        if (!added) {
            PyErr_NoMemory();
            return -1;  // the record stays owned by the dictionary, unused
        }
    }
    g_generation.fetch_add(1, std::memory_order_release);
    g_others.store(true, std::memory_order_release);
    return 0;
}

std::atomic<PyObject*>* object_home(std::atomic<PyObject*>& main_home, std::atomic<unsigned>& id) noexcept {
    bool main;
    Record* record = current(main);
    if (main) return &main_home;
    if (record == nullptr) return nullptr;
    return &record->objects[index_of(id, g_object_ids, kMaxObjects)];
}

void* native_home(void* main_value, std::atomic<unsigned>& id, std::size_t size, void (*make)(void*),
                  void (*release)(void*)) noexcept {
    bool main;
    Record* record = current(main);
    if (main) return main_value;
    if (record == nullptr) return nullptr;
    Native& n = record->natives[index_of(id, g_native_ids, kMaxNatives)];
    if (void* value = n.value.load(std::memory_order_acquire)) [[likely]] return value;
    void* value = ::operator new(size, std::nothrow);
    if (value == nullptr) return nullptr;
    make(value);
    n.release = release;
    void* expected = nullptr;
    if (!n.value.compare_exchange_strong(expected, value, std::memory_order_acq_rel)) {
        release(value);
        ::operator delete(value);
        return expected;
    }
    return value;
}

void raise_gone() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "trovix cannot be used while this interpreter shuts down");
}

}  // namespace trovix::interp
