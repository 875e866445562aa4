// Functions over several sequences at once: merge_sorted, join and diff. Each returns a RustIter
// (utils/iterator.h) and does its work lazily, step by step.
#pragma once

#include <Python.h>

namespace trovix::sequences {

extern PyMethodDef kMergeSortedDef;  // merge_sorted(*seqs, key=None)
extern PyMethodDef kDiffDef;         // diff(*seqs, **kwargs)
extern PyMethodDef kJoinDef;         // join(leftkey, leftseq, rightkey, rightseq, left_default=None, right_default=None)

// Operations shared with other functions and methods. Each returns a new reference, or null with
// an exception set. A null optional argument means "not given".

// The items of the sorted sequences of the tuple `seqs`, merged by `heapq.merge` (looked up now,
// at every call), ordered by `key(item)` when a key is given.
PyObject* merge_sorted_impl(PyObject* seqs, PyObject* key);

// The relational join of `leftseq` and `rightseq` on the keys given by `leftkey` and `rightkey`
// (the key rule of apply_key): pairs (left, right) of items with equal keys, for each right item
// in order its matches in left order; `left_default` pairs with right items that match nothing,
// `right_default` with left items that match nothing (after all right items). `iter(rightseq)`
// is taken now; `leftseq` is read into an index at the first step.
PyObject* join_impl(PyObject* leftkey, PyObject* leftseq, PyObject* rightkey, PyObject* rightseq,
                    PyObject* left_default, PyObject* right_default);

// The rows (one item of each sequence, as a tuple) where the sequences of the tuple `seqs` differ,
// compared by `==` (on `key(item)` when a key is given). Without a `fallback` the rows end with
// the shortest sequence; with one, shorter sequences are padded with it. A tuple holding one list
// means the sequences of that list. Fewer than two sequences raise TypeError.
PyObject* diff_impl(PyObject* seqs, PyObject* fallback, PyObject* key);

}  // namespace trovix::sequences
