// The up-front route of one Swing item: every common list and contribution
// read from the table built before the pass.
#include <algorithm>
#include <cstdint>
#include <span>

#include "core/pool.hpp"
#include "core/swing_routes.hpp"

namespace quibrel::swing_detail {

// Item i with every common list built up front (pass.lists): each pair's
// list and contribution are read from the table, nothing is built.
template <class Id>
void process_item_listed(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                         Scratch& s) {
    const float own_value = s.accumulator.values[item];  // restored after the pairs, as above
    const PairLists& lists = *pass.lists;
    if (s.cache.cached.size() < users.size()) s.cache.cached.resize(users.size());
    const std::uint32_t** const cached = s.cache.cached.data();
    for (std::size_t a = 0; a + 1 < users.size(); ++a) {
        if (loop_stopping()) return;
        const std::uint32_t* const row = lists.row(static_cast<std::uint32_t>(users[a]));
        const std::size_t later = users.size() - a - 1;
        for (std::size_t b = 0; b < later; ++b)
            cached[b] = lists.list_at(row[static_cast<std::uint32_t>(users[a + 1 + b])]);
        for (std::size_t b = 0; b < std::min(later, kPrefetchHeads); ++b)
            __builtin_prefetch(cached[b]);
        for (std::size_t b = 0; b < later; ++b) {
            prefetch_ahead<Id, PairLists::kHeadWords * 4>(cached, b, later);
            const std::uint32_t* const list = cached[b];
            if (list[0] != 0)
                scatter(s.accumulator, reinterpret_cast<const Id*>(list + PairLists::kHeadWords),
                        list[0], PairLists::contribution_of(list));
        }
    }
    s.accumulator.values[item] = own_value;
}

template void process_item_listed<std::uint16_t>(const Pass&, std::size_t,
                                                 std::span<const std::int32_t>, Scratch&);
template void process_item_listed<std::uint32_t>(const Pass&, std::size_t,
                                                 std::span<const std::int32_t>, Scratch&);

}  // namespace quibrel::swing_detail
