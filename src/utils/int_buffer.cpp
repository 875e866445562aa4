#include "utils/int_buffer.h"

#include <bit>
#include <cstring>
#include <mutex>
#include <new>

#include "utils/errors.h"
#include "utils/imports.h"
#include "utils/ref.h"

namespace trovix {

namespace {

struct KindInfo {
    std::size_t size;
    bool is_signed;
};

constexpr KindInfo kKinds[] = {
    {8, true},   // I64
    {1, false},  // U8
    {4, true},   // I32
    {8, false},  // U64
    {4, false},  // U32
    {2, true},   // I16
    {2, false},  // U16
    {1, true},   // I8
};

constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';

// Decodes a struct-style format into (size, signedness, byte order). Native sizes without a prefix
// or with '@'; standard sizes with '=', '<', '>' or '!' ('<', '>' and '!' name a byte order, which
// may be the machine's own or the opposite one). Multi-item formats and non-integer codes decode
// to nothing. 'c' decodes like 'B' (the caller rejects it afterwards).
bool decode_format(const char* format, KindInfo& out, bool& foreign) noexcept {
    if (format == nullptr) format = "B";
    bool standard = false;
    foreign = false;
    char first = format[0];
    if (first == '@') {
        ++format;
    } else if (first == '=' || first == '<' || first == '>' || first == '!') {
        standard = true;
        foreign = first != '=' && (first == '<') != (kNativeOrder == '<');
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return false;
    switch (format[0]) {
        case 'b': out = {1, true}; return true;
        case 'B': case 'c': out = {1, false}; return true;
        case 'h': out = {2, true}; return true;
        case 'H': out = {2, false}; return true;
        case 'i': out = {4, true}; return true;
        case 'I': out = {4, false}; return true;
        case 'l': out = standard ? KindInfo{4, true} : KindInfo{sizeof(long), true}; return true;
        case 'L': out = standard ? KindInfo{4, false} : KindInfo{sizeof(long), false}; return true;
        case 'q': out = {8, true}; return true;
        case 'Q': out = {8, false}; return true;
        case 'n': if (standard) return false; out = {sizeof(Py_ssize_t), true}; return true;
        case 'N': if (standard) return false; out = {sizeof(std::size_t), false}; return true;
        default: return false;
    }
}

// The call-free hash of an exact int, when it applies: compact value, with -1 mapped to -2.
bool compact_hash(PyObject* obj, Py_hash_t& out) noexcept {
    if (!PyLong_CheckExact(obj)) return false;
    auto* v = reinterpret_cast<PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(v)) return false;
    Py_ssize_t value = PyUnstable_Long_CompactValue(v);
    out = value == -1 ? -2 : static_cast<Py_hash_t>(value);
    return true;
}

bool run_fast_hash_self_check() noexcept {
    const long long must_match[] = {0, 1, -1, -2, 5, 256, 257, 1073741823, -1073741823};
    for (long long value : must_match) {
        PyObject* obj = PyLong_FromLongLong(value);
        if (obj == nullptr) {
            PyErr_Clear();
            return false;
        }
        Py_hash_t fast = 0;
        bool ok = compact_hash(obj, fast) && fast == PyObject_Hash(obj);
        Py_DECREF(obj);
        if (!ok) {
            PyErr_Clear();
            return false;
        }
    }
    const long long may_skip[] = {1099511627776LL, -1099511627776LL, 9223372036854775807LL,
                                  -9223372036854775807LL};
    for (long long value : may_skip) {
        PyObject* obj = PyLong_FromLongLong(value);
        if (obj == nullptr) {
            PyErr_Clear();
            return false;
        }
        Py_hash_t fast = 0;
        bool ok = !compact_hash(obj, fast) || fast == PyObject_Hash(obj);
        Py_DECREF(obj);
        if (!ok) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// ---- which exporters' memory stands for their iteration ------------------------------------------

// 1 / 0, or -1 with an exception that must propagate (an ordinary failure counts as 0).
int fail_or_zero() noexcept { return clear_ordinary_error() ? 0 : -1; }

// numpy.ndarray is a static type: no class defined in Python can carry its name.
bool is_numpy_ndarray(PyTypeObject* t) noexcept {
    return !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) && std::strcmp(t->tp_name, "numpy.ndarray") == 0;
}

// numpy.memmap, a Python subclass of ndarray whose item access differs only for slices.
int is_numpy_memmap(PyTypeObject* t) noexcept {
    if (std::strcmp(t->tp_name, "memmap") != 0 || t->tp_base == nullptr || !is_numpy_ndarray(t->tp_base)) return 0;
    Ref module = Ref::steal(PyType_GetModuleName(t));
    if (!module) return fail_or_zero();
    return PyUnicode_EqualToUTF8(module.get(), "numpy");
}

int is_array_array(PyTypeObject* t) noexcept {
    if (std::strcmp(t->tp_name, "array.array") != 0) return 0;
    PyObject* array_type = cached_attr(ARRAY_TYPE);  // already imported: an instance exists
    if (array_type == nullptr) return fail_or_zero();
    return reinterpret_cast<PyObject*>(t) == array_type;
}

// The classes whose iteration yields exactly the integers stored in their memory (for NumPy,
// scalars equal to them): 1, 0, or -1 with an exception set.
int iterates_its_memory(PyTypeObject* t) noexcept {
    if (t == &PyBytes_Type || t == &PyByteArray_Type || t == &PyMemoryView_Type) return 1;
    if (is_numpy_ndarray(t)) return 1;
    if (int r = is_array_array(t)) return r;
    return is_numpy_memmap(t);
}

OnceCell g_iter_name, g_getitem_name;

// Whether `sub` and its ancestor `base` find the same `name` attribute: 1, 0, or -1 with an
// exception set. (The slots themselves cannot tell: a Python subclass of a class with both item
// slots gets a generic sq_item even when it overrides nothing.)
int same_attr(PyTypeObject* sub, PyTypeObject* base, OnceCell& cell, const char* name) noexcept {
    PyObject* interned = cell.get_or_init([name]() -> PyObject* { return PyUnicode_InternFromString(name); });
    if (interned == nullptr) return -1;
    Ref a = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(sub), interned));
    if (!a) return fail_or_zero();
    Ref b = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(base), interned));
    if (!b) return fail_or_zero();
    return a.get() == b.get();
}

