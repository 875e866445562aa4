// Optional values (Some / NothingType) and results (Ok / Err).
#include "option/option.h"

#include <cstddef>

#include "utils/binding.h"
#include "utils/errors.h"
#include "utils/imports.h"
#include "utils/ref.h"

namespace trovix::option {

namespace {

// Some, Ok and Err: one payload, set by the constructor and never changed.
struct PayloadObject {
    PyObject_HEAD
    PyObject* payload;
};

struct NothingObject {
    PyObject_HEAD
};

OnceCell g_some_cell, g_nothing_cell, g_option_cell, g_ok_cell, g_err_cell, g_result_cell;

PyObject* payload_of(PyObject* self) noexcept { return reinterpret_cast<PayloadObject*>(self)->payload; }

PyObject* new_payload(PyTypeObject* type, PyObject* payload) noexcept {
    auto* obj = alloc_instance<PayloadObject>(type);
    if (obj == nullptr) return nullptr;
    obj->payload = Py_NewRef(payload);
    // A payload that the collector does not track (an int, a str, None...) cannot lead back to
    // the value, which never changes: like a tuple of such objects, the value needs no tracking.
    if (!PyObject_IS_GC(payload)) PyObject_GC_UnTrack(obj);
    return reinterpret_cast<PyObject*>(obj);
}

PyObject* new_of(const TypeDef& def, PyObject* payload) noexcept {
    PyTypeObject* type = get_type_for_instance(def);
    return type == nullptr ? nullptr : new_payload(type, payload);
}

// Some, Ok and Err take part in cyclic garbage collection: `r = Result.of(f)` in a function
// stores an exception whose traceback reaches that function's frame, which holds `r`.
void payload_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<PayloadObject*>(self)->payload);
    free_instance(self);
}

int payload_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PayloadObject*>(self)->payload);
    return 0;
}

int payload_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<PayloadObject*>(self)->payload);
    return 0;
}

void nothing_dealloc(PyObject* self) noexcept { free_instance(self); }

bool is_instance_of(PyObject* obj, const TypeDef& def) noexcept {
    PyObject* type = def.cell->peek();
    return type != nullptr && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type));
}

// ---- binding helpers ---------------------------------------------------------------------------

// Binds a method that takes no argument besides self.
bool bind_none(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs == 0 && kwnames == nullptr) [[likely]] return true;
    BoundArgs bound;
    return bind_fast(sig, args, static_cast<std::size_t>(nargs), kwnames, bound);
}

// Binds a method that takes exactly one argument; `out` is borrowed from the argument array.
bool bind_one(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject*& out) noexcept {
    PyObject* a[1];
    if (!bind_exact(sig, args, nargs, kwnames, a)) return false;
    out = a[0];
    return true;
}

#define TROVIX_METHOD0(cls, meth, body)                                                              \
    PyObject* cls##_##meth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) { \
        static constexpr Signature sig = method_signature(#cls, #meth, {});                          \
        if (!bind_none(sig, args, nargs, kw)) return nullptr;                                        \
        (void)self;                                                                                  \
        body                                                                                         \
    }

// The one argument is available to `body` as `arg`.
#define TROVIX_METHOD1(cls, meth, param, body)                                                       \
    PyObject* cls##_##meth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) { \
        static constexpr Signature sig = method_signature(#cls, #meth, {#param});                    \
        PyObject* arg = nullptr;                                                                     \
        if (!bind_one(sig, args, nargs, kw, arg)) return nullptr;                                    \
        (void)self;                                                                                  \
        (void)arg;                                                                                   \
        body                                                                                         \
    }

// ---- Some ----------------------------------------------------------------------------------------

TROVIX_METHOD1(Some, map, f, {
    Ref r = Ref::steal(PyObject_CallOneArg(arg, payload_of(self)));
    return r ? new_some(r.get()) : nullptr;
})
TROVIX_METHOD1(Some, and_then, f, {
    Ref r = Ref::steal(PyObject_CallOneArg(arg, payload_of(self)));
    if (!r) return nullptr;
    if (is_instance_of(r.get(), kSomeType) || is_instance_of(r.get(), kNothingType)) return r.release();
    PyErr_SetString(PyExc_TypeError, "and_then callback must return an Option");
    return nullptr;
})
TROVIX_METHOD1(Some, filter, pred, {
    Ref r = Ref::steal(PyObject_CallOneArg(arg, payload_of(self)));
    if (!r) return nullptr;
    int truth = PyObject_IsTrue(r.get());
    if (truth < 0) return nullptr;
    return truth ? new_some(payload_of(self)) : new_nothing();
})
TROVIX_METHOD0(Some, unwrap, { return Py_NewRef(payload_of(self)); })
TROVIX_METHOD1(Some, unwrap_or, default, { return Py_NewRef(payload_of(self)); })
TROVIX_METHOD1(Some, unwrap_or_else, f, { return Py_NewRef(payload_of(self)); })
TROVIX_METHOD1(Some, ok_or, err, { return new_ok(payload_of(self)); })
TROVIX_METHOD0(Some, is_some, { return new_bool(true); })
TROVIX_METHOD0(Some, is_none, { return new_bool(false); })

