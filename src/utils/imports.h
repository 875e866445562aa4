// Standard-library objects that operations call.
//
// A `CachedAttr` is a cell (one value per interpreter), empty until the first successful lookup
// and then kept for the life of the interpreter (one atomic load per use after that). A failed import or attribute
// lookup leaves the cell empty, so the next call tries again. A thread that finds another one
// filling the cell waits with the interpreter lock released.
//
//     PyObject* islice = cached_attr(ISLICE);   // borrowed; null with the import error set
//
// `import_attr` looks an attribute up afresh at every call (nothing is kept).
#pragma once

#include <Python.h>

#include "utils/once.h"
#include "utils/ref.h"

namespace trovix {

struct CachedAttr {
    const char* module;  // e.g. "itertools"
    const char* path;    // dotted attribute path, e.g. "chain.from_iterable"
    OnceCell cell;
};

extern CachedAttr ISLICE;               // itertools.islice
extern CachedAttr CHAIN;                // itertools.chain
extern CachedAttr CHAIN_FROM_ITERABLE;  // itertools.chain.from_iterable
extern CachedAttr SEQUENCE_ABC;         // collections.abc.Sequence
extern CachedAttr BUILTINS_MAP;         // builtins.map
extern CachedAttr SIGNATURE;            // inspect.signature
extern CachedAttr ARRAY_TYPE;           // array.array
extern CachedAttr DEFAULTDICT_TYPE;     // collections.defaultdict

// The cached attribute (borrowed, owned by the cell), filling the cell on first success; null
// with the import or attribute error set.
PyObject* cached_attr(CachedAttr& attr) noexcept;

// Imports `module` (taken from sys.modules when already imported) and walks the dotted `path`.
// A new reference, or null with the error set. Nothing is kept.
Ref import_attr(const char* module, const char* path) noexcept;

}  // namespace trovix
