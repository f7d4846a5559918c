#include "core/partition_state.hpp"

#include <algorithm>
#include <utility>

#include "core/cosine_pairs.hpp"
#include "core/cosine_subset.hpp"
#include "core/csr.hpp"
#include "core/errors.hpp"
#include "core/mem_fresh_blocks.hpp"
#include "core/mem_list_storage.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"
#include "core/swing.hpp"
#include "core/touched_cells.hpp"
#include "core/work_split.hpp"

namespace quibrel {

using cosine_detail::add_column;
using cosine_detail::kDenseScan;
using cosine_detail::kSortTouchedRatio;
using cosine_detail::listed_keys;
using cosine_detail::Norms;
using cosine_detail::PerWorker;
using cosine_detail::scan_touched;

namespace {

// Entity ids are 32-bit: counts beyond this cannot be installed.
constexpr std::uint64_t kMaxEntities = 2147483647;

struct CosineSides {
    const CsrMatrix& forward;
    const CsrMatrix& other;
    std::size_t n;
    std::size_t other_rows;
};

CosineSides sides(const CfModel& m, Orientation o) {
    const auto roles = cosine_roles(m, o);
    return {*roles.forward, *roles.other, static_cast<std::size_t>(roles.n),
            static_cast<std::size_t>(roles.other_rows)};
}

std::size_t kept_length(std::size_t length, std::uint64_t keep) {
    return keep == 0 ? length : static_cast<std::size_t>(std::min<std::uint64_t>(length, keep));
}

[[noreturn]] void bad(const char* what) { throw ValueFailure(what); }

// Offsets that cut `total` entries into `count` consecutive runs.
void check_offsets(std::span<const std::uint64_t> offsets, std::size_t count, std::size_t total,
                   const char* what) {
    if (offsets.size() != count + 1 || offsets.front() != 0 || offsets.back() != total ||
        !std::is_sorted(offsets.begin(), offsets.end()))
        bad(what);
}

// The checks both kinds of model share: the entities below n, list offsets.
// Returns the number of entities.
std::size_t check_lists(const PartitionView& v, std::uint64_t n) {
    if (n > kMaxEntities) throw ValueFailure(kOutOfRangeConversion);
    if (v.offsets.empty()) bad("offsets do not describe the lists of the entities");
    const std::size_t count = v.offsets.size() - 1;
    if (v.first > n || count > n - v.first) bad("an entity id is outside the model's entities");
    if (v.ids.size() != v.scores.size()) bad("ids and scores differ in length");
    check_offsets(v.offsets, count, v.ids.size(),
                  "offsets do not describe the lists of the entities");
    return count;
}

void check_neighbour(std::int32_t id, std::uint64_t n) {
    if (id < 0 || static_cast<std::uint64_t>(id) >= n)
        bad("a neighbour id is outside the model's entities");
}

bool no_pairs(const PartitionView& v) {
    return v.pair_offsets.empty() && v.pair_ids.empty() && v.pair_dots.empty() &&
           v.pair_counts.empty();
}

void check_pair_shape(const PartitionView& v, std::size_t count) {
    const std::size_t total = v.pair_ids.size();
    if (v.pair_dots.size() != total || v.pair_counts.size() != total)
        bad("pair ids, dots and counts differ in length");
    check_offsets(v.pair_offsets, count, total,
                  "pair offsets do not describe the pairs of the entities");
}

// Entity x's pair records as the model will keep them.
void check_pair_row(std::span<const PairEntry> row, std::size_t x, std::uint64_t n) {
    std::int64_t previous = static_cast<std::int64_t>(x);
    for (const PairEntry& e : row) {
        if (e.y <= previous || static_cast<std::uint64_t>(e.y) >= n)
            bad("pair partners must ascend above their entity and below the entity count");
        if (e.count == 0 || e.count == kWideCount) bad("a pair count is outside 1..4294967294");
        previous = e.y;
    }
}

// Every entry of the other side's rows names an entity below n, and x's
// columns name rows of the other side: checked once per call, so that the
// loops below index their cells without a test per update.
void check_sides(const CosineSides& s, std::size_t begin, std::size_t end) {
    for (std::size_t r = 0; r < s.other_rows; ++r) {
        const RowRange range = row_range(s.other, r);
        for (std::size_t p = range.begin; p < range.end; ++p) {
            const std::int32_t y = s.other.indices[p];
            if (y < 0) throw ValueFailure(kOutOfRangeConversion);
            check_index(s.n, static_cast<std::size_t>(y));
        }
    }
    for (std::size_t x = begin; x < end; ++x) {
        const RowRange range = row_range(s.forward, x);
        for (std::size_t p = range.begin; p < range.end; ++p) {
            const std::int32_t c = s.forward.indices[p];
            if (c < 0) throw ValueFailure(kOutOfRangeConversion);
            check_index(s.other_rows, static_cast<std::size_t>(c));
        }
    }
}

// Makes the pages of a state's vectors present ahead of their ends, a
// chunk at a time, as they grow (a vector that moves starts over).
class StateAhead {
public:
    explicit StateAhead(const PartitionState& s) : s_(s) {}
    void reach() noexcept {
        at(0, s_.ids);
        at(1, s_.scores);
        at(2, s_.pair_ids);
        at(3, s_.pair_dots);
        at(4, s_.pair_counts);
    }

private:
    template <class V>
    void at(std::size_t k, const V& v) noexcept {
        if (v.data() != base_[k]) {
            base_[k] = v.data();
            ahead_[k].reset(v.data(), v.capacity() * sizeof(typename V::value_type));
        }
        ahead_[k].reach(v.data() + v.size());
    }
    const PartitionState& s_;
    const void* base_[5] = {};
    Prefaulter ahead_[5];
};

struct RangeScratch {
    std::vector<Cell<std::uint32_t>> cells;
    std::vector<std::uint32_t> touched;
    std::vector<std::uint64_t> bitmap;
    std::vector<std::uint32_t> listed_ids;
    std::vector<float> listed_dots;
    std::vector<std::uint64_t> keys;
    SortScratch sort;

