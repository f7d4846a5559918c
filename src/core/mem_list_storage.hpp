// Storage for neighbour lists.
//
// A computation builds up to one list per entity, hundreds of thousands of
// them, and allocated one by one each would fault its own fresh pages in.
// While a ListArenaScope is active on a thread, the lists it allocates are
// carved from large blocks instead, whose pages are made present ahead of the
// lists (mem_fresh_blocks.hpp, path 3 of mem_policy.hpp); a block goes back to
// the system when the last list in it is freed. Lists keep the interface of std::vector: a list can
// be freed, replaced or grown on any thread, and outside a scope it is an ordinary heap allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/mem_fresh_blocks.hpp"

namespace quibrel {

class ListArena {
public:
    ListArena() = default;
    ~ListArena();
    ListArena(const ListArena&) = delete;
    ListArena& operator=(const ListArena&) = delete;

    void* allocate(std::size_t bytes);

    struct Block;
    static constexpr std::size_t kMaxBlock = std::size_t{32} << 20;

private:
    Block* block_ = nullptr;
    BumpCursor room_{std::size_t{64} << 10, kMaxBlock};
};

// Routes the calling thread's list allocations to `arena` for its lifetime
// (to the heap, with no arena).
class ListArenaScope {
public:
    explicit ListArenaScope(ListArena& arena) noexcept;
    explicit ListArenaScope(std::nullptr_t) noexcept;
    ~ListArenaScope();
    ListArenaScope(const ListArenaScope&) = delete;
    ListArenaScope& operator=(const ListArenaScope&) = delete;

private:
    ListArena* previous_;
};

void* allocate_list_storage(std::size_t bytes);
// `bytes` as allocated.
void free_list_storage(void* p, std::size_t bytes) noexcept;

// Arena blocks over the whole process: the bytes they hold, and the bytes of
// the lists alive in them. The difference is freed list space that goes back
// to the system only with the last list of its block.
struct ArenaUse {
    std::size_t held;
    std::size_t live;
};
ArenaUse list_arena_use() noexcept;

// Whether list storage p lives in an arena block that its live lists use
// less than two thirds of: moving those lists to storage of their own frees
// it, for copies of at most twice the space freed.
bool in_sparse_block(const void* p) noexcept;

// Elements are default-initialised: a list is always written in full after a
// resize, so zero-filling it first would be a wasted pass over fresh memory.
template <class T>
struct ListAllocator {
    static_assert(alignof(T) <= 8 && std::is_trivially_copyable_v<T>);
    using value_type = T;
    using is_always_equal = std::true_type;

    ListAllocator() noexcept = default;
    template <class U>
    ListAllocator(const ListAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > (std::size_t{1} << 60) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_list_storage(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { free_list_storage(p, n * sizeof(T)); }

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const ListAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using ListVector = std::vector<T, ListAllocator<T>>;

}  // namespace quibrel
