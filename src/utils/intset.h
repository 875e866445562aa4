// IntSet: a set of machine integers for the native `unique` / `isdistinct` scans.
//
// 8- and 16-bit elements use a direct bitmap (no hashing at all). Wider elements keep the values
// near the first one in a bitmap as well (data with a narrow range never probes a table) and the
// others in an open-addressing table with linear probing: the home slot takes the top bits of
// value x 0x517cc1b727220a95 (the FxHasher multiplier), so values that share their low bits
// (multiples of 1024, say) still spread over the table. The value 0 marks a free slot and is
// tracked by a separate flag. The table is never more than half full.
//
// Both parts are sized from the values inserted so far, never from the input's length, so that
// a scan that stops early pays only for what it looked at. The bitmap starts small around the
// first value and doubles towards a value that falls outside it while it stays within a few
// dozen bits per value held (a permutation of 0..n-1 ends up entirely in the bitmap, whatever its
// order); values of the table that the grown bitmap covers move into it.
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

    void prefetch(T) const noexcept {}

    // True when `x` was not in the set (it is now).
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
template <class T>
class IntSet<T, std::enable_if_t<(sizeof(T) > 2)>> {
public:
    using Bits = std::make_unsigned_t<T>;

    IntSet() noexcept = default;
    IntSet(const IntSet&) = delete;
    IntSet& operator=(const IntSet&) = delete;
    IntSet(IntSet&& o) noexcept { swap(o); }
    IntSet& operator=(IntSet&& o) noexcept {
        IntSet dropped;
        dropped.swap(o);
        swap(dropped);
        return *this;
    }
    ~IntSet() {
        std::free(slots_);
        std::free(window_);
    }

    // True when `x` was not in the set (it is now).
    bool insert(T x) {
        auto v = static_cast<Bits>(x);
        auto off = static_cast<Bits>(v - base_);
        if (off < window_bits_) [[likely]] return set_bit(off);
        return insert_outside(v);
    }

    std::size_t size() const noexcept { return size_; }

    // Starts loading the home slot of `x` (for a scan that looks a few elements ahead).
    void prefetch(T x) const noexcept {
        if (slots_ != nullptr) TROVIX_PREFETCH(&slots_[home(static_cast<Bits>(x))]);
    }

private:
    static constexpr std::size_t kFirstWindow = 4096;  // bits
    static constexpr std::size_t kBitsPerValue = 256;  // the most the bitmap spends per value held
    static constexpr std::size_t kMaxWindow =
        std::min<std::size_t>(std::size_t{1} << 30, std::numeric_limits<Bits>::max() / 2 + 1);

    void swap(IntSet& o) noexcept {
        std::swap(window_, o.window_);
        std::swap(base_, o.base_);
        std::swap(window_bits_, o.window_bits_);
        std::swap(slots_, o.slots_);
        std::swap(capacity_, o.capacity_);
        std::swap(mask_, o.mask_);
        std::swap(shift_, o.shift_);
        std::swap(count_, o.count_);
        std::swap(size_, o.size_);
        std::swap(has_zero_, o.has_zero_);
    }

    // Sets the bitmap's bit at offset `off` (inside the window); true if it was clear.
    bool set_bit(Bits off) noexcept {
        std::uint64_t bit = std::uint64_t{1} << (off & 63);
        std::uint64_t& word = window_[off >> 6];
        if (word & bit) return false;
        word |= bit;
        ++size_;
        return true;
    }

    TROVIX_NOINLINE bool insert_outside(Bits v) {
        if (window_ == nullptr) open_window(v);
        else if (!widen_towards(v)) return insert_hashed(v);
        return set_bit(static_cast<Bits>(v - base_));  // now in the bitmap
    }

    void open_window(Bits first) {
        window_ = static_cast<std::uint64_t*>(std::calloc(kFirstWindow / 64, sizeof(std::uint64_t)));
        if (window_ == nullptr) throw std::bad_alloc();
        window_bits_ = static_cast<Bits>(kFirstWindow);
        base_ = static_cast<Bits>(first - kFirstWindow / 2);
    }

    // Doubles the bitmap towards `v` (keeping its old range) as long as that does not spend more
    // than kBitsPerValue bits per value held; true when it then covers `v`.
    bool widen_towards(Bits v) {
        std::size_t bits = window_bits_;
        std::size_t limit = std::min(kMaxWindow, std::bit_floor(kBitsPerValue * (size_ + 1)));
        if (2 * bits > limit) return false;
        // How far `v` lies beyond each end of the bitmap (modulo the type's range).
        auto above = static_cast<Bits>(v - base_ - static_cast<Bits>(bits));
        auto below = static_cast<Bits>(base_ - v - 1);
        bool up = above <= below;
        auto short_by = static_cast<std::uint64_t>(up ? above : below);  // gap - 1
        if (short_by >= limit - bits) return false;
        std::size_t grown = 2 * bits;
        while (grown - bits <= short_by) grown *= 2;
        auto* fresh = static_cast<std::uint64_t*>(std::calloc(grown / 64, sizeof(std::uint64_t)));
        if (fresh == nullptr) throw std::bad_alloc();
        std::size_t shift_words = up ? 0 : (grown - bits) / 64;
        std::memcpy(fresh + shift_words, window_, bits / 8);
        std::free(std::exchange(window_, fresh));
        if (!up) base_ = static_cast<Bits>(base_ - static_cast<Bits>(grown - bits));
        window_bits_ = static_cast<Bits>(grown);
        take_in_from_table();
        return true;
    }

    // Moves the values of the table that the bitmap now covers into it.
    void take_in_from_table() {
        if (count_ == 0) return;
        auto covers = [this](Bits x) { return static_cast<Bits>(x - base_) < window_bits_; };
        auto set_bit = [this](Bits x) {
            auto off = static_cast<Bits>(x - base_);
            window_[off >> 6] |= std::uint64_t{1} << (off & 63);
        };
        if (has_zero_ && covers(0)) {
            set_bit(0);
            has_zero_ = false;
            --count_;
        }
        std::size_t moved = 0;
        for (std::size_t j = 0; j < capacity_; ++j) {
            if (slots_[j] != 0 && covers(slots_[j])) {
                set_bit(slots_[j]);
                slots_[j] = 0;
                ++moved;
            }
        }
        if (moved == 0) return;
        count_ -= moved;
        rehash(capacity_);  // the emptied slots broke probe sequences
    }

    // The table is never more than half full: before a probe, `2 x count >= capacity` doubles it.
    bool insert_hashed(Bits v) {
        if (2 * (count_ + 1) > capacity_) rehash(std::max<std::size_t>(16, 2 * capacity_));
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

    void rehash(std::size_t capacity) {
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
    Bits window_bits_ = 0;             // 0 until the first insert: every value goes the slow way
    Bits* slots_ = nullptr;            // values outside the window; 0 marks a free slot
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t count_ = 0;  // values in the table (incl. a zero outside the window)
    std::size_t size_ = 0;   // all values
    bool has_zero_ = false;
};

}  // namespace trovix
