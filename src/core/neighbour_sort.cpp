#include "core/neighbour_sort.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace quibrel {
namespace {

// One bucket pass on the similarity bits, spread over the range the list
// actually spans, then a sort of each small bucket. Similarities of one list
// crowd into a narrow band of float bit patterns, which makes fixed-digit
// radix passes skewed (every key hitting one counter); scaling the band to the
// bucket count avoids that. The result is fully ordered by key.
void bucket_sort(std::uint64_t* keys, std::size_t n, SortScratch& scratch) {
    std::uint32_t lo = 0xffffffffu;
    std::uint32_t hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto high = static_cast<std::uint32_t>(keys[i] >> 32);
        lo = std::min(lo, high);
        hi = std::max(hi, high);
    }
    const int bits = std::clamp(static_cast<int>(std::bit_width(n / 4)), 6, 12);
    const std::uint32_t range = hi - lo;
    int shift = 0;
    while ((range >> shift) >= (std::uint32_t{1} << bits)) ++shift;
    const std::size_t buckets = (std::size_t{range} >> shift) + 1;
    auto& bounds = scratch.bounds;
    bounds.assign(buckets + 1, 0);
    auto bucket = [&](std::uint64_t k) {
        return static_cast<std::size_t>((static_cast<std::uint32_t>(k >> 32) - lo) >> shift);
    };
    for (std::size_t i = 0; i < n; ++i) ++bounds[bucket(keys[i]) + 1];
    for (std::size_t b = 0; b < buckets; ++b) bounds[b + 1] += bounds[b];
    auto& out = scratch.spare;
    if (out.size() < n) out.resize(n);
    auto& cursor = scratch.cursor;
    cursor.assign(bounds.begin(), bounds.end() - 1);
    for (std::size_t i = 0; i < n; ++i) out[cursor[bucket(keys[i])]++] = keys[i];
    for (std::size_t b = 0; b < buckets; ++b)
        if (bounds[b + 1] - bounds[b] > 1)
            std::sort(out.begin() + static_cast<std::ptrdiff_t>(bounds[b]),
                      out.begin() + static_cast<std::ptrdiff_t>(bounds[b + 1]));
    std::copy(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n), keys);
}

}  // namespace

void sort_keys(std::uint64_t* keys, std::size_t n, SortScratch& scratch) {
    if (n < 2) return;
    if (n < 192 || n > 0xffffffffu)
        std::sort(keys, keys + n);
    else
        bucket_sort(keys, n, scratch);
}

NeighbourList to_neighbour_list(const std::uint64_t* keys, std::size_t n) {
    NeighbourList list;
    list.ids.resize(n);
    list.sims.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        list.ids[i] = key_id(keys[i]);
        list.sims[i] = key_sim(keys[i]);
    }
    return list;
}

}  // namespace quibrel
