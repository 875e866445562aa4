// Windows, separators and plucking: sliding_window, interpose, pluck and their dedicated iterator
// classes (SlidingWindowIter, InterposeIter, PluckIter).
#pragma once

#include <Python.h>

#include <cstddef>

#include "utils/types.h"

namespace trovix::sequences {

extern PyMethodDef kInterposeDef;      // interpose(el, seq)
extern PyMethodDef kSlidingWindowDef;  // sliding_window(n, seq)
extern PyMethodDef kPluckDef;          // pluck(ind, seqs, *rest)

extern const TypeDef kInterposeIterType;
extern const TypeDef kSlidingWindowIterType;
extern const TypeDef kPluckIterType;
// Registration hooks: put the native next step into the classes' next slots.
int install_interpose_iter_next(PyTypeObject* type) noexcept;
int install_sliding_window_iter_next(PyTypeObject* type) noexcept;
int install_pluck_iter_next(PyTypeObject* type) noexcept;

// Operations shared with other functions and methods. Each returns a new reference, or null with
// an exception set.

// Windows of `n` consecutive items of `seq`: the empty iterator for n == 0 (`seq` untouched),
// else a SlidingWindowIter primed now with the first n - 1 items (a source error is raised here).
PyObject* sliding_window_impl(std::size_t n, PyObject* seq);

// `seq`'s items with `el` between each two. The first item is fetched now: an empty `seq` raises
// StopIteration (no arguments).
PyObject* interpose_impl(PyObject* el, PyObject* seq);
// The same without fetching anything now: an empty `seq` gives an empty iterator.
PyObject* interpose_lazy(PyObject* el, PyObject* seq);

// `x[ind]` for each x of `seqs`; `rest` is the tuple of extra positionals (at most one: the
// default given for a failed lookup). A list `ind` gives tuples of several lookups. One index and
// no default make a PluckIter, the other forms a RustIter.
PyObject* pluck(PyObject* ind, PyObject* seqs, PyObject* rest);

}  // namespace trovix::sequences
