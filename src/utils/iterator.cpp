#include "utils/iterator.h"

#include "utils/once.h"

namespace trovix {

void raise_already_executing() noexcept {
    PyErr_SetString(PyExc_ValueError, "iterator already executing");
}

PyObject* iter_self(PyObject* self) noexcept { return Py_NewRef(self); }

namespace {

OnceCell g_rust_iter_cell;

PyType_Slot kRustIterSlots[] = {TROVIX_ITER_SLOTS(RustIterBody), {0, nullptr}};

struct EmptyStep {
    Next next() noexcept { return Next::end(); }
    int traverse(visitproc, void*) const noexcept { return 0; }
};

}  // namespace

const TypeDef kRustIterType = {"RustIter", nullptr, sizeof(IterObject<RustIterBody>), kRustIterSlots,
                               nullptr, &g_rust_iter_cell};

PyObject* empty_iter() { return new_rust_iter(EmptyStep{}); }

}  // namespace trovix
