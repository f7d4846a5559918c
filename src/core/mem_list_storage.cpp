#include "core/mem_list_storage.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace quibrel {

// Every allocation is preceded by the block it lives in (null for a heap
// allocation), so a list can be freed without knowing where it came from.
struct ListArena::Block {
    std::atomic<std::size_t> refs{1};  // the arena's own reference, then one per list
    std::atomic<std::size_t> live{0};  // bytes of its lists alive, prefixes included
    std::size_t size = 0;              // bytes it holds for lists
};

namespace {

constexpr std::size_t kPrefix = 8;
static_assert(sizeof(ListArena::Block*) <= kPrefix);
constexpr std::size_t kBlockHeader = 64;
static_assert(sizeof(ListArena::Block) <= kBlockHeader);

thread_local ListArena* current_arena = nullptr;

std::atomic<std::size_t> held_bytes{0};
std::atomic<std::size_t> live_bytes{0};

// An allocation's room in a block, prefix included.
std::size_t room_for(std::size_t bytes) noexcept { return (bytes + kPrefix + 7) & ~std::size_t{7}; }

void release(ListArena::Block* block) noexcept {
    if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        held_bytes.fetch_sub(block->size, std::memory_order_relaxed);
        block->~Block();
        std::free(static_cast<void*>(block));
    }
}

ListArena::Block* block_of(const void* p) noexcept {
    const std::byte* start = static_cast<const std::byte*>(p) - kPrefix;
    return *reinterpret_cast<ListArena::Block* const*>(start);
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
    const std::size_t need = room_for(bytes);
    std::byte* p = room_.take(need, [&](std::size_t size) {
        auto* raw = static_cast<std::byte*>(allocate_fresh_block(kBlockHeader + size));
        Block* fresh = ::new (raw) Block;
        fresh->size = size;
        held_bytes.fetch_add(size, std::memory_order_relaxed);
        if (block_ != nullptr) release(block_);
        block_ = fresh;
        return raw + kBlockHeader;
    });
    block_->refs.fetch_add(1, std::memory_order_relaxed);
    block_->live.fetch_add(need, std::memory_order_relaxed);
    live_bytes.fetch_add(need, std::memory_order_relaxed);
    *reinterpret_cast<Block**>(p) = block_;
    return p + kPrefix;
}

ListArenaScope::ListArenaScope(ListArena& arena) noexcept : previous_(current_arena) {
    current_arena = &arena;
}

ListArenaScope::ListArenaScope(std::nullptr_t) noexcept : previous_(current_arena) {
    current_arena = nullptr;
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

void free_list_storage(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    ListArena::Block* block = block_of(p);
    if (block == nullptr) {
        ::operator delete(static_cast<void*>(static_cast<std::byte*>(p) - kPrefix));
        return;
    }
    const std::size_t room = room_for(bytes);
    block->live.fetch_sub(room, std::memory_order_relaxed);
    live_bytes.fetch_sub(room, std::memory_order_relaxed);
    release(block);
}

ArenaUse list_arena_use() noexcept {
    return ArenaUse{held_bytes.load(std::memory_order_relaxed),
                    live_bytes.load(std::memory_order_relaxed)};
}

bool in_sparse_block(const void* p) noexcept {
    if (p == nullptr) return false;
    const ListArena::Block* block = block_of(p);
    return block != nullptr && 3 * block->live.load(std::memory_order_relaxed) < 2 * block->size;
}

}  // namespace quibrel
