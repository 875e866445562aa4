// Integer buffer intake: recognises one-dimensional buffers of machine integers (numeric arrays,
// bytes, bytearray, array.array, memoryview) so that native kernels can scan their raw memory.
//
// Only objects whose iteration is the integers in their memory qualify: exact bytes, bytearray,
// memoryview, array.array, NumPy ndarray and memmap, their subclasses that replace neither
// iteration nor item access, and other exporters without any iteration or item access of their
// own. Anything else (mmap, whose items are bytes objects; a masked array; a subclass with its own
// __iter__ or __getitem__) takes the general path, which iterates it.
//
// `int_buffer(obj)` returns an `IntBuf` (the element type plus the held view) or an empty one. An
// export that fails with an ordinary error just does not qualify; one that fails with
// KeyboardInterrupt, SystemExit, MemoryError (anything but an ordinary Exception) leaves the
// IntBuf empty and `failed()`, with that exception set, for the caller to pass on. Callers must
// still check `scannable()` (C-contiguous, non-null data) before touching memory; otherwise they
// drop the IntBuf and take their general object path.
//
// `int_fast_hash_enabled()` is the process-wide answer to "does the call-free hash of a compact
// exact int agree with the interpreter's own hash", computed once by a self-check.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
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
    const void* data() const noexcept { return view_->buf; }
    // Number of elements (byte length / item size).
    std::size_t size() const noexcept {
        return static_cast<std::size_t>(view_->len) / static_cast<std::size_t>(view_->itemsize);
    }
    // C-contiguous with a non-null data pointer: safe to read as a flat array.
    bool scannable() const noexcept;
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
};

[[nodiscard]] IntBuf int_buffer(PyObject* obj) noexcept;

bool int_fast_hash_enabled() noexcept;

// Calls `f(const T* data, std::size_t n)` with the buffer's elements typed by its kind.
template <class F>
decltype(auto) visit_int_buffer(const IntBuf& buf, F&& f) {
    const void* p = buf.data();
    std::size_t n = buf.size();
    switch (buf.kind()) {
        case IntKind::I64: return f(static_cast<const std::int64_t*>(p), n);
        case IntKind::U8: return f(static_cast<const std::uint8_t*>(p), n);
        case IntKind::I32: return f(static_cast<const std::int32_t*>(p), n);
        case IntKind::U64: return f(static_cast<const std::uint64_t*>(p), n);
        case IntKind::U32: return f(static_cast<const std::uint32_t*>(p), n);
        case IntKind::I16: return f(static_cast<const std::int16_t*>(p), n);
        case IntKind::U16: return f(static_cast<const std::uint16_t*>(p), n);
        case IntKind::I8: break;
    }
    return f(static_cast<const std::int8_t*>(p), n);
}

// A new Python int for a buffer element.
template <class T>
inline PyObject* box_int(T v) noexcept {
    if constexpr (std::is_same_v<T, std::uint64_t>) return PyLong_FromUnsignedLongLong(v);
    else return PyLong_FromLong(static_cast<long>(v));
}

}  // namespace trovix
