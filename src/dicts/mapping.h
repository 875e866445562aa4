// Mapping and filtering one dictionary: keymap, valmap, itemmap, keyfilter, valfilter, itemfilter.
//
// All six share one loop over the source's `items()`: the result is made first (so `factory` is
// called even for an empty source), then each item is transformed or tested and stored by item
// assignment, in source order (a later item wins over an earlier one with the same new key).
#pragma once

#include <Python.h>

namespace trovix::dicts {

extern PyMethodDef kKeymapDef;
extern PyMethodDef kValmapDef;
extern PyMethodDef kItemmapDef;
extern PyMethodDef kKeyfilterDef;
extern PyMethodDef kValfilterDef;
extern PyMethodDef kItemfilterDef;

}  // namespace trovix::dicts
