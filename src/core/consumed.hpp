// Per-user item lists and per-item user lists from parallel index lists.
#pragma once

#include <cstdint>
#include <span>

#include "core/models.hpp"

namespace quibrel {

// Appends, position by position up to the shorter length, item to the user's
// list and user to the item's list, then drops consecutive repeats.
void build_consumed_unique(std::span<const std::int32_t> user_indices,
                           std::span<const std::int32_t> item_indices, ConsumedMap& by_user,
                           ConsumedMap& by_item);

}  // namespace quibrel
