#include "core/consumed.hpp"

#include <algorithm>

namespace quibrel {

static void append(ConsumedMap& map, std::int32_t key, std::int32_t value) {
    if (auto* list = map.find(key)) {
        list->push_back(value);
    } else {
        map.insert_or_assign(key, std::vector<std::int32_t>{value});
    }
}

void build_consumed_unique(std::span<const std::int32_t> user_indices,
                           std::span<const std::int32_t> item_indices, ConsumedMap& by_user,
                           ConsumedMap& by_item) {
    const std::size_t n = std::min(user_indices.size(), item_indices.size());
    for (std::size_t p = 0; p < n; ++p) {
        append(by_user, user_indices[p], item_indices[p]);
        append(by_item, item_indices[p], user_indices[p]);
    }
    auto dedup = [](std::int32_t, std::vector<std::int32_t>& list) {
        list.erase(std::unique(list.begin(), list.end()), list.end());
    };
    by_user.for_each_mut(dedup);
    by_item.for_each_mut(dedup);
}

}  // namespace quibrel
