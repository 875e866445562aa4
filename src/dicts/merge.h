// Merging and association: merge, merge_with, assoc, dissoc.
#pragma once

#include <Python.h>

namespace trovix::dicts {

extern PyMethodDef kMergeDef;
extern PyMethodDef kMergeWithDef;
extern PyMethodDef kAssocDef;
extern PyMethodDef kDissocDef;

}  // namespace trovix::dicts
