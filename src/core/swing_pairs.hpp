// Every common-item list of a Swing pass built at once, for user matrices
// with few users.
//
// A pair's list is the ids both users' rows hold, ascending. Walking a user's
// row in order and, for each item in it, the item's later holders appends the
// item to the list of every pair the user is first of: all lists come out
// complete and ascending at one step per entry, instead of walking the two
// rows of each pair when it is first met. A dense table of the pairs replaces
// the cache's hash lookups, and each list carries its pair's contribution, so
// the pass over an item neither divides nor waits on a division.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quibrel::swing_detail {

struct UserRow;

class PairLists {
public:
    // A list: its length, its pair's contribution (f32 bits), then the ids.
    static constexpr std::size_t kHeadWords = 2;
    static float contribution_of(const std::uint32_t* list) noexcept {
        return std::bit_cast<float>(list[1]);
    }

    // The lists of every pair of users whose rows are regular (strictly
    // ascending ids below n_items), or null when they would be too many or
    // too large to build up front: more users than the dense table allows,
    // more non-empty lists than `max_lists`, or more list entries than
    // `max_entries`. Ids take `id_bytes` (2 or 4) bytes each; contributions
    // come from the users' weights and alpha.
    static std::unique_ptr<PairLists> build(std::span<const UserRow> rows,
                                            std::span<const float> weights, float alpha,
                                            std::uint64_t n_items, std::size_t id_bytes,
                                            std::uint64_t max_lists, std::uint64_t max_entries);

    // User u's row of the table: list_at(row[v]) is the list of (u, v),
    // empty when the two share nothing. Both users must be below the
    // user count, with regular rows.
    const std::uint32_t* row(std::uint32_t u) const noexcept {
        return table_.data() + static_cast<std::size_t>(u) * n_users_;
    }
    const std::uint32_t* list_at(std::uint32_t offset) const noexcept {
        return words_.data() + offset;
    }

private:
    std::size_t n_users_ = 0;
    std::vector<std::uint32_t> table_;  // n_users² word offsets, symmetric
    std::vector<std::uint32_t> words_;  // the empty list, then each list
};

}  // namespace quibrel::swing_detail