// ---- NothingType ---------------------------------------------------------------------------------

TROVIX_METHOD1(NothingType, map, f, { return new_nothing(); })
TROVIX_METHOD1(NothingType, and_then, f, { return new_nothing(); })
TROVIX_METHOD1(NothingType, filter, pred, { return new_nothing(); })
TROVIX_METHOD0(NothingType, unwrap, {
    PyErr_SetString(PyExc_ValueError, "called `unwrap` on Nothing");
    return nullptr;
})
TROVIX_METHOD1(NothingType, unwrap_or, default, { return Py_NewRef(arg); })
TROVIX_METHOD1(NothingType, unwrap_or_else, f, { return PyObject_CallNoArgs(arg); })
TROVIX_METHOD1(NothingType, ok_or, err, { return new_err(arg); })
TROVIX_METHOD0(NothingType, is_some, { return new_bool(false); })
TROVIX_METHOD0(NothingType, is_none, { return new_bool(true); })

// ---- Ok ------------------------------------------------------------------------------------------

TROVIX_METHOD1(Ok, map, f, {
    Ref r = Ref::steal(PyObject_CallOneArg(arg, payload_of(self)));
    return r ? new_ok(r.get()) : nullptr;
})
TROVIX_METHOD1(Ok, map_err, f, { return new_ok(payload_of(self)); })
TROVIX_METHOD1(Ok, and_then, f, {
    Ref r = Ref::steal(PyObject_CallOneArg(arg, payload_of(self)));
    if (!r) return nullptr;
    if (is_instance_of(r.get(), kOkType) || is_instance_of(r.get(), kErrType)) return r.release();
    PyErr_SetString(PyExc_TypeError, "and_then callback must return a Result");
    return nullptr;
})
TROVIX_METHOD0(Ok, unwrap, { return Py_NewRef(payload_of(self)); })
TROVIX_METHOD1(Ok, unwrap_or, default, { return Py_NewRef(payload_of(self)); })
TROVIX_METHOD0(Ok, ok, { return new_some(payload_of(self)); })
TROVIX_METHOD0(Ok, err, { return new_nothing(); })
TROVIX_METHOD0(Ok, is_ok, { return new_bool(true); })
TROVIX_METHOD0(Ok, is_err, { return new_bool(false); })

// ---- Err -----------------------------------------------------------------------------------------

TROVIX_METHOD1(Err, map, f, { return new_err(payload_of(self)); })
TROVIX_METHOD1(Err, map_err, f, {
    Ref r = Ref::steal(PyObject_CallOneArg(arg, payload_of(self)));
    return r ? new_err(r.get()) : nullptr;
})
TROVIX_METHOD1(Err, and_then, f, { return new_err(payload_of(self)); })
TROVIX_METHOD0(Err, unwrap, {
    PyErr_Format(PyExc_ValueError, "called `unwrap` on Err(%R)", payload_of(self));
    return nullptr;
})
TROVIX_METHOD1(Err, unwrap_or, default, { return Py_NewRef(arg); })
TROVIX_METHOD0(Err, ok, { return new_nothing(); })
TROVIX_METHOD0(Err, err, { return new_some(payload_of(self)); })
TROVIX_METHOD0(Err, is_ok, { return new_bool(false); })
TROVIX_METHOD0(Err, is_err, { return new_bool(true); })

// ---- Option.of / Result.of ----------------------------------------------------------------------

TROVIX_METHOD1(Option, of, v, { return arg == Py_None ? new_nothing() : new_some(arg); })
TROVIX_METHOD1(Result, of, f, {
    Ref r = Ref::steal(PyObject_CallNoArgs(arg));
    if (r) return new_ok(r.get());
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    return new_err(exc.get());
})

