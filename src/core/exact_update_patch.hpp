// The pieces an exact update patches sorted neighbour lists and pair rows
// with: entries grouped by the entity they are filed under, membership of the
// recomputed entities A, searches by sort key, and merges and moves inside a
// list's or row's own room that cannot fail.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/cosine_pair_stats.hpp"
#include "core/models.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"
#include "core/sort_key.hpp"
#include "core/work_split.hpp"

namespace quibrel::exact_detail {

// Entries of lists or pair rows, grouped by the entity they are filed under.
template <class T>
struct Buckets {
    std::vector<std::int32_t> owners;  // entities with entries, ascending
    std::vector<std::size_t> start;    // owners[k]'s entries: [start[k], start[k + 1])
    std::unique_ptr<T[]> entries;      // every one written by the grouping

    std::span<T> of(std::size_t k) { return {entries.get() + start[k], start[k + 1] - start[k]}; }
    std::size_t size() const noexcept { return start.empty() ? 0 : start.back(); }
};

// Groups what `produce(k, emit)` emits for each source k < sources, as
// emit(owner, entry): a counting sort on the pool, sources split in static
// parts so that each bucket holds its entries in source order.
template <class T, class Produce>
Buckets<T> group(std::size_t n, std::size_t sources, Produce&& produce) {
    const std::size_t parts =
        std::min<std::size_t>(worker_count(), std::max<std::size_t>(sources, 1));
    std::vector<std::uint32_t> count(parts * n, 0);
    std::vector<std::size_t> cuts =
        equal_cost_cuts(0, sources, parts, sources, [](std::size_t) { return 1; });
    pad_cuts(cuts, parts);
    auto part_range = [&](std::size_t p) {
        return std::pair<std::size_t, std::size_t>{cuts[p], cuts[p + 1]};
    };
    parallel_for(parts, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t p = begin; p < end; ++p) {
            std::uint32_t* mine = count.data() + p * n;
            const auto [from, to] = part_range(p);
            for (std::size_t k = from; k < to; ++k)
                produce(k, [&](std::size_t owner, const T&) { ++mine[owner]; });
        }
    });
    Buckets<T> b;
    std::vector<std::size_t> slot(parts * n);
    std::size_t total = 0;
    for (std::size_t y = 0; y < n; ++y) {
        std::size_t here = 0;
        for (std::size_t p = 0; p < parts; ++p) {
            slot[p * n + y] = total + here;
            here += count[p * n + y];
        }
        if (here == 0) continue;
        b.owners.push_back(static_cast<std::int32_t>(y));
        b.start.push_back(total);
        total += here;
    }
    b.start.push_back(total);
    count = {};
    b.entries = std::make_unique_for_overwrite<T[]>(total);
    parallel_for(parts, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t p = begin; p < end; ++p) {
            std::size_t* mine = slot.data() + p * n;
            const auto [from, to] = part_range(p);
            for (std::size_t k = from; k < to; ++k)
                produce(k, [&](std::size_t owner, const T& e) { b.entries[mine[owner]++] = e; });
        }
    });
    return b;
}

struct PairUpdate {
    std::int32_t x;  // the partner in A (the record's y)
    float dot;
    std::uint32_t count;
};

// Room for later batches, so that a grown list or row is usually patched in
// place next time instead of being copied.
inline std::size_t with_slack(std::size_t length) { return length + length / 16 + kListRoom; }

// No old entry (the pair was not listed before the batch).
constexpr std::uint64_t kAbsent = ~std::uint64_t{0};

inline bool key_is_nan(std::uint64_t key) {
    const float s = key_sim(key);
    return s != s;
}

// Membership of A, with one more cell (never set) for ids outside 0..n-1.
struct Members {
    std::vector<std::uint8_t> flag;
    std::uint32_t n;
    explicit Members(std::size_t entities)
        : flag(entities + 1, 0), n(static_cast<std::uint32_t>(entities)) {}
    std::uint8_t operator()(std::int32_t id) const noexcept {
        return flag[std::min(static_cast<std::uint32_t>(id), n)];
    }
};

// Position of the first entry of the sorted list at or after `from` whose
// key is not below `key`.
std::size_t lower_key(const std::int32_t* ids, const float* sims, std::size_t from, std::size_t to,
                      std::uint64_t key) noexcept;

// lower_key over [0, size), searched outward from `hint`: an entry of A moves
// only a little way when a norm changes a little, and the lines near its old
// place are already in cache, where a search over the whole list misses on
// most of its probes.
std::size_t lower_key_near(const std::int32_t* ids, const float* sims, std::size_t size,
                           std::size_t hint, std::uint64_t key) noexcept;

// The entries of `old` outside A merged with the sorted `keys`, into `out`
// (room for length + 1 entries). Old entries move in runs between the keys'
// places, found by binary search.
void merge_into(const std::int32_t* ids, const float* sims, std::size_t old_length,
                std::span<const std::uint64_t> keys, std::int32_t* out_ids, float* out_sims,
                const Members& in_a) noexcept;

// The same inside the list's own room (capacity for `length` entries): the
// entries of A are dropped in place, then the keys merged in from the back.
void patch_in_place(NeighbourList& list, std::span<const std::uint64_t> keys, const Members& in_a,
                    std::size_t length) noexcept;

// Row w's `size` records at `e` merged with its updates (ascending x) inside
// the row's room, which holds `length` records, the records of A that no
// update names dropped. Cannot fail.
void merge_row_in_place(PairEntry* e, std::size_t size, std::span<const PairUpdate> updates,
                        const Members& in_a, std::size_t length) noexcept;

// Moves or inserts the entries of A one by one, each from its old key (or
// kAbsent) to its new key, keeping the list sorted throughout: a search and a
// shift of the entries in between per entry. An old entry is looked for from
// its place in the list before the edit (`places`, each at most j entries away
// after j moves), its new place from there. The list's room holds `length`
// entries. Cannot fail.
void edit_in_place(NeighbourList& list, std::span<const std::uint64_t> keys,
                   std::span<const std::uint64_t> old_keys, std::span<const std::uint32_t> places,
                   std::size_t length) noexcept;

// Overwrites or inserts the updates (ascending x) one by one into the `size`
// records at `e`, inside the row's room (the plan checked it holds them all).
// Cannot fail.
void insert_in_place(PairEntry* e, std::size_t size, std::span<const PairUpdate> updates) noexcept;

}  // namespace quibrel::exact_detail
