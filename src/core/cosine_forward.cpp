// Forward path of the cosine computation: rows of the forward matrix
// intersected through a column index, on the worker pool.
#include <algorithm>
#include <bit>
#include <limits>
#include <span>
#include <utility>

#include "core/cosine_pairs.hpp"
#include "core/live_lanes.hpp"
#include "core/routes.hpp"
#include "core/timing.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quibrel::cosine_detail {
namespace {

// Entries of the forward matrix (rows 0..n-1) grouped by column, each column's
// entries in ascending row order, so that walking x's columns in ascending
// order and each column's rows y > x adds the products of a pair in ascending
// shared-column order, as a merge walk of the two rows does.
struct ColumnIndex {
    std::vector<std::size_t> start;    // column c holds entries [start[c], start[c+1])
    std::vector<std::uint32_t> rows;   // row of each entry
    std::vector<float> values;         // value of each entry
    std::vector<std::uint32_t> dense;  // column number per matrix position, when remapped
    bool strictly_ascending = true;    // every row has ascending unique columns

    std::uint32_t column(const CsrMatrix& m, std::size_t position) const {
        return dense.empty() ? static_cast<std::uint32_t>(m.indices[position]) : dense[position];
    }
};

ColumnIndex build_column_index(const CsrMatrix& m, std::size_t n) {
    ColumnIndex index;
    std::int64_t lo = std::numeric_limits<std::int64_t>::max();
    std::int64_t hi = std::numeric_limits<std::int64_t>::min();
    std::size_t total = 0;
    for (std::size_t x = 0; x < n; ++x) {
        const RowRange r = row_range(m, x);
        total += r.end - r.begin;
        for (std::size_t p = r.begin; p < r.end; ++p) {
            const std::int64_t c = m.indices[p];
            lo = std::min(lo, c);
            hi = std::max(hi, c);
            if (p > r.begin && m.indices[p - 1] >= m.indices[p]) index.strictly_ascending = false;
        }
    }
    if (total == 0) {
        index.start.assign(1, 0);
        return index;
    }
    // Columns are only compared, never used as ids here, so negative or huge
    // ones are legal; they are renumbered in ascending order, which keeps the
    // order of every row's walk.
    std::size_t columns;
    if (lo >= 0 && static_cast<std::uint64_t>(hi) < 2 * total + n + 4096) {
        columns = static_cast<std::size_t>(hi) + 1;
    } else {
        std::vector<std::int32_t> distinct;
        distinct.reserve(total);
        for (std::size_t x = 0; x < n; ++x) {
            const RowRange r = row_range(m, x);
            distinct.insert(distinct.end(), m.indices.begin() + r.begin, m.indices.begin() + r.end);
        }
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        columns = distinct.size();
        index.dense.assign(m.indices.size(), 0);
        for (std::size_t x = 0; x < n; ++x) {
            const RowRange r = row_range(m, x);
            for (std::size_t p = r.begin; p < r.end; ++p)
                index.dense[p] = static_cast<std::uint32_t>(
                    std::lower_bound(distinct.begin(), distinct.end(), m.indices[p]) -
                    distinct.begin());
        }
    }
    index.start.assign(columns + 1, 0);
    for (std::size_t x = 0; x < n; ++x) {
        const RowRange r = row_range(m, x);
        for (std::size_t p = r.begin; p < r.end; ++p) ++index.start[index.column(m, p) + 1];
    }
    for (std::size_t c = 0; c < columns; ++c) index.start[c + 1] += index.start[c];
    std::vector<std::size_t> cursor(index.start.begin(), index.start.end() - 1);
    index.rows.resize(total);
    index.values.resize(total);
    for (std::size_t x = 0; x < n; ++x) {
        const RowRange r = row_range(m, x);
        for (std::size_t p = r.begin; p < r.end; ++p) {
            const std::size_t slot = cursor[index.column(m, p)]++;
            index.rows[slot] = static_cast<std::uint32_t>(x);
            index.values[slot] = m.data[p];
        }
    }
    return index;
}

template <class Count>
struct ForwardScratch {
    std::vector<Cell<Count>> cells;
    std::vector<std::uint32_t> touched;
    std::vector<std::uint64_t> bitmap;
    PairBlockWriter writer;
};

// Where the partners y > x of an entry (row x, column c) sit in the index:
// just after x's own entry in column c, up to the column's end. Found once
// per entry while the index is walked in row order, instead of by a binary
// search in every pass (a cache miss per step on large catalogues). Entries
// are numbered in walk order (rows may share positions of the matrix).
struct Partners {
    std::uint32_t from;
    std::uint32_t to;
};

struct PartnerIndex {
    std::vector<std::size_t> first;  // row x's entries are [first[x], first[x+1])
    std::vector<Partners> ranges;
};

// Needs each row once per column (ascending unique columns) and fewer than
// 2^32 entries; otherwise empty.
PartnerIndex partner_ranges(const CsrMatrix& m, const ColumnIndex& index, std::size_t n) {
    PartnerIndex partners;
    if (!index.strictly_ascending || index.rows.size() >= 0xffffffffu) return partners;
    partners.first.resize(n + 1);
    partners.ranges.resize(index.rows.size());
    std::vector<std::uint32_t> cursor(index.start.begin(), index.start.end() - 1);
    std::size_t e = 0;
    for (std::size_t x = 0; x < n; ++x) {
        partners.first[x] = e;
        const RowRange r = row_range(m, x);
        for (std::size_t p = r.begin; p < r.end; ++p, ++e) {
            const std::uint32_t c = index.column(m, p);
            partners.ranges[e] =
                Partners{++cursor[c], static_cast<std::uint32_t>(index.start[c + 1])};
        }
    }
    partners.first[n] = e;
    return partners;
}

template <class Count>
void forward_rows(const CsrMatrix& m, const ColumnIndex& index, std::size_t n,
                  std::uint64_t min_common, FreshPairs& fresh) {
    const PartnerIndex partners = partner_ranges(m, index, n);
    const std::size_t workers = std::max<std::size_t>(worker_count(), 1);
    std::vector<PerWorker<ForwardScratch<Count>>> scratch(workers);
    const auto accumulate = cells_beyond_cache<Count>(n) ? add_column_touched<Count, true>
                                                         : add_column_touched<Count, false>;
    parallel_for(
        n, dynamic_grain(n, workers), [&](std::size_t begin, std::size_t end, std::size_t worker) {
            ForwardScratch<Count>& s = scratch[worker].value;
            if (s.cells.empty()) {
                // First touch on the worker that uses it.
                s.cells.assign(n, Cell<Count>{0.0f, 0});
                s.touched.assign(n + 1, 0);
                s.bitmap.assign(n / 64 + 1, 0);
            }
            Cell<Count>* cells = s.cells.data();
            std::uint32_t* touched = s.touched.data();
            const std::uint32_t* index_rows = index.rows.data();
            const float* index_values = index.values.data();
            for (std::size_t x = begin; x < end; ++x) {
                if (loop_stopping()) return;
                const RowRange r = row_range(m, x);
                std::size_t count = 0;
                const Partners* walk =
                    partners.ranges.empty() ? nullptr : partners.ranges.data() + partners.first[x];
                for (std::size_t p = r.begin; p < r.end; ++p) {
                    std::size_t from;
                    std::size_t to;
                    if (walk == nullptr) {
                        const std::uint32_t c = index.column(m, p);
                        to = index.start[c + 1];
                        from = static_cast<std::size_t>(
                            std::upper_bound(index_rows + index.start[c], index_rows + to,
                                             static_cast<std::uint32_t>(x)) -
                            index_rows);
                    } else {
                        from = walk[p - r.begin].from;
                        to = walk[p - r.begin].to;
                    }
                    count = accumulate(index_rows + from, to - from, index_values + from, m.data[p],
                                       cells, touched, count);
                }
                fresh.rows[x] = collect_row(x, n, cells, touched, s.bitmap.data(), count,
                                            min_common, s.writer, fresh.kept[x]);
            }
        });
    for (auto& s : scratch) fresh.take(s.value.writer);
}

// Forward path that also builds the neighbour lists. With ascending unique
// columns in every row, a pair's products meet in ascending shared column
// from either side and f32 multiplication commutes, so each worker can
// accumulate x against every other entity (not only y > x) and obtain the
// same dot product the pair (min, max) gets. Each list is then built, sorted
// and stored by the worker that owns x, while it is still in cache, instead of
// being scattered into other entities' lists; pair records keep y > x only.
// An entity whose cell updates reach n / kDenseScan finds its touched cells by
// reading them all, which took less time for the whole computation on
// MovieLens (figures: docs/dev/performance-notes.md).

// Asks for the first lines of column c's rows and values while the column
// before it is added: x's columns lie at scattered places of the index, most
// of them out of cache, and a column seldom starts at the start of a line.
// Column c is not empty (x is in it); the second line stays inside it.
inline void fetch_column_head(const ColumnIndex& index, std::uint32_t c) {
    const std::size_t first = index.start[c];
    const std::size_t later = std::min(first + 16, index.start[c + 1] - 1);
    __builtin_prefetch(index.rows.data() + first);
    __builtin_prefetch(index.rows.data() + later);
    __builtin_prefetch(index.values.data() + first);
    __builtin_prefetch(index.values.data() + later);
}

struct FullRowScratch {
    std::vector<Cell<std::uint32_t>> cells;
    std::vector<std::uint32_t> touched;
    std::vector<std::uint64_t> bitmap;
    std::vector<std::uint32_t> listed_ids;  // neighbours kept for the list, ascending
    std::vector<float> listed_dots;         // and their dot products
    std::vector<std::uint64_t> keys;
    SortScratch sort;
    PairBlockWriter writer;
    ListArena lists;
    std::size_t first_unsortable = 0;
};

}  // namespace

