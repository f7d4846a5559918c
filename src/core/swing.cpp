#include "core/swing.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/pool.hpp"
#include "core/routes.hpp"
#include "core/swing_cache.hpp"
#include "core/swing_item.hpp"
#include "core/work_split.hpp"

namespace quibrel {
namespace {

using namespace swing_detail;

// 1 / sqrt(d) with both operations correctly rounded in f32; +inf for d = 0.
float user_weight(std::uint64_t degree) { return 1.0f / std::sqrt(static_cast<float>(degree)); }

std::vector<float> user_weights(const CsrMatrix& user_matrix, std::uint64_t n_users) {
    // Every user reads indptr[u] and indptr[u + 1]; the first read past the
    // end is at the index equal to the length.
    const std::size_t len = user_matrix.indptr.size();
    if (n_users != 0 && len <= n_users) index_panic(len, len);
    std::vector<float> weights(n_users);
    for (std::uint64_t u = 0; u < n_users; ++u)
        weights[u] = user_weight(user_matrix.indptr[u + 1] - user_matrix.indptr[u]);
    return weights;
}

std::vector<UserRow> classify_rows(const CsrMatrix& user_matrix, std::uint64_t n_users,
                                   std::uint64_t n_items) {
    std::vector<UserRow> rows(n_users);
    const std::uint64_t readable = std::min(user_matrix.indices.size(), user_matrix.data.size());
    for (std::uint64_t u = 0; u < n_users; ++u) {
        const std::uint64_t begin = user_matrix.indptr[u];
        const std::uint64_t end = user_matrix.indptr[u + 1];
        UserRow& row = rows[u];
        if (begin >= end) continue;
        if (end > readable) {
            row.kind = RowKind::Unreadable;
            continue;
        }
        row.ids = user_matrix.indices.data() + begin;
        if (end - begin > std::numeric_limits<std::uint32_t>::max()) {
            row.kind = RowKind::Irregular;
            continue;
        }
        row.length = static_cast<std::uint32_t>(end - begin);
        std::int64_t previous = -1;
        for (std::uint32_t p = 0; p < row.length; ++p) {
            const std::int64_t id = row.ids[p];
            if (id <= previous || static_cast<std::uint64_t>(id) >= n_items) {
                row.kind = RowKind::Irregular;
                break;
            }
            previous = id;
        }
    }
    return rows;
}

// Every item id fits in the 16 bits of a narrow stored list.
bool narrow_ids(std::uint64_t n_items) {
    return n_items <= std::uint64_t{1} << 16 && !routes::forced().swing_wide_ids;
}

// Where the pass finds its common lists. Lists are built up front when the
// bound allows them all and they are not many more than the items' pairs will
// read (with a transposed pair of matrices, exactly those); PairLists::build
// declines when they are not, and the cache serves instead. A bound of zero
// disables both. Sets the limits of the up-front lists in `pass`.
routes::SwingPass choose_pass_route(const std::vector<RowRange>& item_ranges,
                                    std::uint64_t max_cache_num, Pass& pass) {
    const routes::SwingPass forced = routes::forced().swing_pass;
    if (forced != routes::SwingPass::Chosen) {
        pass.max_lists = pass.max_list_entries = std::numeric_limits<std::uint64_t>::max();
        return forced;
    }
    if (max_cache_num == 0) return routes::SwingPass::NoCache;
    std::uint64_t visits = 0;
    for (const RowRange& range : item_ranges) {
        const std::uint64_t k = range.end - range.begin;
        visits += k * (k - 1) / 2;
    }
    pass.max_lists = max_cache_num;
    pass.max_list_entries = 2 * visits + 4096;
    return routes::SwingPass::ListsUpFront;
}

// The common lists a pass reads, when it reads prepared ones: built up
// front or cached as met. Owns what `pass` points to.
struct PairSource {
    std::unique_ptr<PairLists> lists;
    std::unique_ptr<PairCache> cache;
};

// Classifies the user rows and sets up where the pass finds its common lists
// (choose_pass_route).
PairSource attach_pair_source(Pass& pass, const std::vector<RowRange>& item_ranges,
                              std::uint64_t max_cache_num, std::size_t workers) {
    pass.rows = classify_rows(pass.user_matrix, pass.n_users, pass.n_items);
    const std::size_t id_bytes = pass.narrow_ids ? sizeof(std::uint16_t) : sizeof(std::uint32_t);
    PairSource source;
    switch (choose_pass_route(item_ranges, max_cache_num, pass)) {
    case routes::SwingPass::ListsUpFront:
        source.lists = PairLists::build(pass.rows, pass.weights, pass.alpha, pass.n_items, id_bytes,
                                        pass.max_lists, pass.max_list_entries);
        pass.lists = source.lists.get();
        if (pass.lists != nullptr) break;
        // Too many or too large to build up front: the cache instead.
        [[fallthrough]];
    case routes::SwingPass::Cache:
        if (max_cache_num == 0) break;
        source.cache = std::make_unique<PairCache>(max_cache_num, workers, id_bytes);
        pass.cache = source.cache.get();
        break;
    case routes::SwingPass::Literal: pass.literal = true; break;
    default: break;
    }
    return source;
}

// Positions of the items, costliest (most users) first, so the last pieces
// handed out are small and no worker is left with a long item at the end.
std::vector<std::uint32_t> costliest_first(const std::vector<RowRange>& item_ranges) {
    std::vector<std::uint32_t> order(item_ranges.size());
    for (std::size_t p = 0; p < order.size(); ++p) order[p] = static_cast<std::uint32_t>(p);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
        return item_ranges[x].end - item_ranges[x].begin >
               item_ranges[y].end - item_ranges[y].begin;
    });
    return order;
}

