#include "core/cosine.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <span>
#include <utility>

#include "core/errors.hpp"
#include "core/live_lanes.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"
#include "core/timing.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quibrel {
namespace {

constexpr std::uint64_t kMaxId = 2147483647;

// Runs a loop on the worker pool, or on the calling thread in chunks with an
// interrupt check between them (the invert path must not create the pool).
struct Runner {
    bool parallel;

    std::size_t workers() const { return parallel ? std::max<std::size_t>(worker_count(), 1) : 1; }

    // Polled inside long bodies: a parallel loop that is stopping (failure
    // or interrupt elsewhere) ends them early; on the calling thread a
    // pending interrupt is raised right there.
    bool stopping() const {
        if (parallel) return loop_stopping();
        check_interrupt();
        return false;
    }

    void run(std::size_t n, std::size_t grain, const RangeBody& body) const {
        grain = std::max<std::size_t>(grain, 1);
        if (parallel) {
            parallel_for(n, grain, body);
            return;
        }
        for (std::size_t begin = 0; begin < n; begin += grain) {
            check_interrupt();
            body(begin, std::min(n, begin + grain), 0);
        }
    }
};

// Per-worker state on its own cache lines: neighbouring workers' counters
// would otherwise bounce one line between cores.
template <class T>
struct alignas(64) PerWorker {
    T value;
};

std::size_t dynamic_grain(std::size_t n, std::size_t workers) {
    return std::clamp<std::size_t>(n / (workers * 64 + 1), 1, 256);
}

// The pairs (x, y > x) of one computation that have a common interaction,
// before they are stored.
struct FreshPairs {
    std::vector<std::span<PairEntry>> rows;  // rows[x]: ascending y, count > 0
    std::vector<PairBlock> blocks;           // where the rows live
    WideCounts wide;                         // counts of entries marked kWideCount
    std::vector<std::uint32_t> kept;         // kept[x]: records of rows[x] with count >= min_common
    std::uint64_t kept_pairs = 0;  // similarity triples, pairs without co-occurrence included

    bool meets(std::size_t x, const PairEntry& e, std::uint64_t min_common) const {
        if (e.count != kWideCount) return e.count >= min_common;
        return wide.at(pair_key(static_cast<std::int32_t>(x), e.y)) >= min_common;
    }
    // Takes over what a worker's writer holds.
    void take(PairBlockWriter& writer) {
        for (PairBlock& block : writer.release()) blocks.push_back(std::move(block));
        for (const auto& [key, count] : writer.release_wide()) wide[key] = count;
    }
};

// Neighbour lists finished during the pair computation.
struct BuiltLists {
    bool done = false;
    std::vector<NeighbourList> lists;  // lists[x], complete when x < first_unsortable
    std::size_t first_unsortable = 0;  // first entity whose list holds a NaN
};

// Cosine with the squared norms' roots taken once per entity; the same f32
// value as dot / (sqrt(sx) * sqrt(sy)). A root is 0 exactly when its square is
// (sqrt(-0.0) is -0.0, and a negative or NaN square has a NaN root), so the
// zero tests can read the roots: one array to fetch per neighbour, not two.
struct Norms {
    std::vector<float> roots;

    explicit Norms(std::span<const float> sum_squares) {
        roots.resize(sum_squares.size());
        for (std::size_t i = 0; i < sum_squares.size(); ++i) roots[i] = std::sqrt(sum_squares[i]);
    }
    float cosine(float dot, std::size_t x, std::size_t y) const {
        if (dot == 0.0f || roots[x] == 0.0f || roots[y] == 0.0f) return 0.0f;
        return dot / (roots[x] * roots[y]);
    }
};

// ---------------------------------------------------------------------------
// Forward path: rows of the forward matrix intersected through a column index.

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

// Dense accumulation cells of one worker. With ascending unique columns a
// pair's count is at most a row length, so 32 bits suffice; rows with repeated
// columns use 64-bit counts so that no count can wrap.
template <class Count>
struct Cell {
    float dot;
    Count count;
};

// Adds dx * v[i] to the cells of rows[i]; appends each cell touched for the
// first time to `touched`. Branch-free bookkeeping: the id is always written,
// the count advances only on a fresh cell. Returns the new touched count.
// Cells beyond the second-level cache are fetched ahead (large catalogues).
template <class Count, bool Prefetch>
[[gnu::noinline]] std::size_t accumulate_column(const std::uint32_t* __restrict rows,
                                                std::size_t length,
                                                const float* __restrict values, float dx,
                                                Cell<Count>* __restrict cells,
                                                std::uint32_t* __restrict touched,
                                                std::size_t count) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t y = rows[i];
        if constexpr (Prefetch)
            if (i + 16 < length) __builtin_prefetch(cells + rows[i + 16], 1);
        Cell<Count>& cell = cells[y];
        touched[count] = y;
        count += cell.count == 0;
        cell.dot += dx * values[i];
        cell.count += 1;
    }
    return count;
}

