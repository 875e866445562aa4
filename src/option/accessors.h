// Accessors that answer with an option value instead of raising: first_opt, last_opt, nth_opt,
// get_opt, get_in_opt, peek_opt. An element that exists comes back as `Some(x)`, a missing one as
// a new `NothingType()`. They go through the iterator or item protocol of the argument; exact
// lists and tuples, whose iteration runs no Python code, are read by index to the same effect.
#pragma once

#include <Python.h>

#include <cstddef>

namespace trovix::option {

extern PyMethodDef kFirstOptDef;   // first_opt(seq)
extern PyMethodDef kLastOptDef;    // last_opt(seq)
extern PyMethodDef kNthOptDef;     // nth_opt(n, seq)
extern PyMethodDef kGetOptDef;     // get_opt(ind, coll)
extern PyMethodDef kGetInOptDef;   // get_in_opt(coll, *keys)
extern PyMethodDef kPeekOptDef;    // peek_opt(seq)

// Operations shared with the Iter methods. Each returns a new Some / NothingType, or null with
// an exception set.
PyObject* first_opt_of(PyObject* seq) noexcept;
PyObject* last_opt_of(PyObject* seq) noexcept;
PyObject* nth_opt_of(std::size_t n, PyObject* seq) noexcept;

}  // namespace trovix::option
