// The pair cache of one Swing score pass: the common-item list of a user pair,
// keyed by the pair, shared by all workers of the pass.
//
// Lists are written once into an append-only arena owned by the worker that
// computed them and are never moved or freed before the cache is, so a hit
// reads the list in place after the shard lock is released. A stored list is
// a 32-bit length followed by the ids, each of the width the pass chose (two
// bytes when every id fits): reading lists back is what the pass waits on,
// so narrower ids make it faster as well as smaller. Entries are never
// evicted or replaced; the bound is checked against an atomic count, so
// concurrent inserts may overshoot it by at most one entry per worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <span>
#include <vector>

#include "core/mem_fresh_blocks.hpp"

namespace quibrel {

class PairCache {
public:
    PairCache(std::uint64_t max_entries, std::size_t workers, std::size_t id_bytes);
    ~PairCache();
    PairCache(const PairCache&) = delete;
    PairCache& operator=(const PairCache&) = delete;

    // True while another entry may be stored.
    bool has_room() const noexcept { return count_.load(std::memory_order_relaxed) < max_entries_; }

    // Entries are grouped in shards by the pair's first user, so the lists of
    // all pairs (u, v) for one u are found under a single shared lock, with
    // their probes overlapping in memory.
    //
    // For each key of the pairs (first, *), writes the stored list (length
    // first) or null when the key is absent.
    void find_all(std::uint64_t first, std::span<const std::uint64_t> keys,
                  const std::uint32_t** lists) const;

    // Starts fetching the home slot of key, so that a find_all soon after
    // does not wait for it. Takes no lock, so while another worker grows the
    // shard the hint may be formed from an old table and a new size: it is
    // then wasted but harmless, as a prefetch never faults.
    void prefetch(std::uint64_t first, std::uint64_t key) const noexcept {
        const Shard& shard = shard_of(first);
        const std::uintptr_t base = shard.hint_table.load(std::memory_order_acquire);
        if (base == 0) return;
        const unsigned shift = shard.hint_shift.load(std::memory_order_relaxed);
        const std::uintptr_t slot = slot_of(key, shift);
        __builtin_prefetch(reinterpret_cast<const void*>(base + slot * sizeof(Entry)));
    }

    // Space for up to `capacity` ids at the end of the worker's arena. The
    // space stays the worker's until it calls publish or reserve again; it is
    // not visible to other workers.
    void* reserve(std::size_t worker, std::size_t capacity);

    // Stores the first `length` ids of the worker's reserved space under key
    // and returns the stored list (length first): the worker's own, or the
    // one another worker stored first under the same key (the lists are equal).
    const std::uint32_t* publish(std::size_t worker, std::uint64_t first, std::uint64_t key,
                                 std::size_t length);

    std::uint64_t size() const noexcept { return count_.load(std::memory_order_relaxed); }

private:
    struct Entry {
        std::uint64_t key;
        const std::uint32_t* list;  // length, then the ids; null marks a free slot
    };
    struct alignas(64) Shard {
        mutable std::shared_mutex lock;
        std::vector<Entry> table;  // open addressing, power-of-two size
        unsigned shift = 64;       // 64 - log2(table size)
        std::size_t used = 0;
        // The table's address and shift for prefetch hints, read unlocked.
        std::atomic<std::uintptr_t> hint_table{0};
        std::atomic<unsigned> hint_shift{64};
    };
    struct alignas(64) Arena {
        std::vector<HeapArray<unsigned char>> chunks;  // from fresh_array
        unsigned char* tail = nullptr;  // next free byte of the last chunk, 4-aligned
        std::size_t free = 0;           // bytes left after tail
        Prefaulter prefault;
    };

    // Fibonacci hashing: the top bits of the product spread keys that differ
    // only in their low bits (the second user) over the whole table.
    static std::size_t slot_of(std::uint64_t key, unsigned shift) noexcept {
        return static_cast<std::size_t>((key * 0x9e3779b97f4a7c15ULL) >> shift);
    }
    Shard& shard_of(std::uint64_t first) const noexcept {
        return shards_[static_cast<std::size_t>((first * 0xd6e8feb86659fd93ULL) >> shard_shift_)];
    }
    static void grow(Shard& shard);

    // The count is written by every insert and read before each one; on its
    // own line it does not evict the read-only fields below from other cores.
    alignas(64) std::atomic<std::uint64_t> count_{0};
    alignas(64) std::uint64_t max_entries_;
    std::size_t id_bytes_;
    unsigned shard_shift_ = 64;
    std::unique_ptr<Shard[]> shards_;
    std::unique_ptr<Arena[]> arenas_;
};

}  // namespace quibrel
