// Exact incremental updates of the cosine and Swing models.
//
// Cosine. A dot product dot(x, y) sums x's and y's values over their shared
// columns, and a similarity reads the two squared norms. A batch changes the
// rows of the forward matrix of the entities it names (items for ItemCF,
// users for UserCF): call them A. A product term of a pair changes only when
// one of its two values is new, and a norm only when the entity's row is, so
// every pair whose dot, count or similarity changes has an entity of A, and
// pairs of two entities outside A keep their records and similarities bit for
// bit (their terms, and the order they are added in, are the same). So the
// state of A is recomputed against everything (cosine_subset.hpp), the
// records and lists of A are replaced, and the lists and pair rows of the
// other entities are patched only at their entries for entities of A.
//
// The merge never drops a stored cell (a batch value replaces a value), so
// counts never fall: a pair that co-occurred still does, and a pair that met
// min_common still does. Every old record or list entry of an entity outside
// A for a partner in A is therefore among the recomputed ones, which is what
// lets a patch find its entries by the recomputed partners alone.
//
// Swing. A user pair's weight and common-item list depend on the two users'
// rows only, and item i's scores sum over the pairs of i's users. A changed
// user row changes the terms of the items in that row (before and after the
// batch; the merged row holds both); an item none of whose users changed
// keeps its users, their weights and their common lists, so its list stays
// bit for bit. Those items are recomputed with the full pass's own per-item
// code (swing_item_lists).
#include "core/exact_update.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "core/cosine.hpp"
#include "core/cosine_subset.hpp"
#include "core/errors.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"
#include "core/swing.hpp"
#include "core/timing.hpp"

