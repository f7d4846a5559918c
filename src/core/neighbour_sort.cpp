#include "core/neighbour_sort.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace quibrel {
namespace {

// Stable LSD radix sort on the similarity half of the keys: four passes of
// 8 bits (small tables suit lists of a few thousand entries), skipping a pass
// whose digit every key shares.
void radix_sort_high(std::uint64_t* keys, std::size_t n, std::vector<std::uint64_t>& spare) {
    std::array<std::array<std::uint32_t, 256>, 4> counts{};
    for (std::size_t i = 0; i < n; ++i) {
        const auto high = static_cast<std::uint32_t>(keys[i] >> 32);
        ++counts[0][high & 0xff];
        ++counts[1][(high >> 8) & 0xff];
        ++counts[2][(high >> 16) & 0xff];
        ++counts[3][high >> 24];
    }
    if (spare.size() < n) spare.resize(n);
    std::uint64_t* src = keys;
    std::uint64_t* dst = spare.data();
    for (int d = 0; d < 4; ++d) {
        const int shift = 32 + 8 * d;
        auto& c = counts[static_cast<std::size_t>(d)];
        if (c[(src[0] >> shift) & 0xff] == n) continue;
        std::uint32_t sum = 0;
        for (auto& v : c) {
            const std::uint32_t here = v;
            v = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = src[i];
            dst[c[(k >> shift) & 0xff]++] = k;
        }
        std::swap(src, dst);
    }
    if (src != keys) std::copy(src, src + n, keys);
}

}  // namespace

void sort_keys(std::uint64_t* keys, std::size_t n, SortScratch& scratch) {
    if (n < 2) return;
    if (n < 192 || n > 0xffffffffu)
        std::sort(keys, keys + n);
    else
        radix_sort_high(keys, n, scratch.spare);
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