// Pieces of `order` of about equal estimated cost (the item's user pairs
// plus its users), small enough that every worker gets many: the costliest
// items are pieces of their own.
std::vector<std::size_t> item_pieces(const std::vector<std::uint32_t>& order,
                                     const std::vector<RowRange>& item_ranges,
                                     std::size_t workers) {
    return equal_cost_cuts(0, order.size(), workers * 128, [&](std::size_t p) {
        const std::uint64_t k = item_ranges[order[p]].end - item_ranges[order[p]].begin;
        return k * (k - 1) / 2 + k;
    });
}

// The lists of the items `active` (ascending ids whose rows of the item
// matrix, `item_ranges`, hold users), computed on the pool; results[k]
// belongs to active[k] and is empty for an item without a list.
std::vector<SwingList> item_lists(Pass& pass, const std::vector<std::uint32_t>& active,
                                  const std::vector<RowRange>& item_ranges,
                                  std::uint64_t max_cache_num) {
    const CsrMatrix& item_matrix = pass.item_matrix;
    const std::uint64_t n_items = pass.n_items;
    const std::size_t workers = worker_count();
    std::vector<SwingList> results(active.size());
    if (active.empty()) return results;
    const PairSource source = attach_pair_source(pass, item_ranges, max_cache_num, workers);
    const std::vector<std::uint32_t> order = costliest_first(item_ranges);
    const std::vector<std::size_t> piece_start = item_pieces(order, item_ranges, workers);

    std::vector<std::unique_ptr<Scratch>> scratch(workers);
    // Result lists are carved from per-worker blocks (see mem_list_storage.hpp).
    std::vector<ListArena> arenas(workers);
    parallel_for(piece_start.size() - 1, 1,
                 [&](std::size_t begin, std::size_t end, std::size_t worker) {
                     const ListArenaScope in_arena(arenas[worker]);
                     // Allocated by the worker itself, so its pages are first touched
                     // where they are used.
                     if (!scratch[worker]) scratch[worker] = std::make_unique<Scratch>(n_items);
                     Scratch& s = *scratch[worker];
                     for (std::size_t p = piece_start[begin]; p < piece_start[end]; ++p) {
                         const std::size_t index = order[p];
                         const RowRange range = item_ranges[index];
                         const std::span<const std::int32_t> users(
                             item_matrix.indices.data() + range.begin, range.end - range.begin);
                         results[index] = process_item(pass, active[index], users, s, worker);
                         if (loop_stopping()) return;
                     }
                 });
    return results;
}

// The items with users below n_items, in id order, and their rows of the
// item matrix. Reading every such row here raises an unreadable row's panic
// before any work starts.
struct ActiveItems {
    std::vector<std::uint32_t> ids;
    std::vector<RowRange> ranges;
};

ActiveItems items_with_users(const CsrMatrix& item_matrix, std::uint64_t item_rows) {
    ActiveItems items;
    for (std::uint64_t i = 0; i < item_rows; ++i) {
        const RowRange range = row_range(item_matrix, static_cast<std::size_t>(i));
        if (range.end == range.begin) continue;
        if (i > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
        items.ids.push_back(static_cast<std::uint32_t>(i));
        items.ranges.push_back(range);
    }
    return items;
}

// The scores in item order: computed lists, then the stored lists of items
// without new users, which are carried over as they are.
SwingScores gather_scores(std::vector<SwingList>&& results, const ActiveItems& items,
                          const SwingScores& previous, const CsrMatrix& item_matrix,
                          std::uint64_t item_rows, std::uint64_t n_items) {
    SwingScores out;
    std::size_t total = 0;
    for (const SwingList& list : results) total += !list.empty();
    out.reserve_dense(std::min<std::size_t>(n_items, 2 * total + 4096));
    for (std::size_t p = 0; p < items.ids.size(); ++p)
        if (!results[p].empty())
            out.insert_or_assign(static_cast<std::int32_t>(items.ids[p]), std::move(results[p]));
    previous.for_each([&](std::int32_t id, const SwingList& list) {
        if (id < 0 || static_cast<std::uint64_t>(id) >= n_items || list.empty()) return;
        const auto i = static_cast<std::uint64_t>(id);
        if (i < item_rows) {
            const RowRange range = row_range(item_matrix, static_cast<std::size_t>(i));
            if (range.end != range.begin) return;
        }
        out.insert_or_assign(id, list);
    });
    return out;
}

}  // namespace

