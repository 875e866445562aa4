#include "utils/source.h"

#include "utils/errors.h"

namespace trovix {

Py_ssize_t PySource::length_hint() const noexcept {
    if (!obj_) return 0;
    auto index = static_cast<Py_ssize_t>(index_);
    if (is_list_) {
        if (finished_) return 0;
        Py_ssize_t len = PyList_GET_SIZE(obj_.get());
        return len > index ? len - index : 0;
    }
    if (is_tuple_) return PyTuple_GET_SIZE(obj_.get()) - index;
    Py_ssize_t hint = PyObject_LengthHint(obj_.get(), 0);
    if (hint < 0) return clear_ordinary_error() ? 0 : -1;
    return hint;
}

Py_ssize_t PySource::fill_from_iterator(PyObject* it, PyObject** dst, Py_ssize_t n, bool guarded) noexcept {
    iternextfunc iternext = Py_TYPE(it)->tp_iternext;
    // See next_of: the stack guard for chains of iterators.
    if (guarded && Py_EnterRecursiveCall(" while getting the next item")) [[unlikely]] return -1;
    struct Leave {
        bool active;
        ~Leave() {
            if (active) Py_LeaveRecursiveCall();
        }
    } leave{guarded};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = iternext(it);
        if (item == nullptr) [[unlikely]] {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return -1;
                PyErr_Clear();
            }
            return i;
        }
        dst[i] = item;
    }
    return n;
}

}  // namespace trovix
