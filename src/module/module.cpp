// The extension module `_trovix`: its definition, its execution step and the registration order.
#include <Python.h>

#include <iterator>

#include "combinators/compose.h"
#include "combinators/curry.h"
#include "combinators/helpers.h"
#include "combinators/memoize.h"
#include "dicts/mapping.h"
#include "dicts/merge.h"
#include "dicts/paths.h"
#include "iter/iter.h"
#include "module/registry.h"
#include "option/accessors.h"
#include "option/option.h"
#include "sequences/access.h"
#include "sequences/concat.h"
#include "sequences/grouping.h"
#include "sequences/join.h"
#include "sequences/topk.h"
#include "sequences/unique.h"
#include "sequences/windows.h"
#include "utils/errors.h"
#include "utils/interp.h"
#include "utils/iterator.h"
#include "utils/ref.h"

namespace trovix::module {

namespace {

PyObject* make_nothing() { return option::new_nothing(); }

// The order of this table is the order of the module namespace and of `__all__`.
const Step kRegistration[] = {
    add_class(option::kSomeType),
    add_class(option::kNothingType),
    add_class(option::kOptionType),
    add_class(option::kOkType),
    add_class(option::kErrType),
    add_class(option::kResultType),
    add_value("Nothing", make_nothing),
    add_function(option::kFirstOptDef),
    add_function(option::kLastOptDef),
    add_function(option::kNthOptDef),
    add_function(option::kGetOptDef),
    add_function(option::kGetInOptDef),
    add_function(option::kPeekOptDef),
    add_class(kRustIterType, install_raw_iternext<RustIterBody>),
    add_function(sequences::kCountDef),
    add_function(sequences::kFirstDef),
    add_function(sequences::kSecondDef),
    add_function(sequences::kLastDef),
    add_function(sequences::kNthDef),
    add_function(sequences::kGetDef),
    add_function(sequences::kIsdistinctDef),
    add_function(sequences::kFrequenciesDef),
    add_function(sequences::kTopkDef),
    add_function(sequences::kPeekDef),
    add_function(sequences::kTakeDef),
    add_function(sequences::kDropDef),
    add_function(sequences::kTakeNthDef),
    add_function(sequences::kTailDef),
    add_function(sequences::kConsDef),
    add_function(sequences::kConcatDef),
    add_function(sequences::kConcatvDef),
    add_function(sequences::kInterposeDef),
    add_function(sequences::kInterleaveDef),
    add_function(sequences::kSlidingWindowDef),
    add_function(sequences::kPartitionDef),
    add_function(sequences::kPartitionAllDef),
    add_function(sequences::kMergeSortedDef),
    add_function(sequences::kDiffDef),
    add_function(sequences::kGroupbyDef),
    add_function(sequences::kCountbyDef),
    add_function(sequences::kReducebyDef),
    add_function(sequences::kMapcatDef),
    add_function(sequences::kPluckDef),
    add_function(sequences::kRemoveDef),
    add_function(sequences::kAccumulateDef),
    add_function(sequences::kIterateDef),
    add_function(sequences::kUniqueDef),
    add_function(sequences::kJoinDef),
    prepare_type(sequences::kInterposeIterType, sequences::install_interpose_iter_next),
    prepare_type(sequences::kSlidingWindowIterType, sequences::install_sliding_window_iter_next),
    prepare_type(sequences::kUniqueIterType, sequences::install_unique_iter_next),
    prepare_type(sequences::kUniqueIntIterType, sequences::install_unique_int_iter_next),
    prepare_type(sequences::kPluckIterType, sequences::install_pluck_iter_next),
    add_class(combinators::kCurryType),
    add_function(combinators::kIdentityDef),
    add_function(combinators::kApplyDef),
    add_function(combinators::kPipeDef),
    add_function(combinators::kDoDef),
    add_function(combinators::kComposeDef),
    add_function(combinators::kComposeLeftDef),
    add_function(combinators::kComplementDef),
    add_function(combinators::kJuxtDef),
    add_function(combinators::kExceptsDef),
    add_function(combinators::kMemoizeDef),
    add_function(combinators::kThreadFirstDef),
    add_function(combinators::kThreadLastDef),
    add_value("flip", combinators::make_flip),
    add_function(dicts::kMergeDef),
    add_function(dicts::kMergeWithDef),
    add_function(dicts::kAssocDef),
    add_function(dicts::kDissocDef),
    add_function(dicts::kAssocInDef),
    add_function(dicts::kUpdateInDef),
    add_function(dicts::kGetInDef),
    add_function(dicts::kKeymapDef),
    add_function(dicts::kValmapDef),
    add_function(dicts::kItemmapDef),
    add_function(dicts::kKeyfilterDef),
    add_function(dicts::kValfilterDef),
    add_function(dicts::kItemfilterDef),
    add_class(iter::kIterType),
};

int run_step(PyObject* module, PyObject* module_name, const Step& step) {
    switch (step.kind) {
        case StepKind::Class: {
            PyTypeObject* type = get_type_for_registration(*step.type);
            if (type == nullptr) return -1;
            if (add_name(module, step.type->name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
            return step.after != nullptr ? step.after(type) : 0;
        }
        case StepKind::Value: {
            Ref value = Ref::steal(step.make());
            if (!value) return -1;
            return add_name(module, step.name, value.get());
        }
        case StepKind::Function: {
            Ref fn = Ref::steal(PyCMethod_New(step.def, module, module_name, nullptr));
            if (!fn) return -1;
            return add_name(module, step.def->ml_name, fn.get());
        }
        case StepKind::PrepareType: {
            PyTypeObject* type = get_type(*step.type);
            if (type == nullptr) {
                PyErr_WriteUnraisable(nullptr);
                PyErr_Format(panic_exception_type(), "An error occurred while initializing class %s",
                             step.type->name);
                return -1;
            }
            return step.after(type);
        }
    }
    throw Fault("unknown registration step");
}

int exec_module(PyObject* module) {
    if (interp::attach() < 0) return -1;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (const Step& step : kRegistration) {
        if (run_step(module, module_name.get(), step) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(entry<exec_module>)},
    // Every cached object is kept per interpreter (utils/interp.h); the worker pool touches none.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#ifdef Py_GIL_DISABLED
    // The borrow flags and the reads of exact lists through borrowed pointers rely on the
    // interpreter lock: a free-threaded interpreter keeps its lock while this module is loaded.
    {Py_mod_gil, Py_MOD_GIL_USED},
#else
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_trovix",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

int add_name(PyObject* module, const char* name, PyObject* value) noexcept {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
    return PyObject_SetAttr(module, key.get(), value);
}

}  // namespace trovix::module

PyMODINIT_FUNC PyInit__trovix(void) { return PyModuleDef_Init(&trovix::module::kModuleDef); }
