// Swing scores item by item: the per-worker scratch of every route, and the
// computation of one item's list (swing_item.cpp). Internal to the core;
// swing.cpp runs the items on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/generation.hpp"
#include "core/models.hpp"
#include "core/swing_accumulator.hpp"
#include "core/swing_cache.hpp"
#include "core/swing_index.hpp"
#include "core/swing_literal.hpp"
#include "core/swing_pairs.hpp"
#include "core/swing_pass.hpp"

namespace quibrel::swing_detail {

// What the cache route keeps between items: the keys and lists of one
// position's pairs, and the marks of one row for lists built one by one.
struct CacheScratch {
    HeapArray<std::uint32_t> marks;  // stamp per id, for mark-and-scan
    std::uint32_t mark_stamp = 0;
    std::vector<std::uint64_t> pair_keys;
    std::vector<const std::uint32_t*> cached;  // per later user: cached list or null
    std::vector<std::uint32_t> common;         // one pair's common list, when built alone

    explicit CacheScratch(std::size_t n_items)
        : marks(id_array<std::uint32_t>(n_items)), size_(n_items) {}

    std::uint32_t next_mark() {
        return next_generation(mark_stamp, [&] { std::fill_n(marks.get(), size_, 0u); });
    }

private:
    std::size_t size_;
};

// Per-worker scratch, reused across items: each route's own part.
struct alignas(64) Scratch {
    Accumulator accumulator;
    ItemIndex index;
    CacheScratch cache;
    LiteralScratch literal;

    explicit Scratch(std::size_t n_items) : accumulator(n_items), index(n_items), cache(n_items) {}
};

// Item i's list from its users' rows (and its stored list, seeded first), in
// the accumulation order that fixes every f32 score.
SwingList process_item(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker);

}  // namespace quibrel::swing_detail