// Whether a worker's n cells outgrow the second-level cache.
template <class Count>
bool cells_beyond_cache(std::size_t n) {
    return n * sizeof(Cell<Count>) > (std::size_t{512} << 10);
}

template <class Count>
struct ForwardScratch {
    std::vector<Cell<Count>> cells;
    std::vector<std::uint32_t> touched;
    std::vector<std::uint64_t> bitmap;
    PairBlockWriter writer;
};

// Turns the touched cells of x (ids > x) into an ascending row and clears
// them. Few touched ids are sorted; many are marked in a bitmap whose words
// beyond x are then walked, which costs about span/64 word reads.
template <class CellT>
std::span<PairEntry> collect_row(std::size_t x, std::size_t n, CellT* cells, std::uint32_t* touched,
                                 std::uint64_t* bitmap, std::size_t count, std::uint64_t min_common,
                                 PairBlockWriter& writer, std::uint32_t& kept) {
    kept = 0;
    if (count == 0) return {};
    PairEntry* const row = writer.allocate(count);
    std::size_t i = 0;
    auto emit = [&](std::size_t y) {
        CellT& cell = cells[y];
        row[i++] = writer.entry(x, static_cast<std::int32_t>(y), cell.dot,
                                static_cast<std::uint64_t>(cell.count));
        kept += static_cast<std::uint64_t>(cell.count) >= min_common;
        cell = CellT{};
    };
    const std::size_t span = n - x - 1;
    if (count * 512 >= span) {
        for (std::size_t t = 0; t < count; ++t)
            bitmap[touched[t] >> 6] |= std::uint64_t{1} << (touched[t] & 63);
        for (std::size_t w = (x + 1) >> 6; w <= (n - 1) >> 6; ++w) {
            std::uint64_t bits = bitmap[w];
            bitmap[w] = 0;
            while (bits != 0) {
                emit(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
                bits &= bits - 1;
            }
        }
    } else {
        std::sort(touched, touched + count);
        for (std::size_t t = 0; t < count; ++t) emit(touched[t]);
    }
    return std::span<PairEntry>(row, i);
}

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
    const auto accumulate = cells_beyond_cache<Count>(n) ? accumulate_column<Count, true>
                                                         : accumulate_column<Count, false>;
    parallel_for(n, dynamic_grain(n, workers),
                 [&](std::size_t begin, std::size_t end, std::size_t worker) {
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
                             partners.ranges.empty() ? nullptr
                                                     : partners.ranges.data() + partners.first[x];
                         for (std::size_t p = r.begin; p < r.end; ++p) {
                             std::size_t from;
                             std::size_t to;
                             if (walk == nullptr) {
                                 const std::uint32_t c = index.column(m, p);
                                 to = index.start[c + 1];
                                 from = static_cast<std::size_t>(
                                     std::upper_bound(index_rows + index.start[c],
                                                      index_rows + to,
                                                      static_cast<std::uint32_t>(x)) -
                                     index_rows);
                             } else {
                                 from = walk[p - r.begin].from;
                                 to = walk[p - r.begin].to;
                             }
                             count = accumulate(index_rows + from, to - from,
                                                index_values + from, m.data[p], cells, touched,
                                                count);
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
// reading them all (MovieLens: 7-9% less time for the whole computation).
constexpr std::size_t kDenseScan = 4;

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

// Puts the touched ids in ascending order: few are sorted; many are marked in
// a bitmap whose words are then walked (n/64 reads).
void ascending_ids(std::uint32_t* touched, std::size_t count, std::size_t n,
                   std::uint64_t* bitmap) {
    if (count * 512 < n) {
        std::sort(touched, touched + count);
        return;
    }
    for (std::size_t t = 0; t < count; ++t)
        bitmap[touched[t] >> 6] |= std::uint64_t{1} << (touched[t] & 63);
    std::size_t out = 0;
    for (std::size_t w = 0; w <= (n - 1) >> 6; ++w) {
        std::uint64_t bits = bitmap[w];
        bitmap[w] = 0;
        while (bits != 0) {
            touched[out++] = static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits));
            bits &= bits - 1;
        }
    }
}

// What one entity's accumulated cells turn into.
struct EntityOutput {
    std::size_t above = 0;  // pair records (x, y > x) written
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
    const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000u));
    // A zero root of x makes every similarity 0.
    const __m128 x_live = rx == 0.0f ? zero : _mm_castsi128_ps(_mm_set1_epi32(-1));
    for (; i + 4 <= count; i += 4) {
        const __m128 ry = _mm_set_ps(roots[ys[i + 3]], roots[ys[i + 2]], roots[ys[i + 1]],
                                     roots[ys[i]]);
        const __m128 dot = _mm_loadu_ps(dots + i);
        const __m128 q = _mm_div_ps(dot, _mm_mul_ps(vrx, ry));
        const __m128 dead = _mm_or_ps(_mm_cmpeq_ps(dot, zero), _mm_cmpeq_ps(ry, zero));
        const __m128 sim = _mm_and_ps(_mm_andnot_ps(dead, q), x_live);
        // neighbour_key's order-preserving map, without branches: negative
        // similarities have every bit flipped, others only the sign bit; the
        // result is inverted so that larger similarities come first.
        const __m128i bits = _mm_castps_si128(sim);
        const __m128i flip = _mm_or_si128(_mm_srai_epi32(bits, 31), sign);
        const __m128i high = _mm_xor_si128(_mm_xor_si128(bits, flip), _mm_set1_epi32(-1));
        const __m128i ids = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ys + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + i), _mm_unpacklo_epi32(ids, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + i + 2), _mm_unpackhi_epi32(ids, high));
    }