// Adds dx * v[i] to the cells of rows[i], without noting which were touched.
[[gnu::noinline]] void add_column(const std::uint32_t* __restrict rows, std::size_t length,
                                  const float* __restrict values, float dx,
                                  Cell<std::uint32_t>* __restrict cells) {
    for (std::size_t i = 0; i < length; ++i) {
        Cell<std::uint32_t>& cell = cells[rows[i]];
        cell.dot += dx * values[i];
        cell.count += 1;
    }
}

// The touched cells in ascending id order, found by reading all n cells:
// once an entity's updates cover a good part of them this is cheaper than
// noting each touch and ordering the ids afterwards.
// Four cells at a time: their counts are tested together and the live ids
// written by store_live_lanes, without a branch per cell.
std::size_t scan_touched(const Cell<std::uint32_t>* __restrict cells, std::size_t n,
                         std::uint32_t* __restrict touched) {
    static_assert(sizeof(Cell<std::uint32_t>) == 8);
    std::size_t count = 0;
    std::size_t y = 0;
#if defined(__SSE2__)
    // `touched` holds n + 1 ids; four are written at a time at count <= y.
    for (; y + 4 <= n; y += 4) {
        const __m128 a = _mm_loadu_ps(reinterpret_cast<const float*>(cells + y));
        const __m128 b = _mm_loadu_ps(reinterpret_cast<const float*>(cells + y + 2));
        const __m128i counts = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        count = store_live_lanes(counts, static_cast<std::uint32_t>(y), touched, count);
    }
#endif
    for (; y < n; ++y) {
        touched[count] = static_cast<std::uint32_t>(y);
        count += cells[y].count != 0;
    }
    return count;
}

