// Owning arrays of zero bytes from calloc (path 4 of mem_policy.hpp). A large
// one comes straight from the system as zero pages, so only the pages that are
// touched get committed: dense per-id scratch over a huge catalogue costs what
// a call uses of it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace quibrel {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using HeapArray = std::unique_ptr<T[], FreeDeleter>;

template <class T>
HeapArray<T> zeroed_array(std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>, "elements start as zero bytes");
    void* p = std::calloc(n == 0 ? 1 : n, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return HeapArray<T>(static_cast<T*>(p));
}

// A growable zeroed array: a one-user call on a huge catalogue touches only
// the pages it uses. Growing drops the old contents.
template <class T>
class ZeroedArray {
public:
    std::size_t size() const { return size_; }
    void grow(std::size_t n) {
        if (n <= size_) return;
        release();
        data_ = zeroed_array<T>(n);
        size_ = n;
    }
    void release() {
        data_.reset();
        size_ = 0;
    }
    T& operator[](std::size_t i) { return data_.get()[i]; }
    const T& operator[](std::size_t i) const { return data_.get()[i]; }
    T* begin() { return data_.get(); }
    T* end() { return data_.get() + size_; }

private:
    HeapArray<T> data_;
    std::size_t size_ = 0;
};

}  // namespace quibrel
