// Writing the positions of the live lanes of a four-lane mask without a branch
// per lane: the table gives, for each mask, the live lane numbers packed to
// the front and how many there are. A caller stores all four offsets (plus a
// base) and advances its cursor by the count.
#pragma once

#include <cstdint>

namespace quibrel {

struct LiveLanes {
    std::uint32_t offsets[16][4];
    std::uint8_t count[16];
};

constexpr LiveLanes make_live_lanes() {
    LiveLanes t{};
    for (unsigned mask = 0; mask < 16; ++mask) {
        unsigned k = 0;
        for (unsigned lane = 0; lane < 4; ++lane)
            if (mask & (1u << lane)) t.offsets[mask][k++] = lane;
        t.count[mask] = static_cast<std::uint8_t>(k);
    }
    return t;
}

alignas(16) inline constexpr LiveLanes kLiveLanes = make_live_lanes();

}  // namespace quibrel