namespace quibrel {
namespace {

// ---------------------------------------------------------------------------
// The batch

struct BatchCell {
    std::int32_t row;
    std::int32_t col;
    float value;
};

bool same_place(const BatchCell& a, const BatchCell& b) { return a.row == b.row && a.col == b.col; }
bool before(const BatchCell& a, const BatchCell& b) {
    return a.row != b.row ? a.row < b.row : a.col < b.col;
}

// The cells of m by the merge rule (the last value of a repeated cell wins),
// ordered by (row, column). Rows must lie below `rows` (the merge's panic
// otherwise) and columns below `cols`.
std::vector<BatchCell> batch_cells(const CsrMatrix& m, std::size_t rows, std::size_t cols) {
    std::vector<BatchCell> out;
    const std::size_t n_rows = m.n_rows();
    for (std::size_t r = 0; r < n_rows; ++r) {
        const RowView row = get_row(m, r);
        if (row.empty()) continue;
        if (r >= rows) index_panic(rows, r);
        for (std::size_t p = 0; p < row.size(); ++p) {
            const std::int32_t c = row.columns[p];
            if (c < 0) throw ValueFailure(kOutOfRangeConversion);
            check_index(cols, static_cast<std::size_t>(c));
            out.push_back(BatchCell{static_cast<std::int32_t>(r), c, row.values[p]});
        }
    }
    std::stable_sort(out.begin(), out.end(), before);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < out.size(); ++i)
        if (i + 1 == out.size() || !same_place(out[i], out[i + 1])) out[kept++] = out[i];
    out.resize(kept);
    return out;
}

struct Batch {
    std::vector<BatchCell> by_user;  // (user, item)
    std::vector<BatchCell> by_item;  // (item, user)
    std::vector<std::int32_t> users;  // users with a cell, ascending
    std::vector<std::int32_t> items;  // items with a cell, ascending
};

std::vector<std::int32_t> distinct_rows(const std::vector<BatchCell>& cells) {
    std::vector<std::int32_t> rows;
    for (const BatchCell& c : cells)
        if (rows.empty() || rows.back() != c.row) rows.push_back(c.row);
    return rows;
}

Batch read_batch(const CsrMatrix& new_users, const CsrMatrix& new_items, std::size_t n_users,
                 std::size_t n_items) {
    Batch b;
    b.by_user = batch_cells(new_users, n_users, n_items);
    b.by_item = batch_cells(new_items, n_items, n_users);
    // Which entities are recomputed is read from one matrix and the merged
    // values from both: they must agree, or the result would silently differ
    // from a full computation.
    bool same = b.by_user.size() == b.by_item.size();
    if (same) {
        std::vector<BatchCell> flipped(b.by_item.size());
        for (std::size_t i = 0; i < flipped.size(); ++i)
            flipped[i] = BatchCell{b.by_item[i].col, b.by_item[i].row, b.by_item[i].value};
        std::sort(flipped.begin(), flipped.end(), before);
        for (std::size_t i = 0; same && i < flipped.size(); ++i)
            same = same_place(flipped[i], b.by_user[i]) &&
                   std::bit_cast<std::uint32_t>(flipped[i].value) ==
                       std::bit_cast<std::uint32_t>(b.by_user[i].value);
    }
    if (!same)
        throw ValueFailure(
            "the batch's user_interactions and item_interactions hold different interactions");
    b.users = distinct_rows(b.by_user);
    b.items = distinct_rows(b.by_item);
    return b;
}

// merge_interactions(old, batch, n) for a batch given as ordered cells: the
// same matrix, built by copying the rows the batch does not name.
CsrMatrix merge_cells(const CsrMatrix& old, std::span<const BatchCell> cells, std::size_t n) {
    const std::size_t old_rows = std::min(n, old.n_rows());
    std::size_t total = cells.size();
    for (std::size_t r = 0; r < old_rows; ++r) {
        const RowRange range = row_range(old, r);
        total += range.end - range.begin;
    }
    CsrMatrix out;
    out.indptr.reserve(n + 1);
    out.indices.reserve(total);
    out.data.reserve(total);
    out.indptr.push_back(0);
    std::vector<std::pair<std::int32_t, std::uint32_t>> order;  // an irregular row's cells
    std::vector<std::int32_t> cols;
    std::vector<float> vals;
    std::size_t c = 0;
    for (std::size_t r = 0; r < n; ++r) {
        RowView a;
        if (r < old_rows) a = get_row(old, r);
        std::size_t c_end = c;
        while (c_end < cells.size() && static_cast<std::size_t>(cells[c_end].row) == r) ++c_end;
        const std::int32_t* ac = a.columns.data();
        const float* av = a.values.data();
        std::size_t len = a.size();
        bool ascending = true;
        for (std::size_t p = 1; p < len && ascending; ++p) ascending = ac[p - 1] < ac[p];
        if (!ascending) {
            // The merge's rule for a row with unordered or repeated columns:
            // ascending columns, the last value of a repeat.
            order.clear();
            for (std::size_t p = 0; p < len; ++p)
                order.emplace_back(ac[p], static_cast<std::uint32_t>(p));
            std::sort(order.begin(), order.end());
            cols.clear();
            vals.clear();
            for (std::size_t p = 0; p < order.size(); ++p) {
                if (p + 1 < order.size() && order[p + 1].first == order[p].first) continue;
                cols.push_back(order[p].first);
                vals.push_back(av[order[p].second]);
            }
            ac = cols.data();
            av = vals.data();
            len = cols.size();
        }
        if (c == c_end) {
            out.indices.insert(out.indices.end(), ac, ac + len);
            out.data.insert(out.data.end(), av, av + len);
        } else {
            std::size_t i = 0;
            std::size_t j = c;
            while (i < len || j < c_end) {
                if (j == c_end || (i < len && ac[i] < cells[j].col)) {
                    out.indices.push_back(ac[i]);
                    out.data.push_back(av[i++]);
                } else {
                    if (i < len && ac[i] == cells[j].col) ++i;
                    out.indices.push_back(cells[j].col);
                    out.data.push_back(cells[j++].value);
                }
            }
        }
        out.indptr.push_back(out.indices.size());
        c = c_end;
    }
    return out;
}

struct Merged {
    CsrMatrix users;
    CsrMatrix items;
};

Merged merge_batch(const CsrMatrix& users, const CsrMatrix& items, const Batch& b,
                   std::size_t n_users, std::size_t n_items) {
    Merged out;
    out.users = merge_cells(users, b.by_user, n_users);
    out.items = merge_cells(items, b.by_item, n_items);
    return out;
}

// Rows a model's matrix holds beyond its count are dropped by a merge, which
// can change entities the batch does not name: only a full run is exact then.
bool drops_rows(const CsrMatrix& m, std::size_t n) {
    for (std::size_t r = n; r < m.n_rows(); ++r)
        if (m.indptr[r + 1] > m.indptr[r]) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Cosine

// Cost model, in units of one dense cell update of the pair accumulation
// (measured on MovieLens and the synthetic sets of the update benchmark).
constexpr double kListEntryCost = 3.0;   // full run: building and sorting one list entry
constexpr double kPatchEntryCost = 1.0;  // update: reading or writing one patched entry
// The subset's work must stay below this share of a full run before it
// starts, so that a fallback after it costs at most 1.1 full runs.
constexpr double kBlockShare = 0.1;
// And the whole estimated update below this share; otherwise a full run.
constexpr double kIncrementalShare = 0.5;

// Dense cell updates of a full run: every entity meets every entity of each
// of its columns.
double full_updates(const CsrMatrix& other, std::size_t other_rows) {
    double total = 0.0;
    const std::size_t rows = std::min(other_rows, other.n_rows());
    for (std::size_t c = 0; c < rows; ++c) {
        const double k = static_cast<double>(other.indptr[c + 1] - other.indptr[c]);
        total += k * k;
    }
    return total;
}

void commit_full(CfModel& m, CfModel& fresh) noexcept {
    std::swap(m.sum_squares, fresh.sum_squares);
    std::swap(m.pair_stats, fresh.pair_stats);
    std::swap(m.sim_mapping, fresh.sim_mapping);
    std::swap(m.user_interactions, fresh.user_interactions);
    std::swap(m.item_interactions, fresh.item_interactions);
}

ExactReport full_cosine(CfModel& m, Orientation o, Merged&& merged) {
    CfModel fresh;
    fresh.n_users = m.n_users;
    fresh.n_items = m.n_items;
    fresh.min_common = m.min_common;
    fresh.user_interactions = std::move(merged.users);
    fresh.item_interactions = std::move(merged.items);
    compute_similarities_forward(fresh, o);
    commit_full(m, fresh);
    return ExactReport{ExactRoute::Full, static_cast<std::size_t>(
                                             o == Orientation::Item ? m.n_items : m.n_users)};
}

// Entries of a list or pair row, grouped by the entity they are filed under.
// Buckets fill in the order entries are added (ascending partner here).
template <class T>
struct Buckets {
    std::vector<std::int32_t> owners;   // entities with entries, ascending
    std::vector<std::size_t> start;     // owners[k]'s entries: [start[k], start[k + 1])
    std::vector<T> entries;
};

// Groups (owner, entry) pairs produced twice by `produce(emit)`: once to
// count, once to place.
template <class T, class Produce>
Buckets<T> group(std::size_t n, Produce&& produce) {
    std::vector<std::uint32_t> count(n, 0);
    produce([&](std::size_t owner, const T&) { ++count[owner]; });
    Buckets<T> b;
    std::vector<std::size_t> slot(n, 0);
    std::size_t total = 0;
    for (std::size_t y = 0; y < n; ++y) {
        if (count[y] == 0) continue;
        b.owners.push_back(static_cast<std::int32_t>(y));
        b.start.push_back(total);
        slot[y] = total;
        total += count[y];
    }
    b.start.push_back(total);
    b.entries.resize(total);
    produce([&](std::size_t owner, const T& e) { b.entries[slot[owner]++] = e; });
    return b;
}

struct PairUpdate {
    std::int32_t x;  // the partner in A (the record's y)
    float dot;
    std::uint32_t count;
};

// What happens to a pair row of an entity outside A.
struct RowPlan {
    bool in_place = false;  // every update has a record: positions in `at`
    PairRow row;            // otherwise the new row
};

// What happens to the list of an entity outside A.
struct ListPlan {
    bool in_place = false;  // fits in the old list's room: patched at commit
    std::size_t length = 0;
    NeighbourList list;     // otherwise the new list
};

bool key_is_nan(std::uint64_t key) {
    const float s = key_sim(key);
    return s != s;
}

// Removes the entries of A from `list` and merges the sorted keys in, inside
// the list's room (planned so that it fits). Cannot fail.
void patch_in_place(NeighbourList& list, std::span<const std::uint64_t> keys,
                    const std::vector<std::uint8_t>& in_a, std::size_t length) noexcept {
    std::int32_t* ids = list.ids.data();
    float* sims = list.sims.data();
    const std::size_t old = list.ids.size();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < old; ++i) {
        const std::int32_t id = ids[i];
        if (id >= 0 && static_cast<std::size_t>(id) < in_a.size() && in_a[static_cast<std::size_t>(id)])
            continue;
        ids[kept] = id;
        sims[kept++] = sims[i];
    }
    // The list grows within its capacity (no allocation) or shrinks.
    list.ids.resize(length);
    list.sims.resize(length);
    ids = list.ids.data();
    sims = list.sims.data();
    // Merge from the back: the larger key (smaller similarity) goes last.
    std::size_t i = kept;
    std::size_t j = keys.size();
    std::size_t out = length;
    while (j > 0) {
        if (i > 0 && neighbour_key(ids[i - 1], sims[i - 1]) > keys[j - 1]) {
            --out;
            --i;
            ids[out] = ids[i];
            sims[out] = sims[i];
        } else {
            --out;
            --j;
            ids[out] = key_id(keys[j]);
            sims[out] = key_sim(keys[j]);
        }
    }
}

// The new list of an entity outside A: its entries for entities outside A,
// with the sorted keys merged in.
NeighbourList merged_list(const NeighbourList* old, std::span<const std::uint64_t> keys,
                          const std::vector<std::uint8_t>& in_a, std::size_t length) {
    NeighbourList out;
    out.ids.resize(length);
    out.sims.resize(length);
    std::size_t at = 0;
    std::size_t j = 0;
    if (old != nullptr) {
        for (std::size_t i = 0; i < old->ids.size(); ++i) {
            const std::int32_t id = old->ids[i];
            if (id >= 0 && static_cast<std::size_t>(id) < in_a.size() &&
                in_a[static_cast<std::size_t>(id)])
                continue;
            const std::uint64_t key = neighbour_key(id, old->sims[i]);
            for (; j < keys.size() && keys[j] < key; ++j, ++at) {
                out.ids[at] = key_id(keys[j]);
                out.sims[at] = key_sim(keys[j]);
            }
            out.ids[at] = id;
            out.sims[at++] = old->sims[i];
        }
    }
    for (; j < keys.size(); ++j, ++at) {
        out.ids[at] = key_id(keys[j]);
        out.sims[at] = key_sim(keys[j]);
    }
    return out;
}

}  // namespace

