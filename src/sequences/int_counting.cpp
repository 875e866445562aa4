// Counting kernels behind `frequencies` on integer buffers.
//
// Three ways of counting, chosen by the data:
//   - values in a narrow range (at most about two entries per element between the smallest and
//     the largest value: ids, permutations, small codes) count in a direct array indexed by
//     value - min;
//   - 8- and 16-bit elements of long buffers count in a direct array over the whole type;
//   - other wide elements count values near the first one (a window of 65536 values) in a direct
//     array and the rest in an open-addressing table (FxHasher multiplier, top bits as the home
//     slot).
// Long wide buffers first count a short prefix: when it shows few values outside the window the
// table goes on (the common case of few distinct values costs no extra pass); otherwise one pass
// finds the value range and a narrow one switches to the direct array.
// Buffers of at least 524288 elements are split across the worker pool when the private tables
// stay small (few distinct values): 8- and 16-bit arrays and per-chunk tables are merged in chunk
// order. The narrow-range array is only chosen for many distinct values and stays on the calling
// thread (per-chunk copies of it would cost more than the counting they share out).
// Key order is always the order of first occurrence in the whole buffer. The result dict is
// built from that order, loading the count of a value a few entries before it is needed.
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
#include "utils/platform.h"
#include "utils/pool.h"
#include "utils/ref.h"
#include "utils/zeroed.h"

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

// ---- shared pieces -------------------------------------------------------------------------------

// How far ahead the loops that look values up at random start loading their memory.
constexpr std::size_t kAhead = 16;

// Buffers up to this length are always checked for a narrow value range first.
constexpr std::size_t kSmall = std::size_t{1} << 12;

// The first values of a longer buffer, counted before anything else is decided.
constexpr std::size_t kFirstLook = std::size_t{1} << 16;

// Consecutive chunks for a parallel pass over `n` values.
struct Chunks {
    std::size_t length;
    std::size_t count;
};

Chunks split(std::size_t n, std::size_t workers) {
    std::size_t pieces = workers * kChunksPerWorker;
    std::size_t length = std::max((n + pieces - 1) / pieces, kMinChunk);
    return {length, (n + length - 1) / length};
}

std::size_t workers_for(std::size_t n) {
    return n < kParallelThreshold ? 1 : std::max<std::size_t>(1, pool::thread_count());
}

// The smallest and the largest value, in the element type's own order.
template <class T>
std::pair<T, T> value_range(const T* data, std::size_t n) {
    T lo = data[0], hi = data[0];
    for (std::size_t i = 1; i < n; ++i) {
        lo = std::min(lo, data[i]);
        hi = std::max(hi, data[i]);
    }
    return {lo, hi};
}

// The result: for each value of `order` (first-occurrence order), the boxed value -> its count.
// `count_at(i)` answers the count of order[i]; it is asked in order, and may start loading the
// memory of later entries.
template <class T, class Bits, class CountAt>
PyObject* count_dict(const std::vector<Bits>& order, CountAt&& count_at) {
    Ref result = Ref::steal(new_dict(order.size()));
    if (!result) return nullptr;
    // Block by block: box the keys and counts first, then insert them. Interleaving each
    // allocation with the dict's random probe costs far more than the two passes.
    constexpr std::size_t kBlock = 1024;
    std::vector<Ref> keys(std::min(kBlock, order.size())), counts(keys.size());
    for (std::size_t start = 0; start < order.size(); start += kBlock) {
        std::size_t len = std::min(kBlock, order.size() - start);
        for (std::size_t j = 0; j < len; ++j) {
            std::uint64_t c = count_at(start + j);
            keys[j] = Ref::steal(box_int(static_cast<T>(order[start + j])));
            counts[j] = Ref::steal(PyLong_FromUnsignedLongLong(c));
            if (!keys[j] || !counts[j]) return nullptr;
        }
        for (std::size_t j = 0; j < len; ++j) {
            if (PyDict_SetItem(result.get(), keys[j].get(), counts[j].get()) < 0) return nullptr;
            keys[j].reset();
            counts[j].reset();
        }
    }
    return result.release();
}

// ---- wide elements: hash table -----------------------------------------------------------------

// Counts per value. Optionally, values near the first one counted (within a window of 65536
// values) count in a direct array; the others in an open-addressing table whose free slots hold
// 0 (the count of a zero outside the window is kept apart).
template <class Bits>
class CountTable {
public:
    // (Narrow element types count without a window: theirs would span the whole type.)
    static constexpr Bits kWindow = static_cast<Bits>(sizeof(Bits) > 2 ? std::uint64_t{1} << 16 : 0);