#endif
    for (; i < count; ++i)
        keys[i] = neighbour_key(static_cast<std::int32_t>(ys[i]), norms.cosine(dots[i], x, ys[i]));
}

// Sorts the `length` keys at `keys` (ascending ids) into sorted[j], or notes
// j as unsortable.
void finish_list(std::uint64_t* keys, std::size_t length, std::size_t j, SortScratch& scratch,
                 std::vector<NeighbourList>& sorted, std::size_t& first_fail) {
    if (length == 0) return;
    const KeyRange range = similarity_range(keys, length);
    // A comparison sort of two or more entries meets every NaN.
    if (length >= 2 && holds_nan(range))
        first_fail = std::min(first_fail, j);
    else
        sorted[j] = sorted_neighbour_list(keys, length, range, scratch);
}

void forward_full_rows(const CsrMatrix& m, const ColumnIndex& index, std::size_t n,
                       std::uint64_t min_common, const Norms& norms, FreshPairs& fresh,
                       BuiltLists& built) {
    const std::size_t workers = std::max<std::size_t>(worker_count(), 1);
    std::vector<PerWorker<FullRowScratch>> scratch(workers);
    for (auto& s : scratch) s.value.first_unsortable = n;
    built.lists.resize(n);
    parallel_for(n, dynamic_grain(n, workers), [&](std::size_t begin, std::size_t end,
                                                   std::size_t worker) {
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
                    add_column(index.rows.data() + first, index.start[c + 1] - first,
                               index.values.data() + first, m.data[p], cells);
                }
                count = scan_touched(cells, n, touched);
            } else {
                for (std::size_t p = r.begin; p < r.end; ++p) {
                    const std::uint32_t c = index.column(m, p);
                    const std::size_t first = index.start[c];
                    count = accumulate_column<std::uint32_t, false>(
                        index.rows.data() + first, index.start[c + 1] - first,
                        index.values.data() + first, m.data[p], cells, touched, count);
                }
                ascending_ids(touched, count, n, s.bitmap.data());
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
// cache, without the mirrored scatter and its key lists. Measured on these
// machines it wins while the worker's cells stay in the second-level cache
// (MovieLens; synthetic 20,000 items with ~4 updates per possible pair: 15.0-
// 17.1 s against 16.5-19.6 s, and 4.1 instead of 5.2 GB peak); on a 200,000-
// entity catalogue the half accumulation with the scatter was 12% faster.
bool full_rows_pay_off(std::size_t n) { return !cells_beyond_cache<std::uint32_t>(n); }

// Pairs of the forward matrix's rows, on the pool. When the lists can be built
// along (see forward_full_rows), `built` receives them.
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
        const bool narrow = index.strictly_ascending && index.rows.size() < 0xffffffffu;
        if (narrow && min_common >= 1 && full_rows_pay_off(n)) {
            const Norms norms(sum_squares);
            forward_full_rows(forward, index, n, min_common, norms, fresh, built);
        } else if (narrow) {
            forward_rows<std::uint32_t>(forward, index, n, min_common, fresh);
        } else {
            forward_rows<std::uint64_t>(forward, index, n, min_common, fresh);
        }
    }
    if (min_common == 0) {
        fresh.kept_pairs = n < 2 ? 0 : static_cast<std::uint64_t>(n) * (n - 1) / 2;
    } else {
        for (std::uint32_t k : fresh.kept) fresh.kept_pairs += k;
    }
    print_line("forward cosine sim: " + std::to_string(fresh.kept_pairs) +
               " elapsed: " + watch.elapsed());
    return fresh;
}

