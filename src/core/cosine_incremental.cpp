#include "core/cosine_incremental.hpp"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/cosine.hpp"
#include "core/errors.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"
#include "core/timing.hpp"
#include "core/touched_cells.hpp"

namespace quibrel {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// A position of entity x in a row of the new other matrix; the row's later
// positions [from, to) are its partners.
struct Occurrence {
    std::int32_t x;
    std::size_t from;
    std::size_t to;
};

// Accumulates the new co-occurrences of one entity: products added per
// partner in walk order (ascending row, position of x, partner position).
// A dense row of n cells pays off when the update is large; otherwise the
// contributions are sorted by partner, stably, which keeps the same order.
class Accumulator {
public:
    Accumulator(std::size_t n, std::size_t work) : dense_(work >= n / 4) {
        if (dense_) {
            cells_.assign(n, Cell<std::uint64_t>{0.0f, 0});
            touched_.assign(n + 1, 0);
            bitmap_.assign(n / 64 + 1, 0);
        }
    }

    // Increments of pairs (x, y > x), ascending y.
    void run(const CsrMatrix& other, std::size_t x, const Occurrence* first, const Occurrence* last,
             std::vector<PairDelta>& out) {
        out.clear();
        if (dense_) {
            std::size_t count = 0;
            for (const Occurrence* o = first; o != last; ++o) {
                const float dx = other.data[o->from - 1];
                for (std::size_t k = o->from; k < o->to; ++k)
                    count = add_to_cell(cells_.data(), touched_.data(), count,
                                        static_cast<std::uint32_t>(other.indices[k]), dx,
                                        other.data[k]);
            }
            order_touched(touched_.data(), count, cells_.size(), bitmap_.data(), 64);
            for (std::size_t t = 0; t < count; ++t) {
                const std::uint32_t y = touched_[t];
                if (y > x)
                    out.push_back(
                        PairDelta{static_cast<std::int32_t>(y), cells_[y].dot, cells_[y].count});
                cells_[y] = Cell<std::uint64_t>{0.0f, 0};
            }
            return;
        }
        contributions_.clear();
        for (const Occurrence* o = first; o != last; ++o) {
            const float dx = other.data[o->from - 1];
            for (std::size_t k = o->from; k < o->to; ++k)
                contributions_.emplace_back(other.indices[k], dx * other.data[k]);
        }
        std::stable_sort(contributions_.begin(), contributions_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = 0; i < contributions_.size();) {
            const std::int32_t y = contributions_[i].first;
            PairDelta e{y, 0.0f, 0};
            for (; i < contributions_.size() && contributions_[i].first == y; ++i) {
                e.dot += contributions_[i].second;
                e.count += 1;
            }
            if (static_cast<std::size_t>(y) > x) out.push_back(e);
        }
    }

private:
    bool dense_;
    std::vector<Cell<std::uint64_t>> cells_;
    std::vector<std::uint32_t> touched_;
    std::vector<std::uint64_t> bitmap_;
    std::vector<std::pair<std::int32_t, float>> contributions_;
};

// Adds the co-occurrences inside the rows of the new other matrix to
// pair_stats and returns the kept touched pairs in ascending (x, y).
//
// The checks happen in the order a walk of the whole matrix per entity meets
// them: the walk for entity 0 reads every row and converts every column, so
// unreadable rows and negative columns fail before any pair is stored, as does
// a column >= n paired with entity 0. A column >= n paired with entity x > 0
// fails when x is reached, after the pairs of the entities before x are stored.
std::vector<SimTriple> incremental_cosine(const CsrMatrix& other,
                                          const std::vector<float>& sum_squares,
                                          PairStats& pair_stats, std::size_t n,
                                          std::uint64_t min_common) {
    Stopwatch watch;
    std::vector<SimTriple> triples;
    if (n > 0) {
        if (other.indptr.empty()) index_panic(0, 0);
        std::vector<Occurrence> occurrences;
        std::size_t late_x = kNone;
        std::size_t late_column = 0;
        std::size_t work = 0;
        for (std::size_t u = 0; u < other.n_rows(); ++u) {
            const RowRange r = row_range(other, u);
            std::size_t smallest = kNone;  // smallest entity met so far in the row
            for (std::size_t p = r.begin; p < r.end; ++p) {
                const std::int32_t c = other.indices[p];
                if (c < 0) throw ValueFailure(kOutOfRangeConversion);
                const auto column = static_cast<std::size_t>(c);
                if (column >= n) {
                    if (smallest == 0) index_panic(n, column);
                    if (smallest < late_x) {
                        late_x = smallest;
                        late_column = column;
                    }
                    continue;
                }
                smallest = std::min(smallest, column);
                if (p + 1 < r.end) {
                    occurrences.push_back(Occurrence{c, p + 1, r.end});
                    work += r.end - p - 1;
                }
            }
        }
        // Rows were walked in order, so each entity's occurrences stay in walk
        // order.
        std::stable_sort(occurrences.begin(), occurrences.end(),
                         [](const Occurrence& a, const Occurrence& b) { return a.x < b.x; });
        if (!occurrences.empty())
            pair_stats.ensure_rows(static_cast<std::size_t>(occurrences.back().x) + 1);

        Accumulator accumulator(n, work);
        std::vector<PairDelta> increments;
        std::size_t entities = 0;
        std::size_t since_check = 0;
        for (std::size_t i = 0; i < occurrences.size();) {
            const auto x = static_cast<std::size_t>(occurrences[i].x);
            std::size_t end = i;
            while (end < occurrences.size() && occurrences[end].x == occurrences[i].x) ++end;
            if (x >= late_x) index_panic(n, late_column);
            if ((++entities & 1023) == 0 || since_check > (std::size_t{1} << 20)) {
                check_interrupt();
                since_check = 0;
            }
            for (std::size_t o = i; o < end; ++o)
                since_check += occurrences[o].to - occurrences[o].from;
            accumulator.run(other, x, occurrences.data() + i, occurrences.data() + end, increments);
            const float sx = sum_squares[x];
            pair_stats.add_increments(
                x, increments, [&](std::int32_t y, float dot, std::uint64_t count) {
                    if (count >= min_common)
                        triples.push_back(SimTriple{static_cast<std::int32_t>(x), y,
                                                    cosine(dot, sx, sum_squares[y])});
                });
            i = end;
        }
        if (late_x != kNone) index_panic(n, late_column);
    }
    print_line("incremental cosine sim: " + std::to_string(triples.size()) +
               " elapsed: " + watch.elapsed());
    return triples;
}

// Merges each touched entity's new neighbours into its stored list (a
// neighbour given again takes the new similarity) and re-sorts it. Entities
// are stored in ascending order, so a failure keeps the lists before it.
void update_sim_mapping(std::size_t n, const std::vector<SimTriple>& triples,
                        SimMapping& sim_mapping) {
    Stopwatch watch;
    struct Entry {
        std::int32_t owner;
        std::int32_t id;
        float sim;
    };
    std::vector<Entry> entries;
    entries.reserve(2 * triples.size());
    for (const SimTriple& t : triples) {
        entries.push_back(Entry{t.x, t.y, t.sim});
        entries.push_back(Entry{t.y, t.x, t.sim});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.owner < b.owner; });

