// topk(k, seq, key=None): the k largest elements, largest first.
#pragma once

#include <Python.h>

namespace trovix::sequences {

extern PyMethodDef kTopkDef;  // topk(k, seq, key=None)

}  // namespace trovix::sequences
