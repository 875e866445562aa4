// Counting kernels behind `frequencies` on integer buffers.
//
// 8- and 16-bit elements count into a direct array indexed by the value. Wider elements count
// values near the first one (a window of 65536 values) in a direct array too, and the others in
// an open-addressing table (FxHasher multiplier, top bits as the home slot). Buffers of at least
// 524288 elements are split across the worker pool: direct arrays simply add up; for wider
// elements a short serial prefix is counted first, and only when it shows few distinct values
// (at most 1/8 of its length) is the rest counted in parallel chunks, merged in chunk order.
// Key order is always the order of first occurrence in the whole buffer.
#include "sequences/int_counting.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "sequences/result_dict.h"
#include "utils/int_buffer.h"
#include "utils/intset.h"
#include "utils/pool.h"
#include "utils/ref.h"

namespace trovix::sequences {

namespace {

constexpr std::size_t kParallelThreshold = std::size_t{1} << 19;
// Longest serial prefix that decides whether the rest of a wide-element buffer is counted in
// parallel. Shorter than a whole worker's share, so that the parallel part keeps every worker
// busy (with a probe of n / workers, two workers would leave one of them idle).
constexpr std::size_t kProbeLength = std::size_t{1} << 17;
// Shortest parallel chunk: each chunk pays for a private table, so a very large pool does not cut
// a buffer into slivers.
constexpr std::size_t kMinChunk = std::size_t{1} << 16;
// A few chunks per worker, so that a worker slowed down by other processes on its core holds up
// only a small part of the buffer.
constexpr std::size_t kChunksPerWorker = 4;

// ---- wide elements: hash table -----------------------------------------------------------------

// Counts per value. Values near the first one counted (within a window of 65536 values) count in
// a direct array; the others in an open-addressing table whose free slots hold 0 (the count of a
// zero outside the window is kept apart).
template <class Bits>
class CountTable {
public:
    static constexpr Bits kWindow = Bits{1} << 16;

    CountTable() { allocate(16); }
    CountTable(const CountTable&) = delete;
    CountTable& operator=(const CountTable&) = delete;
    ~CountTable() {
        std::free(slots_);
        std::free(window_);
    }

    void count_into(const Bits* values, std::size_t n) {
        if (n == 0) return;
        if (window_ == nullptr) open_window(values[0]);
        std::uint64_t* window = window_;
        const Bits base = base_;
        Slot* slots = slots_;
        std::size_t mask = mask_;
        int shift = shift_;
        for (std::size_t i = 0; i < n; ++i) {
            Bits v = values[i];
            auto off = static_cast<Bits>(v - base);
            if (off < kWindow) [[likely]] {
                if (window[off]++ == 0) [[unlikely]] order_.push_back(v);
                continue;
            }
            if (i + 16 < n) __builtin_prefetch(&slots[home(values[i + 16], shift)]);
            if (v == 0) [[unlikely]] {
                if (zero_count_++ == 0) order_.push_back(0);
                continue;
            }
            std::size_t h = home(v, shift);
            while (true) {
                Slot& s = slots[h];
                if (s.key == v) [[likely]] {
                    ++s.count;
                    break;
                }
                if (s.key == 0) {
                    s.key = v;
                    s.count = 1;
                    order_.push_back(v);
                    if (2 * ++hashed_ > capacity_) {
                        allocate(2 * capacity_);
                        slots = slots_;
                        mask = mask_;
                        shift = shift_;
                    }
                    break;
                }
                h = (h + 1) & mask;
            }
        }
    }

    // Adds `count` (at least 1) to `v`, appending `v` to the order when it is new.
    void add(Bits v, std::uint64_t count) {
        if (window_ == nullptr) open_window(v);
        auto off = static_cast<Bits>(v - base_);
        if (off < kWindow) {
            if (window_[off] == 0) order_.push_back(v);
            window_[off] += count;
            return;
        }
        if (v == 0) {
            if (zero_count_ == 0) order_.push_back(0);
            zero_count_ += count;
            return;
        }
        Slot& s = find_slot(v);
        if (s.key == 0) {
            s.key = v;
            s.count = count;
            order_.push_back(v);
            if (2 * ++hashed_ > capacity_) allocate(2 * capacity_);
        } else {
            s.count += count;
        }
    }