// ---------------------------------------------------------------------------
// Invert path: per entity x, the rows u of the other matrix that contain x,
// walked in ascending u; calling thread only.

// Where x occurs in a row of the other matrix: its later positions [from, to)
// are the pair partners, x's own value sits at from - 1.
struct Occurrence {
    std::size_t from;
    std::size_t to;
};

// Checks the walked rows in the order a row-by-row walk reads them and indexes
// the positions of every entity. Failures:
// - a row the matrix cannot serve: "index out of bounds" with the length of
//   indptr (or of indices/data for positions beyond them), as a read of the
//   row's offsets or entries reports it;
// - a negative column: ValueFailure;
// - a column >= n after a column in [0, n) of the same row, which would be
//   paired with it: "index out of bounds: the len is {n} but the index is
//   {column}", the column taken as a cell of an n-cell row of pair counts.
//   Columns >= n that nothing pairs with are ignored.
void index_occurrences(const CsrMatrix& other, std::size_t rows, std::size_t n,
                       std::vector<std::size_t>& start, std::vector<Occurrence>& occurrences) {
    const std::size_t readable = std::min(rows, other.n_rows());
    start.assign(n + 1, 0);
    for (std::size_t u = 0; u < readable; ++u) {
        const RowRange r = row_range(other, u);
        bool paired = false;
        for (std::size_t p = r.begin; p < r.end; ++p) {
            const std::int32_t c = other.indices[p];
            if (c < 0) throw ValueFailure(kOutOfRangeConversion);
            if (static_cast<std::size_t>(c) >= n) {
                if (paired) index_panic(n, static_cast<std::size_t>(c));
                continue;
            }
            paired = true;
            if (p + 1 < r.end) ++start[static_cast<std::size_t>(c) + 1];
        }
    }
    if (rows > readable) index_panic(other.indptr.size(), other.indptr.size());
    for (std::size_t x = 0; x < n; ++x) start[x + 1] += start[x];
    occurrences.resize(start[n]);
    std::vector<std::size_t> cursor(start.begin(), start.end() - 1);
    for (std::size_t u = 0; u < readable; ++u) {
        const RowRange r = row_range(other, u);
        for (std::size_t p = r.begin; p + 1 < r.end; ++p) {
            const std::int32_t c = other.indices[p];
            if (static_cast<std::size_t>(c) < n)
                occurrences[cursor[static_cast<std::size_t>(c)]++] = Occurrence{p + 1, r.end};
        }
    }
}