    // `window`: keep the direct window around the first value (worth its 512 KiB only for long
    // inputs); `expected`: distinct values to make room for.
    explicit CountTable(bool window, std::size_t expected = 8) : window_size_(window ? kWindow : 0) {
        allocate(std::max<std::size_t>(16, std::bit_ceil(2 * expected)));
    }
    // A window over exactly [lo, lo + width) (width at most kWindow; 0 for none), for a table that
    // counts a chunk of values another table has already seen the range of.
    CountTable(Bits lo, std::size_t width, std::size_t expected) : window_size_(static_cast<Bits>(width)) {
        allocate(std::max<std::size_t>(16, std::bit_ceil(2 * expected)));
        if (width > 0) {
            window_ = ZeroedArray<std::uint64_t>(width);
            base_ = lo;
        }
    }

    // The smallest window holding every value counted in this table's window: (lo, width).
    std::pair<Bits, std::size_t> window_extent() const {
        Bits lo = 0, hi = 0;
        bool any = false;
        for (Bits v : order_) {
            if (!in_window(v)) continue;
            auto off = static_cast<Bits>(v - base_);
            lo = any ? std::min(lo, off) : off;
            hi = any ? std::max(hi, off) : off;
            any = true;
        }
        if (!any) return {0, 0};
        return {static_cast<Bits>(base_ + lo), static_cast<std::size_t>(hi - lo) + 1};
    }
    CountTable(const CountTable&) = delete;
    CountTable& operator=(const CountTable&) = delete;

    void count_into(const Bits* values, std::size_t n) {
        if (n == 0) return;
        if (window_size_ != 0 && window_.get() == nullptr) open_window(values[0]);
        std::uint64_t* window = window_.get();
        const Bits base = base_;
        const Bits span = window != nullptr ? window_size_ : 0;
        Slot* slots = slots_.get();
        std::size_t mask = mask_;
        int shift = shift_;
        for (std::size_t i = 0; i < n; ++i) {
            Bits v = values[i];
            auto off = static_cast<Bits>(v - base);
            if (off < span) [[likely]] {
                if (window[off]++ == 0) [[unlikely]] order_.push_back(v);
                continue;
            }
            if (i + kAhead < n) TROVIX_PREFETCH(&slots[home(values[i + kAhead], shift)]);
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
                        slots = slots_.get();
                        mask = mask_;
                        shift = shift_;
                    }
                    break;
                }
                h = (h + 1) & mask;
            }
        }
    }

    // Makes room for `expected` values outside the window without further growth.
    void reserve(std::size_t expected) {
        if (2 * expected > capacity_) allocate(std::bit_ceil(2 * expected));
    }

    // Adds `count` (at least 1) to `v`, appending `v` to the order when it is new.
    void add(Bits v, std::uint64_t count) {
        if (window_size_ != 0 && window_.get() == nullptr) open_window(v);
        if (in_window(v)) {
            auto off = static_cast<Bits>(v - base_);
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
        if (in_window(v)) return window_[static_cast<Bits>(v - base_)];
        if (v == 0) return zero_count_;
        return find_slot(v).count;
    }

    // Starts loading the memory that get(v) will read.
    void prefetch(Bits v) const noexcept {
        if (in_window(v)) TROVIX_PREFETCH(&window_[static_cast<Bits>(v - base_)]);
        else TROVIX_PREFETCH(&slots_[home(v, shift_)]);
    }

    const std::vector<Bits>& order() const noexcept { return order_; }
    // Values counted in the table (outside the window).
    std::size_t hashed() const noexcept { return hashed_ + (zero_count_ != 0); }

private:
    struct Slot {
        Bits key;
        std::uint64_t count;
    };

    static std::size_t home(Bits v, int shift) noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(v) * kFxMultiplier) >> shift);
    }

    bool in_window(Bits v) const noexcept {
        return window_.get() != nullptr && static_cast<Bits>(v - base_) < window_size_;
    }

    void open_window(Bits first) {
        window_ = ZeroedArray<std::uint64_t>(window_size_);
        base_ = static_cast<Bits>(first - window_size_ / 2);
    }

    Slot& find_slot(Bits v) const {
        std::size_t h = home(v, shift_);
        while (slots_[h].key != v && slots_[h].key != 0) h = (h + 1) & mask_;
        return slots_[h];
    }

    void allocate(std::size_t capacity) {
        ZeroedArray<Slot> fresh(capacity);
        ZeroedArray<Slot> old = std::exchange(slots_, std::move(fresh));
        std::size_t old_capacity = std::exchange(capacity_, capacity);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (std::size_t j = 0; j < old_capacity; ++j) {
            if (old[j].key == 0) continue;
            std::size_t h = home(old[j].key, shift_);
            while (slots_[h].key != 0) h = (h + 1) & mask_;
            slots_[h] = old[j];
        }
    }

    Bits window_size_;                   // 0: no window
    ZeroedArray<std::uint64_t> window_;  // counts of [base_, base_ + window_size_), made at first use
    Bits base_ = 0;
    ZeroedArray<Slot> slots_;
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t hashed_ = 0;  // keys in the table
    std::uint64_t zero_count_ = 0;
    std::vector<Bits> order_;
};

