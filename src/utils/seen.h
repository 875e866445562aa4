// Structures that recognise Python objects seen before, with Python equality.
//
// Each object is hashed once (`py_hash`, with the small-int shortcut when the process-wide fast
// hash is enabled); the hash is stored beside the object, so probing and growth never call back
// into Python, and equality is asked only between objects of equal hash, identity first (and
// for two exact `str` objects, by comparing their characters directly).
//
//   PySeen           a set of objects (the lazy `unique`).
//   ChainMap<V>      Python hash -> chain of keys of that hash, beside `entries`, the distinct
//                    keys in first-seen order with a per-key value V (`groupby`, `countby`,
//                    `frequencies`).
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "utils/errors.h"
#include "utils/hash.h"
#include "utils/platform.h"

namespace trovix {

// The hash of `x` when it costs no call: the cached hash of an exact str, or (with the
// shortcut) the value of a compact exact int.
inline bool cheap_hash(PyObject* x, bool small_int_shortcut, Py_hash_t& out) noexcept {
    PyTypeObject* type = Py_TYPE(x);
    if (type == &PyUnicode_Type) {
        out = reinterpret_cast<PyASCIIObject*>(x)->hash;
        return out != -1;
    }
    if (small_int_shortcut && type == &PyLong_Type) {
        auto* v = reinterpret_cast<PyLongObject*>(x);
        if (!PyUnstable_Long_IsCompact(v)) return false;
        Py_ssize_t value = PyUnstable_Long_CompactValue(v);
        out = value == -1 ? -2 : static_cast<Py_hash_t>(value);
        return true;
    }
    return false;
}

// Tables with fewer slots than this stay in the fast caches: looking ahead would cost more than
// it hides.
inline constexpr std::size_t kPrefetchMinSlots = std::size_t{1} << 15;

// `stored == x` for two objects of equal hash: 1, 0, or -1 with an exception set. Two exact str
// or two small exact int objects are compared directly.
inline int keys_equal(PyObject* stored, PyObject* x) noexcept {
    if (stored == x) return 1;
    if (PyUnicode_CheckExact(stored) && PyUnicode_CheckExact(x)) {
        Py_ssize_t len = PyUnicode_GET_LENGTH(stored);
        if (len != PyUnicode_GET_LENGTH(x)) return 0;
        int kind = PyUnicode_KIND(stored);
        if (kind != PyUnicode_KIND(x)) return 0;
        return std::memcmp(PyUnicode_DATA(stored), PyUnicode_DATA(x), static_cast<std::size_t>(len) * kind) == 0;
    }
    if (PyLong_CheckExact(stored) && PyLong_CheckExact(x)) {
        auto* a = reinterpret_cast<PyLongObject*>(stored);
        auto* b = reinterpret_cast<PyLongObject*>(x);
        if (PyUnstable_Long_IsCompact(a) && PyUnstable_Long_IsCompact(b)) {
            return PyUnstable_Long_CompactValue(a) == PyUnstable_Long_CompactValue(b);
        }
    }
    return PyObject_RichCompareBool(stored, x, Py_EQ);
}

// Mixing of a Python hash for the chain map's index: h × 0x9e3779b97f4a7c15 (wrapping); the
// index uses the top bits of the product.
struct PyHashHasher {
    static constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ULL;
    static std::uint64_t mix(Py_hash_t h) noexcept { return static_cast<std::uint64_t>(h) * kMultiplier; }
};

class PySeen {
public:
    explicit PySeen(bool small_int_shortcut);
    PySeen(const PySeen&) = delete;
    PySeen& operator=(const PySeen&) = delete;
    PySeen(PySeen&& other) noexcept;
    ~PySeen();

    // 1 when `x` was new (the set now holds a reference to it), 0 when an equal object was
    // already there, -1 with an exception set (unhashable object, raising __eq__).
    int insert(PyObject* x);

    std::size_t size() const noexcept { return used_; }

    // Drops every stored object (the garbage collector's clear); the set is then empty.
    void clear() noexcept;

    // The garbage collector's look at the stored objects.
    int traverse(visitproc visit, void* arg) const noexcept {
        for (const Owned& o : owned_) Py_VISIT(o.obj);
        return 0;
    }

    // Starts loading the table slot where `x` would go, when its hash is known without a call
    // (an exact str with a cached hash, or a small exact int): lets a walk over a long list
    // overlap the cache misses of consecutive inserts. Never calls into Python.
    // Only worth it once the table has outgrown the fast caches.
    void prefetch(PyObject* x) const noexcept {
        Py_hash_t h;
        if (mask_ < kPrefetchMinSlots) return;
        if (cheap_hash(x, shortcut_, h)) TROVIX_PREFETCH(&slots_[home(static_cast<std::size_t>(h), shift_)]);
    }

private:
    static std::size_t home(std::size_t uh, int shift) noexcept {
        return static_cast<std::size_t>(PyHashHasher::mix(static_cast<Py_hash_t>(uh)) >> shift);
    }

    // The table stays small (8 bytes a slot): the position + 1 of the object in `owned_`
    // (0 = free) and the low 32 bits of its hash as a tag, so that probing past other objects
    // never has to read `owned_`; the full hash lives beside the object there.
    struct Slot {
        std::uint32_t pos1;
        std::uint32_t tag;
    };
    struct Owned {
        PyObject* obj;  // strong reference
        Py_hash_t hash;
    };
    void grow();

