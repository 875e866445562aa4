#include "utils/interp.h"

#include <mutex>

#include "utils/platform.h"

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
    std::atomic<PyObject*> objects[kMaxObjects] = {};
    Native natives[kMaxNatives] = {};
};

std::atomic<unsigned> g_object_ids{0}, g_native_ids{0};

// The records of the live interpreters other than the main one, read without a lock: a thread
// scans the used part of the table for its own interpreter. An entry is written (record, then
// interpreter) and cleared only by its own interpreter (when it executes the module first, and
// while it shuts down, when none of its other threads runs), so a reader never meets an entry of
// its own interpreter half made or half gone; entries of other interpreters never match.
constexpr unsigned kMaxLive = 1024;
struct Entry {
    std::atomic<PyInterpreterState*> interp{nullptr};
    std::atomic<Record*> record{nullptr};
};
Entry g_table[kMaxLive];
std::atomic<unsigned> g_used{0};  // entries at and above this index are empty
std::mutex g_table_mutex;         // serialises adding and removing entries
std::atomic<PyInterpreterState*> g_main{nullptr};  // set before g_others
std::once_flag g_atfork_once;

// A forked child keeps only the main interpreter: the records of the others describe objects that
// no longer exist. They are dropped (leaked; their memory belonged to interpreters the child never
// runs) and the table lock, which another thread may have held, is replaced.
void forget_records_in_child() {
    new (&g_table_mutex) std::mutex();
    for (Entry& e : g_table) {
        e.interp.store(nullptr, std::memory_order_relaxed);
        e.record.store(nullptr, std::memory_order_relaxed);
    }
    g_used.store(0, std::memory_order_release);
}

Record* find(PyInterpreterState* interp) noexcept {
    unsigned used = g_used.load(std::memory_order_acquire);
    for (unsigned i = 0; i < used; ++i) {
        if (g_table[i].interp.load(std::memory_order_acquire) == interp) {
            return g_table[i].record.load(std::memory_order_relaxed);
        }
    }
    return nullptr;
}

// The calling interpreter's record, or null when it has none; `main` tells the main interpreter
// (which has no record).
Record* current(bool& main) noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    PyInterpreterState* main_interp = g_main.load(std::memory_order_relaxed);
    if (main_interp == nullptr) [[unlikely]] main_interp = PyInterpreterState_Main();
    main = interp == main_interp;
    return main ? nullptr : find(interp);
}

bool add_entry(PyInterpreterState* interp, Record* record) noexcept {
    std::lock_guard lock(g_table_mutex);
    unsigned used = g_used.load(std::memory_order_relaxed);
    unsigned i = 0;
    while (i < used && g_table[i].interp.load(std::memory_order_relaxed) != nullptr) ++i;
    if (i == kMaxLive) return false;
    g_table[i].record.store(record, std::memory_order_relaxed);
    g_table[i].interp.store(interp, std::memory_order_release);
    if (i == used) g_used.store(used + 1, std::memory_order_release);
    return true;
}

void remove_entry(Record* record) noexcept {
    std::lock_guard lock(g_table_mutex);
    unsigned used = g_used.load(std::memory_order_relaxed);
    for (unsigned i = 0; i < used; ++i) {
        if (g_table[i].record.load(std::memory_order_relaxed) == record) {
            g_table[i].interp.store(nullptr, std::memory_order_release);
            g_table[i].record.store(nullptr, std::memory_order_relaxed);
        }
    }
    while (used > 0 && g_table[used - 1].interp.load(std::memory_order_relaxed) == nullptr) --used;
    g_used.store(used, std::memory_order_release);
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

// Releases a record when its interpreter's dictionary is cleared. The record leaves the table
// first, so that anything its releases set off finds the interpreter gone instead of refilling it.
void release_record(PyObject* capsule) noexcept {
    auto* record = static_cast<Record*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (record == nullptr) {
        PyErr_Clear();
        return;
    }
    remove_entry(record);
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
    g_main.store(PyInterpreterState_Main(), std::memory_order_release);
    if (interp == PyInterpreterState_Main() || find(interp) != nullptr) return 0;
    std::call_once(g_atfork_once, [] { platform::at_fork_child(forget_records_in_child); });
    auto* record = new (std::nothrow) Record();
    if (record == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
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
    if (!add_entry(interp, record)) {
        // The record stays owned by the dictionary, unused.
        PyErr_SetString(PyExc_RuntimeError, "too many interpreters use trovix at once");
        return -1;
    }
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