    // Slot of each id in the list being merged; ids outside [0, n) (possible
    // in lists read from files) use the map.
    std::size_t merged_total = entries.size();
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (i == 0 || entries[i].owner != entries[i - 1].owner)
            if (const NeighbourList* old = sim_mapping.find(entries[i].owner))
                merged_total += std::min(old->ids.size(), old->sims.size());
    const bool dense = n <= 16 * merged_total + 65536;
    std::vector<std::int32_t> slot_of(dense ? n : 0, -1);
    std::unordered_map<std::int32_t, std::int32_t, IdHash> slot_map;

    SortScratch scratch;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint8_t> dead;
    std::size_t since_check = 0;  // list entries merged since the last interrupt check
    for (std::size_t i = 0; i < entries.size();) {
        const std::int32_t j = entries[i].owner;
        std::size_t end = i;
        while (end < entries.size() && entries[end].owner == j) ++end;
        // Poll by work done: a touched list can hold millions of entries.
        if (since_check > (std::size_t{1} << 18)) {
            check_interrupt();
            since_check = 0;
        }

        // A neighbour given again moves to the end with its new similarity, so
        // that the surviving old entries keep their (usually sorted) order and
        // only the new part needs sorting before a merge.
        keys.clear();
        dead.clear();
        auto put = [&](std::int32_t id, float sim) {
            std::int32_t* slot;
            if (id >= 0 && static_cast<std::size_t>(id) < slot_of.size()) {
                slot = &slot_of[static_cast<std::size_t>(id)];
            } else {
                slot = &slot_map.try_emplace(id, -1).first->second;
            }
            if (*slot >= 0) dead[static_cast<std::size_t>(*slot)] = 1;
            *slot = static_cast<std::int32_t>(keys.size());
            keys.push_back(neighbour_key(id, sim));
            dead.push_back(0);
        };
        if (const NeighbourList* old = sim_mapping.find(j)) {
            const std::size_t len = std::min(old->ids.size(), old->sims.size());
            for (std::size_t k = 0; k < len; ++k) put(old->ids[k], old->sims[k]);
        }
        const std::size_t old_end = keys.size();
        for (std::size_t k = i; k < end; ++k) put(entries[k].id, entries[k].sim);
        std::size_t live = 0;
        std::size_t old_live = 0;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            if (dead[k]) continue;
            keys[live++] = keys[k];
            if (k < old_end) old_live = live;
        }
        keys.resize(live);
        for (std::uint64_t key : keys) {
            const std::int32_t id = key_id(key);
            if (id >= 0 && static_cast<std::size_t>(id) < slot_of.size())
                slot_of[static_cast<std::size_t>(id)] = -1;
        }
        slot_map.clear();

