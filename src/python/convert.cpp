#include "python/convert.hpp"

#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "core/errors.hpp"

namespace quibrel::py {
namespace {

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, not_convertible(obj, target));
}

// Module and qualified name of obj's type.
std::pair<std::string, std::string> type_identity(PyObject* obj) {
    auto attr = [&](const char* name) -> std::string {
        Ref value = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), name));
        if (!value || !PyUnicode_Check(value.get())) {
            PyErr_Clear();
            return {};
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
        if (text == nullptr) {
            PyErr_Clear();
            return {};
        }
        return std::string(text, static_cast<std::size_t>(size));
    };
    return {attr("__module__"), attr("__qualname__")};
}

// ---- buffer fast path -------------------------------------------------------

// Only containers whose iteration yields exactly their buffer's elements.
bool buffer_iterates_as_elements(PyObject* obj) {
    const auto [module, name] = type_identity(obj);
    if (module == "numpy") return name == "ndarray";
    if (module == "array") return name == "array";
    if (module == "builtins") return name == "memoryview" || name == "bytes" || name == "bytearray";
    return false;
}

class Buffer {
public:
    explicit Buffer(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES) == 0) {
            ok_ = true;
        } else {
            PyErr_Clear();
        }
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (ok_) PyBuffer_Release(&view_);
    }
    bool ok() const noexcept { return ok_; }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool ok_ = false;
};

enum class NumberKind { Signed, Unsigned, Float };

// Parses a one-element native or little-endian struct format.
std::optional<NumberKind> number_kind(const char* format) {
    if (format == nullptr) return NumberKind::Unsigned;  // plain bytes
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    switch (format[0]) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return NumberKind::Signed;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return NumberKind::Unsigned;
    case 'f': case 'd': return NumberKind::Float;
    default: return std::nullopt;
    }
}

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Converts n elements of type In at base (byte stride) into out. Returns false
// at the first value the target type cannot hold exactly as the interpreter
// would accept it, so the element path can raise its own error.
template <class In, class Out>
bool copy_numbers(const char* base, Py_ssize_t n, Py_ssize_t stride, std::vector<Out>& out) {
    Out* dst = out.data();
    // Arrays may be unaligned (views into byte buffers); only aligned ones are
    // read as typed memory.
    const bool contiguous = stride == static_cast<Py_ssize_t>(sizeof(In)) &&
                            reinterpret_cast<std::uintptr_t>(base) % alignof(In) == 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const In x = contiguous ? reinterpret_cast<const In*>(base)[i] : load<In>(base + i * stride);
        if constexpr (std::is_same_v<Out, float>) {
            if constexpr (std::is_floating_point_v<In>)
                dst[i] = static_cast<float>(x);
            else  // the interpreter goes through a double, so do we
                dst[i] = static_cast<float>(static_cast<double>(x));
        } else if constexpr (std::is_same_v<Out, std::int32_t>) {
            if constexpr (std::is_signed_v<In>) {
                if (x < INT32_MIN || x > INT32_MAX) return false;
            } else {
                if (x > static_cast<In>(INT32_MAX)) return false;
            }
            dst[i] = static_cast<std::int32_t>(x);
        } else {
            if constexpr (std::is_signed_v<In>)
                if (x < 0) return false;
            dst[i] = static_cast<std::uint64_t>(x);
        }
    }
    return true;
}

// Reads a buffer of plain numbers into out. Returns false when the element
// path must decide instead (unsupported layout, or a value the element path
// would refuse, so that the interpreter's own error is raised).
template <class Out>
bool read_buffer(PyObject* obj, std::vector<Out>& out) {
    if (!PyObject_CheckBuffer(obj) || !buffer_iterates_as_elements(obj)) return false;
    Buffer buffer(obj);
    if (!buffer.ok()) return false;
    const Py_buffer& v = buffer.view();
    if (v.ndim != 1 || v.shape == nullptr) return false;
    const auto kind = number_kind(v.format);
    if (!kind) return false;
    const Py_ssize_t n = v.shape[0];
    const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
    const Py_ssize_t width = v.itemsize;
    const char* base = static_cast<const char*>(v.buf);
    out.resize(static_cast<std::size_t>(n));

    switch (*kind) {
    case NumberKind::Float:
        if constexpr (!std::is_same_v<Out, float>) {
            return false;  // integers expected: only the element path words the error
        } else {
            if (width == 4) return copy_numbers<float>(base, n, stride, out);
            if (width == 8) return copy_numbers<double>(base, n, stride, out);
            return false;
        }
    case NumberKind::Signed:
        switch (width) {
        case 1: return copy_numbers<std::int8_t>(base, n, stride, out);
        case 2: return copy_numbers<std::int16_t>(base, n, stride, out);
        case 4: return copy_numbers<std::int32_t>(base, n, stride, out);
        case 8: return copy_numbers<std::int64_t>(base, n, stride, out);
        default: return false;
        }
    case NumberKind::Unsigned:
        switch (width) {
        case 1: return copy_numbers<std::uint8_t>(base, n, stride, out);
        case 2: return copy_numbers<std::uint16_t>(base, n, stride, out);
        case 4: return copy_numbers<std::uint32_t>(base, n, stride, out);
        case 8: return copy_numbers<std::uint64_t>(base, n, stride, out);
        default: return false;
        }
    }
    return false;
}

