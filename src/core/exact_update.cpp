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
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/cosine.hpp"
#include "core/cosine_pairs.hpp"
#include "core/cosine_subset.hpp"
#include "core/errors.hpp"
#include "core/exact_update_batch.hpp"
#include "core/exact_update_patch.hpp"
#include "core/mem_list_storage.hpp"
#include "core/pool.hpp"
#include "core/swing.hpp"
#include "core/timing.hpp"

namespace quibrel {

// The batch and the patch pieces are this file's own vocabulary.
using namespace exact_detail;

namespace {

// ---------------------------------------------------------------------------
// Dead list space

// Gives v storage of its own when it sits in a mostly dead arena block.
// Throws std::bad_alloc, leaving v as it was.
template <class T>
void leave_sparse_block(ListVector<T>& v) {
    if (!in_sparse_block(v.data())) return;
    ListVector<T> own;
    own.reserve(v.capacity());
    own.assign(v.begin(), v.end());
    v.swap(own);
}

// The lists an update replaces leave dead space in the arena blocks a fit or
// a load put them in, and a block goes back to the system only with its last
// list: over tens of small batches the memory held grew by well over half the
// model (docs/dev/performance-notes.md). Once a third of the arena space the
// process holds is dead, the lists left in blocks that are a third dead or
// more get storage of their own, which frees those blocks. The dead space may
// all be another model's: after a walk that frees no block, the next waits
// until the dead space has doubled. Best effort: a failed allocation leaves
// the other lists where they are.
template <class List, class Each>
void release_dead_list_space(IdMap<List>& lists, Each&& each) noexcept {
    static std::atomic<std::size_t> fruitless_at{0};
    const ArenaUse use = list_arena_use();
    const std::size_t dead = use.held > use.live ? use.held - use.live : 0;
    if (dead < (std::size_t{1} << 20) || 3 * dead < use.held ||
        dead < 2 * fruitless_at.load(std::memory_order_relaxed))
        return;
    try {
        std::vector<List*> all;
        all.reserve(lists.size());
        lists.for_each_mut([&](std::int32_t, List& list) { all.push_back(&list); });
        // The update is done: nothing here may stop it or report progress.
        parallel_for_to_end(all.size(), 256, [&](std::size_t begin, std::size_t end, std::size_t) {
            const ListArenaScope own_storage(nullptr);
            try {
                for (std::size_t k = begin; k < end; ++k) each(*all[k]);
            } catch (...) {
                // No room for a copy: this chunk's other lists stay where they are.
            }
        });
    } catch (...) {
        // The rest stays in its blocks until a later walk.
    }
    fruitless_at.store(list_arena_use().held < use.held ? 0 : dead, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Cosine

// Cost model, in units of one cell update of a full run's pair accumulation;
// the figures are times per unit measured with bench_exact_update.py on
// MovieLens and the synthetic sets (the unit's own time is in
// docs/dev/performance-notes.md).
constexpr double kListEntryCost = 3.0;    // full run: building and sorting one list entry
constexpr double kBlockUpdateCost = 4.0;  // update: a cell update of the subset, with its list
constexpr double kPatchEntryCost = 2.0;   // update: an entry of a patched list or pair row
// The subset's work must stay below this share of a full run before it
// starts, so that a fallback after it costs at most 1.1 full runs.
constexpr double kBlockShare = 0.1;
// The whole update must be estimated below this share of a full run (the
// estimates are rough: a margin against choosing the slower route).
constexpr double kIncrementalShare = 0.8;

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
    return ExactReport{ExactRoute::Full, static_cast<std::size_t>(cosine_roles(m, o).n)};
}
// What happens to a pair row of an entity outside A.
struct RowPlan {
    enum Kind : std::uint8_t {
        Overwrite,      // every update has a record: overwritten at its position
        InsertInPlace,  // records overwritten or inserted one by one inside the row's room
        MergeInPlace,   // the whole row merged inside its room
        Replace,        // a new row
    } kind = Overwrite;
    std::size_t length = 0;  // the row's new length
    PairRow row;             // Replace: the new row
};

// What happens to the list of an entity outside A.
struct ListPlan {
    enum Kind : std::uint8_t {
        Edit,     // each entry of A moved (or inserted) on its own, inside the list's room
        InPlace,  // the whole list merged inside its room
        Replace,  // a new list
    } kind = Edit;
    std::size_t length = 0;
    NeighbourList list;  // Replace: the new list
};

// Once the patch is planned: an entry of a list or row patched in place,
// and one copied whole into fresh memory (a list or row without room to
// grow). Measured on UserCF skewed-50k, where the first batch after a fit
// copies most of the model: about 0.4-0.7 and 3.5 units.
constexpr double kPlannedPatchCost = 0.7;
constexpr double kCopyEntryCost = 3.5;

// Cost of one binary-search probe into a list, in entries of a pass over a list.
constexpr double kProbeCost = 24.0;

// Whether, before any of the update's work, a full run looks cheaper: the
// subset's cell updates, and the lists the patch will rewrite as the old
// lists of A name them (see the constants above).
bool full_run_first(const CfModel& m, const CsrMatrix& forward, const CsrMatrix& other,
                    const std::vector<std::int32_t>& affected, std::size_t n, double full_cost) {
    double block = 0.0;
    for (const std::int32_t x : affected)
        block += static_cast<double>(entity_updates(forward, other, static_cast<std::size_t>(x)));
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
    return kBlockUpdateCost * block > kBlockShare * full_cost ||
           kBlockUpdateCost * block + kPatchEntryCost * patch > kIncrementalShare * full_cost;
}

// The entries the patch visits, once the entries of A are grouped: each
// list's new keys and old length, each row's old length.
double patch_entries(const CfModel& m, Buckets<std::uint64_t>& list_keys,
                     Buckets<PairUpdate>& pair_updates) {
    double patch = 0.0;
    for (std::size_t k = 0; k < list_keys.owners.size(); ++k) {
        const NeighbourList* old = m.sim_mapping.find(list_keys.owners[k]);
        patch += static_cast<double>(list_keys.start[k + 1] - list_keys.start[k]) +
                 (old ? static_cast<double>(old->ids.size()) : 0.0);
    }
    for (const std::int32_t w : pair_updates.owners)
        patch += static_cast<double>(m.pair_stats.row(static_cast<std::size_t>(w)).size());
    return patch;
}

// Rows of the others: records overwritten (or a few inserted) in place
// where the row has the room; else merged in its room, or a new row (built
// once the route is settled). at[] receives each update's place in its row.
std::vector<RowPlan> plan_rows(const PairStats& stats, Buckets<PairUpdate>& pair_updates,
                               const Members& in_a, std::vector<std::uint32_t>& at) {
    std::vector<RowPlan> row_plans(pair_updates.owners.size());
    parallel_for(row_plans.size(), 16, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            const auto w = static_cast<std::size_t>(pair_updates.owners[k]);
            const std::span<const PairEntry> old = stats.row(w);
            const std::span<const PairUpdate> updates = pair_updates.of(k);
            const std::size_t from = pair_updates.start[k];
            std::size_t missing = 0;
            std::size_t pos = 0;
            for (std::size_t u = 0; u < updates.size(); ++u) {
                const std::int32_t x = updates[u].x;
                pos = static_cast<std::size_t>(
                    std::lower_bound(old.begin() + static_cast<std::ptrdiff_t>(pos), old.end(), x,
                                     [](const PairEntry& e, std::int32_t v) { return e.y < v; }) -
                    old.begin());
                missing += !(pos < old.size() && old[pos].y == x);
                at[from + u] = static_cast<std::uint32_t>(pos);
            }
            RowPlan& plan = row_plans[k];
            plan.length = old.size() + missing;
            if (missing == 0) continue;
            // Records of A the updates do not name would have to go: counts
            // never fall, so there are none (see the top of this file), and a
            // few insertions cost less than a pass over the row.
            const std::size_t capacity = stats.row_capacity(w);
            if (missing <= 4 && capacity >= plan.length) {
                plan.kind = RowPlan::InsertInPlace;
                continue;
            }
            std::size_t kept = 0;
            for (const PairEntry& e : old) kept += in_a(e.y) == 0;
            plan.length = kept + updates.size();
            if (capacity >= plan.length) {
                plan.kind = RowPlan::MergeInPlace;
                continue;
            }
            // Built once the route is settled (build_replacements).
            plan.kind = RowPlan::Replace;
        }
    });
    return row_plans;
}

// The plan of the lists of the others, and what their edits need: each
// key's old key (kAbsent: not listed before) and its place in the old list.
struct ListPlans {
    std::vector<ListPlan> plans;
    std::unique_ptr<std::uint64_t[]> old_keys;
    std::unique_ptr<std::uint32_t[]> places;  // each old (or new) key's place in the old list
    bool uneven = false;  // a list with more ids than similarities (only a model file's)
};

// Lists of the others. An entry of A is found in its old list by its old
// key, which the old record and norms give bit for bit (as they gave the
// list); a few entries are then moved one by one, many by a pass over the
// list, in its own room when it is large enough, else in a new list with
// room to spare.
//
// The old keys are read from A's own old lists, grouped by partner (both
// entries of a pair hold one similarity, the same dot over the same
// norms): a pass over those lists instead of a record lookup, which
// misses the cache, per entry. A pair x's list lacks is looked up by its
// record; a key the other list does not hold sends that list to a pass.
ListPlans plan_lists(const CfModel& m, const std::vector<std::int32_t>& affected, std::size_t n,
                     Buckets<std::uint64_t>& list_keys, const Members& in_a) {
    Buckets<std::uint64_t> listed =
        group<std::uint64_t>(n, affected.size(), [&](std::size_t k, auto&& emit) {
            const NeighbourList* list = m.sim_mapping.find(affected[k]);
            if (list == nullptr || list->ids.size() != list->sims.size()) return;
            for (std::size_t i = 0; i < list->ids.size(); ++i) {
                const std::int32_t y = list->ids[i];
                if (y >= 0 && static_cast<std::size_t>(y) < n && !in_a.flag[y])
                    emit(y, neighbour_key(affected[k], list->sims[i]));
            }
        });
    const std::size_t old_n = m.sum_squares.size();
    const cosine_detail::Norms old_norms(std::span<const float>(m.sum_squares.data(), old_n));
    auto old_key = [&](std::int32_t x, std::int32_t y) -> std::uint64_t {
        const auto ux = static_cast<std::size_t>(x);
        const auto uy = static_cast<std::size_t>(y);
        if (ux >= old_n || uy >= old_n) return kAbsent;
        const std::optional<PairRecord> rec = m.pair_stats.find(std::min(x, y), std::max(x, y));
        if (m.min_common == 0)
            return neighbour_key(x, rec ? old_norms.cosine(rec->dot, ux, uy) : 0.0f);
        if (!rec || rec->count < m.min_common) return kAbsent;
        return neighbour_key(x, old_norms.cosine(rec->dot, ux, uy));
    };
    ListPlans out;
    out.plans.resize(list_keys.owners.size());
    out.old_keys = std::make_unique_for_overwrite<std::uint64_t[]>(list_keys.size());
    out.places = std::make_unique_for_overwrite<std::uint32_t[]>(list_keys.size());
    std::vector<ListPlan>& list_plans = out.plans;
    std::atomic<bool> uneven = false;
    parallel_for(list_plans.size(), 16, [&](std::size_t begin, std::size_t end, std::size_t) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> both;
        for (std::size_t k = begin; k < end; ++k) {
            const std::int32_t y = list_keys.owners[k];
            const std::span<std::uint64_t> keys = list_keys.of(k);
            const NeighbourList* old = m.sim_mapping.find(y);
            ListPlan& plan = list_plans[k];
            if (old != nullptr && old->ids.size() != old->sims.size()) {
                // Only a model file can hold such a list; a full run replaces it.
                uneven = true;
                continue;
            }
            const std::size_t length = old != nullptr ? old->ids.size() : 0;
            // A list of two or more entries with a NaN cannot be sorted.
            bool nan = false;
            for (const std::uint64_t key : keys) nan |= key_is_nan(key);
            // A computed list holds a NaN only alone (two or more entries would
            // not sort); kept beside new entries, it makes a list a full run refuses.
            if (length == 1 && in_a(old->ids[0]) == 0 && old->sims[0] != old->sims[0]) nan = true;
            // A binary search's probes miss the cache (about kProbeCost entries
            // of a pass each, measured); an insertion shifts half the list.
            const double log_length = std::log2(static_cast<double>(length) + 2.0);
            const double probes = kProbeCost * log_length * static_cast<double>(keys.size());
            if (old == nullptr || probes >= 3.0 * static_cast<double>(length)) {
                std::sort(keys.begin(), keys.end());
            } else {
                std::uint64_t* olds = out.old_keys.get() + list_keys.start[k];
                std::uint32_t* where = out.places.get() + list_keys.start[k];
                // Both runs are in ascending partner order here (that of A).
                const auto at = std::lower_bound(listed.owners.begin(), listed.owners.end(), y);
                const std::span<std::uint64_t> from_lists =
                    at != listed.owners.end() && *at == y
                        ? listed.of(static_cast<std::size_t>(at - listed.owners.begin()))
                        : std::span<std::uint64_t>();
                both.clear();
                std::size_t i = 0;
                for (const std::uint64_t key : keys) {
                    const std::int32_t x = key_id(key);
                    while (i < from_lists.size() && key_id(from_lists[i]) < x) ++i;
                    both.emplace_back(key, i < from_lists.size() && key_id(from_lists[i]) == x
                                               ? from_lists[i]
                                               : old_key(x, y));
                }
                std::sort(both.begin(), both.end());
                std::size_t present = 0;
                bool found = true;
                for (std::size_t j = 0; j < keys.size() && found; ++j) {
                    keys[j] = both[j].first;
                    olds[j] = both[j].second;
                    const std::uint64_t look = olds[j] == kAbsent ? keys[j] : olds[j];
                    const std::size_t p =
                        lower_key(old->ids.data(), old->sims.data(), 0, length, look);
                    where[j] = static_cast<std::uint32_t>(p);
                    if (olds[j] == kAbsent) continue;
                    found = p < length && neighbour_key(old->ids[p], old->sims[p]) == olds[j];
                    ++present;
                }
                if (!found)
                    for (std::size_t j = 0; j < keys.size(); ++j) keys[j] = both[j].first;
                plan.length = length - present + keys.size();
                if (nan && found && plan.length >= 2) throw Panic(kUnwrapNone);
                const double edit_cost =
                    probes + 0.5 * static_cast<double>((keys.size() - present) * length);
                if (found && edit_cost < 3.0 * static_cast<double>(length) &&
                    plan.length <= old->ids.capacity() && plan.length <= old->sims.capacity()) {
                    plan.kind = ListPlan::Edit;
                    continue;
                }
            }
            std::size_t kept = 0;
            if (old != nullptr)
                for (const std::int32_t id : old->ids) kept += in_a(id) == 0;
            plan.length = kept + keys.size();
            if (nan && plan.length >= 2) throw Panic(kUnwrapNone);
            if (old != nullptr && plan.length <= old->ids.capacity() &&
                plan.length <= old->sims.capacity()) {
                plan.kind = ListPlan::InPlace;
                continue;
            }
            // Built once the route is settled (build_replacements).
            plan.kind = ListPlan::Replace;
        }
    });
    out.uneven = uneven;
    return out;
}

