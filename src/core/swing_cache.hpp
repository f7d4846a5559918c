// The pair cache of one Swing score pass: the common-item list of a user pair,
// keyed by the pair, shared by all workers of the pass.
//
// Lists are written once into an append-only arena owned by the worker that
// computed them and are never moved or freed before the cache is, so a hit
// reads the list in place after the shard lock is released. Entries are never
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

namespace quibrel {

class PairCache {
public:
    PairCache(std::uint64_t max_entries, std::size_t workers);
    ~PairCache();
    PairCache(const PairCache&) = delete;
    PairCache& operator=(const PairCache&) = delete;

    // False when the bound is zero: callers then skip the cache entirely.
    bool enabled() const noexcept { return max_entries_ != 0; }

    // True while another entry may be stored.
    bool has_room() const noexcept { return count_.load(std::memory_order_relaxed) < max_entries_; }

    // Entries are grouped in shards by the pair's first user, so the lists of
    // all pairs (u, v) for one u are found under a single shared lock, with
    // their probes overlapping in memory.
    //
    // For each key of the pairs (first, *), writes the stored list (length
    // word first) or null when the key is absent.
    void find_all(std::uint64_t first, std::span<const std::uint64_t> keys,
                  const std::uint32_t** lists) const;

    // Space for a list of up to `capacity` ids at the end of the worker's
    // arena. The space stays the worker's until it calls publish or reserve
    // again; it is not visible to other workers.
    std::uint32_t* reserve(std::size_t worker, std::size_t capacity);

    // Stores the first `length` ids of the worker's reserved space under key
    // and returns the stored list: the worker's own, or the one another worker
    // stored first under the same key (the lists are equal).
    std::span<const std::uint32_t> publish(std::size_t worker, std::uint64_t first,
                                           std::uint64_t key, std::size_t length);

    std::uint64_t size() const noexcept { return count_.load(std::memory_order_relaxed); }

private:
    struct Entry {
        std::uint64_t key;
        const std::uint32_t* list;  // [length, ids...]; null marks a free slot
    };
    struct alignas(64) Shard {
        mutable std::shared_mutex lock;
        std::vector<Entry> table;  // open addressing, power-of-two size
        std::size_t used = 0;
    };
    struct alignas(64) Arena {
        std::vector<std::unique_ptr<std::uint32_t[]>> chunks;
        std::uint32_t* tail = nullptr;  // next free word of the last chunk
        std::size_t free = 0;           // words left after tail
    };

    static std::uint64_t mix(std::uint64_t key) noexcept;
    Shard& shard_of(std::uint64_t first) const noexcept {
        return shards_[static_cast<std::size_t>(mix(first) >> shard_shift_)];
    }
    static void grow(Shard& shard);

    std::uint64_t max_entries_;
    std::atomic<std::uint64_t> count_{0};
    unsigned shard_shift_ = 64;
    std::unique_ptr<Shard[]> shards_;
    std::unique_ptr<Arena[]> arenas_;
};

}  // namespace quibrel