    // The accumulator over n entities, first touched on the worker that uses
    // it; `lists` adds what building lists needs.
    void ready(std::size_t n, bool lists) {
        if (cells.empty()) {
            cells.assign(n, Cell<std::uint32_t>{0.0f, 0});
            touched.assign(n + 1, 0);
            bitmap.assign(n / 64 + 1, 0);
        }
        if (lists && keys.empty()) {
            listed_ids.resize(n);
            listed_dots.resize(n);
            keys.resize(n);
        }
    }
};

// Entities [begin, end) into `out` by the full-row route of the forward path
// (cosine_forward.cpp): x against every other entity, its products met in
// ascending shared column, so every dot, count and similarity equals the
// full computation's. Returns false at the first list that cannot be sorted.
bool cosine_range(const CosineSides& s, const Norms& norms, std::uint64_t min_common,
                  std::size_t begin, std::size_t end, std::uint64_t keep, bool pairs,
                  RangeScratch& sc, PartitionState& out) {
    const std::size_t n = s.n;
    sc.ready(n, true);
    Cell<std::uint32_t>* const cells = sc.cells.data();
    std::uint32_t* const touched = sc.touched.data();
    // Checked by check_sides: every id is below n.
    const auto* ys = reinterpret_cast<const std::uint32_t*>(s.other.indices.data());
    const float* vs = s.other.data.data();
    StateAhead ahead(out);
    for (std::size_t x = begin; x < end; ++x) {
        if (loop_stopping()) return true;
        ahead.reach();
        const RowRange r = row_range(s.forward, x);
        std::size_t updates = 0;
        for (std::size_t p = r.begin; p < r.end; ++p) {
            const RowRange q = row_range(s.other, static_cast<std::size_t>(s.forward.indices[p]));
            updates += q.end - q.begin;
        }
        std::size_t count = 0;
        if (updates * kDenseScan >= n) {
            for (std::size_t p = r.begin; p < r.end; ++p) {
                const RowRange q =
                    row_range(s.other, static_cast<std::size_t>(s.forward.indices[p]));
                add_column(ys + q.begin, q.end - q.begin, vs + q.begin, s.forward.data[p], cells);
            }
            count = scan_touched(cells, n, touched);
        } else {
            for (std::size_t p = r.begin; p < r.end; ++p) {
                const RowRange q =
                    row_range(s.other, static_cast<std::size_t>(s.forward.indices[p]));
                count = add_column_touched<std::uint32_t, false>(ys + q.begin, q.end - q.begin,
                                                                 vs + q.begin, s.forward.data[p],
                                                                 cells, touched, count);
            }
            order_touched(touched, count, n, sc.bitmap.data(), kSortTouchedRatio);
        }
        // x meets itself in each of its columns; its cell is no pair.
        cells[x] = Cell<std::uint32_t>{0.0f, 0};
        std::size_t listed = 0;
        for (std::size_t t = 0; t < count; ++t) {
            const std::uint32_t y = touched[t];
            if (y == x) continue;
            const Cell<std::uint32_t> cell = cells[y];
            cells[y] = Cell<std::uint32_t>{0.0f, 0};
            if (pairs && y > x) {
                out.pair_ids.push_back(static_cast<std::int32_t>(y));
                out.pair_dots.push_back(cell.dot);
                out.pair_counts.push_back(cell.count);
            }
            sc.listed_ids[listed] = y;
            sc.listed_dots[listed] = cell.dot;
            listed += cell.count >= min_common;
        }
        if (pairs) out.pair_offsets.push_back(out.pair_ids.size());
        std::uint64_t* const keys = sc.keys.data();
        listed_keys(sc.listed_ids.data(), sc.listed_dots.data(), listed, x, norms, keys);
        const std::uint64_t* sorted = keys;
        if (listed >= 2) {
            const KeyRange range = similarity_range(keys, listed);
            if (holds_nan(range)) return false;
            // The order of sorted_neighbour_list, without building a list.
            if (listed < 16)
                std::sort(keys, keys + listed);
            else if (range.lo != range.hi)
                sorted = sort_by_similarity(keys, listed, range, sc.sort);
        }
        const std::size_t length = kept_length(listed, keep);
        for (std::size_t j = 0; j < length; ++j) {
            out.ids.push_back(key_id(sorted[j]));
            out.scores.push_back(key_sim(sorted[j]));
        }
        out.offsets.push_back(out.ids.size());
    }
    return true;
}

// Consecutive pieces of [begin, end) of about equal work, with bounds on
// what each one outputs.
struct Pieces {
    std::vector<std::size_t> cuts;      // piece k is [cuts[k], cuts[k+1])
    std::vector<std::uint64_t> listed;  // at most this many list entries
    std::vector<std::uint64_t> above;   // and pair records
};

Pieces pieces(const CosineSides& s, std::size_t begin, std::size_t end, std::size_t parts,
              std::uint64_t keep) {
    std::vector<std::uint64_t> work(end - begin);
    std::vector<std::uint64_t> met(end - begin);
    std::uint64_t total = 0;
    for (std::size_t x = begin; x < end; ++x) {
        const RowRange r = row_range(s.forward, x);
        std::uint64_t updates = 0;
        for (std::size_t p = r.begin; p < r.end; ++p) {
            const RowRange q = row_range(s.other, static_cast<std::size_t>(s.forward.indices[p]));
            updates += q.end - q.begin;
        }
        met[x - begin] = updates;
        work[x - begin] = 1 + (r.end - r.begin) + updates;
        total += work[x - begin];
    }
    Pieces out;
    out.cuts =
        equal_cost_cuts(begin, end, parts, total, [&](std::size_t x) { return work[x - begin]; });
    // An entity's neighbours and partners are the distinct entities its
    // updates reach, itself excluded.
    for (std::size_t k = 0; k + 1 < out.cuts.size(); ++k) {
        std::uint64_t listed = 0;
        std::uint64_t above = 0;
        for (std::size_t x = out.cuts[k]; x < out.cuts[k + 1]; ++x) {
            const std::uint64_t reach = std::min<std::uint64_t>(met[x - begin], s.n - 1);
            listed += keep == 0 ? reach : std::min(reach, keep);
            above += std::min<std::uint64_t>(reach, s.n - 1 - x);
        }
        out.listed.push_back(listed);
        out.above.push_back(above);
    }
    return out;
}

// With min_common = 0 every entity is in every list: the general subset
// computation handles that case.
PartitionState cosine_partition_all_pairs(const CosineSides& s, std::span<const float> norms,
                                          std::size_t begin, std::size_t end, std::uint64_t keep,
                                          bool pairs) {
    std::vector<std::int32_t> entities(end - begin);
    for (std::size_t x = begin; x < end; ++x) entities[x - begin] = static_cast<std::int32_t>(x);
    CosineSubset sub = cosine_subset(CosineInputs{s.forward, s.other, s.n, s.other_rows, norms, 0},
                                     entities, pairs);
    if (sub.first_unsortable < entities.size()) throw Panic(kUnwrapNone);
    PartitionState out;
    if (pairs) out.pair_offsets.push_back(0);
    for (std::size_t k = 0; k < entities.size(); ++k) {
        EntityState& state = sub.states[k];
        const std::size_t length =
            kept_length(std::min(state.list.ids.size(), state.list.sims.size()), keep);
        out.ids.insert(out.ids.end(), state.list.ids.begin(), state.list.ids.begin() + length);
        out.scores.insert(out.scores.end(), state.list.sims.begin(),
                          state.list.sims.begin() + length);
        out.offsets.push_back(out.ids.size());
        if (pairs) {
            for (const PairDelta& p : state.pairs) {
                if (p.y <= entities[k]) continue;
                if (p.count >= kWideCount) throw ValueFailure("a pair count does not fit 32 bits");
                out.pair_ids.push_back(p.y);
                out.pair_dots.push_back(p.dot);
                out.pair_counts.push_back(static_cast<std::uint32_t>(p.count));
            }
            out.pair_offsets.push_back(out.pair_ids.size());
        }
        state = EntityState{};
    }
    return out;
}

// Whether rows [begin, end) of m hold strictly ascending ids: the pairs-only
// route finds an entity's partners above it by their position in the other
// side's rows, and counts a pair once per shared column.
bool rows_ascend(const CsrMatrix& m, std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) {
        const RowRange range = row_range(m, r);
        for (std::size_t p = range.begin + 1; p < range.end; ++p)
            if (m.indices[p - 1] >= m.indices[p]) return false;
    }
    return true;
}

// Where the partners y > x of each entry (x, c) of the rows [begin, end) sit
// in the other side's row c: [from, to). Entries are numbered in walk order,
// row x's being [first[x - begin], first[x - begin + 1]). Walked in ascending
// x, a column's partners start only moves forward, so one cursor per column
// finds them all (no search per entry); `updates[x - begin]` receives x's
// count of partners met.
struct PartnerRuns {
    std::vector<std::size_t> first;
    std::vector<std::uint32_t> from;
    std::vector<std::uint32_t> to;
};

PartnerRuns partner_runs(const CosineSides& s, std::size_t begin, std::size_t end,
                         std::vector<std::uint64_t>& updates) {
    PartnerRuns runs;
    runs.first.resize(end - begin + 1);
    std::size_t entries = 0;
    for (std::size_t x = begin; x < end; ++x) {
        runs.first[x - begin] = entries;
        const RowRange r = row_range(s.forward, x);
        entries += r.end - r.begin;
    }
    runs.first[end - begin] = entries;
    runs.from.resize(entries);
    runs.to.resize(entries);
    updates.assign(end - begin, 0);
    if (entries == 0) return runs;
    // Every column's cursor starts at its first entry of id begin or more.
    std::vector<std::uint32_t> cursor(s.other_rows);
    std::vector<std::uint32_t> row_end(s.other_rows);
    const std::int32_t* ys = s.other.indices.data();
    for (std::size_t c = 0; c < s.other_rows; ++c) {
        const RowRange q = row_range(s.other, c);
        cursor[c] = static_cast<std::uint32_t>(
            std::lower_bound(ys + q.begin, ys + q.end, static_cast<std::int32_t>(begin)) - ys);
        row_end[c] = static_cast<std::uint32_t>(q.end);
    }
    std::size_t e = 0;
    for (std::size_t x = begin; x < end; ++x) {
        const RowRange r = row_range(s.forward, x);
        std::uint64_t met = 0;
        for (std::size_t p = r.begin; p < r.end; ++p, ++e) {
            const auto c = static_cast<std::size_t>(s.forward.indices[p]);
            std::uint32_t f = cursor[c];
            while (f < row_end[c] && ys[f] <= static_cast<std::int32_t>(x)) ++f;
            cursor[c] = f;
            runs.from[e] = f;
            runs.to[e] = row_end[c];
            met += row_end[c] - f;
        }
        updates[x - begin] = met;
    }
    return runs;
}

// The pair records of entities [begin, end) into `out`: x against its
// partners y > x only, half the cell updates of the full-row route and no
// list to sort. x's columns are walked in ascending order, so each dot
// product adds the same products in the same order as the full computation.
void pairs_range(const CosineSides& s, const PartnerRuns& runs, std::size_t base,
                 std::size_t begin, std::size_t end, RangeScratch& sc, PartitionState& out) {
    const std::size_t n = s.n;
    sc.ready(n, false);
    Cell<std::uint32_t>* const cells = sc.cells.data();
    std::uint32_t* const touched = sc.touched.data();
    const auto* ys = reinterpret_cast<const std::uint32_t*>(s.other.indices.data());
    const float* vs = s.other.data.data();
    StateAhead ahead(out);
    for (std::size_t x = begin; x < end; ++x) {
        if (loop_stopping()) return;
        ahead.reach();
        const std::size_t e0 = runs.first[x - base];
        const std::size_t e1 = runs.first[x - base + 1];
        // The row's values, in walk order (row_range checked them when the runs were made).
        const float* dx = s.forward.data.data() + row_range(s.forward, x).begin;
        std::size_t updates = 0;
        for (std::size_t e = e0; e < e1; ++e) updates += runs.to[e] - runs.from[e];
        const std::size_t span = n - x - 1;
        auto emit = [&](std::size_t y) {
            const Cell<std::uint32_t> cell = cells[y];
            cells[y] = Cell<std::uint32_t>{0.0f, 0};
            out.pair_ids.push_back(static_cast<std::int32_t>(y));
            out.pair_dots.push_back(cell.dot);
            out.pair_counts.push_back(cell.count);
        };
        if (updates > 0 && updates * kDenseScan >= span) {
            for (std::size_t e = e0; e < e1; ++e) {
                const std::size_t f = runs.from[e];
                add_column(ys + f, runs.to[e] - f, vs + f, dx[e - e0], cells);
            }
            const std::size_t count = scan_touched(cells + x + 1, span, touched);
            for (std::size_t t = 0; t < count; ++t) emit(x + 1 + touched[t]);
        } else if (updates > 0) {
            std::size_t count = 0;
            for (std::size_t e = e0; e < e1; ++e) {
                const std::size_t f = runs.from[e];
                count = add_column_touched<std::uint32_t, false>(
                    ys + f, runs.to[e] - f, vs + f, dx[e - e0], cells, touched, count);
            }
            // As collect_row orders a row of the pair computation.
            if (count * kSortTouchedRatio >= span) {
                mark_ids(touched, count, sc.bitmap.data());
                drain_marked(sc.bitmap.data(), (x + 1) >> 6, (n - 1) >> 6, emit);
            } else {
                std::sort(touched, touched + count);
                for (std::size_t t = 0; t < count; ++t) emit(touched[t]);
            }
        }
        out.pair_offsets.push_back(out.pair_ids.size());
    }
}

}  // namespace

