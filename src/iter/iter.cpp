#include "iter/iter.h"

#include <cstddef>

#include "option/accessors.h"
#include "sequences/access.h"
#include "sequences/concat.h"
#include "sequences/grouping.h"
#include "sequences/unique.h"
#include "sequences/windows.h"
#include "utils/binding.h"
#include "utils/errors.h"
#include "utils/imports.h"
#include "utils/ref.h"

namespace trovix::iter {

namespace {

struct FluentObject {
    PyObject_HEAD
    PyObject* inner;  // set at construction; only the garbage collector's clear resets it
};

OnceCell g_iter_cell;

// The wrapped object (borrowed). After the collector cleared the instance, None stands in, so a
// method reports a Python error instead of touching a dropped reference.
PyObject* inner_of(PyObject* self) noexcept {
    PyObject* inner = reinterpret_cast<FluentObject*>(self)->inner;
    return inner != nullptr ? inner : Py_None;
}

PyObject* new_iter_of(PyTypeObject* type, PyObject* inner) noexcept {
    auto* obj = alloc_instance<FluentObject>(type);
    if (obj == nullptr) return nullptr;
    obj->inner = Py_NewRef(inner);
    return reinterpret_cast<PyObject*>(obj);
}

// A new Iter around `result` (a new reference, consumed); null passes an error on.
PyObject* wrap(PyObject* result) noexcept {
    Ref owned = Ref::steal(result);
    if (!owned) return nullptr;
    PyTypeObject* type = get_type_for_instance(kIterType);
    return type == nullptr ? nullptr : new_iter_of(type, owned.get());
}

// `module.name(*args)`, the attribute looked up afresh at every call.
PyObject* call_attr(const char* module, const char* name, PyObject* const* args, std::size_t nargs) noexcept {
    Ref fn = import_attr(module, name);
    return fn ? PyObject_Vectorcall(fn.get(), args, nargs, nullptr) : nullptr;
}

// ---- binding ------------------------------------------------------------------------------------

bool bind_none(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs == 0 && kwnames == nullptr) [[likely]] return true;
    BoundArgs bound;
    return bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, bound);
}

// Binds a method's one required argument.
#define TROVIX_ONE_ARG(meth, param)                                             \
    static constexpr Signature sig = method_signature("Iter", meth, {param});   \
    PyObject* bound[1];                                                         \
    if (!bind_exact(sig, args, nargs, kwnames, bound)) return nullptr;          \
    PyObject* arg = bound[0]

// Binds a method's one required count, converted to an unsigned size.
#define TROVIX_SIZE_ARG(meth, param)                                            \
    TROVIX_ONE_ARG(meth, param);                                                \
    std::size_t size = 0;                                                       \
    if (!as_usize(arg, param, size)) return nullptr

#define TROVIX_NO_ARG(meth)                                                     \
    static constexpr Signature sig = method_signature("Iter", meth, {});        \
    if (!bind_none(sig, args, nargs, kwnames)) return nullptr


// ---- chaining methods ---------------------------------------------------------------------------

PyObject* iter_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_ONE_ARG("map", "f");
    PyObject* call_args[2] = {arg, inner_of(self)};
    return wrap(call_attr("builtins", "map", call_args, 2));
}

PyObject* iter_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_ONE_ARG("filter", "f");
    PyObject* call_args[2] = {arg, inner_of(self)};
    return wrap(call_attr("builtins", "filter", call_args, 2));
}

PyObject* iter_unique(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = method_signature("Iter", "unique", {"key"}, 0);
    BoundArgs bound;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, bound)) return nullptr;
    return wrap(sequences::unique_of(inner_of(self), bound.optional(0)));
}

// islice(inner, n) / islice(inner, n, None)
PyObject* islice_of(PyObject* self, std::size_t n, bool drop) {
    PyObject* islice = cached_attr(ISLICE);
    if (islice == nullptr) return nullptr;
    Ref count = Ref::steal(PyLong_FromSize_t(n));
    if (!count) return nullptr;
    PyObject* call_args[3] = {inner_of(self), count.get(), Py_None};
    return PyObject_Vectorcall(islice, call_args, drop ? 3 : 2, nullptr);
}

PyObject* iter_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_SIZE_ARG("take", "n");
    return wrap(islice_of(self, size, false));
}

PyObject* iter_drop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_SIZE_ARG("drop", "n");
    return wrap(islice_of(self, size, true));
}

PyObject* iter_sliding_window(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_SIZE_ARG("sliding_window", "n");
    return wrap(sequences::sliding_window_impl(size, inner_of(self)));
}

PyObject* iter_partition_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_SIZE_ARG("partition_all", "n");
    return wrap(sequences::partition_all_impl(size, inner_of(self)));
}

PyObject* iter_flat_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_ONE_ARG("flat_map", "f");
    return wrap(sequences::mapcat_impl(arg, inner_of(self)));
}

PyObject* iter_pluck(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_ONE_ARG("pluck", "ind");
    Ref no_default = Ref::steal(PyTuple_New(0));
    if (!no_default) return nullptr;
    return wrap(sequences::pluck(arg, inner_of(self), no_default.get()));
}

// Unlike the module function, nothing is fetched now: an empty source gives an empty result.
PyObject* iter_interpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_ONE_ARG("interpose", "el");
    return wrap(sequences::interpose_lazy(arg, inner_of(self)));
}

PyObject* iter_accumulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_ONE_ARG("accumulate", "binop");
    Ref no_initial = Ref::steal(PyTuple_New(0));
    if (!no_initial) return nullptr;
    return wrap(sequences::accumulate_impl(arg, inner_of(self), no_initial.get()));
}