FreshPairs invert_cosine(const CsrMatrix& other, std::size_t rows, std::size_t n,
                         std::uint64_t min_common) {
    Stopwatch watch;
    // Ids above the i32 range cannot be stored; a walk meets one at the first
    // entity, so such a count fails before anything is stored.
    if (n > kMaxId + 1) throw ValueFailure(kOutOfRangeConversion);
    FreshPairs fresh;
    fresh.rows.resize(n);
    fresh.kept.assign(n, 0);
    if (n >= 1) {
        std::vector<std::size_t> start;
        std::vector<Occurrence> occurrences;
        index_occurrences(other, rows, n, start, occurrences);

        std::vector<Cell<std::uint64_t>> cells(n, Cell<std::uint64_t>{0.0f, 0});
        std::vector<std::uint32_t> touched(n + 1, 0);
        std::vector<std::uint64_t> bitmap(n / 64 + 1, 0);
        PairBlockWriter writer;
        std::size_t work = 0;
        for (std::size_t x = 0; x < n; ++x) {
            if ((x & 63) == 0 || work > (std::size_t{1} << 20)) {
                check_interrupt();
                work = 0;
            }
            std::size_t count = 0;
            // Ascending row u, then ascending position j of x in the row, then
            // ascending partner position k: the order in which a walk over the
            // other matrix adds the products, so the f32 sums agree.
            for (std::size_t o = start[x]; o < start[x + 1]; ++o) {
                const Occurrence occ = occurrences[o];
                const float dx = other.data[occ.from - 1];
                work += occ.to - occ.from;
                for (std::size_t k = occ.from; k < occ.to; ++k) {
                    const auto y = static_cast<std::uint32_t>(other.indices[k]);
                    Cell<std::uint64_t>& cell = cells[y];
                    touched[count] = y;
                    count += cell.count == 0;
                    cell.dot += dx * other.data[k];
                    cell.count += 1;
                }
            }
            // Only partners above x form pairs (x, y); others come from rows
            // with unordered columns and are dropped.
            std::size_t above = 0;
            for (std::size_t t = 0; t < count; ++t) {
                const std::uint32_t y = touched[t];
                if (y > x)
                    touched[above++] = y;
                else
                    cells[y] = Cell<std::uint64_t>{0.0f, 0};
            }
            fresh.rows[x] = collect_row(x, n, cells.data(), touched.data(), bitmap.data(), above,
                                        min_common, writer, fresh.kept[x]);
        }
        fresh.take(writer);
    }
    if (min_common == 0) {
        fresh.kept_pairs = n < 2 ? 0 : static_cast<std::uint64_t>(n) * (n - 1) / 2;
    } else {
        for (std::uint32_t k : fresh.kept) fresh.kept_pairs += k;
    }
    print_line("invert cosine sim: " + std::to_string(fresh.kept_pairs) +
               " elapsed: " + watch.elapsed());
    return fresh;
}

// Neighbour lists.

// Unsorted neighbour lists of entities 0..n-1 as sort keys, each in
// ascending id order.
struct KeyLists {
    std::vector<std::unique_ptr<std::uint64_t[]>> keys;
    std::vector<std::uint32_t> length;
};

// How many mirrored keys (from rows x < y) each list y receives, counted by
// static parts of the rows into private arrays, then summed.
std::vector<std::uint32_t> mirrored_counts(const FreshPairs& fresh, std::size_t n,
                                           std::uint64_t min_common, std::size_t parts,
                                           const Runner& runner) {
    std::vector<std::size_t> bounds(parts + 1, n);
    bounds[0] = 0;
    {
        const std::uint64_t per_part = fresh.kept_pairs / parts + 1;
        std::uint64_t sum = 0;
        std::size_t p = 1;
        for (std::size_t x = 0; x < n && p < parts; ++x) {
            sum += fresh.kept[x];
            if (sum >= per_part * p) bounds[p++] = x + 1;
        }
    }
    std::vector<std::uint32_t> counts(parts * n, 0);
    runner.run(parts, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t p = begin; p < end; ++p) {
            std::uint32_t* mine = counts.data() + p * n;
            for (std::size_t x = bounds[p]; x < bounds[p + 1]; ++x) {
                if (x % 1024 == 0 && runner.stopping()) return;
                for (const PairEntry& e : fresh.rows[x])
                    if (fresh.meets(x, e, min_common)) ++mine[static_cast<std::size_t>(e.y)];
            }
        }
    });
    if (parts == 1) return counts;
    std::vector<std::uint32_t> mirrored(n, 0);
    runner.run(n, dynamic_grain(n, runner.workers()),
               [&](std::size_t begin, std::size_t end, std::size_t) {
                   for (std::size_t y = begin; y < end; ++y)
                       for (std::size_t p = 0; p < parts; ++p) mirrored[y] += counts[p * n + y];
               });
    return mirrored;
}