std::vector<PartitionState> cosine_partition(const CfModel& m, Orientation o, std::size_t begin,
                                             std::size_t end, std::uint64_t keep, bool pairs,
                                             std::size_t max_pieces) {
    const CosineSides s = sides(m, o);
    if (s.n > cosine_detail::kMaxId) throw ValueFailure(kOutOfRangeConversion);
    if (begin > end || end > s.n) index_panic(s.n, std::max(begin, end));
    const std::vector<float> sum_squares = compute_sum_squares(s.forward, s.n);
    if (m.min_common == 0) {
        std::vector<PartitionState> one;
        one.push_back(cosine_partition_all_pairs(s, sum_squares, begin, end, keep, pairs));
        return one;
    }
    check_sides(s, begin, end);
    const Norms norms(sum_squares);

    const std::size_t workers = std::max<std::size_t>(worker_count(), 1);
    const Pieces plan = pieces(s, begin, end, std::max<std::size_t>(max_pieces, 1), keep);
    const std::vector<std::size_t>& cuts = plan.cuts;
    const std::size_t count = cuts.size() - 1;
    std::vector<PartitionState> parts(count);
    std::vector<PerWorker<RangeScratch>> scratch(workers);
    std::vector<std::uint8_t> failed(count, 0);
    // Room for the most each piece can output: the vectors never move, and
    // the pages of room left unused are never touched.
    for (std::size_t k = 0; k < count; ++k) {
        PartitionState& part = parts[k];
        part.offsets.reserve(cuts[k + 1] - cuts[k] + 1);
        part.ids.reserve(plan.listed[k]);
        part.scores.reserve(plan.listed[k]);
        if (!pairs) continue;
        part.pair_offsets.reserve(cuts[k + 1] - cuts[k] + 1);
        part.pair_offsets.push_back(0);
        part.pair_ids.reserve(plan.above[k]);
        part.pair_dots.reserve(plan.above[k]);
        part.pair_counts.reserve(plan.above[k]);
    }
    parallel_for(count, 1, [&](std::size_t b, std::size_t e, std::size_t worker) {
        for (std::size_t k = b; k < e; ++k)
            if (!cosine_range(s, norms, m.min_common, cuts[k], cuts[k + 1], keep, pairs,
                              scratch[worker].value, parts[k]))
                failed[k] = 1;
    });
    for (std::uint8_t f : failed)
        if (f) throw Panic(kUnwrapNone);
    return parts;
}

