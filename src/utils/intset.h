// IntSet: a set of machine integers for the native `unique` / `isdistinct` scans.
//
// 8- and 16-bit elements use a direct bitmap (no hashing at all). Wider elements keep the values
// near the first one in a bitmap as well (data with a narrow range never probes a table; the
// bitmap spans about four values per expected element, so a permutation of 0..n-1 fits whatever
// its first value, and a short buffer costs a few words instead of a large zeroed block) and the
// others in an open-addressing table with linear probing: the home slot takes the
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
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "utils/platform.h"

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
    IntSet(std::size_t, std::size_t) noexcept {}

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
// Values near the first one inserted live in a bitmap instead: data with a narrow range, the
// common case, never probes the table.
template <class T>
class IntSet<T, std::enable_if_t<(sizeof(T) > 2)>> {
public:
    using Bits = std::make_unsigned_t<T>;

    // `capacity`: table slots to start with (0: none until a value falls outside the bitmap;
    // otherwise rounded up to a power of two, at least 16). `expected`: how many values the set
    // may receive, which sizes the bitmap (between 64 and 2**30 values).
    IntSet(std::size_t capacity, std::size_t expected) {
        std::size_t bits = std::bit_ceil(std::max<std::size_t>(4 * std::min<std::size_t>(expected, kMaxWindow), 64));
        window_bits_ = static_cast<Bits>(std::min<std::size_t>(bits, kMaxWindow));
        if (capacity > 0) grow_to(std::max<std::size_t>(16, std::bit_ceil(capacity)));
    }
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
        if (off < window_bits_) [[likely]] {
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
        if (slots_ != nullptr) TROVIX_PREFETCH(&slots_[home(static_cast<Bits>(x))]);
    }

private:
    static constexpr std::size_t kMaxWindow = std::min<std::size_t>(std::size_t{1} << 30, std::numeric_limits<Bits>::max() / 2 + 1);

    void open_window(Bits first) {
        window_ = static_cast<std::uint64_t*>(std::calloc(window_bits_ / 64, sizeof(std::uint64_t)));
        if (window_ == nullptr) throw std::bad_alloc();
        base_ = static_cast<Bits>(first - window_bits_ / 2);
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

    std::uint64_t* window_ = nullptr;  // bitmap of [base_, base_ + window_bits_), made at the first insert
    Bits base_ = 0;
    Bits window_bits_ = 64;
    Bits* slots_ = nullptr;            // values outside the window; 0 marks a free slot
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t count_ = 0;  // values in the table (incl. a zero outside the window)
    std::size_t size_ = 0;   // all values
    bool has_zero_ = false;
};

}  // namespace trovix
