// The literal route of Swing: an item's pairs walked row by row as the score
// is defined, for rows the other routes cannot take. Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/swing_accumulator.hpp"
#include "core/swing_pass.hpp"

namespace quibrel::swing_detail {

// The rows of one pair, widened, and their common ids.
struct LiteralScratch {
    std::vector<std::uint64_t> walk_u, walk_v, walk_common;
};

// Item i step by step as defined, for rows the fast path cannot take
// (unknown users, unsorted or out-of-range rows, unreadable rows). It raises
// the same failures in the same order; its results are never cached.
void process_item_literal(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                          LiteralScratch& s, Accumulator& acc);

}  // namespace quibrel::swing_detail