ExactReport exact_update_cosine(CfModel& m, Orientation o, const CsrMatrix& new_users,
                                const CsrMatrix& new_items, ExactRoute route) {
    const QuietLines quiet;
    const auto n_users = static_cast<std::size_t>(m.n_users);
    const auto n_items = static_cast<std::size_t>(m.n_items);
    const Batch batch = read_batch(new_users, new_items, n_users, n_items);
    const bool item_side = o == Orientation::Item;
    const std::size_t n = item_side ? n_items : n_users;
    const std::size_t other_rows = item_side ? n_users : n_items;

    // Cases only a full run handles: a model never computed, entities or
    // rows that disappear, min_common = 0 with new entities (every list
    // grows), counts too wide for the patch's in-place records, ids beyond
    // the pair keys.
    bool full = route == ExactRoute::Full || (n > 0 && m.sum_squares.empty()) ||
                m.sum_squares.size() > n || (m.min_common == 0 && m.sum_squares.size() != n) ||
                m.pair_stats.has_wide_counts() || n > 2147483647u ||
                drops_rows(m.user_interactions, n_users) ||
                drops_rows(m.item_interactions, n_items);
    Merged merged = merge_batch(m.user_interactions, m.item_interactions, batch, n_users, n_items);
    if (full) return full_cosine(m, o, std::move(merged));

    const CsrMatrix& forward = item_side ? merged.items : merged.users;
    const CsrMatrix& other = item_side ? merged.users : merged.items;
    const std::vector<std::int32_t>& affected = item_side ? batch.items : batch.users;
    std::vector<std::uint8_t> in_a(n, 0);
    for (const std::int32_t x : affected) in_a[static_cast<std::size_t>(x)] = 1;

    // Cost estimates (see the constants above).
    std::uint64_t list_entries = 0;
    m.sim_mapping.for_each(
        [&](std::int32_t, const NeighbourList& list) { list_entries += list.ids.size(); });
    const double full_cost =
        full_updates(other, other_rows) +
        kListEntryCost * static_cast<double>(list_entries + m.pair_stats.size());
    if (route == ExactRoute::Auto) {
        double block = 0.0;
        for (const std::int32_t x : affected)
            block += static_cast<double>(entity_updates(forward, other, static_cast<std::size_t>(x)));
        // The lists the patch will rewrite, as the old lists of A name them.
        double patch = 0.0;
        std::vector<std::uint8_t> seen(n, 0);
        for (const std::int32_t x : affected) {
            const NeighbourList* list = m.sim_mapping.find(x);
            if (list == nullptr) continue;
            for (const std::int32_t y : list->ids) {
                if (y < 0 || static_cast<std::size_t>(y) >= n || seen[static_cast<std::size_t>(y)])
                    continue;
                seen[static_cast<std::size_t>(y)] = 1;
                if (const NeighbourList* other_list = m.sim_mapping.find(y))
                    patch += 1.5 * static_cast<double>(other_list->ids.size());
            }
        }
        if (block > kBlockShare * full_cost ||
            block + kPatchEntryCost * patch > kIncrementalShare * full_cost)
            return full_cosine(m, o, std::move(merged));
    }

    // Norms: the old ones, grown to n, with A's rows summed again.
    std::vector<float> norms = m.sum_squares;
    norms.resize(n, 0.0f);
    for (const std::int32_t x : affected)
        norms[static_cast<std::size_t>(x)] = row_sum_squares(forward, static_cast<std::size_t>(x));

    CosineSubset sub = cosine_subset(
        CosineInputs{forward, other, n, other_rows, norms, m.min_common}, affected, true);
    // The full run would fail sorting that list.
    if (sub.first_unsortable < affected.size()) throw Panic(kUnwrapNone);

    // Entries for entities outside A, filed under them.
    Buckets<PairUpdate> pair_updates = group<PairUpdate>(n, [&](auto&& emit) {
        for (std::size_t k = 0; k < affected.size(); ++k) {
            const auto x = static_cast<std::size_t>(affected[k]);
            for (const PairDelta& p : sub.states[k].pairs) {
                const auto y = static_cast<std::size_t>(p.y);
                if (y >= x) break;
                if (!in_a[y])
                    emit(y, PairUpdate{static_cast<std::int32_t>(x), p.dot,
                                       static_cast<std::uint32_t>(p.count)});
            }
        }
    });
    Buckets<std::uint64_t> list_keys = group<std::uint64_t>(n, [&](auto&& emit) {
        for (std::size_t k = 0; k < affected.size(); ++k) {
            const NeighbourList& list = sub.states[k].list;
            for (std::size_t i = 0; i < list.ids.size(); ++i) {
                const auto y = static_cast<std::size_t>(list.ids[i]);
                if (!in_a[y]) emit(y, neighbour_key(affected[k], list.sims[i]));
            }
        }
    });

    // With the patch's real size known, the full run may still be cheaper
    // (the subset's work is spent either way).
    if (route == ExactRoute::Auto) {
        double patch = 0.0;
        for (std::size_t k = 0; k < list_keys.owners.size(); ++k) {
            const NeighbourList* old = m.sim_mapping.find(list_keys.owners[k]);
            patch += static_cast<double>(list_keys.start[k + 1] - list_keys.start[k]) +
                     (old ? static_cast<double>(old->ids.size()) : 0.0);
        }
        for (const std::int32_t w : pair_updates.owners)
            patch += static_cast<double>(m.pair_stats.row(static_cast<std::size_t>(w)).size());
        if (kPatchEntryCost * patch > full_cost) return full_cosine(m, o, std::move(merged));
    }

    // Records of A: rows x (partners y > x), replaced whole.
    for (const auto& state : sub.states)
        for (const PairDelta& p : state.pairs)
            if (p.count >= kWideCount) return full_cosine(m, o, std::move(merged));
    std::vector<PairRow> a_rows(affected.size());
    parallel_for(affected.size(), 16, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            const auto x = affected[k];
            const std::vector<PairDelta>& pairs = sub.states[k].pairs;
            auto first = std::upper_bound(pairs.begin(), pairs.end(), x,
                                          [](std::int32_t v, const PairDelta& p) { return v < p.y; });
            PairRow& row = a_rows[k];
            row.reserve(static_cast<std::size_t>(pairs.end() - first));
            for (; first != pairs.end(); ++first)
                row.push_back(PairEntry{first->y, first->dot, static_cast<std::uint32_t>(first->count)});
            // Both uses of the pairs are planned now.
            std::vector<PairDelta>().swap(sub.states[k].pairs);
        }
    });

    // Rows of the others: records updated in place where all exist, else a
    // new row without the old entries of A and with the updates merged in.
    std::vector<RowPlan> row_plans(pair_updates.owners.size());
    std::vector<std::uint32_t> at(pair_updates.entries.size());
    parallel_for(row_plans.size(), 16, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            const auto w = static_cast<std::size_t>(pair_updates.owners[k]);
            const std::span<const PairEntry> old = m.pair_stats.row(w);
            const std::size_t from = pair_updates.start[k];
            const std::size_t to = pair_updates.start[k + 1];
            bool all = true;
            std::size_t pos = 0;
            for (std::size_t u = from; u < to && all; ++u) {
                const std::int32_t x = pair_updates.entries[u].x;
                pos = static_cast<std::size_t>(
                    std::lower_bound(old.begin() + static_cast<std::ptrdiff_t>(pos), old.end(), x,
                                     [](const PairEntry& e, std::int32_t v) { return e.y < v; }) -
                    old.begin());
                all = pos < old.size() && old[pos].y == x;
                at[u] = static_cast<std::uint32_t>(pos);
            }
            RowPlan& plan = row_plans[k];
            if (all) {
                plan.in_place = true;
                continue;
            }
            plan.row.reserve(old.size() + (to - from));
            std::size_t u = from;
            for (const PairEntry& e : old) {
                for (; u < to && pair_updates.entries[u].x < e.y; ++u) {
                    const PairUpdate& up = pair_updates.entries[u];
                    plan.row.push_back(PairEntry{up.x, up.dot, up.count});
                }
                if (e.y >= 0 && static_cast<std::size_t>(e.y) < n && in_a[static_cast<std::size_t>(e.y)])
                    continue;
                plan.row.push_back(e);
            }
            for (; u < to; ++u) {
                const PairUpdate& up = pair_updates.entries[u];
                plan.row.push_back(PairEntry{up.x, up.dot, up.count});
            }
        }
    });

    // Lists of the others.
    std::atomic<bool> uneven = false;
    std::vector<ListPlan> list_plans(list_keys.owners.size());
    parallel_for(list_plans.size(), 16, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            const std::int32_t y = list_keys.owners[k];
            const std::span<std::uint64_t> keys(list_keys.entries.data() + list_keys.start[k],
                                                list_keys.start[k + 1] - list_keys.start[k]);
            std::sort(keys.begin(), keys.end());
            const NeighbourList* old = m.sim_mapping.find(y);
            std::size_t kept = 0;
            if (old != nullptr) {
                if (old->ids.size() != old->sims.size()) {
                    // Only a model file can hold such a list; a full run replaces it.
                    uneven = true;
                    continue;
                }
                for (const std::int32_t id : old->ids)
                    kept += !(id >= 0 && static_cast<std::size_t>(id) < n &&
                              in_a[static_cast<std::size_t>(id)]);
            }
            ListPlan& plan = list_plans[k];
            plan.length = kept + keys.size();
            if (plan.length >= 2) {
                bool nan = false;
                for (const std::uint64_t key : keys) nan |= key_is_nan(key);
                if (nan) throw Panic(kUnwrapNone);
            }
            if (old != nullptr && plan.length <= old->ids.capacity() &&
                plan.length <= old->sims.capacity()) {
                plan.in_place = true;
                continue;
            }
            plan.list = merged_list(old, keys, in_a, plan.length);
        }
    });

    if (uneven) return full_cosine(m, o, std::move(merged));

    // Room for the commit, so that nothing in it allocates.
    m.pair_stats.ensure_rows(n);
    m.sim_mapping.reserve_dense(n);

    // Commit: moves and writes only.
    std::swap(m.user_interactions, merged.users);
    std::swap(m.item_interactions, merged.items);
    std::swap(m.sum_squares, norms);
    for (std::size_t k = 0; k < affected.size(); ++k)
        m.pair_stats.replace_row(static_cast<std::size_t>(affected[k]), std::move(a_rows[k]));
    for (std::size_t k = 0; k < row_plans.size(); ++k) {
        const auto w = static_cast<std::size_t>(pair_updates.owners[k]);
        if (row_plans[k].in_place) {
            const std::span<PairEntry> row = m.pair_stats.writable_row(w);
            for (std::size_t u = pair_updates.start[k]; u < pair_updates.start[k + 1]; ++u) {
                const PairUpdate& up = pair_updates.entries[u];
                row[at[u]] = PairEntry{up.x, up.dot, up.count};
            }
        } else {
            m.pair_stats.replace_row(w, std::move(row_plans[k].row));
        }
    }
    for (std::size_t k = 0; k < affected.size(); ++k) {
        NeighbourList& list = sub.states[k].list;
        if (list.ids.empty())
            m.sim_mapping.erase(affected[k]);
        else
            m.sim_mapping.insert_or_assign(affected[k], std::move(list));
    }
    for (std::size_t k = 0; k < list_plans.size(); ++k) {
        const std::int32_t y = list_keys.owners[k];
        ListPlan& plan = list_plans[k];
        if (plan.length == 0) {
            m.sim_mapping.erase(y);
        } else if (plan.in_place) {
            const std::span<const std::uint64_t> keys(
                list_keys.entries.data() + list_keys.start[k],
                list_keys.start[k + 1] - list_keys.start[k]);
            patch_in_place(*m.sim_mapping.find(y), keys, in_a, plan.length);
        } else {
            m.sim_mapping.insert_or_assign(y, std::move(plan.list));
        }
    }
    m.pair_stats.compact_if_possible();
    return ExactReport{ExactRoute::Incremental, affected.size()};
}

