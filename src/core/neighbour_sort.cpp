#include "core/neighbour_sort.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace quibrel {

KeyRange similarity_range(const std::uint64_t* keys, std::size_t n) {
    std::uint32_t lo = 0xffffffffu;
    std::uint32_t hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto high = static_cast<std::uint32_t>(keys[i] >> 32);
        lo = std::min(lo, high);
        hi = std::max(hi, high);
    }
    return {lo, hi};
}

namespace {

// Lists shorter than this are sorted by bucket_sort_keys.
constexpr std::size_t kBucketSortBelow = 512;

// Keys in ascending order, in scratch.spare: one distribution pass into about
// n/2 buckets (at most 4096) over the span `range` of the similarities, then
// each bucket ordered by whole keys. Scaling the span to the buckets spreads
// similarities that crowd into a narrow band of bit patterns. For short lists:
// two passes instead of the five or so a radix sort needs at its narrow digits.
const std::uint64_t* bucket_sort_keys(const std::uint64_t* keys, std::size_t n, KeyRange range,
                                      SortScratch& scratch) {
    const std::uint32_t lo = range.lo;
    const std::uint32_t span = range.hi - lo;
    const int bits = std::clamp(static_cast<int>(std::bit_width(n)) - 1, 1, 12);
    int shift = 0;
    while ((span >> shift) >= (std::uint32_t{1} << bits)) ++shift;
    const std::size_t buckets = (std::size_t{span} >> shift) + 1;
    auto bucket = [&](std::uint64_t k) {
        return static_cast<std::size_t>((static_cast<std::uint32_t>(k >> 32) - lo) >> shift);
    };
    auto& bounds = scratch.bounds;
    bounds.assign(buckets + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++bounds[bucket(keys[i]) + 1];
    for (std::size_t b = 0; b < buckets; ++b) bounds[b + 1] += bounds[b];
    auto& cursor = scratch.cursor;
    cursor.assign(bounds.begin(), bounds.end() - 1);
    if (scratch.spare.size() < n) scratch.spare.resize(n);
    std::uint64_t* const out = scratch.spare.data();
    for (std::size_t i = 0; i < n; ++i) out[cursor[bucket(keys[i])]++] = keys[i];
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t first = bounds[b];
        const std::size_t last = bounds[b + 1];
        // A crowded bucket is sorted in n log n rather than by insertion.
        if (last - first > 16) {
            std::sort(out + first, out + last);
            continue;
        }
        for (std::size_t i = first + 1; i < last; ++i) {
            const std::uint64_t k = out[i];
            std::size_t j = i;
            for (; j > first && out[j - 1] > k; --j) out[j] = out[j - 1];
            out[j] = k;
        }
    }
    return out;
}

// Histograms of every digit in one read of the keys, for the usual pass
// counts.
template <int Passes>
void count_digits(const std::uint64_t* keys, std::size_t n, std::uint32_t lo, int digit,
                  std::uint32_t* counts) {
    const std::size_t radix = std::size_t{1} << digit;
    const std::uint32_t mask = static_cast<std::uint32_t>(radix - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t v = static_cast<std::uint32_t>(keys[i] >> 32) - lo;
        ++counts[v & mask];
        if constexpr (Passes >= 2) ++counts[radix + ((v >> digit) & mask)];
        if constexpr (Passes >= 3) ++counts[2 * radix + ((v >> (2 * digit)) & mask)];
    }
}

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
                     SortScratch& scratch) {
    const std::uint32_t lo = range.lo;
    // Digits about as wide as the list has keys (up to 13 bits), so that
    // clearing and summing the counters stays below the cost of a pass. Lists
    // of 4,096 keys or more spanning 26 bits, common in dense catalogues, then
    // take two passes instead of three (a quarter less sorting time on such
    // lists); shorter ones keep narrower digits.
    const int bits = std::bit_width(range.hi - lo);
    const int widest = std::clamp(static_cast<int>(std::bit_width(n)), 5, 13);
    const int passes = (bits + widest - 1) / widest;
    const int digit = (bits + passes - 1) / passes;
    const std::size_t radix = std::size_t{1} << digit;
    const std::uint32_t mask = static_cast<std::uint32_t>(radix - 1);
    auto& counts = scratch.bounds;
    counts.assign(radix * static_cast<std::size_t>(passes), 0);
    switch (passes) {
    case 1: count_digits<1>(keys, n, lo, digit, counts.data()); break;
    case 2: count_digits<2>(keys, n, lo, digit, counts.data()); break;
    case 3: count_digits<3>(keys, n, lo, digit, counts.data()); break;
    default:
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t v = static_cast<std::uint32_t>(keys[i] >> 32) - lo;
            for (int p = 0; p < passes; ++p)
                ++counts[static_cast<std::size_t>(p) * radix + ((v >> (p * digit)) & mask)];
        }
        break;
    }
    for (int p = 0; p < passes; ++p) {
        std::uint32_t sum = 0;
        for (std::size_t b = 0; b < radix; ++b) {
            const std::uint32_t c = counts[p * radix + b];
            counts[p * radix + b] = sum;
            sum += c;
        }
    }
    return RadixPlan{passes, digit, radix, mask};
}

