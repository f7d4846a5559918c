// Sorting cosine neighbour lists by descending similarity, shared by the full
// computation and the incremental update.
//
// An entry travels as one 64-bit key: the similarity mapped to an unsigned
// value that ascends as the similarity descends, in the high half, and the
// neighbour id in the low half. Sorting keys is several times faster than a
// comparator sort of (id, similarity) pairs.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/models.hpp"

namespace quibrel {

inline std::uint64_t neighbour_key(std::int32_t id, float sim) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(sim);
    // A bijection, so similarities come back bit for bit (including -0.0).
    const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    return (static_cast<std::uint64_t>(~ascending) << 32) | static_cast<std::uint32_t>(id);
}

inline std::int32_t key_id(std::uint64_t key) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(key));
}

inline float key_sim(std::uint64_t key) {
    const std::uint32_t ascending = ~static_cast<std::uint32_t>(key >> 32);
    const std::uint32_t bits = (ascending & 0x80000000u) ? (ascending & 0x7fffffffu) : ~ascending;
    return std::bit_cast<float>(bits);
}

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

// Splits sorted keys into a neighbour list.
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

// Digit layout of a least-significant-digit sort on the similarity half.
struct RadixPlan {
    int passes;
    int digit;
    std::size_t radix;
    std::uint32_t mask;
};

// Plans the passes over the bits `range` spans (range.lo < range.hi), counts
// every digit of the keys and leaves each pass's starting slots in
// scratch.bounds.
RadixPlan plan_radix(const std::uint64_t* keys, std::size_t n, KeyRange range,
                     SortScratch& scratch);

// Stable sort of keys given in ascending id order on their similarity half
// (range.lo < range.hi), so equal similarities keep ascending ids, as a sort
// of the whole key orders them. Returns the sorted keys, which lie in `keys`
// or in scratch.spare (both used as scratch). Every pass writes into one of
// these two buffers, which the previous pass left in cache: scattering the
// last pass straight into a list's fresh memory costs a cache miss on most
// stores, a sequential copy afterwards does not.
const std::uint64_t* radix_by_similarity(std::uint64_t* keys, std::size_t n, KeyRange range,
                                         SortScratch& scratch);

// Keys in ascending order, in scratch.spare: one distribution pass into about
// n/2 buckets (at most 4096) over the span `range` of the similarities, then
// each bucket ordered by whole keys. Scaling the span to the buckets spreads
// similarities that crowd into a narrow band of bit patterns. For short lists:
// two passes instead of the five or so a radix sort needs at its narrow digits.
const std::uint64_t* bucket_sort_keys(const std::uint64_t* keys, std::size_t n, KeyRange range,
                                      SortScratch& scratch);

// Lists shorter than this are sorted by bucket_sort_keys.
constexpr std::size_t kBucketSortBelow = 512;

// The order of radix_by_similarity, for keys given in ascending id order with
// unique ids below 2^31: equal similarities keep ascending ids, which is also
// the order of whole keys, so short lists may be sorted by whole keys.
// Returns the sorted keys, in `keys` or scratch.spare.
inline const std::uint64_t* sort_by_similarity(std::uint64_t* keys, std::size_t n, KeyRange range,
                                               SortScratch& scratch) {
    if (n < kBucketSortBelow) return bucket_sort_keys(keys, n, range, scratch);
    return radix_by_similarity(keys, n, range, scratch);
}

// The neighbour list of keys given in ascending id order (ids non-negative):
// the same list as sort_keys followed by to_neighbour_list, built by
// sort_by_similarity. `range` is similarity_range of the keys; `keys` is used
// as scratch.
NeighbourList sorted_neighbour_list(std::uint64_t* keys, std::size_t n, KeyRange range,
                                    SortScratch& scratch);

}  // namespace quibrel
