// The bind / bind_partial decision of curry, made natively.
//
// A curry asks its signature object whether the collected arguments bind completely
// (`sig.bind`), only partially (`sig.bind_partial`) or not at all; both raise TypeError to say
// no. Both are pure functions of the parameter list (names, kinds, which have defaults), the
// number of positional arguments and the keyword names, so the answer can be computed here
// without running them, and without the exception they raise each time a partial is made.
//
// It is computed only when nothing can tell the difference: the signature object is an exact
// `inspect.Signature` whose parameters are exact `inspect.Parameter` objects, and the inspect
// machinery that `bind` runs is the one found on first use: the classes Signature, Parameter,
// BoundArguments and _ParameterKind unmodified (type version tags), the code, defaults and
// keyword defaults of the functions involved unchanged, and the global names those functions
// read (in inspect, builtins and itertools) not rebound (dictionary watchers). The signature's and
// the parameters' own slots are re-read on every call. Anything else gets `Unknown`, and the
// caller runs the real methods. Out of reach of these checks: changing objects through ctypes or
// the garbage collector's referent lists, and calling `property.__init__` again on inspect's own
// properties.
#pragma once

#include <Python.h>

namespace trovix::combinators {

enum class BindAnswer { Bound, Partial, Neither, Unknown };

// The parameters of `sig` for later decisions: fills `proxy` (the signature's parameter mapping)
// and `params` (a tuple of its Parameter objects) with new references when the fast decision
// applies to `sig`, else leaves them null. May run inspect's Python code; never leaves an
// exception set.
void capture_parameters(PyObject* sig, PyObject*& proxy, PyObject*& params) noexcept;

// The answer of `sig.bind(*P, **K)` / `sig.bind_partial(*P, **K)` for `npos` positional
// arguments and the keyword names `kwnames` (a tuple, or null for none), given what
// capture_parameters stored. Runs no Python code and sets no exception.
BindAnswer decide_bind(PyObject* sig, PyObject* proxy, PyObject* params, Py_ssize_t npos, PyObject* kwnames) noexcept;

}  // namespace trovix::combinators
