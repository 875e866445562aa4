// Integer buffer intake: recognises one-dimensional buffers of machine integers (numeric arrays,
// bytes, bytearray, array.array, memoryview) so that native kernels can scan their raw memory.
//
// Only objects whose iteration is the integers in their memory qualify: exact bytes, bytearray,
// memoryview, array.array, NumPy ndarray and memmap, their subclasses that replace neither
// iteration nor item access, and other exporters without any iteration or item access of their
// own. Anything else (mmap, whose items are bytes objects; a masked array; a subclass with its own
// __iter__ or __getitem__) takes the general path, which iterates it.
//
// Any one-dimensional layout qualifies: contiguous, strided (every second element, a reversed
// view, a broadcast value) and the byte order opposite to the machine's, as long as every element
// is aligned to its size. Kernels read the elements through `IntSpan`, which hands them either the
// memory itself (contiguous, native order) or native-order copies of consecutive blocks.
//
// `int_buffer(obj)` returns an `IntBuf` (the element type plus the held view) or an empty one. An
// export that fails with an ordinary error just does not qualify; one that fails with
// KeyboardInterrupt, SystemExit, MemoryError (anything but an ordinary Exception) leaves the
// IntBuf empty and `failed()`, with that exception set, for the caller to pass on. Callers must
// still check `scannable()` (a data pointer for a non-empty view) before touching memory;
// otherwise they drop the IntBuf and take their general object path.
//
// The memory may change under a kernel at any time (shared memory, a file being written, another
// thread): a kernel reads each element once and never trusts a value it read to stay within
// bounds it derived from earlier reads.
//
// `int_fast_hash_enabled()` is the process-wide answer to "does the call-free hash of a compact
// exact int agree with the interpreter's own hash", computed once by a self-check.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

namespace trovix {

// Element types in the order in which the intake tries them; the value is the variant's tag.
enum class IntKind : std::uint8_t { I64 = 0, U8 = 1, I32 = 2, U64 = 3, U32 = 4, I16 = 5, U16 = 6, I8 = 7 };

class IntBuf {
public:
    IntBuf() noexcept = default;
    IntBuf(IntBuf&&) noexcept = default;
    IntBuf& operator=(IntBuf&&) noexcept = default;
    ~IntBuf() = default;

    explicit operator bool() const noexcept { return view_ != nullptr; }
    // The export raised an exception that must propagate (it is set).
    bool failed() const noexcept { return failed_; }
    IntKind kind() const noexcept { return kind_; }
    // Element 0; null for an empty IntBuf (also one whose view was released).
    const void* data() const noexcept { return view_ ? view_->buf : nullptr; }
    // Number of elements; 0 for an empty IntBuf.
    std::size_t size() const noexcept {
        return view_ ? static_cast<std::size_t>(view_->shape[0]) : 0;
    }
    // Distance in bytes from one element to the next (may be negative or zero).
    Py_ssize_t stride() const noexcept { return view_ ? view_->strides[0] : 0; }
    // Elements stored in the byte order opposite to the machine's.
    bool swapped() const noexcept { return swapped_; }
    // Safe to read: a data pointer for every element there is.
    bool scannable() const noexcept { return view_ != nullptr && (view_->buf != nullptr || size() == 0); }
    // The garbage collector's look at the exporting object.
    int traverse(visitproc visit, void* arg) const noexcept {
        if (view_) Py_VISIT(view_->obj);
        return 0;
    }
    // Releases the view now (on the calling thread, attached to the interpreter).
    void reset() noexcept { view_.reset(); }

private:
    friend IntBuf int_buffer(PyObject* obj) noexcept;
    struct Release {
        void operator()(Py_buffer* view) const noexcept;
    };
    std::unique_ptr<Py_buffer, Release> view_;  // fixed heap address for the view's whole life
    IntKind kind_ = IntKind::I64;
    bool failed_ = false;
    bool swapped_ = false;
};

[[nodiscard]] IntBuf int_buffer(PyObject* obj) noexcept;

bool int_fast_hash_enabled() noexcept;

template <class T>
inline T byte_swapped(T v) noexcept {
    // Plain shifts: compilers turn this into their byte-swap instruction.
    auto u = static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(v));
    std::uint64_t r = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i, u >>= 8) r = (r << 8) | (u & 0xff);
    return static_cast<T>(static_cast<std::make_unsigned_t<T>>(r));
}