SwingScores build_swing_scores(const CsrMatrix& user_matrix, const CsrMatrix& item_matrix,
                               const SwingScores& previous, std::uint64_t n_users,
                               std::uint64_t n_items, float alpha, std::uint64_t max_cache_num) {
    Pass pass{user_matrix, item_matrix, previous, n_users, n_items,
              alpha,       {},          {},       nullptr, narrow_ids(n_items)};
    pass.weights = user_weights(user_matrix, n_users);
    const std::uint64_t item_rows = std::min<std::uint64_t>(n_items, item_matrix.n_rows());
    const ActiveItems items = items_with_users(item_matrix, item_rows);
    std::vector<SwingList> results = item_lists(pass, items.ids, items.ranges, max_cache_num);
    return gather_scores(std::move(results), items, previous, item_matrix, item_rows, n_items);
}

std::vector<SwingList> swing_item_lists(const CsrMatrix& user_matrix, const CsrMatrix& item_matrix,
                                        std::uint64_t n_users, std::uint64_t n_items, float alpha,
                                        std::uint64_t max_cache_num,
                                        std::span<const std::int32_t> items) {
    for (const std::int32_t i : items) {
        if (i < 0) throw ValueFailure(kOutOfRangeConversion);
        check_index(n_items, static_cast<std::size_t>(i));
    }
    const SwingScores none;
    Pass pass{user_matrix, item_matrix, none, n_users, n_items,
              alpha,       {},          {},   nullptr, narrow_ids(n_items)};
    pass.weights = user_weights(user_matrix, n_users);

    // The chosen items that have users, each once, in id order.
    std::vector<std::uint32_t> active;
    active.reserve(items.size());
    for (const std::int32_t i : items) active.push_back(static_cast<std::uint32_t>(i));
    std::sort(active.begin(), active.end());
    active.erase(std::unique(active.begin(), active.end()), active.end());
    std::vector<RowRange> item_ranges;
    std::size_t kept = 0;
    for (const std::uint32_t i : active) {
        const RowRange range = row_range(item_matrix, i);
        if (range.end == range.begin) continue;
        active[kept++] = i;
        item_ranges.push_back(range);
    }
    active.resize(kept);

    std::vector<SwingList> computed = item_lists(pass, active, item_ranges, max_cache_num);
    // Each computed list moves to the first position asking for it; a
    // repeated item gets a copy.
    constexpr std::size_t kUnset = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> first(active.size(), kUnset);
    std::vector<SwingList> out(items.size());
    for (std::size_t k = 0; k < items.size(); ++k) {
        const auto at =
            std::lower_bound(active.begin(), active.end(), static_cast<std::uint32_t>(items[k]));
        if (at == active.end() || *at != static_cast<std::uint32_t>(items[k])) continue;
        const auto index = static_cast<std::size_t>(at - active.begin());
        if (first[index] == kUnset) {
            first[index] = k;
            out[k] = std::move(computed[index]);
        } else {
            out[k] = out[first[index]];
        }
    }
    return out;
}

void compute_swing(SwingModel& m, std::uint64_t num_threads) {
    set_thread_count(num_threads);
    m.swing_scores.clear();
    // A failing pass leaves the cleared map in place.
    SwingScores scores =
        build_swing_scores(m.user_interactions, m.item_interactions, m.swing_scores, m.n_users,
                           m.n_items, m.alpha, m.max_cache_num);
    m.swing_scores = std::move(scores);
}

void update_swing(SwingModel& m, const CsrMatrix& new_user_interactions,
                  const CsrMatrix& new_item_interactions) {
    // Each stage replaces its field only once its result is complete, so a
    // failure leaves the earlier stages applied and the later ones not.
    SwingScores scores =
        build_swing_scores(new_user_interactions, new_item_interactions, m.swing_scores, m.n_users,
                           m.n_items, m.alpha, m.max_cache_num);
    m.swing_scores = std::move(scores);
    CsrMatrix users = merge_interactions(m.user_interactions, new_user_interactions,
                                         static_cast<std::size_t>(m.n_users));
    m.user_interactions = std::move(users);
    CsrMatrix items = merge_interactions(m.item_interactions, new_item_interactions,
                                         static_cast<std::size_t>(m.n_items));
    m.item_interactions = std::move(items);
}

std::uint64_t num_swing_elements(const SwingModel& m) {
    if (m.swing_scores.empty())
        throw RuntimeFailure("call `compute_swing` method before calling `num_swing_elements`");
    std::uint64_t total = 0;
    m.swing_scores.for_each([&](std::int32_t, const SwingList& list) { total += list.size(); });
    return total;
}

}  // namespace quibrel
