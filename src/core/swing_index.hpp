// An item's own inverted index over its users' rows, and the two ways of
// using it: every common list of a position with the later ones, or the
// position's pairs added id by id without building their lists. Internal to
// the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/generation.hpp"
#include "core/swing_accumulator.hpp"
#include "core/swing_pass.hpp"

namespace quibrel::swing_detail {

// How many of the current item's user rows hold an id; side by side with the
// item stamp that makes the count valid, so a row entry costs one cache line.
struct Tally {
    std::uint32_t stamp;
    std::uint32_t count;
};

struct ItemIndex {
    HeapArray<Tally> tally;                 // rows holding the id, per item stamp
    HeapArray<std::uint32_t> placed;        // item stamp: id has its postings placed
    HeapArray<std::uint32_t> postings_at;   // start of the id's postings (when placed)
    HeapArray<std::uint32_t> filled;        // postings filled so far (when placed)
    std::vector<std::uint32_t> rows;        // each position's row, shared ids only
    std::vector<std::uint32_t> rank;        // per row entry: its rank in the postings
    std::vector<std::size_t> row_start;     // where each position's row starts
    std::vector<std::uint32_t> postings;    // per shared id: positions holding it
    std::vector<std::uint32_t> pair_start;  // per later position: list offset
    std::vector<std::uint32_t> lists;       // common lists of one earlier position
    std::vector<std::uint32_t> pair_count;  // per position: common list length with a
    std::vector<float> pair_weight;         // per position: its pair's contribution with a
    std::uint32_t item_stamp = 0;

    explicit ItemIndex(std::size_t n_items)
        : tally(id_array<Tally>(n_items)), placed(id_array<std::uint32_t>(n_items)),
          postings_at(id_array<std::uint32_t>(n_items)), filled(id_array<std::uint32_t>(n_items)),
          size_(n_items) {}

    void begin_item() {
        next_generation(item_stamp, [&] {
            std::fill_n(placed.get(), size_, 0u);
            std::fill_n(tally.get(), size_, Tally{0, 0});
        });
    }

private:
    std::size_t size_;
};

// Keeps, of each user row of the item, only the ids found in at least two of
// those rows (counting a repeated user once per position): no other id can be
// common to a pair of them. Order within each row is kept, so common lists
// come out exactly as from the full rows, at a fraction of the cost.
void trim_rows(const Pass& pass, std::span<const std::int32_t> users, ItemIndex& s);

// Completes the item's inverted index over the trimmed rows: each kept id
// gets the ascending list of positions whose rows hold it, and each row entry
// its rank in that list. Common lists then cost what they hold. With
// kSumCommon, returns the total length of the item's common lists over all
// its pairs (otherwise 0).
template <bool kSumCommon>
std::uint64_t index_postings(ItemIndex& s);

// The common lists of position a with every later position, from the index:
// each id of a's row is appended to the list of every later position whose
// row also holds it. Ids are visited in ascending order, so each list comes
// out ascending, as the merge walk would give it.
void common_lists(std::size_t a, std::size_t n_users_in_row, ItemIndex& s);

// The pairs of position a with every later position, without building their
// common lists: one pass counts the list lengths (hence each pair's
// contribution), a second adds the contributions id by id. For one id the
// later positions come in ascending order, so every slot still receives its
// contributions in pair order. Counts and contributions are indexed by
// position, as the postings hold positions.
void add_pairs_by_id(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                     std::size_t a, ItemIndex& s, Accumulator& acc);

}  // namespace quibrel::swing_detail