        if (unsortable(keys.data(), keys.size())) throw Panic(kUnwrapNone);
        auto by_similarity = [](std::uint64_t a, std::uint64_t b) { return (a >> 32) < (b >> 32); };
        const auto middle = keys.begin() + static_cast<std::ptrdiff_t>(old_live);
        if (std::is_sorted(keys.begin(), middle, by_similarity)) {
            sort_keys(keys.data() + old_live, keys.size() - old_live, scratch);
            scratch.staging.resize(keys.size());
            std::merge(keys.begin(), middle, middle, keys.end(), scratch.staging.begin(),
                       by_similarity);
            keys.swap(scratch.staging);
        } else {
            sort_keys(keys.data(), keys.size(), scratch);
        }
        sim_mapping.insert_or_assign(j, to_neighbour_list(keys.data(), keys.size()));
        since_check += keys.size() + 64;
        i = end;
    }
    print_line("incremental sort elapsed: " + watch.elapsed());
}

}  // namespace

void update_similarities(CfModel& m, Orientation o, const CsrMatrix& new_user_interactions,
                         const CsrMatrix& new_item_interactions) {
    const auto batch = roles_of(m, o, new_user_interactions, new_item_interactions);
    const auto n = static_cast<std::size_t>(batch.n);
    const CsrMatrix& new_entity_rows = *batch.forward;
    const CsrMatrix& new_other_rows = *batch.other;

    update_sum_squares(m.sum_squares, new_entity_rows, n);
    const std::vector<SimTriple> triples =
        incremental_cosine(new_other_rows, m.sum_squares, m.pair_stats, n, m.min_common);
    update_sim_mapping(n, triples, m.sim_mapping);
    // The user matrix first: a failing item merge leaves it replaced.
    m.user_interactions = merge_interactions(m.user_interactions, new_user_interactions,
                                             static_cast<std::size_t>(m.n_users));
    m.item_interactions = merge_interactions(m.item_interactions, new_item_interactions,
                                             static_cast<std::size_t>(m.n_items));
}

}  // namespace quibrel