// ---- values in a narrow range: a direct array --------------------------------------------------

// Counts of the values in [lo, lo + span), indexed by value - lo, and the values in order of first
// occurrence. `Count` is wide enough for the number of values counted. The range comes from an
// earlier pass over memory that may have changed since: a value outside it (a stray) is counted
// in a table on the side, never used as an index.
template <class Bits, class Count>
struct SpanCounts {
    SpanCounts(Bits lo_, std::size_t span_) : lo(lo_), span(static_cast<Bits>(span_ - 1)), counts(span_) {}

    Bits lo;
    Bits span;  // entries - 1 (the whole range of a type fits)
    ZeroedArray<Count> counts;
    std::vector<Bits> order;
    std::unique_ptr<CountTable<Bits>> strays;

    bool holds(Bits v) const noexcept { return static_cast<Bits>(v - lo) <= span; }

    void count(const Bits* values, std::size_t n) {
        // An array that outgrows the caches is read at random: load a few values ahead.
        if (counts.size() * sizeof(Count) > (std::size_t{1} << 20)) count_loop<true>(values, n);
        else count_loop<false>(values, n);
    }

    template <bool kPrefetch>
    void count_loop(const Bits* values, std::size_t n) {
        Count* c = counts.get();
        const Bits base = lo;
        const Bits last = span;
        for (std::size_t i = 0; i < n; ++i) {
            if constexpr (kPrefetch) {
                if (i + kAhead < n) TROVIX_PREFETCH(&c[std::min(static_cast<Bits>(values[i + kAhead] - base), last)]);
            }
            Bits v = values[i];
            auto off = static_cast<Bits>(v - base);
            if (off > last) [[unlikely]] {
                count_stray(v);
                continue;
            }
            if (c[off]++ == 0) [[unlikely]] order.push_back(v);
        }
    }

    void count_stray(Bits v) {
        if (!strays) strays = std::make_unique<CountTable<Bits>>(false);
        std::size_t before = strays->order().size();
        strays->add(v, 1);
        if (strays->order().size() != before) order.push_back(v);
    }

    std::uint64_t get(Bits v) const {
        if (holds(v)) return counts[static_cast<Bits>(v - lo)];
        return strays->get(v);
    }

    void prefetch(Bits v) const noexcept {
        if (holds(v)) TROVIX_PREFETCH(&counts[static_cast<Bits>(v - lo)]);
    }
};

template <class T, class Count>
PyObject* build_span(const T* data, std::size_t n, T lo, std::size_t span) {
    using Bits = std::make_unsigned_t<T>;
    const Bits* values = reinterpret_cast<const Bits*>(data);
    // On this thread: a narrow range is taken only where the first values showed many distinct
    // ones, and per-chunk arrays of that many values cost more to set up and merge than the
    // counting they would share out.
    SpanCounts<Bits, Count> main(static_cast<Bits>(lo), span);
    main.order.reserve(std::min(n, span));
    main.count(values, n);
    const auto& order = main.order;
    return count_dict<T>(order, [&](std::size_t i) -> std::uint64_t {
        if (i + kAhead < order.size()) main.prefetch(order[i + kAhead]);
        return main.get(order[i]);
    });
}

// The span of [lo, hi] when it is narrow enough for a direct array (at most a few entries per
// value counted), else 0.
template <class T>
std::size_t narrow_span(T lo, T hi, std::size_t n) {
    using Bits = std::make_unsigned_t<T>;
    auto width = static_cast<std::uint64_t>(static_cast<Bits>(static_cast<Bits>(hi) - static_cast<Bits>(lo)));
    std::uint64_t limit = 2 * static_cast<std::uint64_t>(n) + 1024;
    return width < limit ? static_cast<std::size_t>(width + 1) : 0;
}

template <class T>
PyObject* build_span_any(const T* data, std::size_t n, T lo, std::size_t span) {
    if (n <= UINT32_MAX) return build_span<T, std::uint32_t>(data, n, lo, span);
    return build_span<T, std::uint64_t>(data, n, lo, span);
}

// Counts the rest of a buffer of which `done` values are counted, on this thread; first makes
// room for as many distinct values as those counted so far promise.
template <class Bits>
void count_rest_serially(CountTable<Bits>& table, const Bits* values, std::size_t done, std::size_t n) {
    if (done > 0 && 2 * table.hashed() > done) {
        table.reserve(static_cast<std::size_t>(static_cast<double>(table.hashed()) / static_cast<double>(done) * static_cast<double>(n)));
    }
    table.count_into(values + done, n - done);
}