std::vector<PartitionState> cosine_partition_pairs(const CfModel& m, Orientation o,
                                                   std::size_t begin, std::size_t end,
                                                   std::size_t max_pieces) {
    const CosineSides s = sides(m, o);
    if (s.n > cosine_detail::kMaxId) throw ValueFailure(kOutOfRangeConversion);
    if (begin > end || end > s.n) index_panic(s.n, std::max(begin, end));
    check_sides(s, begin, end);
    if (!rows_ascend(s.other, 0, s.other_rows) || !rows_ascend(s.forward, begin, end) ||
        s.forward.indices.size() >= kWideCount || s.other.indices.size() >= kWideCount) {
        // Matrices the library never builds: the full-row route copes with them.
        std::vector<PartitionState> parts = cosine_partition(m, o, begin, end, 0, true, max_pieces);
        for (PartitionState& part : parts) {
            part.offsets = FreshVector<std::uint64_t>{0};
            part.ids = {};
            part.scores = {};
        }
        return parts;
    }
    // Pieces of about equal work, and room for the most records each can hold.
    std::vector<std::uint64_t> work;
    const PartnerRuns runs = partner_runs(s, begin, end, work);
    std::vector<std::uint64_t> above(end - begin);
    std::uint64_t total = 0;
    for (std::size_t x = begin; x < end; ++x) {
        const std::uint64_t updates = work[x - begin];
        above[x - begin] = std::min<std::uint64_t>(updates, s.n - 1 - x);
        work[x - begin] = 1 + (runs.first[x - begin + 1] - runs.first[x - begin]) + updates;
        total += work[x - begin];
    }
    const std::vector<std::size_t> cuts =
        equal_cost_cuts(begin, end, std::max<std::size_t>(max_pieces, 1), total,
                        [&](std::size_t x) { return work[x - begin]; });
    const std::size_t count = cuts.size() - 1;
    std::vector<PartitionState> parts(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::uint64_t room = 0;
        for (std::size_t x = cuts[k]; x < cuts[k + 1]; ++x) room += above[x - begin];
        PartitionState& part = parts[k];
        part.pair_offsets.reserve(cuts[k + 1] - cuts[k] + 1);
        part.pair_offsets.push_back(0);
        part.pair_ids.reserve(room);
        part.pair_dots.reserve(room);
        part.pair_counts.reserve(room);
    }
    work = {};
    above = {};
    const std::size_t workers = std::max<std::size_t>(worker_count(), 1);
    std::vector<PerWorker<RangeScratch>> scratch(workers);
    parallel_for(count, 1, [&](std::size_t b, std::size_t e, std::size_t worker) {
        for (std::size_t k = b; k < e; ++k)
            pairs_range(s, runs, begin, cuts[k], cuts[k + 1], scratch[worker].value, parts[k]);
    });
    return parts;
}