// The elements of a scannable IntBuf as values of type T, in any layout.
template <class T>
struct IntSpan {
    static constexpr std::size_t kBlock = 1024;

    const char* base;   // element 0
    Py_ssize_t stride;  // bytes from one element to the next
    std::size_t n;
    bool swapped;

    std::size_t size() const noexcept { return n; }
    // Every element is the same one (a broadcast value): its memory is read once per element, but
    // a kernel may answer from one read, however long the view claims to be.
    bool repeats_one() const noexcept { return stride == 0 && n > 1; }
    // The memory itself when it holds the elements in order and in native byte order, else null.
    const T* contiguous() const noexcept {
        return stride == static_cast<Py_ssize_t>(sizeof(T)) && !swapped ? reinterpret_cast<const T*>(base) : nullptr;
    }
    T operator[](std::size_t i) const noexcept {
        T v;
        std::memcpy(&v, base + static_cast<Py_ssize_t>(i) * stride, sizeof(T));
        return swapped ? byte_swapped(v) : v;
    }
    // Copies elements [begin, begin + count) to `out`, in native byte order.
    void gather(T* out, std::size_t begin, std::size_t count) const noexcept {
        if (const T* p = contiguous()) {
            std::memcpy(out, p + begin, count * sizeof(T));
            return;
        }
        const char* p = base + static_cast<Py_ssize_t>(begin) * stride;
        const Py_ssize_t step = stride;
        // Separate loops, so that neither tests the byte order per element.
        if (swapped) {
            for (std::size_t i = 0; i < count; ++i, p += step) {
                T v;
                std::memcpy(&v, p, sizeof(T));
                out[i] = byte_swapped(v);
            }
        } else {
            for (std::size_t i = 0; i < count; ++i, p += step) std::memcpy(&out[i], p, sizeof(T));
        }
    }
    // Calls `f(const T* values, std::size_t len)` on consecutive blocks of [begin, end): the memory
    // itself when contiguous, else native-order copies of at most kBlock elements. Stops early,
    // answering false, when `f` answers false.
    template <class F>
    bool for_blocks(std::size_t begin, std::size_t end, F&& f) const {
        if (begin >= end) return true;
        if (const T* p = contiguous()) return f(p + begin, end - begin);
        T block[kBlock];
        for (std::size_t at = begin; at < end; at += kBlock) {
            std::size_t len = std::min(kBlock, end - at);
            gather(block, at, len);
            if (!f(static_cast<const T*>(block), len)) return false;
        }
        return true;
    }
};

template <class T>
IntSpan<T> int_span(const IntBuf& buf) noexcept {
    return {static_cast<const char*>(buf.data()), buf.stride(), buf.size(), sizeof(T) > 1 && buf.swapped()};
}

// Calls `f(IntSpan<T>)` with the buffer's elements typed by its kind.
template <class F>
decltype(auto) visit_int_buffer(const IntBuf& buf, F&& f) {
    switch (buf.kind()) {
        case IntKind::I64: return f(int_span<std::int64_t>(buf));
        case IntKind::U8: return f(int_span<std::uint8_t>(buf));
        case IntKind::I32: return f(int_span<std::int32_t>(buf));
        case IntKind::U64: return f(int_span<std::uint64_t>(buf));
        case IntKind::U32: return f(int_span<std::uint32_t>(buf));
        case IntKind::I16: return f(int_span<std::int16_t>(buf));
        case IntKind::U16: return f(int_span<std::uint16_t>(buf));
        case IntKind::I8: break;
    }
    return f(int_span<std::int8_t>(buf));
}

// A new Python int for a buffer element.
template <class T>
inline PyObject* box_int(T v) noexcept {
    if constexpr (std::is_same_v<T, std::uint64_t>) return PyLong_FromUnsignedLongLong(v);
    else return PyLong_FromLong(static_cast<long>(v));
}

}  // namespace trovix
