#include "core/swing_cache.hpp"

#include <algorithm>
#include <bit>
#include <mutex>

namespace quibrel {
namespace {

// Big enough that most reserve calls are served from the current chunk, small
// enough that the unused tail of a chunk does not matter.
constexpr std::size_t kChunkBytes = std::size_t{4} << 20;

// A list's bytes: the length, then the ids, rounded up so the next list's
// length stays aligned.
std::size_t list_bytes(std::size_t length, std::size_t id_bytes) {
    return 4 + (length * id_bytes + 3) / 4 * 4;
}
constexpr std::size_t kFirstTableSize = 64;

}  // namespace

PairCache::PairCache(std::uint64_t max_entries, std::size_t workers, std::size_t id_bytes)
    : max_entries_(max_entries), id_bytes_(id_bytes) {
    // Many more shards than workers keep two workers off the same lock most of
    // the time; the count has no effect on results.
    const std::size_t wanted = std::max<std::size_t>(256, std::bit_ceil(16 * workers));
    shard_shift_ = 64 - static_cast<unsigned>(std::countr_zero(wanted));
    shards_ = std::make_unique<Shard[]>(wanted);
    arenas_ = std::make_unique<Arena[]>(std::max<std::size_t>(workers, 1));
}

PairCache::~PairCache() = default;

void PairCache::find_all(std::uint64_t first, std::span<const std::uint64_t> keys,
                         const std::uint32_t** lists) const {
    const Shard& shard = shard_of(first);
    std::shared_lock<std::shared_mutex> guard(shard.lock);
    if (shard.table.empty()) {
        std::fill_n(lists, keys.size(), nullptr);
        return;
    }
    const Entry* const table = shard.table.data();
    const std::size_t mask = shard.table.size() - 1;
    const unsigned shift = shard.shift;
    // Touch every home slot first so that the cache misses overlap.
    for (const std::uint64_t key : keys) __builtin_prefetch(table + slot_of(key, shift));
    for (std::size_t p = 0; p < keys.size(); ++p) {
        const std::uint64_t key = keys[p];
        const std::uint32_t* found = nullptr;
        for (std::size_t slot = slot_of(key, shift);; slot = (slot + 1) & mask) {
            const Entry& e = table[slot];
            if (e.list == nullptr) break;
            if (e.key == key) {
                found = e.list;
                break;
            }
        }
        lists[p] = found;
    }
    // The lists themselves are immutable once published and are read unlocked.
}

void* PairCache::reserve(std::size_t worker, std::size_t capacity) {
    Arena& arena = arenas_[worker];
    const std::size_t bytes = list_bytes(capacity, id_bytes_);
    if (arena.free < bytes) {
        const std::size_t size = std::max(kChunkBytes, bytes);
        arena.chunks.push_back(fresh_array<unsigned char>(size));
        arena.tail = arena.chunks.back().get();
        arena.free = size;
        arena.prefault.reset(arena.tail, size);
    }
    arena.prefault.reach(arena.tail + bytes);
    return arena.tail + 4;
}

void PairCache::grow(Shard& shard) {
    const std::size_t size = shard.table.empty() ? kFirstTableSize : shard.table.size() * 2;
    std::vector<Entry> bigger(size, Entry{0, nullptr});
    const unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(size));
    const std::size_t mask = size - 1;
    for (const Entry& e : shard.table) {
        if (e.list == nullptr) continue;
        std::size_t slot = slot_of(e.key, shift);
        while (bigger[slot].list != nullptr) slot = (slot + 1) & mask;
        bigger[slot] = e;
    }
    shard.table.swap(bigger);
    shard.shift = shift;
    shard.hint_shift.store(shift, std::memory_order_relaxed);
    shard.hint_table.store(reinterpret_cast<std::uintptr_t>(shard.table.data()),
                           std::memory_order_release);
}

const std::uint32_t* PairCache::publish(std::size_t worker, std::uint64_t first, std::uint64_t key,
                                        std::size_t length) {
    Arena& arena = arenas_[worker];
    auto* const own = reinterpret_cast<std::uint32_t*>(arena.tail);
    own[0] = static_cast<std::uint32_t>(length);
    Shard& shard = shard_of(first);
    const std::uint32_t* stored = nullptr;
    {
        std::unique_lock<std::shared_mutex> guard(shard.lock);
        // Keep the load at most one half so probe runs stay short.
        if (2 * (shard.used + 1) > shard.table.size()) grow(shard);
        const std::size_t mask = shard.table.size() - 1;
        for (std::size_t slot = slot_of(key, shard.shift);; slot = (slot + 1) & mask) {
            Entry& e = shard.table[slot];
            if (e.list == nullptr) {
                e = Entry{key, own};
                ++shard.used;
                stored = own;
                break;
            }
            if (e.key == key) {
                stored = e.list;
                break;
            }
        }
    }
    if (stored == own) {
        const std::size_t bytes = list_bytes(length, id_bytes_);
        arena.tail += bytes;
        arena.free -= bytes;
        count_.fetch_add(1, std::memory_order_relaxed);
    }
    return stored;
}

}  // namespace quibrel