template <class Out, class Element>
std::vector<Out> to_sequence(PyObject* obj, Element convert) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) cannot_convert(obj, "Sequence");
    std::vector<Out> out;
    if (read_buffer(obj, out)) return out;
    out.clear();
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(size));
    }
    Ref iterator = check(PyObject_GetIter(obj));
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            throw_if_error();
            break;
        }
        out.push_back(convert(item.get()));
    }
    return out;
}

}  // namespace

std::int32_t to_i32(PyObject* obj) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : check(PyNumber_Index(obj));
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw ErrorAlreadySet();
    if (value < INT32_MIN || value > INT32_MAX) raise(PyExc_OverflowError, kOutOfRangeConversion);
    return static_cast<std::int32_t>(value);
}

std::uint64_t to_u64(PyObject* obj) {
    Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : check(PyNumber_Index(obj));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw ErrorAlreadySet();
    return value;
}

float to_f32(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet();
    return static_cast<float>(value);
}

bool to_bool(PyObject* obj) {
    if (PyBool_Check(obj)) return obj == Py_True;
    const auto [module, name] = type_identity(obj);
    if (module == "numpy" && (name == "bool_" || name == "bool")) {
        Ref result = check(PyObject_CallMethod(obj, "__bool__", nullptr));
        if (!PyBool_Check(result.get())) cannot_convert(result.get(), "PyBool");
        return result.get() == Py_True;
    }
    cannot_convert(obj, "PyBool");
}

std::string to_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) cannot_convert(obj, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) throw ErrorAlreadySet();
    return std::string(text, static_cast<std::size_t>(size));
}

void require_list(PyObject* obj) {
    if (!PyList_Check(obj)) cannot_convert(obj, "PyList");
}

void require_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) cannot_convert(obj, "PyDict");
}

std::vector<std::int32_t> to_i32_sequence(PyObject* obj) {
    return to_sequence<std::int32_t>(obj, to_i32);
}
std::vector<std::uint64_t> to_u64_sequence(PyObject* obj) {
    return to_sequence<std::uint64_t>(obj, to_u64);
}
std::vector<float> to_f32_sequence(PyObject* obj) {
    return to_sequence<float>(obj, to_f32);
}

ConsumedMap to_consumed_map(PyObject* dict) {
    require_dict(dict);
    ConsumedMap map;
    const Py_ssize_t initial = PyDict_Size(dict);
    Py_ssize_t remaining = initial;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (;;) {
        // Conversion code may run Python that changes the dict under us.
        if (PyDict_Size(dict) != initial)
            throw Panic("dictionary changed size during iteration");
        if (!PyDict_Next(dict, &pos, &key, &value)) break;
        if (remaining-- == 0) throw Panic("dictionary keys changed during iteration");
        Ref held_key = Ref::borrow(key);
        Ref held_value = Ref::borrow(value);
        const std::int32_t id = to_i32(held_key.get());
        map.insert_or_assign(id, to_i32_sequence(held_value.get()));
    }
    return map;
}

CsrMatrix to_csr_matrix(PyObject* obj) {
    CsrMatrix m;
    auto field = [&](const char* attribute, const char* field_name, auto convert) {
        Ref value = check(PyObject_GetAttrString(obj, attribute));  // AttributeError passes
        try {
            return convert(value.get());
        } catch (const ErrorAlreadySet&) {
            Ref cause = fetch_error();
            raise_from(PyExc_TypeError,
                       Ref::steal(PyUnicode_FromFormat("failed to extract field CsrMatrix.%s",
                                                       field_name)),
                       std::move(cause));
        }
    };
    m.indices = field("sparse_indices", "indices", to_i32_sequence);
    m.indptr = field("sparse_indptr", "indptr", to_u64_sequence);
    m.data = field("sparse_data", "data", to_f32_sequence);
    return m;
}

Ref none() { return Ref::borrow(Py_None); }

template <class T, class Make>
static Ref make_list(const std::vector<T>& values, Make make) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = make(values[i]);
        if (item == nullptr) throw ErrorAlreadySet();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

Ref from_f32_list(const std::vector<float>& values) {
    return make_list(values, [](float v) { return PyFloat_FromDouble(static_cast<double>(v)); });
}
Ref from_i32_list(const std::vector<std::int32_t>& values) {
    return make_list(values, [](std::int32_t v) { return PyLong_FromLong(v); });
}
Ref from_u64_list(const std::vector<std::uint64_t>& values) {
    return make_list(values, [](std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); });
}

Ref from_consumed_map(const ConsumedMap& map) {
    Ref dict = check(PyDict_New());
    map.for_each([&](std::int32_t id, const std::vector<std::int32_t>& list) {
        Ref key = check(PyLong_FromLong(id));
        Ref value = from_i32_list(list);
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) throw ErrorAlreadySet();
    });
    return dict;
}

}  // namespace quibrel::py