bool has_item_access(PyTypeObject* t) noexcept {
    return t->tp_iter != nullptr || (t->tp_as_sequence != nullptr && t->tp_as_sequence->sq_item != nullptr) ||
           (t->tp_as_mapping != nullptr && t->tp_as_mapping->mp_subscript != nullptr);
}

// Whether reading the buffer of an instance of `type` gives what iterating it gives: the type or
// the nearest such ancestor is one of the classes above and `type` replaces neither its iteration
// nor its item access; or, for any other exporter, the type has no iteration or item access at
// all. 1, 0, or -1 with an exception set.
int memory_matches_iteration(PyTypeObject* type) noexcept {
    for (PyTypeObject* t = type; t != nullptr; t = t->tp_base) {
        int r = iterates_its_memory(t);
        if (r < 0) return -1;
        if (r == 0) continue;
        if (t == type || type->tp_iter != t->tp_iter) return t == type;
        r = same_attr(type, t, g_iter_name, "__iter__");
        return r <= 0 ? r : same_attr(type, t, g_getitem_name, "__getitem__");
    }
    return !has_item_access(type);
}

std::once_flag g_fast_hash_once;
bool g_fast_hash = false;

}  // namespace

void IntBuf::Release::operator()(Py_buffer* view) const noexcept {
    PyBuffer_Release(view);
    delete view;
}

IntBuf int_buffer(PyObject* obj) noexcept {
    IntBuf result;
    if (PyObject_CheckBuffer(obj) != 1) return result;
    if (int matches = memory_matches_iteration(Py_TYPE(obj)); matches <= 0) {
        result.failed_ = matches < 0;
        return result;
    }
    auto* raw = new (std::nothrow) Py_buffer;
    if (raw == nullptr) return result;
    if (PyObject_GetBuffer(obj, raw, PyBUF_FULL_RO) != 0) {
        result.failed_ = !clear_ordinary_error();
        delete raw;
        return result;
    }
    std::unique_ptr<Py_buffer, IntBuf::Release> view(raw);
    if (raw->shape == nullptr || raw->strides == nullptr) return result;
    KindInfo decoded{};
    bool foreign = false;
    if (!decode_format(raw->format, decoded, foreign)) return result;
    // Every element must be aligned to its size: the first one, and each step from one to the next.
    auto address = reinterpret_cast<std::uintptr_t>(raw->buf);
    auto step = static_cast<std::uintptr_t>(raw->ndim >= 1 ? raw->strides[0] : 0);
    // The first element type (in tag order) that the view matches decides; one view answers all
    // eight attempts because the checks only read its metadata.
    for (int tag = 0; tag < 8; ++tag) {
        const KindInfo& k = kKinds[tag];
        if (static_cast<std::size_t>(raw->itemsize) != k.size) continue;
        if (decoded.size != k.size || decoded.is_signed != k.is_signed) continue;
        if (address % k.size != 0 || step % k.size != 0) continue;
        if (raw->ndim != 1) return result;
        if (raw->suboffsets != nullptr && raw->suboffsets[0] >= 0) return result;  // pointers, not values
        if (raw->format != nullptr && std::strchr(raw->format, 'c') != nullptr) return result;
        result.view_ = std::move(view);
        result.kind_ = static_cast<IntKind>(tag);
        result.swapped_ = foreign && k.size > 1;
        return result;
    }
    return result;
}

bool int_fast_hash_enabled() noexcept {
    std::call_once(g_fast_hash_once, [] { g_fast_hash = run_fast_hash_self_check(); });
    return g_fast_hash;
}

}  // namespace trovix
