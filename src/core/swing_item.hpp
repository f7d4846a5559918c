// Swing scores item by item: the per-worker scratch, the pass every item
// reads, and the computation of one item's list (swing_item.cpp). Internal to
// the core; swing.cpp runs the items on the worker pool.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "core/csr.hpp"
#include "core/models.hpp"
#include "core/neighbour_sort.hpp"
#include "core/routes.hpp"
#include "core/swing_cache.hpp"
#include "core/swing_pairs.hpp"
#include "core/zeroed_array.hpp"

namespace quibrel::swing_detail {

// How a user's row of the user matrix may be read in the fast path.
enum class RowKind : std::uint8_t {
    Regular,     // readable, strictly ascending ids, all below n_items
    Irregular,   // readable, but the literal merge walk is needed
    Unreadable,  // offsets run past the stored entries: reading panics
};

struct UserRow {
    const std::int32_t* ids = nullptr;
    std::uint32_t length = 0;
    RowKind kind = RowKind::Regular;
};

// Per-id scratch of the items; ids are handled as 32-bit values.
template <class T>
inline HeapArray<T> id_array(std::size_t n) {
    if (n > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    return zeroed_array<T>(n);
}

// How many of the current item's user rows hold an id; side by side with the
// item stamp that makes the count valid, so a row entry costs one cache line.
struct Tally {
    std::uint32_t stamp;
    std::uint32_t count;
};

// Per-worker scratch, reused across items.
//
// An item starts in tracked mode: each update also records which ids it
// touched (a stamp per id), so a small item costs what it touches. Once an
// item has done more updates than a scan of all ids would cost, it stops
// tracking and its list is found by scanning the whole accumulator instead.
struct alignas(64) Scratch {
    HeapArray<float> values;           // the accumulator, all zero between items
    HeapArray<std::uint32_t> stamps;   // item stamp of the last tracked touch
    HeapArray<std::uint32_t> touched;  // ids first touched by the current item
    // The item's own inverted index over its users' rows (trim_rows, index_postings).
    HeapArray<Tally> tally;                 // rows holding the id, per item stamp
    HeapArray<std::uint32_t> placed;        // item stamp: id has its postings placed
    HeapArray<std::uint32_t> postings_at;   // start of the id's postings (when placed)
    HeapArray<std::uint32_t> filled;        // postings filled so far (when placed)
    HeapArray<std::uint32_t> marks;         // stamp per id, for mark-and-scan
    std::vector<std::uint32_t> rows;        // each position's row, shared ids only
    std::vector<std::uint32_t> rank;        // per row entry: its rank in the postings
    std::vector<std::size_t> row_start;     // where each position's row starts
    std::vector<std::uint32_t> postings;    // per shared id: positions holding it
    std::vector<std::uint32_t> pair_start;  // per later position: list offset
    std::vector<std::uint32_t> lists;       // common lists of one earlier position
    std::vector<std::uint32_t> pair_count;  // per position: common list length with a
    std::vector<float> pair_weight;         // per position: its pair's contribution with a
    std::vector<std::uint32_t> common;      // one pair's common list, when built alone
    std::uint32_t item_stamp = 0;
    std::uint32_t mark_stamp = 0;
    std::size_t n_touched = 0;
    bool tracking = true;
    std::uint64_t updates = 0;  // updates of the current item while tracking
    std::vector<std::uint64_t> pair_keys;
    std::vector<const std::uint32_t*> cached;  // per later user: cached list or null
    HeapArray<std::uint64_t> keys;             // sort keys of the list being built
    SortScratch sort;
    std::vector<std::uint64_t> walk_u, walk_v, walk_common;  // literal walk only

    explicit Scratch(std::size_t n_items)
        : values(id_array<float>(n_items)), stamps(id_array<std::uint32_t>(n_items)),
          touched(id_array<std::uint32_t>(n_items + 1)), tally(id_array<Tally>(n_items)),
          placed(id_array<std::uint32_t>(n_items)), postings_at(id_array<std::uint32_t>(n_items)),
          filled(id_array<std::uint32_t>(n_items)), marks(id_array<std::uint32_t>(n_items)),
          keys(id_array<std::uint64_t>(n_items + 1)), size_(n_items), scan_cost_(n_items / 8 + 64) {
        switch (routes::forced().swing_accumulator) {
        case routes::SwingAccumulator::Tracking:
            scan_cost_ = std::numeric_limits<std::uint64_t>::max();
            break;
        case routes::SwingAccumulator::Scanning: scan_cost_ = 0; break;
        case routes::SwingAccumulator::Chosen: break;
        }
    }

    std::size_t size() const noexcept { return size_; }

    void begin_item() {
        n_touched = 0;
        updates = 0;
        tracking = scan_cost_ != 0;
        if (++item_stamp == 0) {
            for (auto* a : {&stamps, &placed}) std::fill_n(a->get(), size_, 0u);
            std::fill_n(tally.get(), size_, Tally{0, 0});
            item_stamp = 1;
        }
    }
    std::uint32_t next_mark() {
        if (++mark_stamp == 0) {
            std::fill_n(marks.get(), size_, 0u);
            mark_stamp = 1;
        }
        return mark_stamp;
    }
    void count_updates(std::size_t n) {
        updates += n;
        if (updates > scan_cost_) tracking = false;
    }

private:
    std::size_t size_;
    std::uint64_t scan_cost_;
};

// The f32 contribution of a pair with common list length n (n >= 1).
inline float contribution(float w_u, float w_v, std::size_t n, float alpha) {
    const float m = w_u * w_v;
    const float d = static_cast<float>(static_cast<std::uint64_t>(n - 1)) + alpha;
    return (1.0f / d) * m;
}

struct Pass {
    const CsrMatrix& user_matrix;
    const CsrMatrix& item_matrix;
    const SwingScores& previous;
    std::uint64_t n_users;
    std::uint64_t n_items;
    float alpha;
    std::vector<float> weights;
    std::vector<UserRow> rows;         // one per user below n_users
    PairCache* cache;                  // null when disabled or when `lists` is set
    bool narrow_ids;                   // every item id fits in 16 bits
    const PairLists* lists = nullptr;  // every list built up front, when set
    bool literal = false;              // every item takes the literal walk (a forced route)
    std::uint64_t max_lists = 0;       // limits of the lists built up front
    std::uint64_t max_list_entries = 0;
};

// Item i's list from its users' rows (and its stored list, seeded first), in
// the accumulation order that fixes every f32 score.
SwingList process_item(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker);

}  // namespace quibrel::swing_detail
