// The two routes of an item whose users' rows are all regular: the pair
// cache with the item's own index (swing_cached.cpp), and the lists built up
// front (swing_listed.cpp). swing_item.cpp chooses between them and the
// literal walk. Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/swing_item.hpp"

namespace quibrel::swing_detail {

// Cached lists are read one after another from scattered places, each in a
// few lines: a list's head (its length) is fetched well ahead, and once it
// has arrived, the rest of the list, still some lists ahead of its use.
constexpr std::size_t kPrefetchHeads = 24;
constexpr std::size_t kPrefetchBodies = 8;
template <class Id, std::size_t kHeadBytes = 4>
inline void prefetch_ahead(const std::uint32_t* const* cached, std::size_t b, std::size_t later) {
    if (b + kPrefetchHeads < later && cached[b + kPrefetchHeads] != nullptr)
        __builtin_prefetch(cached[b + kPrefetchHeads]);
    if (b + kPrefetchBodies < later && cached[b + kPrefetchBodies] != nullptr) {
        const char* const head = reinterpret_cast<const char*>(cached[b + kPrefetchBodies]);
        const std::size_t bytes = kHeadBytes + sizeof(Id) * cached[b + kPrefetchBodies][0];
        // Lines after the head's, up to the list's last byte.
        const std::uintptr_t first_line = (reinterpret_cast<std::uintptr_t>(head) | 63) + 1;
        for (std::uintptr_t line = first_line;
             line < reinterpret_cast<std::uintptr_t>(head) + bytes; line += 64)
            __builtin_prefetch(reinterpret_cast<const void*>(line));
    }
}

// Item i from the pair cache, the item's own index or both (see swing_cached.cpp).
template <class Id>
void process_item_cached(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker);

// Item i from the lists built up front (see swing_listed.cpp).
template <class Id>
void process_item_listed(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                         Scratch& s);

}  // namespace quibrel::swing_detail
