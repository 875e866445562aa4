#include "utils/imports.h"

#include <cstring>

namespace trovix {

constinit CachedAttr ISLICE{"itertools", "islice", {}};
constinit CachedAttr CHAIN{"itertools", "chain", {}};
constinit CachedAttr CHAIN_FROM_ITERABLE{"itertools", "chain.from_iterable", {}};
constinit CachedAttr SEQUENCE_ABC{"collections.abc", "Sequence", {}};
constinit CachedAttr BUILTINS_MAP{"builtins", "map", {}};
constinit CachedAttr SIGNATURE{"inspect", "signature", {}};
constinit CachedAttr ARRAY_TYPE{"array", "array", {}};
constinit CachedAttr DEFAULTDICT_TYPE{"collections", "defaultdict", {}};

Ref import_attr(const char* module, const char* path) noexcept {
    Ref obj = Ref::steal(PyImport_ImportModule(module));
    const char* part = path;
    while (obj) {
        const char* dot = std::strchr(part, '.');
        std::size_t len = dot != nullptr ? static_cast<std::size_t>(dot - part) : std::strlen(part);
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(part, static_cast<Py_ssize_t>(len)));
        if (!name) return Ref();
        obj = Ref::steal(PyObject_GetAttr(obj.get(), name.get()));
        if (dot == nullptr) break;
        part = dot + 1;
    }
    return obj;
}

PyObject* cached_attr(CachedAttr& attr) noexcept {
    return attr.cell.get_or_init([&]() -> PyObject* { return import_attr(attr.module, attr.path).release(); });
}

}  // namespace trovix
