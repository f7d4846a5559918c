#include "core/swing_accumulator.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/errors.hpp"
#include "core/live_lanes.hpp"

namespace quibrel::swing_detail {
namespace {

// Lists are sorted on neighbour_key: descending score, then ascending id.
// Ties in short lists must keep ascending ids; in long ones any order is
// allowed, so one key order serves both.
inline SwingPair key_pair(std::uint64_t key) { return {key_id(key), key_sim(key)}; }

}  // namespace

void seed_item(const Pass& pass, std::size_t item, Accumulator& s) {
    const SwingList* seeded = pass.previous.find(static_cast<std::int32_t>(item));
    if (seeded == nullptr) return;
    for (const SwingPair& pair : *seeded) {
        const auto j = static_cast<std::uint64_t>(static_cast<std::int64_t>(pair.id));
        check_index(pass.n_items, j);
        s.touched[s.n_touched] = static_cast<std::uint32_t>(j);
        s.n_touched += s.stamps[j] != s.item_stamp;
        s.stamps[j] = s.item_stamp;
        s.values[j] = pair.score;
    }
    s.count_updates(seeded->size());
}

SwingList finish_item(Accumulator& s) {
    float* const values = s.values.get();
    std::uint64_t* const keys = s.keys.get();
    std::size_t n = 0;
    bool nan = false;
    // -0.0 compares equal to 0.0 and is dropped; NaN compares unequal and
    // stays. The key is always written; only a kept value moves past it.
    auto take = [&](std::uint32_t j) {
        const float value = values[j];
        values[j] = 0.0f;
        keys[n] = neighbour_key(static_cast<std::int32_t>(j), value);
        n += value != 0.0f;
        nan |= value != value;
    };
    bool ids_ascend = false;
    if (s.tracking) {
        for (std::size_t t = 0; t < s.n_touched; ++t) take(s.touched[t]);
    } else {
        // The slots with nonzero bits (so that a -0.0 left behind is cleared
        // too), found four at a time and listed without a branch per slot in
        // `touched`, free while the item does not track; then taken in order.
        const std::size_t size = s.size();
        std::uint32_t* const live_ids = s.touched.get();
        std::size_t live_count = 0;
        std::size_t j = 0;
#if defined(__SSE2__)
        // `touched` holds size + 1 ids; four are written at live_count <= j.
        for (; j + 4 <= size; j += 4) {
            const __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + j));
            live_count =
                store_live_lanes(bits, static_cast<std::uint32_t>(j), live_ids, live_count);
        }
#endif
        for (; j < size; ++j) {
            live_ids[live_count] = static_cast<std::uint32_t>(j);
            live_count += std::bit_cast<std::uint32_t>(values[j]) != 0;
        }
        for (std::size_t t = 0; t < live_count; ++t) take(live_ids[t]);
        ids_ascend = true;
    }
    s.n_touched = 0;
    SwingList list;
    if (n == 0) return list;
    if (n == 1) {
        list.push_back(key_pair(keys[0]));
        return list;
    }
    // Any comparison sort compares every element at least once, so a NaN in a
    // list of two or more always meets the failing comparison.
    if (nan) throw Panic(kUnwrapNone);
    const std::uint64_t* sorted = keys;
    if (ids_ascend && n >= 64) {
        const KeyRange range = similarity_range(keys, n);
        // Equal scores: ascending ids is the order already.
        if (range.lo < range.hi) sorted = sort_by_similarity(keys, n, range, s.sort);
    } else {
        std::sort(keys, keys + n);
    }
    // The pairs are written in place, without being zeroed first.
    list.resize(n);
    for (std::size_t p = 0; p < n; ++p) list[p] = key_pair(sorted[p]);
    return list;
}

}  // namespace quibrel::swing_detail
