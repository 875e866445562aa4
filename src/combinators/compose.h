// Composition and threading: compose and compose_left (Compose), pipe, thread_first, thread_last.
#pragma once

#include <Python.h>

#include "utils/types.h"

namespace trovix::combinators {

extern const TypeDef kComposeType;

extern PyMethodDef kComposeDef;
extern PyMethodDef kComposeLeftDef;
extern PyMethodDef kPipeDef;
extern PyMethodDef kThreadFirstDef;
extern PyMethodDef kThreadLastDef;

}  // namespace trovix::combinators
