#include "core/swing_cache.hpp"

#include <algorithm>
#include <bit>
#include <mutex>

namespace quibrel {
namespace {

// Big enough that most reserve calls are served from the current chunk, small
// enough that the unused tail of a chunk does not matter.
constexpr std::size_t kChunkWords = std::size_t{1} << 20;
constexpr std::size_t kFirstTableSize = 64;

}  // namespace

PairCache::PairCache(std::uint64_t max_entries, std::size_t workers) : max_entries_(max_entries) {
    // Many more shards than workers keep two workers off the same lock most of
    // the time; the count has no effect on results.
    const std::size_t wanted = std::max<std::size_t>(256, std::bit_ceil(16 * workers));
    const unsigned bits = static_cast<unsigned>(std::countr_zero(wanted));
    shard_shift_ = 64 - bits;
    shards_ = std::make_unique<Shard[]>(wanted);
    arenas_ = std::make_unique<Arena[]>(std::max<std::size_t>(workers, 1));
}

PairCache::~PairCache() = default;

std::uint64_t PairCache::mix(std::uint64_t key) noexcept {
    // Keys are u * n_users + v; a full avalanche spreads consecutive v over
    // buckets, and consecutive first users over shards.
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 33;
    key *= 0xc4ceb9fe1a85ec53ULL;
    key ^= key >> 33;
    return key;
}

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
    // Touch every home slot first so that the cache misses overlap.
    for (const std::uint64_t key : keys)
        __builtin_prefetch(table + (static_cast<std::size_t>(mix(key)) & mask));
    for (std::size_t p = 0; p < keys.size(); ++p) {
        const std::uint64_t key = keys[p];
        const std::uint32_t* found = nullptr;
        for (std::size_t slot = static_cast<std::size_t>(mix(key)) & mask;;
             slot = (slot + 1) & mask) {
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

std::uint32_t* PairCache::reserve(std::size_t worker, std::size_t capacity) {
    Arena& arena = arenas_[worker];
    const std::size_t words = capacity + 1;  // length word first
    if (arena.free < words) {
        const std::size_t size = std::max(kChunkWords, words);
        arena.chunks.push_back(std::make_unique_for_overwrite<std::uint32_t[]>(size));
        arena.tail = arena.chunks.back().get();
        arena.free = size;
    }
    return arena.tail + 1;
}

void PairCache::grow(Shard& shard) {
    std::vector<Entry> bigger(shard.table.empty() ? kFirstTableSize : shard.table.size() * 2,
                              Entry{0, nullptr});
    const std::size_t mask = bigger.size() - 1;
    for (const Entry& e : shard.table) {
        if (e.list == nullptr) continue;
        std::size_t slot = static_cast<std::size_t>(mix(e.key)) & mask;
        while (bigger[slot].list != nullptr) slot = (slot + 1) & mask;
        bigger[slot] = e;
    }
    shard.table.swap(bigger);
}

std::span<const std::uint32_t> PairCache::publish(std::size_t worker, std::uint64_t first,
                                                  std::uint64_t key, std::size_t length) {
    Arena& arena = arenas_[worker];
    std::uint32_t* own = arena.tail;
    own[0] = static_cast<std::uint32_t>(length);
    const std::uint64_t hash = mix(key);
    Shard& shard = shard_of(first);
    const std::uint32_t* stored = nullptr;
    {
        std::unique_lock<std::shared_mutex> guard(shard.lock);
        // Keep the load at most one half so probe runs stay short.
        if (2 * (shard.used + 1) > shard.table.size()) grow(shard);
        const std::size_t mask = shard.table.size() - 1;
        std::size_t slot = static_cast<std::size_t>(hash) & mask;
        for (;; slot = (slot + 1) & mask) {
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
        arena.tail += length + 1;
        arena.free -= length + 1;
        count_.fetch_add(1, std::memory_order_relaxed);
    }
    return {stored + 1, stored[0]};
}

}  // namespace quibrel
