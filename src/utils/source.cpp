#include "utils/source.h"

namespace trovix {

std::size_t PySource::length_hint() const noexcept {
    if (!obj_) return 0;
    if (is_list_) {
        if (finished_) return 0;
        Py_ssize_t len = PyList_GET_SIZE(obj_.get());
        return static_cast<std::size_t>(len) > index_ ? static_cast<std::size_t>(len) - index_ : 0;
    }
    Py_ssize_t hint = PyObject_LengthHint(obj_.get(), 0);
    if (hint < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(hint);
}

}  // namespace trovix
