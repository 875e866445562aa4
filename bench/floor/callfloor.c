/* The floor under pipe, compose and juxt: native code that does nothing but the same vectorcalls
 * (one per function, the previous result passed on, or every result collected into a tuple).
 * Built by bench/floor.py for the benchmark report only; not part of the shipped module. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

/* pipe_floor(x, *funcs): the value passed through each function in turn. */
static PyObject* pipe_floor(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "pipe_floor needs a value");
        return NULL;
    }
    PyObject* value = Py_NewRef(args[0]);
    for (Py_ssize_t i = 1; i < nargs && value != NULL; ++i) {
        PyObject* next = PyObject_Vectorcall(args[i], &value, 1, NULL);
        Py_DECREF(value);
        value = next;
    }
    return value;
}

/* A callable holding a tuple of functions: in a chain, each applied to the previous result (the
 * first to the call's arguments); in a fan, each applied to the call's arguments, the results
 * collected in a tuple. */
typedef struct {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* funcs;
    int fan;
} Floor;

static PyObject* floor_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Floor* f = (Floor*)self;
    Py_ssize_t n = PyTuple_GET_SIZE(f->funcs);
    if (f->fan) {
        PyObject* out = PyTuple_New(n);
        if (out == NULL) return NULL;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* r = PyObject_Vectorcall(PyTuple_GET_ITEM(f->funcs, i), args, nargsf, kwnames);
            if (r == NULL) {
                Py_DECREF(out);
                return NULL;
            }
            PyTuple_SET_ITEM(out, i, r);
        }
        return out;
    }
    PyObject* value = PyObject_Vectorcall(PyTuple_GET_ITEM(f->funcs, 0), args, nargsf, kwnames);
    for (Py_ssize_t i = 1; i < n && value != NULL; ++i) {
        PyObject* next = PyObject_Vectorcall(PyTuple_GET_ITEM(f->funcs, i), &value, 1, NULL);
        Py_DECREF(value);
        value = next;
    }
    return value;
}

static void floor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(((Floor*)self)->funcs);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyMemberDef floor_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Floor, vectorcall), Py_READONLY, NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_call, (void*)PyVectorcall_Call},
    {Py_tp_dealloc, (void*)floor_dealloc},
    {Py_tp_members, floor_members},
    {0, NULL},
};

static PyType_Spec floor_spec = {"callfloor.Floor", sizeof(Floor), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL, floor_slots};

static PyObject* floor_type;

static PyObject* make_floor(PyObject* const* args, Py_ssize_t nargs, int fan, int reverse) {
    PyObject* funcs = PyTuple_New(nargs);
    if (funcs == NULL) return NULL;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(funcs, i, Py_NewRef(args[reverse ? nargs - 1 - i : i]));
    Floor* f = PyObject_New(Floor, (PyTypeObject*)floor_type);
    if (f == NULL) {
        Py_DECREF(funcs);
        return NULL;
    }
    Py_INCREF(floor_type);
    f->vectorcall = floor_call;
    f->funcs = funcs;
    f->fan = fan;
    return (PyObject*)f;
}

/* compose_floor(*funcs): applies the functions right to left; juxt_floor(*funcs): all of them. */
static PyObject* compose_floor(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return nargs > 0 ? make_floor(args, nargs, 0, 1) : (PyErr_SetString(PyExc_TypeError, "no functions"), NULL);
}
static PyObject* juxt_floor(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return make_floor(args, nargs, 1, 0);
}

/* chunk_floor(it, n): takes `n`-tuples from the iterator until it ends, dropping each (what a
 * streamed chunking iterator must do at least, without the iterator protocol around it); returns
 * how many chunks were taken. */
static PyObject* chunk_floor(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "chunk_floor(it, n)");
        return NULL;
    }
    PyObject* it = args[0];
    Py_ssize_t n = PyLong_AsSsize_t(args[1]);
    if (n <= 0 || !PyIter_Check(it)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "chunk_floor needs an iterator and n > 0");
        return NULL;
    }
    iternextfunc next = Py_TYPE(it)->tp_iternext;
    Py_ssize_t chunks = 0;
    for (;;) {
        PyObject* t = PyTuple_New(n);
        if (t == NULL) return NULL;
        Py_ssize_t i = 0;
        for (; i < n; ++i) {
            PyObject* item = next(it);
            if (item == NULL) break;
            PyTuple_SET_ITEM(t, i, item);
        }
        Py_DECREF(t);
        if (i < n) break;
        ++chunks;
    }
    if (PyErr_Occurred()) return NULL;
    return PyLong_FromSsize_t(chunks);
}

static PyMethodDef methods[] = {
    {"chunk_floor", (PyCFunction)(void (*)(void))chunk_floor, METH_FASTCALL, NULL},
    {"pipe_floor", (PyCFunction)(void (*)(void))pipe_floor, METH_FASTCALL, NULL},
    {"compose_floor", (PyCFunction)(void (*)(void))compose_floor, METH_FASTCALL, NULL},
    {"juxt_floor", (PyCFunction)(void (*)(void))juxt_floor, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "callfloor", NULL, -1, methods};

PyMODINIT_FUNC PyInit_callfloor(void) {
    floor_type = PyType_FromSpec(&floor_spec);
    if (floor_type == NULL) return NULL;
    return PyModule_Create(&module);
}
