// Failures raised by the core. The binding maps each kind to one Python
// exception type in a single place; the core never sees Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>

namespace quibrel {

// An internal failure (becomes PanicException). Carries where it was raised so
// the boundary can print the diagnostic the contract asks for.
class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& message,
                   std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}
    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// A domain error reported with a fixed message (becomes ValueError).
class ValueFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A domain error reported as RuntimeError.
class RuntimeFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An operating-system error: errno decides the OSError subclass.
class OsFailure : public std::runtime_error {
public:
    OsFailure(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// A model-file stream or body that does not decode (becomes plain OSError).
class FormatFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The caller asked to stop (a pending signal seen while waiting on workers).
// The binding re-raises the Python exception that the signal handler set.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

inline constexpr const char* kOutOfRangeConversion =
    "out of range integral type conversion attempted";
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

[[noreturn]] void index_panic(std::size_t len, std::size_t index,
                              std::source_location where = std::source_location::current());

// Bounds check used wherever a caller-controlled index meets a vector.
inline void check_index(std::size_t len, std::size_t index,
                        std::source_location where = std::source_location::current()) {
    if (index >= len) [[unlikely]]
        index_panic(len, index, where);
}

// The integer-to-index rule: a negative id cannot become an index.
inline std::size_t to_index(std::int64_t id) {
    if (id < 0) [[unlikely]]
        throw ValueFailure(kOutOfRangeConversion);
    return static_cast<std::size_t>(id);
}

}  // namespace quibrel
