// The bind / bind_partial decision of curry, made natively.
//
// A curry asks its signature object whether the collected arguments bind completely
// (`sig.bind`), only partially (`sig.bind_partial`) or not at all; both raise TypeError to say
// no. Both are pure functions of the parameter list (names, kinds, which have defaults), the
// number of positional arguments and the keyword names, so the answer can be computed here
// without running them, and without the exception they raise each time a partial is made.
//
// It is computed only when nothing can tell the difference: the signature object is an exact
// `inspect.Signature` whose parameter mapping is the `OrderedDict` (or dict) it was built with,
// holding exact `inspect.Parameter` objects, and the inspect machinery that `bind` runs is the one
// found on first use: the classes Signature, Parameter, BoundArguments and _ParameterKind
// unmodified (type version tags), the code, defaults and keyword defaults of the functions
// involved unchanged (a function watcher, and dictionary watchers on the keyword defaults), and the
// global names those functions read (in inspect, builtins and itertools) not rebound (dictionary
// watchers). On every call the signature's slot, the mapping's
// order and content and the parameters' types and slots are read afresh; the mapping's keys are
// watched (a dictionary watcher) and its own order counter compared, so a change made to it in
// place after capture is seen. Anything else gets `Unknown`, and the caller runs the real methods.
// Out of reach of these checks: changing objects through ctypes, and calling `property.__init__`
// again on inspect's own properties.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace trovix::combinators {

enum class BindAnswer { Bound, Partial, Neither, Unknown };

// What the fast decision keeps of one signature. `proxy` (the signature's parameter mapping as
// stored in its slot) and `mapping` (the dict behind it) are strong references owned by whoever
// holds the capture; `keys` and `order` tell whether the mapping changed since.
struct BindCapture {
    PyObject* proxy = nullptr;
    PyObject* mapping = nullptr;
    std::uint64_t keys = 0;
    std::size_t order = 0;
};

// Fills `out` (new references) when the fast decision applies to `sig`, else leaves it empty.
// Runs no Python code. False with the exception set only for an error that must not be
// swallowed (an interrupt, MemoryError); ordinary errors just leave `out` empty.
bool capture_parameters(PyObject* sig, BindCapture& out) noexcept;

// The answer of `sig.bind(*P, **K)` / `sig.bind_partial(*P, **K)` for `npos` positional
// arguments and the keyword names `kwnames` (a tuple, or null for none), given what
// capture_parameters stored. Runs no Python code and sets no exception. Linear in the number of
// parameters and keywords.
BindAnswer decide_bind(PyObject* sig, const BindCapture& cap, Py_ssize_t npos, PyObject* kwnames) noexcept;

// The parameters of a plain Python function, read from its code, defaults and keyword defaults
// where that provably gives what `inspect.signature(func)` returns (through `signature`, the
// callable that would be asked): an exact function with no `__signature__`, `__wrapped__`,
// `__text_signature__` or `__partialmethod__`, annotations that need no code to compute,
// ordinary parameter names, and the machinery inspect runs for it unchanged (watched like the
// machinery of bind). `code` is the function's code object (the parameter names are its first
// local names), `kinds` a bytes object with one code per parameter, in the code's order, and a summary.
struct ReadParameters {
    PyObject* code = nullptr;
    PyObject* kinds = nullptr;
};

// 1 when read (new references in `out`), 0 when inspect must be asked, -1 with an exception set
// that must not be swallowed.
int read_function_parameters(PyObject* signature, PyObject* func, ReadParameters& out) noexcept;

// As decide_bind, for parameters that were read.
BindAnswer decide_read(const ReadParameters& read, Py_ssize_t npos, PyObject* kwnames) noexcept;

// A signature object for parameters that were read, made by `signature` from a function with
// the same code and the same parameters with defaults (it binds exactly as the one the first call
// would have made); a new reference, or null with the exception set.
PyObject* signature_of_read(PyObject* signature, const ReadParameters& read) noexcept;

}  // namespace trovix::combinators