// The kept pairs (count >= min_common >= 1) go to both entities' lists: list y
// holds the mirrored keys of the rows x < y in ascending x, then the keys of
// its own row (ascending ids throughout, as the stable sort needs). Lists are
// built a tile of ids at a time in a buffer that is reused, and sorted while
// the keys are in cache: building all lists at once would first touch as much
// memory as the lists themselves. Each tile's ids are split into one piece
// per part, balanced by keys; a part walks every row that reaches its piece
// and skips the other pieces' entries, so every list has a single writer and
// the same keys in the same order whatever the number of parts. A row is
// revisited by every tile it reaches (a cache miss per row), so there are no
// more tiles than about an eighth of the average row length.
void sort_kept_pairs(const FreshPairs& fresh, std::size_t n, const Norms& norms,
                     std::uint64_t min_common, const Runner& runner,
                     std::vector<NeighbourList>& sorted, std::size_t& fail) {
    const std::size_t parts = std::min<std::size_t>(runner.workers(), std::max<std::size_t>(n, 1));
    const std::vector<std::uint32_t> mirrored =
        mirrored_counts(fresh, n, min_common, parts, runner);
    auto length = [&](std::size_t y) -> std::uint64_t {
        return std::uint64_t{mirrored[y]} + fresh.kept[y];
    };

    // Piece k covers ids [cuts[k], cuts[k+1]) and belongs to part k % parts.
    std::vector<std::size_t> cuts{0};
    std::vector<std::uint64_t> buffer_keys(parts, 0);
    {
        std::size_t rows = 0;
        for (std::size_t x = 0; x < n; ++x) rows += !fresh.rows[x].empty();
        const std::uint64_t average_row = fresh.kept_pairs / std::max<std::size_t>(rows, 1);
        const std::uint64_t tiles = std::max<std::uint64_t>(average_row / 8, 1);
        // At most 2^30 keys plus one list (< 2^31) per piece: 32-bit cursors.
        const std::uint64_t tile_keys = std::clamp<std::uint64_t>(
            2 * fresh.kept_pairs / tiles, std::uint64_t{1} << 19, std::uint64_t{1} << 30);
        std::size_t tile_begin = 0;
        std::uint64_t keys = 0;
        for (std::size_t y = 0; y < n; ++y) {
            keys += length(y);
            if (keys < tile_keys && y + 1 < n) continue;
            // Split [tile_begin, y] among the parts by their keys.
            std::uint64_t sum = 0;
            std::uint64_t piece = 0;
            std::size_t q = 0;
            for (std::size_t z = tile_begin; z <= y; ++z) {
                sum += length(z);
                piece += length(z);
                while (q + 1 < parts && sum * parts >= keys * (q + 1)) {
                    cuts.push_back(z + 1);
                    buffer_keys[q] = std::max(buffer_keys[q], piece);
                    piece = 0;
                    ++q;
                }
            }
            for (; q < parts; ++q) {
                if (q + 1 < parts) cuts.push_back(y + 1);
                buffer_keys[q] = std::max(buffer_keys[q], piece);
                piece = 0;
            }
            cuts.push_back(y + 1);
            tile_begin = y + 1;
            keys = 0;
        }
    }
    const std::size_t pieces = cuts.size() - 1;

    // Where list y's next mirrored key goes in its part's buffer.
    std::vector<std::uint32_t> cursor(n, 0);
    std::vector<PerWorker<SortScratch>> scratch(runner.workers());
    std::vector<PerWorker<ListArena>> arenas(runner.workers());
    std::vector<PerWorker<std::size_t>> first_fail(runner.workers(), PerWorker<std::size_t>{n});
    runner.run(parts, 1, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        const ListArenaScope in_arena(arenas[worker].value);
        for (std::size_t q = begin; q < end; ++q) {
            const auto buffer = std::make_unique_for_overwrite<std::uint64_t[]>(
                static_cast<std::size_t>(buffer_keys[q]));
            struct Active {
                std::uint32_t x;
                std::uint32_t next;  // first entry not yet walked
            };
            std::vector<Active> active;
            std::size_t joined = 0;
            for (std::size_t k = q; k < pieces; k += parts) {
                // An interrupt or a failure elsewhere discards these lists.
                if (runner.stopping()) return;
                const std::size_t lo = cuts[k];
                const std::size_t hi = cuts[k + 1];
                if (lo == hi) continue;
                std::uint32_t at = 0;
                for (std::size_t y = lo; y < hi; ++y) {
                    cursor[y] = at;
                    at += static_cast<std::uint32_t>(length(y));
                }
                // Rows of x >= hi hold only larger ids.
                for (; joined < hi; ++joined)
                    if (!fresh.rows[joined].empty())
                        active.push_back(Active{static_cast<std::uint32_t>(joined), 0});
                std::uint64_t* const keys = buffer.get();
                std::size_t still = 0;
                for (const Active a : active) {
                    const std::size_t x = a.x;
                    const std::span<const PairEntry> row = fresh.rows[x];
                    std::size_t i = a.next;
                    while (i < row.size() && static_cast<std::size_t>(row[i].y) < lo) ++i;
                    for (; i < row.size() && static_cast<std::size_t>(row[i].y) < hi; ++i) {
                        const PairEntry& e = row[i];
                        if (!fresh.meets(x, e, min_common)) continue;
                        const auto y = static_cast<std::size_t>(e.y);
                        keys[cursor[y]++] =
                            neighbour_key(static_cast<std::int32_t>(x), norms.cosine(e.dot, x, y));
                    }
                    if (i < row.size()) active[still++] = Active{a.x, static_cast<std::uint32_t>(i)};
                }
                active.resize(still);
                for (std::size_t y = lo; y < hi; ++y) {
                    // cursor[y] now ends the mirrored keys; the row's own follow.
                    std::uint64_t* const list = keys + cursor[y] - mirrored[y];
                    std::uint64_t* own = keys + cursor[y];
                    for (const PairEntry& e : fresh.rows[y])
                        if (fresh.meets(y, e, min_common))
                            *own++ = neighbour_key(e.y, norms.cosine(e.dot, y,
                                                                     static_cast<std::size_t>(e.y)));
                    finish_list(list, static_cast<std::size_t>(own - list), y,
                                scratch[worker].value, sorted, first_fail[worker].value);
                }
            }
        }
    });
    for (const auto& w : first_fail) fail = std::min(fail, w.value);
}

