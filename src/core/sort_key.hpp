// Sort keys for descending floats: a similarity or score in the high half of
// a 64-bit key and an id (or position) in the low half, so that ascending keys
// are descending values, ties in ascending low halves. Scalar and four-lane.
#pragma once

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quibrel {

// The one descending-float sort key of the core (cosine lists, Swing lists,
// recommendation selection): negative patterns have every bit flipped,
// others only the sign bit, which orders them as unsigned values; inverting
// that puts larger values first. A bijection, so values come back bit for bit
// (including -0.0).
inline std::uint64_t neighbour_key(std::int32_t id, float sim) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(sim);
    const std::uint32_t flip =
        static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31) | 0x80000000u;
    return (static_cast<std::uint64_t>(~(bits ^ flip)) << 32) | static_cast<std::uint32_t>(id);
}

inline std::int32_t key_id(std::uint64_t key) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(key));
}

inline float key_sim(std::uint64_t key) {
    const std::uint32_t ascending = ~static_cast<std::uint32_t>(key >> 32);
    const std::uint32_t bits = (ascending & 0x80000000u) ? (ascending & 0x7fffffffu) : ~ascending;
    return std::bit_cast<float>(bits);
}

#if defined(__SSE2__)
// neighbour_key's high halves of four values at once, without branches.
inline __m128i descending_halves(__m128 values) {
    const __m128i bits = _mm_castps_si128(values);
    const __m128i flip =
        _mm_or_si128(_mm_srai_epi32(bits, 31), _mm_set1_epi32(static_cast<int>(0x80000000u)));
    return _mm_xor_si128(_mm_xor_si128(bits, flip), _mm_set1_epi32(-1));
}
#endif

}  // namespace quibrel
