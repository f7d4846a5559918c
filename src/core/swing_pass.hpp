// What every route of one Swing pass reads: the matrices, the user weights,
// the users' rows as the routes may read them, and the pass's choices.
// Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "core/csr.hpp"
#include "core/mem_zeroed_array.hpp"
#include "core/models.hpp"

namespace quibrel {
class PairCache;
}

namespace quibrel::swing_detail {

class PairLists;

// How a user's row of the user matrix may be read in the fast path.
enum class RowKind : std::uint8_t {
    Regular,     // readable, strictly ascending ids, all below n_items
    Irregular,   // readable, but the literal merge walk is needed
    Unreadable,  // offsets run past the stored entries: reading panics
};

struct UserRow {
    const std::int32_t* ids = nullptr;
    std::uint32_t length = 0;
    RowKind kind = RowKind::Regular;
};

// Per-id scratch of the items; ids are handled as 32-bit values.
template <class T>
inline HeapArray<T> id_array(std::size_t n) {
    if (n > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    return zeroed_array<T>(n);
}

// The f32 contribution of a pair with common list length n (n >= 1).
inline float contribution(float w_u, float w_v, std::size_t n, float alpha) {
    const float m = w_u * w_v;
    const float d = static_cast<float>(static_cast<std::uint64_t>(n - 1)) + alpha;
    return (1.0f / d) * m;
}

struct Pass {
    const CsrMatrix& user_matrix;
    const CsrMatrix& item_matrix;
    const SwingScores& previous;
    std::uint64_t n_users;
    std::uint64_t n_items;
    float alpha;
    std::vector<float> weights;
    std::vector<UserRow> rows;         // one per user below n_users
    PairCache* cache;                  // null when disabled or when `lists` is set
    bool narrow_ids;                   // every item id fits in 16 bits
    const PairLists* lists = nullptr;  // every list built up front, when set
    bool literal = false;              // every item takes the literal walk (a forced route)
    std::uint64_t max_lists = 0;       // limits of the lists built up front
    std::uint64_t max_list_entries = 0;
};

}  // namespace quibrel::swing_detail
