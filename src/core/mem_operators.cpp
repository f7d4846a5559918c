// Allocation for the module's own code (path 1 of mem_policy.hpp): large
// blocks ask for transparent huge pages before their first touch. First-touch
// page faults on 4 KiB pages dominated building big vectors (matrices,
// scratch); huge pages make that much faster while the host still holds the
// memory, as when a process reuses what it freed. The bulk of a computation's
// fresh memory, its lists and pair records, is allocated elsewhere with small
// pages (mem_fresh_blocks.hpp). Figures: docs/dev/performance-notes.md.
//
// The operators are not exported (the link hides the core library), so they
// serve this extension only, and they stay on malloc/free, so memory crossing
// to or from the C++ runtime pairs up. Sanitizer builds keep the runtime's own
// operators.
#ifndef QUIBREL_SANITIZE

#include <cstdint>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kAdviseFrom = std::size_t{4} << 20;

void* allocate(std::size_t n) noexcept {
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p != nullptr && n >= kAdviseFrom) {
        const auto start = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
        const std::uintptr_t last = (start + n) & ~(kHugePage - 1);
        if (last > first)
            ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
    return p;
}

}  // namespace

#define QUIBREL_HIDDEN

QUIBREL_HIDDEN void* operator new(std::size_t n) {
    if (void* p = allocate(n)) return p;
    throw std::bad_alloc();
}
QUIBREL_HIDDEN void* operator new[](std::size_t n) {
    if (void* p = allocate(n)) return p;
    throw std::bad_alloc();
}
QUIBREL_HIDDEN void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n);
}
QUIBREL_HIDDEN void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n);
}
QUIBREL_HIDDEN void operator delete(void* p) noexcept { std::free(p); }
QUIBREL_HIDDEN void operator delete[](void* p) noexcept { std::free(p); }
QUIBREL_HIDDEN void operator delete(void* p, std::size_t) noexcept { std::free(p); }
QUIBREL_HIDDEN void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
QUIBREL_HIDDEN void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
QUIBREL_HIDDEN void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

#endif