// With min_common = 0 every pair is kept: list j holds every other entity, id
// y at position y (y < j) or y - 1 (y > j), with 0.0 unless the pair co-occurs.
KeyLists lists_of_all_pairs(const FreshPairs& fresh, std::size_t n, const Norms& norms,
                            const Runner& runner) {
    KeyLists lists{std::vector<std::unique_ptr<std::uint64_t[]>>(n),
                   std::vector<std::uint32_t>(n, n < 2 ? 0 : static_cast<std::uint32_t>(n - 1))};
    if (n < 2) return lists;
    const std::size_t grain = dynamic_grain(n, runner.workers());
    runner.run(n, grain, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t j = begin; j < end; ++j) {
            lists.keys[j] = std::make_unique_for_overwrite<std::uint64_t[]>(n - 1);
            std::uint64_t* keys = lists.keys[j].get();
            for (std::size_t y = 0; y < j; ++y)
                keys[y] = neighbour_key(static_cast<std::int32_t>(y), 0.0f);
            for (std::size_t y = j + 1; y < n; ++y)
                keys[y - 1] = neighbour_key(static_cast<std::int32_t>(y), 0.0f);
        }
    });
    runner.run(n, grain, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t x = begin; x < end; ++x)
            for (const PairEntry& e : fresh.rows[x]) {
                const auto y = static_cast<std::size_t>(e.y);
                const float s = norms.cosine(e.dot, x, y);
                lists.keys[x][y - 1] = neighbour_key(e.y, s);
                lists.keys[y][x] = neighbour_key(static_cast<std::int32_t>(x), s);
            }
    });
    return lists;
}

