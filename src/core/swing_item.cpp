// One item's Swing list: the route it takes (the literal walk, the lists
// built up front, or the pair cache with the item's own index).
#include "core/swing_item.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/pool.hpp"
#include "core/routes.hpp"
#include "core/swing_routes.hpp"

namespace quibrel::swing_detail {
namespace {

bool fast_path_applies(const Pass& pass, std::span<const std::int32_t> users) {
    if (users.size() < 2) return true;
    for (const std::int32_t u : users) {
        if (u < 0 || static_cast<std::uint64_t>(u) >= pass.n_users) return false;
        if (pass.rows[static_cast<std::size_t>(u)].kind != RowKind::Regular) return false;
    }
    return true;
}

// The up-front lists have none for a user paired with itself, which an item
// row repeating a user asks for; such rows take the walk instead.
bool distinct_ascending(std::span<const std::int32_t> users) {
    return std::adjacent_find(users.begin(), users.end(), std::greater_equal<>()) == users.end();
}

enum class ItemRoute : std::uint8_t { Literal, Listed, Fast };

// The route of one item: the literal walk for rows the others cannot take,
// the up-front lists when the pass has them and they hold the item's pairs,
// otherwise the item's own index with the cache, if any.
ItemRoute choose_item_route(const Pass& pass, std::span<const std::int32_t> users) {
    if (pass.literal || !fast_path_applies(pass, users)) return ItemRoute::Literal;
    if (pass.lists != nullptr && distinct_ascending(users)) return ItemRoute::Listed;
    return ItemRoute::Fast;
}

}  // namespace

SwingList process_item(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker) {
    s.accumulator.begin_item();
    s.index.begin_item();
    seed_item(pass, item, s.accumulator);
    switch (choose_item_route(pass, users)) {
    case ItemRoute::Literal:
        process_item_literal(pass, item, users, s.literal, s.accumulator);
        break;
    case ItemRoute::Listed:
        if (pass.narrow_ids)
            process_item_listed<std::uint16_t>(pass, item, users, s);
        else
            process_item_listed<std::uint32_t>(pass, item, users, s);
        break;
    case ItemRoute::Fast:
        if (pass.narrow_ids)
            process_item_cached<std::uint16_t>(pass, item, users, s, worker);
        else
            process_item_cached<std::uint32_t>(pass, item, users, s, worker);
        break;
    }
    return finish_item(s.accumulator);
}

}  // namespace quibrel::swing_detail