// The new rows and lists of the plans that replace them, with room to grow.
// New lists come from the ordinary heap, not from blocks: a block goes back
// only once all its lists are freed, and after a few batches most blocks
// would hold a few live lists each.
void build_replacements(const CfModel& m, Buckets<PairUpdate>& pair_updates,
                        std::vector<RowPlan>& row_plans, Buckets<std::uint64_t>& list_keys,
                        std::vector<ListPlan>& list_plans, const Members& in_a) {
    parallel_for(row_plans.size(), 16, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            RowPlan& plan = row_plans[k];
            if (plan.kind != RowPlan::Replace) continue;
            const std::span<const PairEntry> old =
                m.pair_stats.row(static_cast<std::size_t>(pair_updates.owners[k]));
            const std::span<const PairUpdate> updates = pair_updates.of(k);
            plan.row.reserve(with_slack(plan.length));
            std::size_t u = 0;
            for (const PairEntry& e : old) {
                for (; u < updates.size() && updates[u].x < e.y; ++u)
                    plan.row.push_back(PairEntry{updates[u].x, updates[u].dot, updates[u].count});
                if (in_a(e.y) == 0) plan.row.push_back(e);
            }
            for (; u < updates.size(); ++u)
                plan.row.push_back(PairEntry{updates[u].x, updates[u].dot, updates[u].count});
        }
    });
    parallel_for(list_plans.size(), 16, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            ListPlan& plan = list_plans[k];
            if (plan.kind != ListPlan::Replace) continue;
            const NeighbourList* old = m.sim_mapping.find(list_keys.owners[k]);
            const std::span<const std::uint64_t> keys = list_keys.of(k);
            plan.list.ids.reserve(with_slack(plan.length));
            plan.list.sims.reserve(with_slack(plan.length));
            plan.list.ids.resize(plan.length + 1);
            plan.list.sims.resize(plan.length + 1);
            if (old != nullptr)
                merge_into(old->ids.data(), old->sims.data(), old->ids.size(), keys,
                           plan.list.ids.data(), plan.list.sims.data(), in_a);
            else
                merge_into(nullptr, nullptr, 0, keys, plan.list.ids.data(), plan.list.sims.data(),
                           in_a);
            plan.list.ids.resize(plan.length);
            plan.list.sims.resize(plan.length);
        }
    });
}

