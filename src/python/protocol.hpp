// The call protocol shared by every Python-callable entry point: argument
// binding with the exact TypeError texts, the per-object borrow state, and the
// "argument '<name>': " prefix for conversion TypeErrors.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "python/errors.hpp"

namespace quibrel::py {

// A METH_VARARGS | METH_KEYWORDS function in the PyCFunction slot of a
// PyMethodDef, where CPython calls it with the keywords. The detour through
// a function type without parameters is the cast compilers accept between
// unrelated function types without a warning.
inline PyCFunction keywords_method(PyCFunctionWithKeywords function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Binds positional and keyword arguments to `names` (all required), storing
// borrowed references in out[0..names.size()).
void bind_arguments(const char* full_name, std::initializer_list<const char*> names,
                    PyObject* args, PyObject* kwargs, PyObject** out);

// Re-raises a pending TypeError (exactly TypeError, not a subclass) as
// TypeError("argument '<param>': <text>") keeping its __cause__.
void add_argument_prefix(const char* param) noexcept;

// Runs a conversion of parameter `param`, applying the prefix rule on failure.
template <class F>
auto convert_argument(const char* param, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const ErrorAlreadySet&) {
        add_argument_prefix(param);
        throw;
    }
}

// Borrow state of one model object: 0 free, n > 0 shared holders, -1 exclusive.
class BorrowState {
public:
    bool try_shared() noexcept {
        std::intptr_t current = state_.load(std::memory_order_relaxed);
        while (current >= 0) {
            if (state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire))
                return true;
        }
        return false;
    }
    bool try_exclusive() noexcept {
        std::intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

private:
    std::atomic<std::intptr_t> state_{0};
};

class SharedHold {
public:
    explicit SharedHold(BorrowState& state) : state_(&state) {
        if (!state.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    ~SharedHold() { state_->release_shared(); }

private:
    BorrowState* state_;
};

class ExclusiveHold {
public:
    explicit ExclusiveHold(BorrowState& state) : state_(&state) {
        if (!state.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    ~ExclusiveHold() { state_->release_exclusive(); }

private:
    BorrowState* state_;
};

}  // namespace quibrel::py
