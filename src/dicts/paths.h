// Nested paths: get_in, assoc_in, update_in.
//
// A path is walked one level at a time in a loop, never by native recursion, so a path of any
// length gives a result (or the interpreter's own error) instead of exhausting the native stack.
// `assoc_in` and `update_in` copy each mapping along the path into a new result at its level and
// share everything off the path with the input.
#pragma once

#include <Python.h>

namespace trovix::dicts {

extern PyMethodDef kAssocInDef;
extern PyMethodDef kUpdateInDef;
extern PyMethodDef kGetInDef;

}  // namespace trovix::dicts
