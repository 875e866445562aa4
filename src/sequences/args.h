// Binding for the fixed-arity sequence functions.
#pragma once

#include <Python.h>

#include <cstddef>

#include "utils/binding.h"

namespace trovix::sequences {

// Binds a call of a function whose parameters are all required positionals (`N` of them) into
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

}  // namespace trovix::sequences
