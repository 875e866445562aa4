// Argument binding shared by every function, method and constructor.
//
// Each callable has one static `Signature`. `bind_fast` binds straight from a vectorcall argument
// array; `bind_tuple` binds an argument tuple plus keyword dict (constructors, `__call__`, `diff`,
// `apply`). Both fill a `BoundArgs`: borrowed pointers for the declared parameters (null when
// absent), plus an owned tuple for `*args` and dict for `**kwargs` when the signature has them.
// On failure they return false with the binding TypeError set, having touched no argument.
//
// After binding, the `as_*` conversions turn values into native types; a failed conversion keeps
// its exception and gains the note "while processing '<name>'".
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "utils/ref.h"

namespace trovix {

inline constexpr int kMaxParams = 8;

struct Signature {
    const char* name = nullptr;   // Python name, e.g. "take" or "__new__"
    const char* cls = nullptr;    // class name for methods and constructors, else null
    std::array<const char*, kMaxParams> params{};  // positional parameters, then keyword-only ones
    std::uint8_t npos = 0;        // positional parameters
    std::uint8_t nrequired = 0;   // leading positional parameters without a default
    std::uint8_t nkwonly = 0;     // keyword-only parameters (all optional)
    bool varargs = false;         // has *args
    bool varkw = false;           // has **kwargs

    constexpr int nparams() const noexcept { return npos + nkwonly; }
};

enum class Extra : std::uint8_t { None = 0, Args = 1, Kwargs = 2, ArgsKwargs = 3 };

// Builds a Signature. `required` < 0 means every positional parameter is required.
consteval Signature make_signature(const char* cls, const char* name,
                                   std::initializer_list<const char*> positional, int required = -1,
                                   Extra extra = Extra::None,
                                   std::initializer_list<const char*> kwonly = {}) {
    Signature s;
    s.cls = cls;
    s.name = name;
    if (positional.size() + kwonly.size() > kMaxParams) throw "too many parameters";
    int i = 0;
    for (const char* p : positional) s.params[i++] = p;
    for (const char* p : kwonly) s.params[i++] = p;
    s.npos = static_cast<std::uint8_t>(positional.size());
    s.nkwonly = static_cast<std::uint8_t>(kwonly.size());
    s.nrequired = static_cast<std::uint8_t>(required < 0 ? positional.size() : required);
    s.varargs = (static_cast<int>(extra) & 1) != 0;
    s.varkw = (static_cast<int>(extra) & 2) != 0;
    return s;
}

// A module function "name()".
consteval Signature function_signature(const char* name, std::initializer_list<const char*> positional,
                                       int required = -1, Extra extra = Extra::None,
                                       std::initializer_list<const char*> kwonly = {}) {
    return make_signature(nullptr, name, positional, required, extra, kwonly);
}

// A method or constructor "Class.name()".
consteval Signature method_signature(const char* cls, const char* name,
                                     std::initializer_list<const char*> positional, int required = -1,
                                     Extra extra = Extra::None,
                                     std::initializer_list<const char*> kwonly = {}) {
    return make_signature(cls, name, positional, required, extra, kwonly);
}

struct BoundArgs {
    std::array<PyObject*, kMaxParams> values{};  // borrowed; null = not given (or given as None
                                                 // for a parameter whose default is None: see
                                                 // `optional`)
    Ref varargs;  // tuple, only for signatures with *args (empty tuple when none came)
    Ref varkw;    // dict, only for signatures with **kwargs, and only when such keywords came

    PyObject* operator[](int i) const noexcept { return values[i]; }
    // The value of an optional parameter whose default is None: null when omitted or None.
    PyObject* optional(int i) const noexcept { return values[i] == Py_None ? nullptr : values[i]; }
    std::size_t nvarargs() const noexcept {
        return varargs ? static_cast<std::size_t>(PyTuple_GET_SIZE(varargs.get())) : 0;
    }
    PyObject* vararg(std::size_t i) const noexcept { return PyTuple_GET_ITEM(varargs.get(), i); }
};

// Vectorcall binding (`nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET).
[[nodiscard]] bool bind_fast(const Signature& sig, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames, BoundArgs& out) noexcept;

// Tuple + dict binding (`kwargs` may be null).
[[nodiscard]] bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs,
                              BoundArgs& out) noexcept;

// Binds a call of a callable whose parameters are all required positionals (`N` of them) into
// `out` (borrowed). The plain positional call takes no detour through the general binder.
template <std::size_t N>
[[nodiscard]] inline bool bind_exact(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, PyObject* (&out)[N]) noexcept {
    if (kwnames == nullptr && static_cast<std::size_t>(PyVectorcall_NARGS(nargs)) == N) [[likely]] {
        for (std::size_t i = 0; i < N; ++i) out[i] = args[i];
        return true;
    }
    BoundArgs bound;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, bound)) return false;
    for (std::size_t i = 0; i < N; ++i) out[i] = bound[static_cast<int>(i)];
    return true;
}

// Conversions. Each returns false with the exception set and the processing note attached.
[[nodiscard]] bool as_ssize(PyObject* value, const char* param, Py_ssize_t& out) noexcept;
[[nodiscard]] bool as_usize(PyObject* value, const char* param, std::size_t& out) noexcept;
[[nodiscard]] bool as_i64(PyObject* value, const char* param, std::int64_t& out) noexcept;
[[nodiscard]] bool as_bool(PyObject* value, const char* param, bool& out) noexcept;
// `value` must be an instance of `type` or of a subclass.
[[nodiscard]] bool check_instance(PyObject* value, PyTypeObject* type, const char* param) noexcept;

// Sets TypeError "'<type qualname>' object is not an instance of '<expected>'" (or the None form).
void raise_not_instance(PyObject* value, const char* expected) noexcept;

}  // namespace trovix