// ---- consuming methods --------------------------------------------------------------------------

PyObject* iter_collect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_NO_ARG("collect");
    PyObject* call_args[1] = {inner_of(self)};
    return call_attr("builtins", "list", call_args, 1);
}

PyObject* iter_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig = method_signature("Iter", "reduce", {"binop"}, -1, Extra::Args);
    BoundArgs bound;
    if (!bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, bound)) return nullptr;
    if (bound.nvarargs() >= 2) {
        PyErr_SetString(PyExc_TypeError, "reduce takes at most 2 arguments");
        return nullptr;
    }
    PyObject* call_args[3] = {bound[0], inner_of(self), bound.nvarargs() == 1 ? bound.vararg(0) : nullptr};
    return call_attr("functools", "reduce", call_args, bound.nvarargs() == 1 ? 3 : 2);
}

PyObject* iter_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_NO_ARG("count");
    std::size_t n = 0;
    if (!sequences::count_of(inner_of(self), n)) return nullptr;
    return PyLong_FromSize_t(n);
}

PyObject* iter_frequencies(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_NO_ARG("frequencies");
    return sequences::frequencies_of(inner_of(self));
}

PyObject* iter_group_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_ONE_ARG("group_by", "key");
    return sequences::groupby_of(arg, inner_of(self));
}

PyObject* iter_to_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_NO_ARG("to_dict");
    PyObject* call_args[1] = {inner_of(self)};
    return call_attr("builtins", "dict", call_args, 1);
}

PyObject* iter_first(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_NO_ARG("first");
    return option::first_opt_of(inner_of(self));
}

PyObject* iter_last(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_NO_ARG("last");
    return option::last_opt_of(inner_of(self));
}

PyObject* iter_nth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TROVIX_SIZE_ARG("nth", "i");
    return option::nth_opt_of(size, inner_of(self));
}

#undef TROVIX_ONE_ARG
#undef TROVIX_SIZE_ARG
#undef TROVIX_NO_ARG

// ---- slots --------------------------------------------------------------------------------------

PyObject* iter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig = method_signature("Iter", "__new__", {"inner"});
    BoundArgs bound;
    if (!bind_tuple(sig, args, kwargs, bound)) return nullptr;
    return new_iter_of(type, bound[0]);
}

// Iter(x) called from Python: bound straight from the argument array.
PyObject* iter_construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr Signature sig = method_signature("Iter", "__new__", {"inner"});
    PyObject* bound[1];
    if (!bind_exact(sig, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
    return new_iter_of(reinterpret_cast<PyTypeObject*>(type), bound[0]);
}

// Iter(Iter(...)) nests one native call per level: the interpreter's stack guard turns a chain
// too deep for the C stack into RecursionError.
PyObject* iter_iter(PyObject* self) {
    if (Py_EnterRecursiveCall(" while getting the iterator of an Iter")) return nullptr;
    PyObject* it = PyObject_GetIter(inner_of(self));
    Py_LeaveRecursiveCall();
    return it;
}

// A chain of Iters around Iters is freed through the interpreter's trashcan.
void iter_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, iter_dealloc)
    Py_CLEAR(reinterpret_cast<FluentObject*>(self)->inner);
    free_instance(self);
    Py_TRASHCAN_END
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<FluentObject*>(self)->inner);
    return 0;
}

int iter_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<FluentObject*>(self)->inner);
    return 0;
}

#define TROVIX_METH(name, fn, head) {name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, head "\n--\n\n"}

PyMethodDef kMethods[] = {
    TROVIX_METH("map", iter_map, "map($self, f)"),
    TROVIX_METH("filter", iter_filter, "filter($self, f)"),
    TROVIX_METH("unique", iter_unique, "unique($self, key=None)"),
    TROVIX_METH("take", iter_take, "take($self, n)"),
    TROVIX_METH("drop", iter_drop, "drop($self, n)"),
    TROVIX_METH("sliding_window", iter_sliding_window, "sliding_window($self, n)"),
    TROVIX_METH("partition_all", iter_partition_all, "partition_all($self, n)"),
    TROVIX_METH("flat_map", iter_flat_map, "flat_map($self, f)"),
    TROVIX_METH("pluck", iter_pluck, "pluck($self, ind)"),
    TROVIX_METH("interpose", iter_interpose, "interpose($self, el)"),
    TROVIX_METH("accumulate", iter_accumulate, "accumulate($self, binop)"),
    TROVIX_METH("collect", iter_collect, "collect($self)"),
    TROVIX_METH("reduce", iter_reduce, "reduce($self, binop, *rest)"),
    TROVIX_METH("count", iter_count, "count($self)"),
    TROVIX_METH("frequencies", iter_frequencies, "frequencies($self)"),
    TROVIX_METH("group_by", iter_group_by, "group_by($self, key)"),
    TROVIX_METH("to_dict", iter_to_dict, "to_dict($self)"),
    TROVIX_METH("first", iter_first, "first($self)"),
    TROVIX_METH("last", iter_last, "last($self)"),
    TROVIX_METH("nth", iter_nth, "nth($self, i)"),
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
    {nullptr, nullptr, 0, nullptr}};

#undef TROVIX_METH

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<iter_new>)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(entry<iter_construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(entry<iter_iter>)},
    {Py_tp_methods, kMethods},
    {0, nullptr}};

}  // namespace

const TypeDef kIterType = {"Iter", "Iter(inner)\n--\n\n", sizeof(FluentObject), kSlots, nullptr, &g_iter_cell};

}  // namespace trovix::iter
