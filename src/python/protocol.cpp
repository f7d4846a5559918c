#include "python/protocol.hpp"

#include <vector>

namespace quibrel::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

}  // namespace

void bind_arguments(const char* full_name, std::initializer_list<const char*> names,
                    PyObject* args, PyObject* kwargs, PyObject** out) {
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;

    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    if (given < 0) throw ErrorAlreadySet();
    if (static_cast<std::size_t>(given) > count) {
        raise(PyExc_TypeError, std::string(full_name) + " takes " + std::to_string(count) +
                                   " positional arguments but " + std::to_string(given) +
                                   (given == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t index = count;
            std::size_t i = 0;
            for (const char* name : names) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
                    index = i;
                    break;
                }
                ++i;
            }
            if (index == count) {
                Ref text = check(PyObject_Str(key));
                const char* k = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
                if (k == nullptr) throw ErrorAlreadySet();
                raise(PyExc_TypeError,
                      std::string(full_name) + " got an unexpected keyword argument '" + k + "'");
            }
            if (out[index] != nullptr) {
                raise(PyExc_TypeError, std::string(full_name) +
                                           " got multiple values for argument '" +
                                           names.begin()[index] + "'");
            }
            out[index] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (out[i] == nullptr) missing.push_back(names.begin()[i]);
    if (!missing.empty()) {
        raise(PyExc_TypeError, std::string(full_name) + " missing " +
                                   std::to_string(missing.size()) + " required positional " +
                                   (missing.size() == 1 ? "argument: " : "arguments: ") +
                                   quoted_list(missing));
    }
}

void add_argument_prefix(const char* param) noexcept {
    if (PyErr_Occurred() != PyExc_TypeError) return;  // only TypeErrors name the argument
    Ref old = fetch_error();
    Ref text = Ref::steal(PyObject_Str(old.get()));
    if (!text) {
        PyErr_Clear();
        PyObject* traceback = PyException_GetTraceback(old.get());
        PyErr_Restore(Py_NewRef(PyExc_TypeError), old.release(), traceback);
        return;
    }
    // The replacement keeps the original's own cause, not the original.
    set_error_from(PyExc_TypeError,
                   Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get())),
                   Ref::steal(PyException_GetCause(old.get())));
}

}  // namespace quibrel::py