ExactReport update_cosine(CfModel& m, Orientation o, const CsrMatrix& new_users,
                          const CsrMatrix& new_items, ExactRoute route) {
    const QuietLines quiet;
    const auto n_users = static_cast<std::size_t>(m.n_users);
    const auto n_items = static_cast<std::size_t>(m.n_items);
    const Batch batch = read_batch(new_users, new_items, n_users, n_items);
    const auto roles = cosine_roles(m, o);
    const auto n = static_cast<std::size_t>(roles.n);
    const auto other_rows = static_cast<std::size_t>(roles.other_rows);

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

    const auto merged_roles = roles_of(m, o, merged.users, merged.items);
    const CsrMatrix& forward = *merged_roles.forward;
    const CsrMatrix& other = *merged_roles.other;
    const std::vector<std::int32_t>& affected = *roles_of(m, o, batch.users, batch.items).forward;
    Members in_a(n);
    for (const std::int32_t x : affected) in_a.flag[static_cast<std::size_t>(x)] = 1;
    // The pool exists from here on, so the commit's loop cannot fail to start.
    worker_count();

    // Cost estimates (see the constants above).
    std::uint64_t list_entries = 0;
    m.sim_mapping.for_each(
        [&](std::int32_t, const NeighbourList& list) { list_entries += list.ids.size(); });
    const double full_cost =
        full_updates(other, other_rows) +
        kListEntryCost * static_cast<double>(list_entries + m.pair_stats.size());
    if (route == ExactRoute::Auto && full_run_first(m, forward, other, affected, n, full_cost))
        return full_cosine(m, o, std::move(merged));

    // Norms: the old ones, grown to n, with A's rows summed again.
    std::vector<float> norms = m.sum_squares;
    norms.resize(n, 0.0f);
    for (const std::int32_t x : affected)
        norms[static_cast<std::size_t>(x)] = row_sum_squares(forward, static_cast<std::size_t>(x));

    CosineSubset sub = cosine_subset(
        CosineInputs{forward, other, n, other_rows, norms, m.min_common}, affected, true);
    // The full run would fail sorting that list.
    if (sub.first_unsortable < affected.size()) throw Panic(kUnwrapNone);
    for (const auto& state : sub.states)
        for (const PairDelta& p : state.pairs)
            if (p.count >= kWideCount) return full_cosine(m, o, std::move(merged));

    // Entries for entities outside A, filed under them: records (w < x) and
    // list entries.
    Buckets<PairUpdate> pair_updates =
        group<PairUpdate>(n, affected.size(), [&](std::size_t k, auto&& emit) {
            const auto x = static_cast<std::size_t>(affected[k]);
            for (const PairDelta& p : sub.states[k].pairs) {
                const auto y = static_cast<std::size_t>(p.y);
                if (y >= x) break;
                if (!in_a.flag[y])
                    emit(y, PairUpdate{static_cast<std::int32_t>(x), p.dot,
                                       static_cast<std::uint32_t>(p.count)});
            }
        });
    Buckets<std::uint64_t> list_keys =
        group<std::uint64_t>(n, affected.size(), [&](std::size_t k, auto&& emit) {
            const NeighbourList& list = sub.states[k].list;
            for (std::size_t i = 0; i < list.ids.size(); ++i) {
                const auto y = static_cast<std::size_t>(list.ids[i]);
                if (!in_a.flag[y]) emit(y, neighbour_key(affected[k], list.sims[i]));
            }
        });

    // With the patch's real size known, the full run may still be cheaper
    // (the subset's work is spent either way).
    const double patch_estimate =
        route == ExactRoute::Auto ? patch_entries(m, list_keys, pair_updates) : 0.0;
    if (kPatchEntryCost * patch_estimate > full_cost) return full_cosine(m, o, std::move(merged));

    // Records of A: rows x (partners y > x), replaced whole.
    std::vector<PairRow> a_rows(affected.size());
    parallel_for(affected.size(), 16, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            const auto x = affected[k];
            std::vector<PairDelta>& pairs = sub.states[k].pairs;
            auto first =
                std::upper_bound(pairs.begin(), pairs.end(), x,
                                 [](std::int32_t v, const PairDelta& p) { return v < p.y; });
            PairRow& row = a_rows[k];
            row.reserve(static_cast<std::size_t>(pairs.end() - first));
            for (; first != pairs.end(); ++first)
                row.push_back(
                    PairEntry{first->y, first->dot, static_cast<std::uint32_t>(first->count)});
            // Both uses of the pairs are planned now.
            std::vector<PairDelta>().swap(pairs);
        }
    });

    std::vector<std::uint32_t> at(pair_updates.size());
    std::vector<RowPlan> row_plans = plan_rows(m.pair_stats, pair_updates, in_a, at);

    ListPlans planned = plan_lists(m, affected, n, list_keys, in_a);
    if (planned.uneven) return full_cosine(m, o, std::move(merged));
    std::vector<ListPlan>& list_plans = planned.plans;
    const auto& old_keys = planned.old_keys;
    const auto& places = planned.places;

    // Lists and rows without the room to grow in place are copied whole into
    // fresh memory, which costs far more per entry than a patch in place
    // (right after a fit every list and row is exactly full, so a batch that
    // reaches most of the model copies most of it). With that known, the
    // full run may be the cheaper route after all.
    std::size_t copied = 0;
    for (const RowPlan& plan : row_plans)
        if (plan.kind == RowPlan::Replace) copied += plan.length;
    for (const ListPlan& plan : list_plans)
        if (plan.kind == ListPlan::Replace) copied += plan.length;
    const double remaining =
        kPlannedPatchCost * patch_estimate + kCopyEntryCost * static_cast<double>(copied);
    if (route == ExactRoute::Auto && remaining > full_cost)
        return full_cosine(m, o, std::move(merged));

    build_replacements(m, pair_updates, row_plans, list_keys, list_plans, in_a);

    // Room for the commit, so that nothing in it allocates.
    m.pair_stats.ensure_rows(n);
    m.sim_mapping.reserve_dense(n);
    const RangeBody patch_rows = [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            const auto w = static_cast<std::size_t>(pair_updates.owners[k]);
            const std::span<const PairUpdate> updates = pair_updates.of(k);
            if (row_plans[k].kind == RowPlan::Overwrite) {
                const std::span<PairEntry> row = m.pair_stats.writable_row(w);
                const std::uint32_t* pos = at.data() + pair_updates.start[k];
                for (std::size_t u = 0; u < updates.size(); ++u)
                    row[pos[u]] = PairEntry{updates[u].x, updates[u].dot, updates[u].count};
            } else if (row_plans[k].kind == RowPlan::InsertInPlace ||
                       row_plans[k].kind == RowPlan::MergeInPlace) {
                // Within the row's capacity (planned); a run takes its new
                // length once the pool is done (set_run_length).
                const std::size_t length = row_plans[k].length;
                PairRow* owned = m.pair_stats.owned_row(w);
                const std::size_t size = m.pair_stats.row(w).size();
                if (owned != nullptr && length > size) owned->resize(length);
                PairEntry* const e = m.pair_stats.writable_row(w).data();
                if (row_plans[k].kind == RowPlan::InsertInPlace)
                    insert_in_place(e, size, updates);
                else
                    merge_row_in_place(e, size, updates, in_a, length);
                if (owned != nullptr) owned->resize(length);
            }
        }
    };
    const RangeBody patch_lists = [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t k = begin; k < end; ++k) {
            const ListPlan& plan = list_plans[k];
            if (plan.length == 0 || plan.kind == ListPlan::Replace) continue;
            NeighbourList& list = *m.sim_mapping.find(list_keys.owners[k]);
            if (plan.kind == ListPlan::Edit)
                edit_in_place(list, list_keys.of(k),
                              std::span<const std::uint64_t>(old_keys.get() + list_keys.start[k],
                                                             list_keys.of(k).size()),
                              std::span<const std::uint32_t>(places.get() + list_keys.start[k],
                                                             list_keys.of(k).size()),
                              plan.length);
            else
                patch_in_place(list, list_keys.of(k), in_a, plan.length);
        }
    };

    // Commit: moves, then in-place patches on the pool in loops that always
    // run to their end (their bodies cannot fail). Replaced structures are
    // swapped into the plans and freed with them.
    std::swap(m.user_interactions, merged.users);
    std::swap(m.item_interactions, merged.items);
    std::swap(m.sum_squares, norms);
    std::size_t row_delta_up = 0;
    std::size_t row_delta_down = 0;
    for (std::size_t k = 0; k < row_plans.size(); ++k)
        if (row_plans[k].kind == RowPlan::MergeInPlace ||
            row_plans[k].kind == RowPlan::InsertInPlace) {
            const std::size_t old =
                m.pair_stats.row(static_cast<std::size_t>(pair_updates.owners[k])).size();
            (row_plans[k].length >= old ? row_delta_up : row_delta_down) +=
                row_plans[k].length >= old ? row_plans[k].length - old : old - row_plans[k].length;
        }
    parallel_for_to_end(row_plans.size(), 64, patch_rows);
    m.pair_stats.adjust_count(row_delta_up, row_delta_down);
    for (std::size_t k = 0; k < row_plans.size(); ++k) {
        const auto w = static_cast<std::size_t>(pair_updates.owners[k]);
        if ((row_plans[k].kind == RowPlan::MergeInPlace ||
             row_plans[k].kind == RowPlan::InsertInPlace) &&
            m.pair_stats.owned_row(w) == nullptr)
            m.pair_stats.set_run_length(w, row_plans[k].length);
    }
    for (std::size_t k = 0; k < affected.size(); ++k)
        m.pair_stats.replace_row(static_cast<std::size_t>(affected[k]), a_rows[k]);
    for (std::size_t k = 0; k < row_plans.size(); ++k)
        if (row_plans[k].kind == RowPlan::Replace)
            m.pair_stats.replace_row(static_cast<std::size_t>(pair_updates.owners[k]),
                                     row_plans[k].row);
    for (std::size_t k = 0; k < affected.size(); ++k) {
        NeighbourList& list = sub.states[k].list;
        NeighbourList* old = m.sim_mapping.find(affected[k]);
        if (list.ids.empty()) {
            m.sim_mapping.erase(affected[k]);
        } else if (old != nullptr && list.ids.size() <= old->ids.capacity() &&
                   list.sims.size() <= old->sims.capacity()) {
            // Within the old list's room (no allocation): storage left behind
            // would stay dead in its arena block.
            old->ids.assign(list.ids.begin(), list.ids.end());
            old->sims.assign(list.sims.begin(), list.sims.end());
        } else {
            m.sim_mapping.swap_in(affected[k], list);
        }
    }
    for (std::size_t k = 0; k < list_plans.size(); ++k) {
        ListPlan& plan = list_plans[k];
        if (plan.length == 0)
            m.sim_mapping.erase(list_keys.owners[k]);
        else if (plan.kind == ListPlan::Replace)
            m.sim_mapping.swap_in(list_keys.owners[k], plan.list);
    }
    parallel_for_to_end(list_plans.size(), 64, patch_lists);
    m.pair_stats.compact_if_possible();
    return ExactReport{ExactRoute::Incremental, affected.size()};
}

}  // namespace

