// groupby, countby, reduceby, frequencies: folding a sequence into a dict.
#pragma once

#include <Python.h>

namespace trovix::sequences {

extern PyMethodDef kFrequenciesDef;  // frequencies(seq)
extern PyMethodDef kGroupbyDef;      // groupby(key, seq)
extern PyMethodDef kCountbyDef;      // countby(key, seq)
extern PyMethodDef kReducebyDef;     // reduceby(key, binop, seq, *rest)

// Operations shared with the Iter methods: new dict, or null with the exception set.
PyObject* frequencies_of(PyObject* seq);
PyObject* groupby_of(PyObject* key, PyObject* seq);

}  // namespace trovix::sequences