// Wide elements whose values are not in a narrow range (or not known to be): the table, in
// parallel when the first values show few distinct ones.
template <class T>
PyObject* build_hashed(const T* data, std::size_t n, std::size_t workers, CountTable<std::make_unsigned_t<T>>& table,
                       std::size_t done) {
    using Bits = std::make_unsigned_t<T>;
    const Bits* values = reinterpret_cast<const Bits*>(data);
    if (workers == 1 || table.order().size() > done / 8) {
        count_rest_serially(table, values, done, n);
    } else {
        const Bits* rest = values + done;
        std::size_t rest_n = n - done;
        Chunks chunks = split(rest_n, workers);
        // Each chunk's table gets a window just over the range the first values showed and room
        // for as many other values: a few kilobytes each where the data has few distinct values,
        // rather than a large block per chunk.
        auto [lo, width] = table.window_extent();
        std::size_t expected = table.hashed();
        std::vector<std::unique_ptr<CountTable<Bits>>> partials(chunks.count);
        pool::run(chunks.count, [&](std::size_t c) {
            std::size_t begin = c * chunks.length;
            auto part = std::make_unique<CountTable<Bits>>(lo, width, expected);
            part->count_into(rest + begin, std::min(chunks.length, rest_n - begin));
            partials[c] = std::move(part);
        });
        for (const auto& part : partials) {
            const auto& order = part->order();
            for (std::size_t i = 0; i < order.size(); ++i) {
                if (i + kAhead < order.size()) part->prefetch(order[i + kAhead]);
                table.add(order[i], part->get(order[i]));
            }
        }
    }
    const auto& order = table.order();
    return count_dict<T>(order, [&](std::size_t i) -> std::uint64_t {
        if (i + kAhead < order.size()) table.prefetch(order[i + kAhead]);
        return table.get(order[i]);
    });
}

template <class T>
PyObject* build_wide(const T* data, std::size_t n) {
    using Bits = std::make_unsigned_t<T>;
    if (n == 0) return PyDict_New();
    if (n <= kSmall) {
        auto [lo, hi] = value_range(data, n);
        if (std::size_t span = narrow_span(lo, hi, n)) return build_span_any(data, n, lo, span);
        CountTable<Bits> table(false, n);
        table.count_into(reinterpret_cast<const Bits*>(data), n);
        return build_hashed(data, n, 1, table, n);
    }
    // A look at the first values decides: few of them outside the window around the first value
    // (a narrow range, or few distinct values) keeps the table; many send a buffer whose whole
    // range turns out narrow (ids, permutations) to a direct array instead.
    std::size_t workers = workers_for(n);
    std::size_t first = std::min(n, workers == 1 ? kFirstLook : std::min((n + workers - 1) / workers, kProbeLength));
    CountTable<Bits> table(true);
    table.count_into(reinterpret_cast<const Bits*>(data), first);
    if (table.hashed() > first / 8) {
        auto [lo, hi] = value_range(data, n);
        if (std::size_t span = narrow_span(lo, hi, n)) return build_span_any(data, n, lo, span);
    }
    return build_hashed(data, n, workers, table, first);
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
        if (counts[v] == 0) continue;  // the memory changed between the two passes
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
    return visit_int_buffer(buf, [](const auto& span) -> PyObject* {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(span.contiguous())>>;
        std::size_t n = span.size();
        if (n == 0) return PyDict_New();
        if (span.repeats_one()) return count_dict<T>(std::vector<std::make_unsigned_t<T>>{
                                                         static_cast<std::make_unsigned_t<T>>(span[0])},
                                                     [n](std::size_t) -> std::uint64_t { return n; });
        const T* data = span.contiguous();
        // Any other layout is counted from a native-order copy: the kernels below read their input
        // more than once, and at full speed only as a flat array.
        ZeroedArray<T> copy;
        if (data == nullptr) {
            copy = ZeroedArray<T>(n, ZeroedArray<T>::kUninitialised);
            span.gather(copy.get(), 0, n);
            data = copy.get();
        }
        if constexpr (sizeof(T) <= 2) {
            if (n <= kSmall) {
                auto [lo, hi] = value_range(data, n);
                if (std::size_t width = narrow_span(lo, hi, n)) return build_span_any(data, n, lo, width);
                // A few values far apart: a small table rather than an array over the whole type.
                CountTable<std::make_unsigned_t<T>> table(false, n);
                table.count_into(reinterpret_cast<const std::make_unsigned_t<T>*>(data), n);
                return build_hashed(data, n, 1, table, n);
            }
            return build_direct(data, n);
        } else {
            return build_wide(data, n);
        }
    });
}

}  // namespace trovix::sequences