PartitionState swing_partition(const SwingModel& m, std::size_t begin, std::size_t end,
                               std::uint64_t keep) {
    if (begin > end || end > m.n_items || m.n_items > kMaxEntities)
        index_panic(static_cast<std::size_t>(m.n_items), std::max(begin, end));
    // Room for the most the range can output (an item's list holds at most the items its
    // users hold besides it); pages of room left unused are never touched.
    PartitionState out;
    out.offsets.reserve(end - begin + 1);
    std::vector<std::uint64_t> work(end - begin, 0);
    std::uint64_t bound = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const RowRange r = row_range(m.item_interactions, i);
        std::uint64_t reach = 0;
        for (std::size_t p = r.begin; p < r.end; ++p) {
            const std::int32_t u = m.item_interactions.indices[p];
            if (u < 0 || static_cast<std::uint64_t>(u) >= m.n_users) continue;
            const RowRange q = row_range(m.user_interactions, static_cast<std::size_t>(u));
            reach += q.end - q.begin;
        }
        reach = std::min<std::uint64_t>(reach, m.n_items);
        bound += keep == 0 ? reach : std::min(reach, keep);
        const std::uint64_t k = r.end - r.begin;
        work[i - begin] = k * k + k + 1;
    }
    out.ids.reserve(bound);
    out.scores.reserve(bound);
    // Items a slice at a time: a slice's lists live in blocks of their own until copied,
    // so only one slice's worth of them is held twice.
    std::uint64_t total = 0;
    for (const std::uint64_t w : work) total += w;
    constexpr std::size_t kSlices = 16;
    const std::vector<std::size_t> slices =
        equal_cost_cuts(begin, end, kSlices, total, [&](std::size_t i) { return work[i - begin]; });
    StateAhead ahead(out);
    for (std::size_t k = 0; k + 1 < slices.size(); ++k) {
        const std::size_t from = slices[k];
        const std::size_t to = slices[k + 1];
        std::vector<std::int32_t> items(to - from);
        for (std::size_t x = from; x < to; ++x) items[x - from] = static_cast<std::int32_t>(x);
        std::vector<SwingList> lists =
            swing_item_lists(m.user_interactions, m.item_interactions, m.n_users, m.n_items,
                             m.alpha, m.max_cache_num, items);
        for (SwingList& list : lists) {
            ahead.reach();
            const std::size_t length = kept_length(list.size(), keep);
            for (std::size_t j = 0; j < length; ++j) {
                out.ids.push_back(list[j].id);
                out.scores.push_back(list[j].score);
            }
            out.offsets.push_back(out.ids.size());
        }
    }
    return out;
}