// ---- pickling and copying --------------------------------------------------------------------
// A value pickles as its class and payload, so `pickle`, `copy.copy` and `copy.deepcopy` rebuild an
// equal value through the constructor (which also lets results travel between processes). The
// module's own `Nothing` pickles by name and so comes back as that same object in any process that
// imports the module; any other NothingType instance comes back as a new, equal instance.

TROVIX_METHOD0(NothingType, __reduce__, {
    Ref module_nothing = import_attr("trovix._trovix", "Nothing");
    if (!module_nothing) return nullptr;
    if (module_nothing.get() == self) return PyUnicode_FromString("Nothing");
    return Py_BuildValue("(O())", reinterpret_cast<PyObject*>(Py_TYPE(self)));
})

#undef TROVIX_METHOD0
#undef TROVIX_METHOD1

// ---- constructors --------------------------------------------------------------------------------

template <const char* Cls, const char* Param>
PyObject* payload_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig = method_signature(Cls, "__new__", {Param});
    BoundArgs bound;
    if (!bind_tuple(sig, args, kwargs, bound)) return nullptr;
    return new_payload(type, bound[0]);
}
constexpr char kSomeName[] = "Some", kOkName[] = "Ok", kErrName[] = "Err";
constexpr char kValue[] = "value", kError[] = "error";

// Some, Ok and Err: rebuilt by calling the class with the payload.
template <const char* Cls>
PyObject* payload_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    static constexpr Signature sig = method_signature(Cls, "__reduce__", {});
    if (!bind_none(sig, args, nargs, kw)) return nullptr;
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), payload_of(self));
}

PyObject* nothing_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature sig = method_signature("NothingType", "__new__", {});
    BoundArgs bound;
    if (!bind_tuple(sig, args, kwargs, bound)) return nullptr;
    return reinterpret_cast<PyObject*>(alloc_instance<NothingObject>(type));
}

// ---- slots ---------------------------------------------------------------------------------------

template <const char* Tag>
PyObject* payload_repr(PyObject* self) {
    return PyUnicode_FromFormat("%s(%R)", Tag, payload_of(self));
}

PyObject* nothing_repr(PyObject*) { return PyUnicode_FromString("Nothing"); }

int true_bool(PyObject*) { return 1; }
int false_bool(PyObject*) { return 0; }

