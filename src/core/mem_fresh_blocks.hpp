// Blocks for data a computation writes once, front to back: neighbour lists
// and pair records, most of the memory it touches for the first time (paths 2
// and 3 of mem_policy.hpp).
//
// This guest returns freed memory to the host, so first touches of fresh
// memory are slow, and slowest with transparent huge pages; once the host has
// taken freed memory back, small pages made present a chunk at a time (one
// madvise each) were the fastest way measured (figures:
// docs/dev/performance-notes.md). These blocks therefore take small pages,
// made present ahead of the writer; other large allocations keep the
// huge-page advice (mem_operators.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <vector>

#include "core/mem_zeroed_array.hpp"

namespace quibrel {

// A block from malloc (freed with std::free) that keeps to small pages.
// Throws std::bad_alloc.
void* allocate_fresh_block(std::size_t bytes);

// Room for n elements in a fresh block, not initialised.
template <class T>
HeapArray<T> fresh_array(std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (n > (std::size_t{1} << 60) / sizeof(T)) throw std::bad_alloc();
    return HeapArray<T>(static_cast<T*>(allocate_fresh_block(n * sizeof(T))));
}

// An allocator of fresh blocks, for vectors a computation fills front to back
// and hands on whole (a partition's lists on a worker).
template <class T>
struct FreshAllocator {
    using value_type = T;
    FreshAllocator() = default;
    template <class U>
    FreshAllocator(const FreshAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > (std::size_t{1} << 60) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_fresh_block(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }
    friend bool operator==(const FreshAllocator&, const FreshAllocator&) noexcept { return true; }
};

template <class T>
using FreshVector = std::vector<T, FreshAllocator<T>>;

// Makes the pages of a block present a chunk at a time, ahead of a cursor
// that writes it from its start. Only a speed-up: where the kernel cannot do
// it, writes fault the pages in as usual.
class Prefaulter {
public:
    void reset(const void* begin, std::size_t bytes) noexcept;
    void reach(const void* cursor) noexcept {
        if (reinterpret_cast<std::uintptr_t>(cursor) > done_) advance(cursor);
    }

private:
    void advance(const void* cursor) noexcept;
    std::uintptr_t done_ = ~std::uintptr_t{0};
    std::uintptr_t end_ = 0;
};

// Consecutive room handed out from blocks of growing size, their pages made
// present ahead of the cursor: the bump allocation behind list arenas and
// pair block writers. Sizes are in bytes; the caller owns the blocks.
class BumpCursor {
public:
    BumpCursor(std::size_t first_block, std::size_t max_block) noexcept
        : next_size_(first_block), max_size_(max_block) {}

    // Room for `bytes`. When the block in hand is short, new_block(size)
    // must return the start of a fresh block of `size` bytes: the larger of
    // `bytes` and the block size, which doubles from one block to the next up
    // to the maximum (small computations stay in small blocks, large ones
    // soon need few of them).
    template <class NewBlock>
    std::byte* take(std::size_t bytes, NewBlock&& new_block) {
        if (bytes > left_) {
            const std::size_t size = std::max(bytes, next_size_);
            next_size_ = std::min(next_size_ * 2, max_size_);
            void* block = new_block(size);
            cursor_ = static_cast<std::byte*>(block);
            left_ = size;
            prefault_.reset(cursor_, size);
        }
        std::byte* p = cursor_;
        cursor_ += bytes;
        left_ -= bytes;
        prefault_.reach(cursor_);
        return p;
    }

    // Leaves the block in hand to its owner; the next take starts a new one.
    void drop() noexcept {
        cursor_ = nullptr;
        left_ = 0;
    }

private:
    std::byte* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_size_;
    std::size_t max_size_;
    Prefaulter prefault_;
};

}  // namespace quibrel
