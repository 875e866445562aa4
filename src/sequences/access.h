// Element access: first, second, last, nth, get, peek, count, tail, take, drop, take_nth, cons.
//
// take, drop, take_nth and cons return the interpreter's own `itertools.islice` / `chain`
// objects unchanged; the others answer at once.
#pragma once

#include <Python.h>

#include <cstddef>

#include "utils/iterator.h"

namespace trovix::sequences {

extern PyMethodDef kCountDef;
extern PyMethodDef kFirstDef;
extern PyMethodDef kSecondDef;
extern PyMethodDef kLastDef;
extern PyMethodDef kNthDef;
extern PyMethodDef kGetDef;
extern PyMethodDef kPeekDef;
extern PyMethodDef kTakeDef;
extern PyMethodDef kDropDef;
extern PyMethodDef kTakeNthDef;
extern PyMethodDef kTailDef;
extern PyMethodDef kConsDef;

// Operations shared with other functions and methods.

// The number of items of `obj`: len(obj) when it has `__len__`, else counted by iterating.
// False with an exception set on failure.
[[nodiscard]] bool count_of(PyObject* obj, std::size_t& out) noexcept;

// The last `n` items of `obj`: `obj[-n:]` when `obj` accepts that slice (n == 0 selects
// everything), else a tuple of the last `n` items of its iteration (all of them for n == 0).
// A new reference, or null with an exception set.
PyObject* tail_of(std::size_t n, PyObject* obj);

// The first item of `seq` (end when it is empty).
Next first_of(PyObject* seq) noexcept;

// The pair (first item, iterator over every item) of `seq` (end when it is empty); the source
// iterator has been advanced by one item. `itertools.chain` is looked up at every call.
Next peek_of(PyObject* seq) noexcept;

// The item at position `n` of `seq` (end when an iterated `seq` runs out first). Lists, tuples
// and registered sequences are indexed with `n` as given; anything else needs 0 <= n.
Next nth_of(PyObject* n, PyObject* seq) noexcept;

}  // namespace trovix::sequences
