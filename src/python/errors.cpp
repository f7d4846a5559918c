#include "python/errors.hpp"

#include <cerrno>
#include <cstdio>
#include <new>

#include "core/errors.hpp"

namespace quibrel::py {
namespace {

PyObject* panic_type = nullptr;  // created on first use, kept for the process

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when the module's native code fails internally.\n\n"
            "Like SystemExit, this exception is derived from BaseException so that\n"
            "it will typically propagate all the way through the stack and cause the\n"
            "Python interpreter to exit.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void raise_panic(const Panic& p) {
    const auto& where = p.where();
    std::fprintf(stderr, "\nthread '<unnamed>' panicked at %s:%u:%u:\n%s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 p.what());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the type failed; its error is set
    Ref message = Ref::steal(PyUnicode_FromString(p.what()));
    if (!message) return;
    Ref args = Ref::steal(PyTuple_Pack(1, message.get()));
    if (!args) return;
    PyErr_SetObject(type, args.get());
}

PyObject* os_error_type(int code) {
    switch (code) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case EEXIST: return PyExc_FileExistsError;
    case EINTR: return PyExc_InterruptedError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    default: return PyExc_OSError;
    }
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet();
}

Ref fetch_error() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

void set_error_from(PyObject* type, Ref message, Ref cause) noexcept {
    if (!message) return;  // building the message failed; that error is pending
    Ref error = Ref::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
    if (!error) return;
    if (cause) PyException_SetCause(error.get(), cause.release());  // steals
    PyErr_SetObject(type, error.get());
}

void raise_from(PyObject* type, Ref message, Ref cause) {
    set_error_from(type, std::move(message), std::move(cause));
    throw ErrorAlreadySet();
}

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(text, static_cast<std::size_t>(size));
}

std::string not_convertible(PyObject* obj, const char* target) {
    // Appended piece by piece: GCC 12 warns (-Wrestrict, wrongly) about
    // prepending a literal to a temporary string.
    std::string text = "'";
    text.append(type_name(obj)).append("' object cannot be converted to '");
    return text.append(target).append("'");
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error flag lost");
    } catch (const Interrupted&) {
        // The signal handler already set KeyboardInterrupt (or whatever it raised).
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const Panic& e) {
        raise_panic(e);
    } catch (const ValueFailure& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const RuntimeFailure& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const OsFailure& e) {
        // One message argument, as the text already ends in " (os error N)".
        PyErr_SetString(os_error_type(e.code()), e.what());
    } catch (const FormatFailure& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(Panic(e.what()));
    } catch (...) {
        raise_panic(Panic("unknown internal failure"));
    }
}

namespace {
thread_local bool lock_released = false;
}  // namespace

bool interrupt_pending() noexcept {
    // Called on the thread that holds the interpreter lock while it waits,
    // unless a ReleasedLock scope gave it up.
    if (lock_released) return false;
    return PyErr_CheckSignals() != 0;
}

ReleasedLock::ReleasedLock() noexcept : previous_(lock_released) {
    lock_released = true;
    state_ = PyEval_SaveThread();
}

ReleasedLock::~ReleasedLock() {
    PyEval_RestoreThread(state_);
    lock_released = previous_;
}

}  // namespace quibrel::py
