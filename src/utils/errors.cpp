#include "utils/errors.h"

#include "utils/once.h"
#include "utils/ref.h"

#include <new>

namespace trovix {

namespace {

constexpr const char kPanicDoc[] =
    "The exception raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the application and cause\n"
    "the interpreter to exit.\n";

OnceCell g_panic_type;
OnceCell g_note_method_name;

}  // namespace

PyObject* panic_exception_type() noexcept {
    return g_panic_type.get_or_init([]() -> PyObject* {
        return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    });
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the creation error stays set
    PyErr_SetString(type, message);
}

void raise_panic_from_current(const char* fallback) noexcept {
    try {
        throw;
    } catch (const Fault& f) {
        raise_panic(f.message().empty() ? fallback : f.message().c_str());
    } catch (const std::bad_alloc&) {
        // Memory that ran out is the caller's ordinary MemoryError, whichever allocation it was.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        const char* what = e.what();
        raise_panic(what != nullptr && *what != '\0' ? what : fallback);
    } catch (...) {
        raise_panic(fallback);
    }
}

void resume_panic_if_pending() noexcept {
    PyObject* type = g_panic_type.peek();
    if (type == nullptr || !PyErr_ExceptionMatches(type)) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    std::string message = "Unwrapped panic from Python code";
    if (Ref text = Ref::steal(PyObject_Str(exc.get()))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) message.assign(utf8, size);
    }
    PyErr_Clear();
    PySys_WriteStderr("trovix: a PanicException raised by Python code reached native code; it continues as a fault:\n");
    PyErr_DisplayException(exc.get());
    raise_panic(message.c_str());
}

void ffi_err() noexcept {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "FFI call failed without setting an exception");
    }
}

bool clear_ordinary_error() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyErr_Clear();
    return true;
}

void add_processing_note(const char* param_name) noexcept {
    PyObject* name = g_note_method_name.get_or_init([]() -> PyObject* {
        return PyUnicode_InternFromString("add_note");
    });
    if (name == nullptr) {
        PyErr_Clear();
        return;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param_name));
    if (note) {
        Ref r = Ref::steal(PyObject_CallMethodOneArg(exc.get(), name, note.get()));
    }
    // If attaching the note failed, the original exception is raised without it.
    PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
}

}  // namespace trovix