namespace {

// Copies the pair records of a checked view into one fresh block, as the rows
// fresh[first..first+count) the pair statistics adopt, checking each row in
// the copy the model will keep.
void copy_pair_rows(const PartitionView& v, std::size_t count, std::size_t n,
                    std::vector<std::span<PairEntry>>& fresh, std::vector<PairBlock>& blocks) {
    // Each row followed by the room a computation leaves (see PairBlockWriter).
    const std::size_t entries = v.pair_ids.size() + count * kPairRowRoom;
    blocks.push_back(fresh_array<PairEntry>(entries));
    PairEntry* out = blocks.back().get();
    Prefaulter prefault;
    prefault.reset(out, entries * sizeof(PairEntry));
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t b = v.pair_offsets[k];
        const std::uint64_t e = v.pair_offsets[k + 1];
        PairEntry* const row = out + b + k * kPairRowRoom;
        prefault.reach(row + (e - b) + kPairRowRoom);
        for (std::uint64_t p = b; p < e; ++p)
            row[p - b] = PairEntry{v.pair_ids[p], v.pair_dots[p], v.pair_counts[p]};
        fresh[v.first + k] = std::span<PairEntry>(row, static_cast<std::size_t>(e - b));
        check_pair_row(fresh[v.first + k], v.first + k, n);
    }
}

}  // namespace

