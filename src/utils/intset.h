// IntSet: a set of machine integers for the native `unique` / `isdistinct` scans.
//
// 8- and 16-bit elements use a direct bitmap (no hashing at all). Wider elements keep the values
// within 2**19 of the first one in a bitmap as well (data with a narrow range never probes a
// table) and the others in an open-addressing table with linear probing: the home slot takes the
// top bits of value x 0x517cc1b727220a95 (the FxHasher multiplier), so values that share their
// low bits (multiples of 1024, say) still spread over the table. The value 0 marks a free slot
// and is tracked by a separate flag. The table is never more than half full.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace trovix {

inline constexpr std::uint64_t kFxMultiplier = 0x517cc1b727220a95ULL;

template <class T, class Enable = void>
class IntSet;

// Bitmap variant for 8- and 16-bit elements.
template <class T>
class IntSet<T, std::enable_if_t<(sizeof(T) <= 2)>> {
public:
    using Bits = std::make_unsigned_t<T>;
    IntSet() noexcept = default;
    explicit IntSet(std::size_t) noexcept {}

    // True when `x` was not in the set (it is now).
    void prefetch(T) const noexcept {}

    bool insert(T x) noexcept {
        auto v = static_cast<Bits>(x);
        std::uint64_t bit = std::uint64_t{1} << (v & 63);
        std::uint64_t& word = words_[v >> 6];
        if (word & bit) return false;
        word |= bit;
        return true;
    }

private:
    std::uint64_t words_[(std::size_t{1} << (8 * sizeof(T))) / 64] = {};
};

// Hash-table variant for 32- and 64-bit elements (unsigned and signed share the bit patterns).
// Values near the first one inserted (within a window of 2**20 values) live in a bitmap instead:
// data with a narrow range, the common case, never probes the table.
template <class T>
class IntSet<T, std::enable_if_t<(sizeof(T) > 2)>> {
public:
    using Bits = std::make_unsigned_t<T>;
    static constexpr Bits kWindow = Bits{1} << 20;

    IntSet() noexcept = default;
    // Starts with room for `capacity` slots (rounded up to a power of two, at least 16).
    explicit IntSet(std::size_t capacity) { grow_to(std::max<std::size_t>(16, std::bit_ceil(capacity))); }
    IntSet(const IntSet&) = delete;
    IntSet& operator=(const IntSet&) = delete;
    ~IntSet() {
        std::free(slots_);
        std::free(window_);
    }

    // True when `x` was not in the set (it is now).
    bool insert(T x) {
        auto v = static_cast<Bits>(x);
        if (window_ == nullptr) [[unlikely]] open_window(v);
        auto off = static_cast<Bits>(v - base_);
        if (off < kWindow) [[likely]] {
            std::uint64_t bit = std::uint64_t{1} << (off & 63);
            std::uint64_t& word = window_[off >> 6];
            if (word & bit) return false;
            word |= bit;
            ++size_;
            return true;
        }
        return insert_hashed(v);
    }

    std::size_t size() const noexcept { return size_; }

    // Starts loading the home slot of `x` (for a scan that looks a few elements ahead).
    void prefetch(T x) const noexcept {
        if (slots_ != nullptr) __builtin_prefetch(&slots_[home(static_cast<Bits>(x))]);
    }

private:
    void open_window(Bits first) {
        window_ = static_cast<std::uint64_t*>(std::calloc(kWindow / 64, sizeof(std::uint64_t)));
        if (window_ == nullptr) throw std::bad_alloc();
        base_ = static_cast<Bits>(first - kWindow / 2);
    }

    // The table is never more than half full: before a probe, `2 x count >= capacity` doubles it.
    bool insert_hashed(Bits v) {
        if (2 * (count_ + 1) > capacity_) grow_to(std::max<std::size_t>(16, 2 * capacity_));
        if (v == 0) {
            if (has_zero_) return false;
            has_zero_ = true;
            ++count_;
            ++size_;
            return true;
        }
        std::size_t i = home(v);
        while (true) {
            Bits s = slots_[i];
            if (s == v) return false;
            if (s == 0) {
                slots_[i] = v;
                ++count_;
                ++size_;
                return true;
            }
            i = (i + 1) & mask_;
        }
    }

    std::size_t home(Bits v) const noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(v) * kFxMultiplier) >> shift_);
    }

    void grow_to(std::size_t capacity) {
        auto* fresh = static_cast<Bits*>(std::calloc(capacity, sizeof(Bits)));
        if (fresh == nullptr) throw std::bad_alloc();
        Bits* old = std::exchange(slots_, fresh);
        std::size_t old_capacity = std::exchange(capacity_, capacity);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        for (std::size_t j = 0; j < old_capacity; ++j) {
            Bits v = old[j];
            if (v == 0) continue;
            std::size_t i = home(v);
            while (slots_[i] != 0) i = (i + 1) & mask_;
            slots_[i] = v;
        }
        std::free(old);
    }

    std::uint64_t* window_ = nullptr;  // bitmap of [base_, base_ + kWindow), made at the first insert
    Bits base_ = 0;
    Bits* slots_ = nullptr;            // values outside the window; 0 marks a free slot
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t count_ = 0;  // values in the table (incl. a zero outside the window)
    std::size_t size_ = 0;   // all values
    bool has_zero_ = false;
};

}  // namespace trovix