// ---------------------------------------------------------------------------
// Swing

namespace {

// Share of the full pass's user-pair work above which the full pass runs.
constexpr double kSwingIncrementalShare = 0.5;

ExactReport full_swing(SwingModel& m, Merged&& merged) {
    const SwingScores none;
    SwingScores scores =
        build_swing_scores(merged.users, merged.items, none, m.n_users, m.n_items, m.alpha,
                           m.max_cache_num);
    std::swap(m.swing_scores, scores);
    std::swap(m.user_interactions, merged.users);
    std::swap(m.item_interactions, merged.items);
    return ExactReport{ExactRoute::Full, static_cast<std::size_t>(m.n_items)};
}

}  // namespace

ExactReport exact_update_swing(SwingModel& m, const CsrMatrix& new_users,
                               const CsrMatrix& new_items, ExactRoute route) {
    const auto n_users = static_cast<std::size_t>(m.n_users);
    const auto n_items = static_cast<std::size_t>(m.n_items);
    const Batch batch = read_batch(new_users, new_items, n_users, n_items);
    const bool full = route == ExactRoute::Full || m.swing_scores.empty() ||
                      n_items > 2147483647u || drops_rows(m.user_interactions, n_users) ||
                      drops_rows(m.item_interactions, n_items);
    Merged merged = merge_batch(m.user_interactions, m.item_interactions, batch, n_users, n_items);
    if (full) return full_swing(m, std::move(merged));

    // The items of the changed users' merged rows (which hold their old items).
    std::vector<std::uint8_t> marked(n_items, 0);
    for (const std::int32_t u : batch.users)
        for (const std::int32_t i : get_row(merged.users, static_cast<std::size_t>(u)).columns)
            if (i >= 0 && static_cast<std::size_t>(i) < n_items) marked[static_cast<std::size_t>(i)] = 1;
    // A user row may name items whose rows do not name it back; the batch's
    // own items are changed rows whatever the user rows say.
    for (const std::int32_t i : batch.items) marked[static_cast<std::size_t>(i)] = 1;
    std::vector<std::int32_t> affected;
    for (std::size_t i = 0; i < n_items; ++i)
        if (marked[i]) affected.push_back(static_cast<std::int32_t>(i));

    if (route == ExactRoute::Auto) {
        // The pass's work grows with each item's user pairs.
        double all = 0.0;
        double part = 0.0;
        const std::size_t rows = std::min(n_items, merged.items.n_rows());
        for (std::size_t i = 0; i < rows; ++i) {
            const double k = static_cast<double>(merged.items.indptr[i + 1] - merged.items.indptr[i]);
            const double pairs = k * (k - 1) / 2 + k;
            all += pairs;
            if (marked[i]) part += pairs;
        }
        if (part > kSwingIncrementalShare * all) return full_swing(m, std::move(merged));
    }

    std::vector<SwingList> lists =
        swing_item_lists(merged.users, merged.items, m.n_users, m.n_items, m.alpha,
                         m.max_cache_num, affected);
    m.swing_scores.reserve_dense(n_items);
    // Commit: moves only.
    std::swap(m.user_interactions, merged.users);
    std::swap(m.item_interactions, merged.items);
    for (std::size_t k = 0; k < affected.size(); ++k) {
        if (lists[k].empty())
            m.swing_scores.erase(affected[k]);
        else
            m.swing_scores.insert_or_assign(affected[k], std::move(lists[k]));
    }
    return ExactReport{ExactRoute::Incremental, affected.size()};
}

}  // namespace quibrel
