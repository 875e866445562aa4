// Small combinators: juxt (Juxt), complement (Complement), excepts (Excepts), and the plain call
// helpers apply, do, identity and the function behind the module's `flip`.
#pragma once

#include <Python.h>

#include "utils/types.h"

namespace trovix::combinators {

extern const TypeDef kJuxtType;
extern const TypeDef kComplementType;
extern const TypeDef kExceptsType;

extern PyMethodDef kJuxtDef;
extern PyMethodDef kComplementDef;
extern PyMethodDef kExceptsDef;
extern PyMethodDef kApplyDef;
extern PyMethodDef kDoDef;
extern PyMethodDef kIdentityDef;  // also made afresh, bound to no module, by the empty composition
extern PyMethodDef kFlipDef;      // registered only wrapped in a curry (curry.h)

}  // namespace trovix::combinators
