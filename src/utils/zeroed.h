// Zero-filled arrays for the native kernels' tables (calloc'd, freed with the owner).
//
// Plain calloc on purpose: a table freed by one call is usually handed back by the allocator to
// the next one, already mapped, where a fresh mapping would pay a page fault per page touched
// again (on virtual machines, the dominant cost of a large table).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace trovix {

template <class T>
class ZeroedArray {
public:
    ZeroedArray() noexcept = default;
    // `n` zero elements; throws std::bad_alloc when memory is short.
    explicit ZeroedArray(std::size_t n) : n_(n) {
        if (n == 0) return;
        data_ = static_cast<T*>(std::calloc(n, sizeof(T)));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    // `n` elements left as the allocator hands them out, for a caller that fills them all.
    struct Uninitialised {};
    static constexpr Uninitialised kUninitialised{};
    ZeroedArray(std::size_t n, Uninitialised) : n_(n) {
        if (n == 0) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        data_ = static_cast<T*>(std::malloc(n * sizeof(T)));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    ZeroedArray(ZeroedArray&& o) noexcept : data_(std::exchange(o.data_, nullptr)), n_(std::exchange(o.n_, 0)) {}
    ZeroedArray& operator=(ZeroedArray&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            n_ = std::exchange(o.n_, 0);
        }
        return *this;
    }
    ZeroedArray(const ZeroedArray&) = delete;
    ZeroedArray& operator=(const ZeroedArray&) = delete;
    ~ZeroedArray() { std::free(data_); }

    T* get() const noexcept { return data_; }
    T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t size() const noexcept { return n_; }

private:
    T* data_ = nullptr;
    std::size_t n_ = 0;
};

}  // namespace trovix