ExactReport exact_update_cosine(CfModel& m, Orientation o, const CsrMatrix& new_users,
                                const CsrMatrix& new_items, ExactRoute route) {
    const ExactReport report = update_cosine(m, o, new_users, new_items, route);
    // Once the replaced lists are freed.
    release_dead_list_space(m.sim_mapping, [](NeighbourList& list) {
        leave_sparse_block(list.ids);
        leave_sparse_block(list.sims);
    });
    return report;
}

// ---------------------------------------------------------------------------
// Swing

namespace {

// Share of the full pass's user-pair work above which the full pass runs.
constexpr double kSwingIncrementalShare = 0.5;

ExactReport full_swing(SwingModel& m, Merged&& merged) {
    const SwingScores none;
    SwingScores scores = build_swing_scores(merged.users, merged.items, none, m.n_users, m.n_items,
                                            m.alpha, m.max_cache_num);
    std::swap(m.swing_scores, scores);
    std::swap(m.user_interactions, merged.users);
    std::swap(m.item_interactions, merged.items);
    return ExactReport{ExactRoute::Full, static_cast<std::size_t>(m.n_items)};
}

ExactReport update_swing(SwingModel& m, const CsrMatrix& new_users, const CsrMatrix& new_items,
                         ExactRoute route) {
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
            if (i >= 0 && static_cast<std::size_t>(i) < n_items)
                marked[static_cast<std::size_t>(i)] = 1;
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
            const double k =
                static_cast<double>(merged.items.indptr[i + 1] - merged.items.indptr[i]);
            const double pairs = k * (k - 1) / 2 + k;
            all += pairs;
            if (marked[i]) part += pairs;
        }
        if (part > kSwingIncrementalShare * all) return full_swing(m, std::move(merged));
    }

    std::vector<SwingList> lists = swing_item_lists(merged.users, merged.items, m.n_users,
                                                    m.n_items, m.alpha, m.max_cache_num, affected);
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

}  // namespace

ExactReport exact_update_swing(SwingModel& m, const CsrMatrix& new_users,
                               const CsrMatrix& new_items, ExactRoute route) {
    const ExactReport report = update_swing(m, new_users, new_items, route);
    // Once the replaced lists are freed.
    release_dead_list_space(m.swing_scores, [](SwingList& list) { leave_sparse_block(list); });
    return report;
}

}  // namespace quibrel
