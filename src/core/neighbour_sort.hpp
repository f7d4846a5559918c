// Sorting cosine neighbour lists by descending similarity, shared by the full
// computation and the incremental update.
//
// An entry travels as one 64-bit key: the similarity mapped to an unsigned
// value that ascends as the similarity descends, in the high half, and the
// neighbour id in the low half. Sorting keys is several times faster than a
// comparator sort of (id, similarity) pairs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/models.hpp"
#include "core/sort_key.hpp"

namespace quibrel {

// Reusable buffers of one thread.
struct SortScratch {
    std::vector<std::uint64_t> spare;
    std::vector<std::uint64_t> staging;
    std::vector<std::uint32_t> bounds;
    std::vector<std::uint32_t> cursor;
};

// Orders keys ascending, that is by descending similarity and, among equal
// similarities, by ascending id bits (an order callers may not rely on).
void sort_keys(std::uint64_t* keys, std::size_t n, SortScratch& scratch);

// True when the list cannot be sorted: a comparison sort of two or more
// entries compares every entry, and comparing a NaN similarity fails.
inline bool unsortable(const std::uint64_t* keys, std::size_t n) {
    if (n < 2) return false;
    bool nan = false;
    for (std::size_t i = 0; i < n; ++i) {
        const float s = key_sim(keys[i]);
        nan |= s != s;
    }
    return nan;
}

// Entries a built list has room for beyond its own: an exact update that
// gives a list a new partner or two then patches it in place instead of
// copying it whole (64 bytes a list).
inline constexpr std::size_t kListRoom = 8;

// Splits sorted keys into a neighbour list, with room for kListRoom more.
NeighbourList to_neighbour_list(const std::uint64_t* keys, std::size_t n);

// Smallest and largest similarity halves of a list's keys.
struct KeyRange {
    std::uint32_t lo;
    std::uint32_t hi;
};
KeyRange similarity_range(const std::uint64_t* keys, std::size_t n);

// Whether keys spanning `r` include a NaN similarity: NaNs map to the halves
// beyond those of the two infinities (0x007fffff and 0xff800000).
inline bool holds_nan(KeyRange r) { return r.lo < 0x007fffffu || r.hi > 0xff800000u; }

// Sorts keys given in ascending id order with unique ids below 2^31 by
// similarity (range.lo < range.hi): equal similarities keep ascending ids,
// which is also the order of whole keys. Returns the sorted keys, which lie
// in `keys` or in scratch.spare (both used as scratch).
const std::uint64_t* sort_by_similarity(std::uint64_t* keys, std::size_t n, KeyRange range,
                                        SortScratch& scratch);

// The neighbour list of keys given in ascending id order (ids non-negative):
// the same list as sort_keys followed by to_neighbour_list, built by
// sort_by_similarity. `range` is similarity_range of the keys; `keys` is used
// as scratch.
NeighbourList sorted_neighbour_list(std::uint64_t* keys, std::size_t n, KeyRange range,
                                    SortScratch& scratch);

}  // namespace quibrel
