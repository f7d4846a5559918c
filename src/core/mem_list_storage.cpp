#include "core/mem_list_storage.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace quibrel {

// Every allocation is preceded by the block it lives in (null for a heap
// allocation), so a list can be freed without knowing where it came from.
struct ListArena::Block {
    std::atomic<std::size_t> refs{1};  // the arena's own reference, then one per list
};

namespace {

constexpr std::size_t kPrefix = 8;
static_assert(sizeof(ListArena::Block*) <= kPrefix);
constexpr std::size_t kBlockHeader = 64;
static_assert(sizeof(ListArena::Block) <= kBlockHeader);

thread_local ListArena* current_arena = nullptr;

void release(ListArena::Block* block) noexcept {
    if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~Block();
        std::free(static_cast<void*>(block));
    }
}

void* heap_allocation(std::size_t bytes) {
    auto* p = static_cast<std::byte*>(::operator new(bytes + kPrefix));
    *reinterpret_cast<ListArena::Block**>(p) = nullptr;
    return p + kPrefix;
}

}  // namespace

ListArena::~ListArena() {
    if (block_ != nullptr) release(block_);
}

void* ListArena::allocate(std::size_t bytes) {
    const std::size_t need = (bytes + kPrefix + 7) & ~std::size_t{7};
    std::byte* p = room_.take(need, [&](std::size_t size) {
        auto* raw = static_cast<std::byte*>(allocate_fresh_block(kBlockHeader + size));
        Block* fresh = ::new (raw) Block;
        if (block_ != nullptr) release(block_);
        block_ = fresh;
        return raw + kBlockHeader;
    });
    block_->refs.fetch_add(1, std::memory_order_relaxed);
    *reinterpret_cast<Block**>(p) = block_;
    return p + kPrefix;
}

ListArenaScope::ListArenaScope(ListArena& arena) noexcept : previous_(current_arena) {
    current_arena = &arena;
}

ListArenaScope::~ListArenaScope() { current_arena = previous_; }

void* allocate_list_storage(std::size_t bytes) {
#ifndef QUIBREL_SANITIZE
    // Sanitizer builds give every list its own allocation, so that the bounds
    // of each one are checked. Lists this large are rare and gain nothing
    // from sharing a block.
    constexpr std::size_t kLargeList = ListArena::kMaxBlock / 8;
    if (current_arena != nullptr && bytes < kLargeList) return current_arena->allocate(bytes);
#endif
    return heap_allocation(bytes);
}

void free_list_storage(void* p) noexcept {
    if (p == nullptr) return;
    std::byte* start = static_cast<std::byte*>(p) - kPrefix;
    ListArena::Block* block = *reinterpret_cast<ListArena::Block**>(start);
    if (block == nullptr)
        ::operator delete(static_cast<void*>(start));
    else
        release(block);
}

}  // namespace quibrel