void install_cosine_partition(CfModel& m, Orientation o, const PartitionView& v) {
    const CosineSides s = sides(m, o);
    const std::size_t count = check_lists(v, s.n);
    const bool pairs = !no_pairs(v);
    if (pairs) check_pair_shape(v, count);

    // Everything is built, and the ids checked in the copies, before the model changes.
    std::vector<NeighbourList> lists(count);
    {
        ListArena arena;
        const ListArenaScope in_arena(arena);
        for (std::size_t k = 0; k < count; ++k) {
            const auto b = static_cast<std::ptrdiff_t>(v.offsets[k]);
            const auto e = static_cast<std::ptrdiff_t>(v.offsets[k + 1]);
            lists[k].ids.assign(v.ids.begin() + b, v.ids.begin() + e);
            lists[k].sims.assign(v.scores.begin() + b, v.scores.begin() + e);
            for (const std::int32_t id : lists[k].ids) check_neighbour(id, s.n);
        }
    }
    std::vector<std::span<PairEntry>> fresh;
    std::vector<PairBlock> blocks;
    if (pairs && !v.pair_ids.empty()) {
        fresh.resize(v.first + count);
        copy_pair_rows(v, count, s.n, fresh, blocks);
    }
    // A computation keeps every entity's list in the dense part of the map.
    m.sim_mapping.reserve_dense(s.n);
    if (!fresh.empty()) m.pair_stats.adopt(fresh, std::move(blocks), WideCounts{}, kPairRowRoom);
    for (std::size_t k = 0; k < count; ++k) {
        const auto x = static_cast<std::int32_t>(v.first + k);
        if (lists[k].ids.empty())
            m.sim_mapping.erase(x);
        else
            m.sim_mapping.insert_or_assign(x, std::move(lists[k]));
    }
}

