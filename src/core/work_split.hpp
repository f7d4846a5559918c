// Cutting a range of entities into consecutive pieces of about equal summed
// cost, for the workers: the one split every parallel loop with uneven
// entities uses (pair counting and list tiles in cosine.cpp, partitions,
// Swing items and user pairs, the exact update's grouping). Internal to the
// core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quibrel {

// The bounds of at most `parts` (>= 1) consecutive non-empty pieces of
// [begin, end): begin, then a cut after the first index at which the running
// cost reaches k / parts of `total` (the sum of cost(i) over the range), for
// k = 1, 2, ... in turn, then end. An index whose cost spans several shares
// ends one piece; the next cut waits for the next index. An empty range gives
// the single bound begin.
template <class Cost>
std::vector<std::size_t> equal_cost_cuts(std::size_t begin, std::size_t end, std::size_t parts,
                                         std::uint64_t total, Cost&& cost) {
    std::vector<std::size_t> cuts{begin};
    std::uint64_t running = 0;
    for (std::size_t i = begin; i < end && cuts.size() < parts; ++i) {
        running += cost(i);
        if (running * parts >= total * cuts.size()) cuts.push_back(i + 1);
    }
    if (cuts.back() != end) cuts.push_back(end);
    return cuts;
}

// The same with the total summed here.
template <class Cost>
std::vector<std::size_t> equal_cost_cuts(std::size_t begin, std::size_t end, std::size_t parts,
                                         Cost&& cost) {
    std::uint64_t total = 0;
    for (std::size_t i = begin; i < end; ++i) total += cost(i);
    return equal_cost_cuts(begin, end, parts, total, cost);
}

// Loops that index per-part arrays need exactly `parts` pieces: the cuts
// padded with empty pieces at the end.
inline void pad_cuts(std::vector<std::size_t>& cuts, std::size_t parts) {
    while (cuts.size() < parts + 1) cuts.push_back(cuts.back());
}

}  // namespace quibrel
