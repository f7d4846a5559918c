// Owning arrays of zero bytes from calloc. A large one comes straight from
// the system as zero pages, so only the pages that are touched get committed:
// dense per-id scratch over a huge catalogue costs what a call uses of it.
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

}  // namespace quibrel