    std::uint64_t get(Bits v) const {
        if (window_ != nullptr) {
            auto off = static_cast<Bits>(v - base_);
            if (off < kWindow) return window_[off];
        }
        if (v == 0) return zero_count_;
        return find_slot(v).count;
    }

    const std::vector<Bits>& order() const noexcept { return order_; }

private:
    struct Slot {
        Bits key;
        std::uint64_t count;
    };

    static std::size_t home(Bits v, int shift) noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(v) * kFxMultiplier) >> shift);
    }

    void open_window(Bits first) {
        window_ = static_cast<std::uint64_t*>(std::calloc(kWindow, sizeof(std::uint64_t)));
        if (window_ == nullptr) throw std::bad_alloc();
        base_ = static_cast<Bits>(first - kWindow / 2);
    }

    Slot& find_slot(Bits v) const {
        std::size_t h = home(v, shift_);
        while (slots_[h].key != v && slots_[h].key != 0) h = (h + 1) & mask_;
        return slots_[h];
    }

    void allocate(std::size_t capacity) {
        auto* fresh = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
        if (fresh == nullptr) throw std::bad_alloc();
        Slot* old = std::exchange(slots_, fresh);
        std::size_t old_capacity = std::exchange(capacity_, capacity);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (std::size_t j = 0; j < old_capacity; ++j) {
            if (old[j].key == 0) continue;
            std::size_t h = home(old[j].key, shift_);
            while (slots_[h].key != 0) h = (h + 1) & mask_;
            slots_[h] = old[j];
        }
        std::free(old);
    }

    std::uint64_t* window_ = nullptr;  // counts of [base_, base_ + kWindow)
    Bits base_ = 0;
    Slot* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t hashed_ = 0;  // keys in the table
    std::uint64_t zero_count_ = 0;
    std::vector<Bits> order_;
};

template <class Bits>
void count_wide(CountTable<Bits>& table, const Bits* values, std::size_t n) {
    if (n < kParallelThreshold) {
        table.count_into(values, n);
        return;
    }
    std::size_t workers = std::max<std::size_t>(1, pool::thread_count());
    if (workers == 1) {
        table.count_into(values, n);
        return;
    }
    std::size_t probe = std::min((n + workers - 1) / workers, kProbeLength);
    table.count_into(values, probe);
    if (table.order().size() > probe / 8) {
        table.count_into(values + probe, n - probe);
        return;
    }
    const Bits* rest = values + probe;
    std::size_t rest_n = n - probe;
    std::size_t pieces = workers * kChunksPerWorker;
    std::size_t chunk = std::max((rest_n + pieces - 1) / pieces, kMinChunk);
    std::size_t nchunks = (rest_n + chunk - 1) / chunk;
    std::vector<std::unique_ptr<CountTable<Bits>>> partials(nchunks);
    pool::run(nchunks, [&](std::size_t c) {
        std::size_t begin = c * chunk;
        std::size_t len = std::min(chunk, rest_n - begin);
        auto part = std::make_unique<CountTable<Bits>>();
        part->count_into(rest + begin, len);
        partials[c] = std::move(part);
    });
    for (const auto& part : partials) {
        for (Bits v : part->order()) table.add(v, part->get(v));
    }
}

template <class T>
PyObject* build_wide(const T* data, std::size_t n) {
    using Bits = std::make_unsigned_t<T>;
    CountTable<Bits> table;
    count_wide(table, reinterpret_cast<const Bits*>(data), n);
    Ref result = Ref::steal(new_dict(table.order().size()));
    if (!result) return nullptr;
    for (Bits v : table.order()) {
        Ref key = Ref::steal(box_int(static_cast<T>(v)));
        if (!key) return nullptr;
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(table.get(v)));
        if (!count || PyDict_SetItem(result.get(), key.get(), count.get()) < 0) return nullptr;
    }
    return result.release();
}