namespace {

// What one entity's accumulated cells turn into.
struct EntityOutput {
    std::size_t above = 0;   // pair records (x, y > x) written
    std::uint32_t kept = 0;  // of which count >= min_common
    std::size_t listed = 0;  // neighbours kept for the list
};

// Takes the cells of the ascending ids `ys` (x excluded): writes pair records
// for ids above x, notes the neighbours that reach min_common with their dot
// products, and clears the cells. The counters live in locals: kept in `out`
// they would be reloaded after every store.
template <bool Above>
void take_cells(const std::uint32_t* ys, std::size_t count, Cell<std::uint32_t>* __restrict cells,
                std::uint64_t min_common, PairEntry* __restrict row,
                std::uint32_t* __restrict listed_ids, float* __restrict listed_dots,
                EntityOutput& out) {
    std::size_t above = out.above;
    std::uint32_t kept = out.kept;
    std::size_t listed = out.listed;
    for (std::size_t t = 0; t < count; ++t) {
        const std::uint32_t y = ys[t];
        const Cell<std::uint32_t> cell = cells[y];
        cells[y] = Cell<std::uint32_t>{0.0f, 0};
        if constexpr (Above) {
            // Counts stay below kWideCount: this route takes fewer matrix
            // entries than that.
            row[above++] = PairEntry{static_cast<std::int32_t>(y), cell.dot, cell.count};
            kept += cell.count >= min_common;
        }
        // Always written; only a kept neighbour moves past it.
        listed_ids[listed] = y;
        listed_dots[listed] = cell.dot;
        listed += cell.count >= min_common;
    }
    out = EntityOutput{above, kept, listed};
}

}  // namespace

