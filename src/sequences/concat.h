// Concatenation and generation: concat, concatv, mapcat, interleave, iterate, accumulate, remove,
// partition, partition_all.
//
// Joining returns the interpreter's own `itertools.chain` objects unchanged; the other functions
// return RustIter objects (utils/iterator.h).
#pragma once

#include <Python.h>

#include <cstddef>

namespace trovix::sequences {

extern PyMethodDef kConcatDef;
extern PyMethodDef kConcatvDef;
extern PyMethodDef kInterleaveDef;
extern PyMethodDef kPartitionDef;
extern PyMethodDef kPartitionAllDef;
extern PyMethodDef kMapcatDef;
extern PyMethodDef kRemoveDef;
extern PyMethodDef kAccumulateDef;
extern PyMethodDef kIterateDef;

// Operations shared with other functions and methods. Each returns a new reference, or null with
// an exception set.

// itertools.chain.from_iterable(seqs)
PyObject* concat_impl(PyObject* seqs);
// itertools.chain.from_iterable(map(func, seqs))
PyObject* mapcat_impl(PyObject* func, PyObject* seqs);
// Running totals of `seq` under `binop`; `rest` is the tuple of extra positionals (at most one:
// the initial value).
PyObject* accumulate_impl(PyObject* binop, PyObject* seq, PyObject* rest);
// Tuples of `n` items of `seq`, the last one possibly shorter; `iter(seq)` is taken now. A size of
// 0 yields nothing.
PyObject* partition_all_impl(std::size_t n, PyObject* seq);

}  // namespace trovix::sequences