template <const TypeDef* Def>
PyObject* value_richcompare(PyObject* self, PyObject* other, int op) {
    if (op == Py_EQ) {
        if constexpr (Def == &kNothingType) {
            return new_bool(is_instance_of(other, kNothingType));
        } else {
            if (!is_instance_of(other, *Def)) return new_bool(false);
            Ref r = Ref::steal(PyObject_RichCompare(payload_of(self), payload_of(other), Py_EQ));
            if (!r) return nullptr;
            int truth = PyObject_IsTrue(r.get());
            return truth < 0 ? nullptr : new_bool(truth != 0);
        }
    }
    if (op == Py_NE) {
        Ref r = Ref::steal(PyObject_RichCompare(self, other, Py_EQ));
        if (!r) return nullptr;
        int truth = PyObject_IsTrue(r.get());
        return truth < 0 ? nullptr : new_bool(truth == 0);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

PyObject* match_args_value() { return Py_BuildValue("(s)", "value"); }
PyObject* match_args_error() { return Py_BuildValue("(s)", "error"); }

constexpr ClassAttr kValueAttrs[] = {{"__match_args__", match_args_value}, {nullptr, nullptr}};
constexpr ClassAttr kErrorAttrs[] = {{"__match_args__", match_args_error}, {nullptr, nullptr}};

PyMemberDef kValueMembers[] = {
    {"value", Py_T_OBJECT_EX, offsetof(PayloadObject, payload), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};
PyMemberDef kErrorMembers[] = {
    {"error", Py_T_OBJECT_EX, offsetof(PayloadObject, payload), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

#define TROVIX_METH(cls, meth, head) \
    {#meth, fastcall_method<cls##_##meth>(), METH_FASTCALL | METH_KEYWORDS, head}
#define TROVIX_STATIC(cls, meth, head) \
    {#meth, fastcall_method<cls##_##meth>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, head}

PyMethodDef kSomeMethods[] = {
    TROVIX_METH(Some, map, "map($self, f)\n--\n\n"),
    TROVIX_METH(Some, and_then, "and_then($self, f)\n--\n\n"),
    TROVIX_METH(Some, filter, "filter($self, pred)\n--\n\n"),
    TROVIX_METH(Some, unwrap, "unwrap($self)\n--\n\n"),
    TROVIX_METH(Some, unwrap_or, "unwrap_or($self, default)\n--\n\n"),
    TROVIX_METH(Some, unwrap_or_else, "unwrap_or_else($self, f)\n--\n\n"),
    TROVIX_METH(Some, ok_or, "ok_or($self, err)\n--\n\n"),
    TROVIX_METH(Some, is_some, "is_some($self)\n--\n\n"),
    TROVIX_METH(Some, is_none, "is_none($self)\n--\n\n"),
    {"__reduce__", fastcall_method<payload_reduce<kSomeName>>(), METH_FASTCALL | METH_KEYWORDS,
     "__reduce__($self)\n--\n\n"},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kNothingMethods[] = {
    TROVIX_METH(NothingType, map, "map($self, f)\n--\n\n"),
    TROVIX_METH(NothingType, and_then, "and_then($self, f)\n--\n\n"),
    TROVIX_METH(NothingType, filter, "filter($self, pred)\n--\n\n"),
    TROVIX_METH(NothingType, unwrap, "unwrap($self)\n--\n\n"),
    TROVIX_METH(NothingType, unwrap_or, "unwrap_or($self, default)\n--\n\n"),
    TROVIX_METH(NothingType, unwrap_or_else, "unwrap_or_else($self, f)\n--\n\n"),
    TROVIX_METH(NothingType, ok_or, "ok_or($self, err)\n--\n\n"),
    TROVIX_METH(NothingType, is_some, "is_some($self)\n--\n\n"),
    TROVIX_METH(NothingType, is_none, "is_none($self)\n--\n\n"),
    TROVIX_METH(NothingType, __reduce__, "__reduce__($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kOkMethods[] = {
    TROVIX_METH(Ok, map, "map($self, f)\n--\n\n"),
    TROVIX_METH(Ok, map_err, "map_err($self, f)\n--\n\n"),
    TROVIX_METH(Ok, and_then, "and_then($self, f)\n--\n\n"),
    TROVIX_METH(Ok, unwrap, "unwrap($self)\n--\n\n"),
    TROVIX_METH(Ok, unwrap_or, "unwrap_or($self, default)\n--\n\n"),
    TROVIX_METH(Ok, ok, "ok($self)\n--\n\n"),
    TROVIX_METH(Ok, err, "err($self)\n--\n\n"),
    TROVIX_METH(Ok, is_ok, "is_ok($self)\n--\n\n"),
    TROVIX_METH(Ok, is_err, "is_err($self)\n--\n\n"),
    {"__reduce__", fastcall_method<payload_reduce<kOkName>>(), METH_FASTCALL | METH_KEYWORDS,
     "__reduce__($self)\n--\n\n"},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kErrMethods[] = {
    TROVIX_METH(Err, map, "map($self, f)\n--\n\n"),
    TROVIX_METH(Err, map_err, "map_err($self, f)\n--\n\n"),
    TROVIX_METH(Err, and_then, "and_then($self, f)\n--\n\n"),
    TROVIX_METH(Err, unwrap, "unwrap($self)\n--\n\n"),
    TROVIX_METH(Err, unwrap_or, "unwrap_or($self, default)\n--\n\n"),
    TROVIX_METH(Err, ok, "ok($self)\n--\n\n"),
    TROVIX_METH(Err, err, "err($self)\n--\n\n"),
    TROVIX_METH(Err, is_ok, "is_ok($self)\n--\n\n"),
    TROVIX_METH(Err, is_err, "is_err($self)\n--\n\n"),
    {"__reduce__", fastcall_method<payload_reduce<kErrName>>(), METH_FASTCALL | METH_KEYWORDS,
     "__reduce__($self)\n--\n\n"},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kOptionMethods[] = {TROVIX_STATIC(Option, of, "of(v)\n--\n\n"), {nullptr, nullptr, 0, nullptr}};
PyMethodDef kResultMethods[] = {TROVIX_STATIC(Result, of, "of(f)\n--\n\n"), {nullptr, nullptr, 0, nullptr}};

#undef TROVIX_METH
#undef TROVIX_STATIC

#define TROVIX_SLOT(id, fn) {id, reinterpret_cast<void*>(entry<fn>)}
#define TROVIX_RAW_SLOT(id, fn) {id, reinterpret_cast<void*>(fn)}

PyType_Slot kSomeSlots[] = {
    TROVIX_SLOT(Py_tp_new, (payload_new<kSomeName, kValue>)),
    TROVIX_RAW_SLOT(Py_tp_dealloc, payload_dealloc),
    TROVIX_RAW_SLOT(Py_tp_traverse, payload_traverse),
    TROVIX_RAW_SLOT(Py_tp_clear, payload_clear),
    TROVIX_SLOT(Py_tp_repr, payload_repr<kSomeName>),
    TROVIX_SLOT(Py_tp_richcompare, value_richcompare<&kSomeType>),
    TROVIX_SLOT(Py_nb_bool, true_bool),
    {Py_tp_methods, kSomeMethods},
    {Py_tp_members, kValueMembers},
    {0, nullptr}};

PyType_Slot kNothingSlots[] = {
    TROVIX_SLOT(Py_tp_new, nothing_tp_new),
    TROVIX_RAW_SLOT(Py_tp_dealloc, nothing_dealloc),
    TROVIX_SLOT(Py_tp_repr, nothing_repr),
    TROVIX_SLOT(Py_tp_richcompare, value_richcompare<&kNothingType>),
    TROVIX_SLOT(Py_nb_bool, false_bool),
    {Py_tp_methods, kNothingMethods},
    {0, nullptr}};

PyType_Slot kOkSlots[] = {
    TROVIX_SLOT(Py_tp_new, (payload_new<kOkName, kValue>)),
    TROVIX_RAW_SLOT(Py_tp_dealloc, payload_dealloc),
    TROVIX_RAW_SLOT(Py_tp_traverse, payload_traverse),
    TROVIX_RAW_SLOT(Py_tp_clear, payload_clear),
    TROVIX_SLOT(Py_tp_repr, payload_repr<kOkName>),
    TROVIX_SLOT(Py_tp_richcompare, value_richcompare<&kOkType>),
    TROVIX_SLOT(Py_nb_bool, true_bool),
    {Py_tp_methods, kOkMethods},
    {Py_tp_members, kValueMembers},
    {0, nullptr}};

PyType_Slot kErrSlots[] = {
    TROVIX_SLOT(Py_tp_new, (payload_new<kErrName, kError>)),
    TROVIX_RAW_SLOT(Py_tp_dealloc, payload_dealloc),
    TROVIX_RAW_SLOT(Py_tp_traverse, payload_traverse),
    TROVIX_RAW_SLOT(Py_tp_clear, payload_clear),
    TROVIX_SLOT(Py_tp_repr, payload_repr<kErrName>),
    TROVIX_SLOT(Py_tp_richcompare, value_richcompare<&kErrType>),
    TROVIX_SLOT(Py_nb_bool, false_bool),
    {Py_tp_methods, kErrMethods},
    {Py_tp_members, kErrorMembers},
    {0, nullptr}};

PyType_Slot kOptionSlots[] = {{Py_tp_methods, kOptionMethods}, {0, nullptr}};
PyType_Slot kResultSlots[] = {{Py_tp_methods, kResultMethods}, {0, nullptr}};

#undef TROVIX_SLOT
#undef TROVIX_RAW_SLOT

}  // namespace

const TypeDef kSomeType = {"Some", "Some(value)\n--\n\n", sizeof(PayloadObject), kSomeSlots, kValueAttrs, &g_some_cell};
const TypeDef kNothingType = {"NothingType", "NothingType()\n--\n\n", sizeof(NothingObject), kNothingSlots, nullptr, &g_nothing_cell};
const TypeDef kOptionType = {"Option", nullptr, sizeof(NothingObject), kOptionSlots, nullptr, &g_option_cell};
const TypeDef kOkType = {"Ok", "Ok(value)\n--\n\n", sizeof(PayloadObject), kOkSlots, kValueAttrs, &g_ok_cell};
const TypeDef kErrType = {"Err", "Err(error)\n--\n\n", sizeof(PayloadObject), kErrSlots, kErrorAttrs, &g_err_cell};
const TypeDef kResultType = {"Result", nullptr, sizeof(NothingObject), kResultSlots, nullptr, &g_result_cell};

PyObject* new_some(PyObject* value) noexcept { return new_of(kSomeType, value); }
PyObject* new_ok(PyObject* value) noexcept { return new_of(kOkType, value); }
PyObject* new_err(PyObject* error) noexcept { return new_of(kErrType, error); }
PyObject* new_nothing() noexcept {
    PyTypeObject* type = get_type_for_instance(kNothingType);
    return type == nullptr ? nullptr : reinterpret_cast<PyObject*>(alloc_instance<NothingObject>(type));
}

}  // namespace trovix::option