// Sort keys of x's listed neighbours: the same similarities as Norms::cosine,
// four at a time where SSE2 is there (IEEE single-precision products and
// quotients are the same in either form).
void listed_keys(const std::uint32_t* __restrict ys, const float* __restrict dots,
                 std::size_t count, std::size_t x, const Norms& norms,
                 std::uint64_t* __restrict keys) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const float rx = norms.roots[x];
    const float* roots = norms.roots.data();
    const __m128 vrx = _mm_set1_ps(rx);
    const __m128 zero = _mm_setzero_ps();
    // A zero root of x makes every similarity 0.
    const __m128 x_live = rx == 0.0f ? zero : _mm_castsi128_ps(_mm_set1_epi32(-1));
    for (; i + 4 <= count; i += 4) {
        const __m128 ry =
            _mm_set_ps(roots[ys[i + 3]], roots[ys[i + 2]], roots[ys[i + 1]], roots[ys[i]]);
        const __m128 dot = _mm_loadu_ps(dots + i);
        const __m128 q = _mm_div_ps(dot, _mm_mul_ps(vrx, ry));
        const __m128 dead = _mm_or_ps(_mm_cmpeq_ps(dot, zero), _mm_cmpeq_ps(ry, zero));
        const __m128 sim = _mm_and_ps(_mm_andnot_ps(dead, q), x_live);
        const __m128i high = descending_halves(sim);
        const __m128i ids = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ys + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + i), _mm_unpacklo_epi32(ids, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + i + 2), _mm_unpackhi_epi32(ids, high));
    }
#endif
    for (; i < count; ++i)
        keys[i] = neighbour_key(static_cast<std::int32_t>(ys[i]), norms.cosine(dots[i], x, ys[i]));
}