void install_cosine_pairs(CfModel& m, Orientation o, const PairsView& v) {
    const CosineSides s = sides(m, o);
    if (s.n > kMaxEntities) throw ValueFailure(kOutOfRangeConversion);
    if (v.pair_offsets.empty()) bad("pair offsets do not describe the pairs of the entities");
    const std::size_t count = v.pair_offsets.size() - 1;
    if (v.first > s.n || count > s.n - v.first) bad("an entity id is outside the model's entities");
    const PartitionView shape{v.first, {}, {}, {}, v.pair_offsets, v.pair_ids, v.pair_dots,
                              v.pair_counts};
    check_pair_shape(shape, count);
    if (v.pair_ids.empty()) return;
    // Checked in the copy the model keeps, before the model changes.
    std::vector<std::span<PairEntry>> fresh(v.first + count);
    std::vector<PairBlock> blocks;
    copy_pair_rows(shape, count, s.n, fresh, blocks);
    m.pair_stats.adopt(fresh, std::move(blocks), WideCounts{}, kPairRowRoom);
}

void complete_cosine_from_pairs(CfModel& m, Orientation o) {
    const CosineSides s = sides(m, o);
    const std::size_t n = s.n;
    if (n > kMaxEntities) throw ValueFailure(kOutOfRangeConversion);
    // Only installed records are expected; a model that holds others (read
    // from a file) is refused rather than trusted to index the lists.
    if (m.pair_stats.has_wide_counts()) bad("a pair count is outside 1..4294967294");
    cosine_detail::FreshPairs fresh;
    fresh.rows.resize(n);
    fresh.kept.assign(n, 0);
    const std::size_t rows = std::min(n, m.pair_stats.row_count());
    for (std::size_t x = 0; x < rows; ++x) {
        const std::span<PairEntry> row = m.pair_stats.writable_row(x);
        check_pair_row(row, x, n);
        std::uint32_t kept = 0;
        for (const PairEntry& e : row) kept += e.count >= m.min_common;
        fresh.rows[x] = row;
        fresh.kept[x] = kept;
    }
    fresh.count_kept(n, m.min_common);
    m.sum_squares = compute_sum_squares(s.forward, n);
    const Norms norms(std::span<const float>(m.sum_squares.data(), n));
    std::vector<NeighbourList> sorted(n);
    std::size_t fail = n;
    cosine_detail::sort_lists_of_pairs(fresh, n, norms, m.min_common,
                                       cosine_detail::Runner{true}, sorted, fail);
    // As a full computation stores them: ascending entities, up to the first
    // list that cannot be sorted.
    m.sim_mapping.reserve_dense(fail);
    for (std::size_t j = 0; j < fail; ++j)
        if (!sorted[j].ids.empty())
            m.sim_mapping.insert_or_assign(static_cast<std::int32_t>(j), std::move(sorted[j]));
    if (fail < n) throw Panic(kUnwrapNone);
}

void install_swing_partition(SwingModel& m, const PartitionView& v) {
    const std::size_t count = check_lists(v, m.n_items);
    if (!no_pairs(v)) bad("Swing models have no pair records");
    std::vector<SwingList> lists(count);
    {
        ListArena arena;
        const ListArenaScope in_arena(arena);
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint64_t b = v.offsets[k];
            const std::uint64_t e = v.offsets[k + 1];
            lists[k].reserve(static_cast<std::size_t>(e - b));
            for (std::uint64_t p = b; p < e; ++p)
                lists[k].push_back(SwingPair{v.ids[p], v.scores[p]});
            for (const SwingPair& pair : lists[k]) check_neighbour(pair.id, m.n_items);
        }
    }
    for (std::size_t k = 0; k < count; ++k) {
        const auto x = static_cast<std::int32_t>(v.first + k);
        if (lists[k].empty())
            m.swing_scores.erase(x);
        else
            m.swing_scores.insert_or_assign(x, std::move(lists[k]));
    }
}

void complete_cosine(CfModel& m, Orientation o) {
    const CosineSides s = sides(m, o);
    m.sum_squares = compute_sum_squares(s.forward, s.n);
}

void complete_swing(SwingModel& m) {
    // As the computation stores its result: items with a list in ascending
    // id order into a map whose dense part is sized the same way.
    std::vector<std::pair<std::int32_t, SwingList*>> held;
    m.swing_scores.for_each_mut([&](std::int32_t id, SwingList& list) {
        if (!list.empty()) held.emplace_back(id, &list);
    });
    std::sort(held.begin(), held.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    SwingScores out;
    out.reserve_dense(
        std::min<std::size_t>(static_cast<std::size_t>(m.n_items), 2 * held.size() + 4096));
    for (auto& [id, list] : held) out.insert_or_assign(id, std::move(*list));
    m.swing_scores = std::move(out);
}

}  // namespace quibrel