// ---- narrow elements: direct arrays -------------------------------------------------------------

template <class Bits>
constexpr std::size_t kDirectSize = std::size_t{1} << (8 * sizeof(Bits));

// Adds the count of each value to `counts` (kDirectSize<Bits> entries).
template <class Bits>
void count_direct(const Bits* values, std::size_t n, std::uint64_t* counts) {
    if constexpr (sizeof(Bits) == 1) {
        // Four interleaved tables keep consecutive equal bytes from serialising on one counter.
        std::uint64_t lanes[4][256] = {};
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            ++lanes[0][values[i]];
            ++lanes[1][values[i + 1]];
            ++lanes[2][values[i + 2]];
            ++lanes[3][values[i + 3]];
        }
        for (; i < n; ++i) ++lanes[0][values[i]];
        for (std::size_t v = 0; v < 256; ++v) counts[v] += lanes[0][v] + lanes[1][v] + lanes[2][v] + lanes[3][v];
    } else {
        for (std::size_t i = 0; i < n; ++i) ++counts[values[i]];
    }
}

template <class T>
PyObject* build_direct(const T* data, std::size_t n) {
    using Bits = std::make_unsigned_t<T>;
    constexpr std::size_t kSize = kDirectSize<Bits>;
    const Bits* values = reinterpret_cast<const Bits*>(data);
    std::vector<std::uint64_t> counts(kSize, 0);
    std::size_t workers = n < kParallelThreshold ? 1 : std::max<std::size_t>(1, pool::thread_count());
    if (workers == 1) {
        count_direct(values, n, counts.data());
    } else {
        std::size_t pieces = workers * kChunksPerWorker;
        std::size_t chunk = std::max((n + pieces - 1) / pieces, kMinChunk);
        std::size_t nchunks = (n + chunk - 1) / chunk;
        std::vector<std::vector<std::uint64_t>> partials(nchunks);
        pool::run(nchunks, [&](std::size_t c) {
            std::size_t begin = c * chunk;
            std::vector<std::uint64_t> part(kSize, 0);
            count_direct(values + begin, std::min(chunk, n - begin), part.data());
            partials[c] = std::move(part);
        });
        for (const auto& part : partials) {
            for (std::size_t v = 0; v < kSize; ++v) counts[v] += part[v];
        }
    }
    std::size_t distinct = 0;
    for (std::size_t v = 0; v < kSize; ++v) distinct += counts[v] != 0;
    // First-occurrence order: scan from the start until every distinct value has shown up.
    std::vector<Bits> order;
    order.reserve(distinct);
    IntSet<T> seen;
    for (std::size_t i = 0; i < n && order.size() < distinct; ++i) {
        if (seen.insert(data[i])) order.push_back(values[i]);
    }
    Ref result = Ref::steal(new_dict(order.size()));
    if (!result) return nullptr;
    for (Bits v : order) {
        Ref key = Ref::steal(box_int(static_cast<T>(v)));
        if (!key) return nullptr;
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(counts[v]));
        if (!count || PyDict_SetItem(result.get(), key.get(), count.get()) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace

PyObject* frequencies_int(PyObject* seq, bool& qualified) {
    IntBuf buf = int_buffer(seq);
    if (buf.failed()) {
        qualified = true;  // the export's exception is the answer
        return nullptr;
    }
    qualified = buf && buf.scannable();
    if (!qualified) return nullptr;
    return visit_int_buffer(buf, [](const auto* data, std::size_t n) -> PyObject* {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        if constexpr (sizeof(T) <= 2) return build_direct(data, n);
        else return build_wide(data, n);
    });
}

}  // namespace trovix::sequences