    std::vector<Owned> owned_;  // every inserted object, in insertion order
    Slot* slots_ = nullptr;
    std::size_t mask_ = 31;
    int shift_ = 64 - 5;
    std::size_t used_ = 0;
    bool shortcut_;
};

template <class V>
class ChainMap {
public:
    struct Entry {
        PyObject* key;  // strong reference
        Py_hash_t hash;
        V value;
    };

    explicit ChainMap(bool small_int_shortcut) : shortcut_(small_int_shortcut) { allocate(32); }
    ChainMap(const ChainMap&) = delete;
    ChainMap& operator=(const ChainMap&) = delete;
    ~ChainMap() {
        for (Entry& e : entries_) Py_DECREF(e.key);
        std::free(slots_);
    }

    // The position of `key` in `entries` (adding (key, V{}) when no equal key is there; `is_new`
    // tells which), or -1 with an exception set. `key` is borrowed; the map takes its own
    // reference when it stores it.
    //
    // Keys of equal hash form a chain: they sit along one probe sequence in first-seen order
    // (linear probing from the same home slot, never reordered: growth re-inserts in `entries`
    // order), so the search compares with them in that order, identity first.
    Py_ssize_t find_or_add(PyObject* key, bool& is_new) {
        Py_hash_t h = py_hash(key, shortcut_);
        if (h == -1) [[unlikely]] return -1;
        auto tag = static_cast<std::uint32_t>(static_cast<std::uint64_t>(h));
        std::size_t i = home(h);
        while (true) {
            Slot s = slots_[i];
            if (s.pos1 == 0) break;
            if (s.tag == tag) {
                std::uint32_t pos = s.pos1 - 1;
                // `entries_` may not move while __eq__ runs (nothing else touches the map), but
                // index it afresh anyway rather than hold a reference across the call.
                if (entries_[pos].hash == h) {
                    PyObject* stored = entries_[pos].key;
                    if (stored == key) [[likely]] {
                        is_new = false;
                        return pos;
                    }
                    int eq = keys_equal(stored, key);
                    if (eq < 0) return -1;
                    if (eq) {
                        is_new = false;
                        return pos;
                    }
                }
            }
            i = (i + 1) & mask_;
        }
        if (entries_.size() >= kMaxKeys) throw Fault("too many distinct keys (more than 2**32 - 2)");
        // Make room first: a failed allocation must leave the map unchanged.
        if (entries_.size() == entries_.capacity()) entries_.reserve(std::max<std::size_t>(32, 2 * entries_.capacity()));
        if (2 * (mask_ + 1) < 3 * (entries_.size() + 1)) {
            allocate(4 * (mask_ + 1));
            i = home(h);
            while (slots_[i].pos1 != 0) i = (i + 1) & mask_;
        }
        entries_.push_back(Entry{Py_NewRef(key), h, V{}});
        slots_[i] = Slot{static_cast<std::uint32_t>(entries_.size()), tag};
        is_new = true;
        return static_cast<Py_ssize_t>(entries_.size() - 1);
    }

    std::vector<Entry>& entries() noexcept { return entries_; }

    // Makes room for `expected` distinct keys at once (a walk that finds mostly new keys would
    // otherwise grow the table and `entries` step by step, copying both every time).
    void reserve(std::size_t expected) {
        expected = std::min(expected, kMaxKeys);
        if (expected > entries_.capacity()) entries_.reserve(expected);
        if (2 * (mask_ + 1) < 3 * expected) allocate(std::bit_ceil(3 * expected / 2 + 1));
    }

    // Starts loading the slot of `x` when its hash costs no call (see PySeen::prefetch).
    void prefetch(PyObject* x) const noexcept {
        Py_hash_t h;
        if (mask_ < kPrefetchMinSlots) return;
        if (cheap_hash(x, shortcut_, h)) TROVIX_PREFETCH(&slots_[home(h)]);
    }

private:
    static constexpr std::size_t kMaxKeys = 0xFFFFFFFEu;
    // Position + 1 of the key in `entries_` (0 = free) and the low 32 bits of its hash as a tag.
    struct Slot {
        std::uint32_t pos1;
        std::uint32_t tag;
    };

    std::size_t home(Py_hash_t h) const noexcept { return static_cast<std::size_t>(PyHashHasher::mix(h) >> shift_); }

    // Four times the slots, filled again in `entries` order.
    void allocate(std::size_t capacity) {
        auto* fresh = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
        if (fresh == nullptr) throw std::bad_alloc();
        std::free(slots_);
        slots_ = fresh;
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (std::size_t pos = 0; pos < entries_.size(); ++pos) {
            std::size_t i = home(entries_[pos].hash);
            while (slots_[i].pos1 != 0) i = (i + 1) & mask_;
            slots_[i] = Slot{static_cast<std::uint32_t>(pos + 1), static_cast<std::uint32_t>(static_cast<std::uint64_t>(entries_[pos].hash))};
        }
    }

    std::vector<Entry> entries_;
    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    int shift_ = 64;
    bool shortcut_;
};

}  // namespace trovix
