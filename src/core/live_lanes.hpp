// Writing the positions of the live lanes of a four-lane mask without a branch
// per lane: the table gives, for each mask, the live lane numbers packed to
// the front and how many there are; store_live_lanes stores all four offsets
// (plus a base) and advances the cursor by the count.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// Writes base + lane for the lanes of `words` whose bits are not all zero at
// out[count], out[count + 1], ... and returns the count past them. Four ids
// are always stored, so `out` needs three slots beyond the last live one.
inline std::size_t store_live_lanes(__m128i words, std::uint32_t base, std::uint32_t* out,
                                    std::size_t count) {
    const unsigned empty = static_cast<unsigned>(
        _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(words, _mm_setzero_si128()))));
    const unsigned live = ~empty & 0xfu;
    const __m128i ids =
        _mm_add_epi32(_mm_set1_epi32(static_cast<int>(base)),
                      _mm_load_si128(reinterpret_cast<const __m128i*>(kLiveLanes.offsets[live])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + count), ids);
    return count + kLiveLanes.count[live];
}
#endif

}  // namespace quibrel