// Stable sort of keys given in ascending id order on their similarity half
// (range.lo < range.hi), so equal similarities keep ascending ids, as a sort
// of the whole key orders them. Returns the sorted keys, which lie in `keys`
// or in scratch.spare (both used as scratch). Every pass writes into one of
// these two buffers, which the previous pass left in cache: scattering the
// last pass straight into a list's fresh memory costs a cache miss on most
// stores, a sequential copy afterwards does not.
const std::uint64_t* radix_by_similarity(std::uint64_t* keys, std::size_t n, KeyRange range,
                                         SortScratch& scratch) {
    const RadixPlan plan = plan_radix(keys, n, range, scratch);
    if (scratch.spare.size() < n) scratch.spare.resize(n);
    std::uint64_t* from = keys;
    std::uint64_t* to = scratch.spare.data();
    const std::uint32_t lo = range.lo;
    for (int p = 0; p < plan.passes; ++p) {
        std::uint32_t* cursor = scratch.bounds.data() + static_cast<std::size_t>(p) * plan.radix;
        const int shift = p * plan.digit;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = from[i];
            const std::uint32_t v = static_cast<std::uint32_t>(k >> 32) - lo;
            to[cursor[(v >> shift) & plan.mask]++] = k;
        }
        std::swap(from, to);
    }
    return from;
}

}  // namespace

void sort_keys(std::uint64_t* keys, std::size_t n, SortScratch& scratch) {
    if (n < 2) return;
    if (n < 192 || n > 0xffffffffu) {
        std::sort(keys, keys + n);
        return;
    }
    const std::uint64_t* sorted = bucket_sort_keys(keys, n, similarity_range(keys, n), scratch);
    std::copy(sorted, sorted + n, keys);
}

const std::uint64_t* sort_by_similarity(std::uint64_t* keys, std::size_t n, KeyRange range,
                                        SortScratch& scratch) {
    if (n < kBucketSortBelow) return bucket_sort_keys(keys, n, range, scratch);
    return radix_by_similarity(keys, n, range, scratch);
}

NeighbourList sorted_neighbour_list(std::uint64_t* keys, std::size_t n, KeyRange range,
                                    SortScratch& scratch) {
    if (n < 16) {
        std::sort(keys, keys + n);
        return to_neighbour_list(keys, n);
    }
    if (range.lo == range.hi) return to_neighbour_list(keys, n);
    return to_neighbour_list(sort_by_similarity(keys, n, range, scratch), n);
}

NeighbourList to_neighbour_list(const std::uint64_t* keys, std::size_t n) {
    NeighbourList list;
    // Without it, the lists an update grows were copied whole: after a fit,
    // most of an update's time and of its peak memory.
    list.ids.reserve(n + kListRoom);
    list.sims.reserve(n + kListRoom);
    list.ids.resize(n);
    list.sims.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        list.ids[i] = key_id(keys[i]);
        list.sims[i] = key_sim(keys[i]);
    }
    return list;
}

}  // namespace quibrel
