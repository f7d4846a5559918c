// The pair-cache route of one Swing item: cached common lists looked up a
// position at a time, missing ones built one by one or from the item's own
// index, and the item's pairs added by id when the cache does not pay.
#include <algorithm>
#include <cstdint>
#include <span>

#include "core/pool.hpp"
#include "core/routes.hpp"
#include "core/swing_cache.hpp"
#include "core/swing_routes.hpp"

namespace quibrel::swing_detail {
namespace {

// An item whose common lists are shorter than this on average does not use
// the pair cache once its index shows it: a probe and a stored copy cost
// about as much as counting that many ids again.
constexpr std::uint64_t kListsWorthCaching = 16;

}  // namespace

// Item i when every user is known and every user row is regular. For each
// earlier user u, the cached lists of all pairs (u, later users) are looked up
// together; a few missing ones are built one by one from the trimmed rows,
// many at once from the item's inverted index. Cached lists hold ids of type
// Id.
template <class Id>
void process_item_cached(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker) {
    // Contributions to the item itself are skipped; restoring its slot after
    // the pairs does that without a test per id.
    const float own_value = s.accumulator.values[item];
    PairCache* cache = pass.cache;
    const routes::SwingMisses misses = routes::forced().swing_misses;
    bool indexed = false;  // built when many pairs of one position are missing
    if (s.cache.pair_keys.size() < users.size()) {
        s.cache.pair_keys.resize(users.size());
        s.cache.cached.resize(users.size());
    }
    for (std::size_t a = 0; a + 1 < users.size(); ++a) {
        if (loop_stopping()) return;
        const auto u = static_cast<std::uint32_t>(users[a]);
        const float w_u = pass.weights[u];
        const std::size_t later = users.size() - a - 1;
        const std::uint64_t key_base = static_cast<std::uint64_t>(u) * pass.n_users;
        const std::uint32_t** const cached = s.cache.cached.data();
        bool all_cached = false;
        if (cache != nullptr) {
            for (std::size_t b = 0; b < later; ++b)
                s.cache.pair_keys[b] = key_base + static_cast<std::uint32_t>(users[a + 1 + b]);
            cache->find_all(u, std::span<const std::uint64_t>(s.cache.pair_keys.data(), later),
                            cached);
            all_cached = std::all_of(cached, cached + later, [](auto* p) { return p != nullptr; });
        }
        // Few missing lists are built one by one (mark a's row, scan the
        // other); many are built together from the index.
        bool one_by_one = false;
        if (!all_cached) {
            const bool room = cache != nullptr && cache->has_room();
            // A full cache serves a position only when it holds every one of
            // its pairs; once one position of the item misses, the others
            // are unlikely to do better, and their lookups are dropped.
            if (!room) cache = nullptr;
            if (room) {
                const std::size_t missing =
                    static_cast<std::size_t>(std::count(cached, cached + later, nullptr));
                one_by_one = misses == routes::SwingMisses::Chosen
                                 ? 2 * missing < later
                                 : misses == routes::SwingMisses::OneByOne;
            }
            if (!one_by_one && !indexed) {
                trim_rows(pass, users, s.index);
                indexed = true;
                if (cache == nullptr) {
                    index_postings<false>(s.index);
                } else {
                    // Short common lists cost less to count again than to
                    // look up and store: a sparse item finishes without the
                    // cache.
                    const std::uint64_t common = index_postings<true>(s.index);
                    const std::uint64_t pairs = users.size() * (users.size() - 1) / 2;
                    if (common < kListsWorthCaching * pairs &&
                        misses == routes::SwingMisses::Chosen)
                        cache = nullptr;
                }
            }
            // Without room to store the lists, there is no need to build them.
            if (!room || cache == nullptr) {
                add_pairs_by_id(pass, item, users, a, s.index, s.accumulator);
                continue;
            }
            if (!one_by_one) common_lists(a, users.size(), s.index);
        }
        if (cache != nullptr)
            for (std::size_t b = 0; b < std::min(later, kPrefetchHeads); ++b)
                if (cached[b] != nullptr) __builtin_prefetch(cached[b]);
        // The next position looks up its pairs when this one is done: their
        // slots are fetched meanwhile, one per pair of this position.
        const auto next = static_cast<std::uint32_t>(users[a + 1]);
        const std::uint64_t next_base = static_cast<std::uint64_t>(next) * pass.n_users;
        std::uint32_t mark = 0;
        for (std::size_t b = 0; b < later; ++b) {
            const auto v = static_cast<std::uint32_t>(users[a + 1 + b]);
            const float w_v = pass.weights[v];
            if (cache != nullptr) {
                prefetch_ahead<Id>(cached, b, later);
                if (b + 1 < later)
                    cache->prefetch(next, next_base + static_cast<std::uint32_t>(users[a + 2 + b]));
            }
            if (cache != nullptr && cached[b] != nullptr) {
                const std::uint32_t length = cached[b][0];
                if (length != 0)
                    scatter(s.accumulator, reinterpret_cast<const Id*>(cached[b] + 1), length,
                            contribution(w_u, w_v, length, pass.alpha));
            } else if (one_by_one) {
                // Full rows: trimming them would cost more than these few scans.
                const UserRow& full_u = pass.rows[u];
                const UserRow& full_v = pass.rows[v];
                const std::int32_t* const row_v = full_v.ids;
                const std::size_t length_v = full_v.length;
                if (mark == 0) {
                    mark = s.cache.next_mark();
                    for (std::uint32_t p = 0; p < full_u.length; ++p)
                        s.cache.marks[static_cast<std::uint32_t>(full_u.ids[p])] = mark;
                }
                const std::uint32_t* const marks = s.cache.marks.get();
                std::size_t n = 0;
                if (cache->has_room()) {
                    Id* const out = static_cast<Id*>(cache->reserve(worker, length_v));
                    for (std::size_t p = 0; p < length_v; ++p) {
                        const auto j = static_cast<std::uint32_t>(row_v[p]);
                        out[n] = static_cast<Id>(j);
                        n += marks[j] == mark;
                    }
                    const std::uint32_t* const stored = cache->publish(worker, u, key_base + v, n);
                    if (n != 0)
                        scatter(s.accumulator, reinterpret_cast<const Id*>(stored + 1), n,
                                contribution(w_u, w_v, n, pass.alpha));
                } else {
                    if (s.cache.common.size() < length_v) s.cache.common.resize(length_v);
                    std::uint32_t* const out = s.cache.common.data();
                    for (std::size_t p = 0; p < length_v; ++p) {
                        const auto j = static_cast<std::uint32_t>(row_v[p]);
                        out[n] = j;
                        n += marks[j] == mark;
                    }
                    if (n != 0)
                        scatter(s.accumulator, out, n, contribution(w_u, w_v, n, pass.alpha));
                }
            } else {
                const std::uint32_t first = b == 0 ? 0 : s.index.pair_start[b];
                const std::uint32_t length = s.index.pair_start[b + 1] - first;
                const std::uint32_t* const common = s.index.lists.data() + first;
                if (cache != nullptr && cache->has_room()) {
                    Id* const slot = static_cast<Id*>(cache->reserve(worker, length));
                    std::copy(common, common + length, slot);
                    cache->publish(worker, u, key_base + v, length);
                }
                if (length != 0)
                    scatter(s.accumulator, common, length,
                            contribution(w_u, w_v, length, pass.alpha));
            }
        }
    }
    s.accumulator.values[item] = own_value;
}

template void process_item_cached<std::uint16_t>(const Pass&, std::size_t,
                                                 std::span<const std::int32_t>, Scratch&,
                                                 std::size_t);
template void process_item_cached<std::uint32_t>(const Pass&, std::size_t,
                                                 std::span<const std::int32_t>, Scratch&,
                                                 std::size_t);

}  // namespace quibrel::swing_detail
