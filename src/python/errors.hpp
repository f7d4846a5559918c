// Error handling at the boundary: a C++ exception that means "a Python
// exception is already set", helpers to raise Python errors, and the single
// translation point for everything the core can throw.
#pragma once

#include <exception>
#include <string>

#include "python/ref.hpp"

namespace quibrel::py {

// Thrown after a Python exception has been set; carries nothing.
struct ErrorAlreadySet : std::exception {
    const char* what() const noexcept override { return "Python error set"; }
};

// Throws ErrorAlreadySet if the interpreter has an error pending.
inline void throw_if_error() {
    if (PyErr_Occurred()) throw ErrorAlreadySet();
}

// Throws ErrorAlreadySet when p is null (the API call set an error).
inline Ref check(PyObject* p) {
    if (p == nullptr) throw ErrorAlreadySet();
    return Ref::steal(p);
}

[[noreturn]] void raise(PyObject* type, const std::string& message);

// Takes the pending Python exception, normalised and with its traceback
// attached, so that it can become another exception's __cause__; null when
// none is pending.
Ref fetch_error() noexcept;

// Sets type(message) as the pending exception with `cause` as its __cause__
// (a null cause leaves it unset). If building it fails, that failure is the
// pending error instead.
void set_error_from(PyObject* type, Ref message, Ref cause) noexcept;

// set_error_from, then ErrorAlreadySet.
[[noreturn]] void raise_from(PyObject* type, Ref message, Ref cause);

// The qualified name of obj's type, as used in conversion messages.
std::string type_name(PyObject* obj);

// "'<type of obj>' object cannot be converted to '<target>'".
std::string not_convertible(PyObject* obj, const char* target);

// Sets the Python exception for the exception being handled. Call only from
// inside a catch block. This is the one place core failures become Python
// exceptions.
void translate_current_exception() noexcept;

// Runs f, returning its result's reference or null with an exception set.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return f().release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}
template <class F>
int guarded_int(F&& f) noexcept {
    try {
        f();
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// Python check that the core polls while it waits on workers.
bool interrupt_pending() noexcept;

// The calling thread runs without the interpreter lock while this lives, so
// that other Python threads (a Dask worker's event loop, say) go on; the lock
// is taken back when it ends, exceptions included. Meanwhile
// interrupt_pending, which needs the lock, answers false on this thread: an
// interrupt is seen after the scope. Only for code that touches no Python
// object.
class ReleasedLock {
public:
    ReleasedLock() noexcept;
    ~ReleasedLock();
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* state_;
    bool previous_;
};

}  // namespace quibrel::py
