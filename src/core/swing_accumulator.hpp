// The accumulator of one item's Swing scores, shared by every route: a slot
// per item id, the ids the item touched, and the sorted list made from them.
// Internal to the core.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/generation.hpp"
#include "core/models.hpp"
#include "core/neighbour_sort.hpp"
#include "core/routes.hpp"
#include "core/swing_pass.hpp"
#include "core/mem_zeroed_array.hpp"

namespace quibrel::swing_detail {

// An item starts in tracked mode: each update also records which ids it
// touched (a stamp per id), so a small item costs what it touches. Once an
// item has done more updates than a scan of all ids would cost, it stops
// tracking and its list is found by scanning the whole accumulator instead.
struct Accumulator {
    HeapArray<float> values;           // all zero between items
    HeapArray<std::uint32_t> stamps;   // item stamp of the last tracked touch
    HeapArray<std::uint32_t> touched;  // ids first touched by the current item
    HeapArray<std::uint64_t> keys;     // sort keys of the list being built
    SortScratch sort;
    std::uint32_t item_stamp = 0;
    std::size_t n_touched = 0;
    bool tracking = true;
    std::uint64_t updates = 0;  // updates of the current item while tracking

    explicit Accumulator(std::size_t n_items)
        : values(id_array<float>(n_items)), stamps(id_array<std::uint32_t>(n_items)),
          touched(id_array<std::uint32_t>(n_items + 1)), keys(id_array<std::uint64_t>(n_items + 1)),
          size_(n_items), scan_cost_(n_items / 8 + 64) {
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
        next_generation(item_stamp, [&] { std::fill_n(stamps.get(), size_, 0u); });
    }
    void count_updates(std::size_t n) {
        updates += n;
        if (updates > scan_cost_) tracking = false;
    }

private:
    std::size_t size_;
    std::uint64_t scan_cost_;
};

// Adds c to the accumulator at every id of the list. Ids are distinct within
// a list, so the first-touch bookkeeping is branch-free: the id is always
// written, and the count only moves past it on a first touch.
template <class Id>
inline void scatter(Accumulator& s, const Id* list, std::size_t length, float c) {
    float* const values = s.values.get();
    const Id* p = list;
    const Id* const end = list + length;
    if (!s.tracking) {
        for (; p + 4 <= end; p += 4) {
            values[p[0]] += c;
            values[p[1]] += c;
            values[p[2]] += c;
            values[p[3]] += c;
        }
        for (; p < end; ++p) values[*p] += c;
        return;
    }
    std::uint32_t* const stamps = s.stamps.get();
    std::uint32_t* const touched = s.touched.get();
    const std::uint32_t stamp = s.item_stamp;
    std::size_t n = s.n_touched;
    for (; p < end; ++p) {
        const std::uint32_t j = *p;
        touched[n] = j;
        n += stamps[j] != stamp;
        stamps[j] = stamp;
        values[j] += c;
    }
    s.n_touched = n;
    s.count_updates(length);
}

// Assigns the stored scores of item i before any contribution is added.
void seed_item(const Pass& pass, std::size_t item, Accumulator& s);

// Turns the accumulator into the item's sorted list and clears it.
SwingList finish_item(Accumulator& s);

}  // namespace quibrel::swing_detail