namespace {

void forward_full_rows(const CsrMatrix& m, const ColumnIndex& index, std::size_t n,
                       std::uint64_t min_common, const Norms& norms, FreshPairs& fresh,
                       BuiltLists& built) {
    const std::size_t workers = std::max<std::size_t>(worker_count(), 1);
    std::vector<PerWorker<FullRowScratch>> scratch(workers);
    for (auto& s : scratch) s.value.first_unsortable = n;
    built.lists.resize(n);
    parallel_for(
        n, dynamic_grain(n, workers), [&](std::size_t begin, std::size_t end, std::size_t worker) {
            FullRowScratch& s = scratch[worker].value;
            const ListArenaScope arena(s.lists);
            if (s.cells.empty()) {
                // First touch on the worker that uses it.
                s.cells.assign(n, Cell<std::uint32_t>{0.0f, 0});
                s.touched.assign(n + 1, 0);
                s.bitmap.assign(n / 64 + 1, 0);
                s.keys.resize(n);
                s.listed_ids.resize(n);
                s.listed_dots.resize(n);
            }
            Cell<std::uint32_t>* cells = s.cells.data();
            std::uint32_t* touched = s.touched.data();
            std::uint64_t* keys = s.keys.data();
            for (std::size_t x = begin; x < end; ++x) {
                if (loop_stopping()) return;
                const RowRange r = row_range(m, x);
                std::size_t updates = 0;
                for (std::size_t p = r.begin; p < r.end; ++p) {
                    const std::uint32_t c = index.column(m, p);
                    updates += index.start[c + 1] - index.start[c];
                }
                std::size_t count = 0;
                // x meets itself too; its cell is cleared and skipped below.
                if (updates * kDenseScan >= n) {
                    for (std::size_t p = r.begin; p < r.end; ++p) {
                        const std::uint32_t c = index.column(m, p);
                        const std::size_t first = index.start[c];
                        if (p + 1 < r.end) fetch_column_head(index, index.column(m, p + 1));
                        add_column(index.rows.data() + first, index.start[c + 1] - first,
                                   index.values.data() + first, m.data[p], cells);
                    }
                    count = scan_touched(cells, n, touched);
                } else {
                    for (std::size_t p = r.begin; p < r.end; ++p) {
                        const std::uint32_t c = index.column(m, p);
                        const std::size_t first = index.start[c];
                        if (p + 1 < r.end) fetch_column_head(index, index.column(m, p + 1));
                        count = add_column_touched<std::uint32_t, false>(
                            index.rows.data() + first, index.start[c + 1] - first,
                            index.values.data() + first, m.data[p], cells, touched, count);
                    }
                    order_touched(touched, count, n, s.bitmap.data(), kSortTouchedRatio);
                }
                if (count == 0) continue;
                const std::size_t self = static_cast<std::size_t>(
                    std::lower_bound(touched, touched + count, static_cast<std::uint32_t>(x)) -
                    touched);
                // x sits in every column of its own row, so it is among the touched
                // ids; the test only keeps the split exact should that ever change.
                const std::size_t above_from = self + (self < count && touched[self] == x);
                cells[x] = Cell<std::uint32_t>{0.0f, 0};
                PairEntry* const row = s.writer.allocate(count - above_from);
                EntityOutput out;
                take_cells<false>(touched, self, cells, min_common, row, s.listed_ids.data(),
                                  s.listed_dots.data(), out);
                take_cells<true>(touched + above_from, count - above_from, cells, min_common, row,
                                 s.listed_ids.data(), s.listed_dots.data(), out);
                listed_keys(s.listed_ids.data(), s.listed_dots.data(), out.listed, x, norms, keys);
                fresh.rows[x] = std::span<PairEntry>(row, out.above);
                fresh.kept[x] = out.kept;
                // Lists after the first unsortable one are not stored.
                if (x < s.first_unsortable)
                    finish_list(keys, out.listed, x, s.sort, built.lists, s.first_unsortable);
            }
        });
    built.first_unsortable = n;
    for (auto& s : scratch) {
        built.first_unsortable = std::min(built.first_unsortable, s.value.first_unsortable);
        fresh.take(s.value.writer);
    }
    built.done = true;
}

// The full-row route accumulates every pair twice but builds each list in
// cache, without the mirrored scatter and its key lists. Measured, it wins
// (in time and peak memory) while the worker's cells stay in the second-level
// cache; on a large catalogue the half accumulation with the scatter was
// faster (figures: docs/dev/performance-notes.md).
bool full_rows_pay_off(std::size_t n) { return !cells_beyond_cache<std::uint32_t>(n); }

// The route of the forward path. 32-bit counts need rows of ascending unique
// columns (a pair then shares fewer columns than there are entries) and fewer
// entries than they can count; the full-row route needs them too, and drops
// pairs below min_common as it goes, which a minimum of 0 does not allow.
routes::CosineForward choose_forward_route(const ColumnIndex& index, std::size_t n,
                                           std::uint64_t min_common) {
    using routes::CosineForward;
    const bool narrow = index.strictly_ascending && index.rows.size() < 0xffffffffu;
    const bool full_rows = narrow && min_common >= 1;
    switch (routes::forced().cosine_forward) {
    case CosineForward::FullRows:
        if (full_rows) return CosineForward::FullRows;
        break;
    case CosineForward::HalfRows:
        if (narrow) return CosineForward::HalfRows;
        break;
    case CosineForward::HalfRowsWideCounts: return CosineForward::HalfRowsWideCounts;
    case CosineForward::Chosen: break;
    }
    if (full_rows && full_rows_pay_off(n)) return CosineForward::FullRows;
    return narrow ? CosineForward::HalfRows : CosineForward::HalfRowsWideCounts;
}

}  // namespace

FreshPairs forward_cosine(const CsrMatrix& forward, std::size_t n, std::uint64_t min_common,
                          std::span<const float> sum_squares, BuiltLists& built) {
    Stopwatch watch;
    // Rows are read only when there is a pair, that is from n = 2 on.
    if (n >= 2) check_rows_readable(forward, n);
    if (n > kMaxId) throw ValueFailure(kOutOfRangeConversion);

    FreshPairs fresh;
    fresh.rows.resize(n);
    fresh.kept.assign(n, 0);
    if (n >= 2) {
        const ColumnIndex index = build_column_index(forward, n);
        switch (choose_forward_route(index, n, min_common)) {
        case routes::CosineForward::FullRows:
            forward_full_rows(forward, index, n, min_common, Norms(sum_squares), fresh, built);
            break;
        case routes::CosineForward::HalfRows:
            forward_rows<std::uint32_t>(forward, index, n, min_common, fresh);
            break;
        default: forward_rows<std::uint64_t>(forward, index, n, min_common, fresh); break;
        }
    }
    fresh.count_kept(n, min_common);
    print_line("forward cosine sim: " + std::to_string(fresh.kept_pairs) +
               " elapsed: " + watch.elapsed());
    return fresh;
}

}  // namespace quibrel::cosine_detail