// Stores the fresh pair records: they replace records of the same pairs, all
// other records stay.
void commit_pairs(PairStats& pair_stats, FreshPairs& fresh) {
    pair_stats.adopt(fresh.rows, std::move(fresh.blocks), fresh.wide);
    fresh.blocks.clear();
}

// Stores the pair records and the lists: entities in ascending order, as far
// as the first list that cannot be sorted; an entity whose new list is empty
// keeps its old entry.
void store_lists(CfModel& m, std::size_t n, FreshPairs& fresh, std::vector<NeighbourList>&& sorted,
                 std::size_t fail, const Stopwatch& watch) {
    commit_pairs(m.pair_stats, fresh);
    m.sim_mapping.reserve_dense(fail);
    for (std::size_t j = 0; j < fail; ++j)
        if (!sorted[j].ids.empty())
            m.sim_mapping.insert_or_assign(static_cast<std::int32_t>(j), std::move(sorted[j]));
    sorted = {};
    if (fail < n) throw Panic(kUnwrapNone);
    print_line("sort elapsed: " + watch.elapsed());
}

void build_sim_mapping(CfModel& m, std::size_t n, FreshPairs&& fresh, const Runner& runner) {
    Stopwatch watch;
    std::vector<NeighbourList> sorted(n);
    std::size_t fail = n;
    try {
        const Norms norms(std::span<const float>(m.sum_squares.data(), n));
        if (m.min_common == 0) {
            KeyLists lists = lists_of_all_pairs(fresh, n, norms, runner);
            const std::size_t workers = runner.workers();
            std::vector<PerWorker<SortScratch>> scratch(workers);
            std::vector<PerWorker<ListArena>> arenas(workers);
            std::vector<PerWorker<std::size_t>> first_fail(workers, PerWorker<std::size_t>{n});
            runner.run(n, dynamic_grain(n, workers),
                       [&](std::size_t begin, std::size_t end, std::size_t worker) {
                           const ListArenaScope in_arena(arenas[worker].value);
                           for (std::size_t j = begin; j < end; ++j) {
                               finish_list(lists.keys[j].get(), lists.length[j], j,
                                           scratch[worker].value, sorted,
                                           first_fail[worker].value);
                               lists.keys[j].reset();
                           }
                       });
            for (const auto& w : first_fail) fail = std::min(fail, w.value);
        } else {
            sort_kept_pairs(fresh, n, norms, m.min_common, runner, sorted, fail);
        }
    } catch (...) {
        // The pair statistics belong to the pair computation, which has
        // finished: a failure while building lists leaves them stored.
        commit_pairs(m.pair_stats, fresh);
        throw;
    }
    store_lists(m, n, fresh, std::move(sorted), fail, watch);
}

}  // namespace

CosineRoles cosine_roles(CfModel& m, Orientation o) {
    if (o == Orientation::Item)
        return {m.n_items, &m.item_interactions, &m.user_interactions, m.n_users};
    return {m.n_users, &m.user_interactions, &m.item_interactions, m.n_items};
}

void compute_similarities(CfModel& m, Orientation o, bool invert, std::uint64_t num_threads) {
    const CosineRoles roles = cosine_roles(m, o);
    const auto n = static_cast<std::size_t>(roles.n);
    m.sum_squares = compute_sum_squares(*roles.forward, n);
    FreshPairs fresh;
    if (invert) {
        fresh = invert_cosine(*roles.other, static_cast<std::size_t>(roles.other_rows), n,
                              m.min_common);
    } else {
        set_thread_count(num_threads);
        BuiltLists built;
        fresh = forward_cosine(*roles.forward, n, m.min_common,
                               std::span<const float>(m.sum_squares.data(), n), built);
        if (built.done) {
            const Stopwatch watch;
            store_lists(m, n, fresh, std::move(built.lists), built.first_unsortable, watch);
            return;
        }
    }
    build_sim_mapping(m, n, std::move(fresh), Runner{!invert});
}

std::uint64_t num_sim_elements(const CfModel& m) {
    std::uint64_t total = 0;
    m.sim_mapping.for_each(
        [&](std::int32_t, const NeighbourList& list) { total += list.ids.size(); });
    return total;
}

}  // namespace quibrel
