// The pair computation of the cosine models, shared by its three parts: the
// forward path (cosine_forward.cpp, on the worker pool), the invert path
// (cosine_invert.cpp, calling thread) and the list building with the entry
// points (cosine.cpp). Internal to the core.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/cosine_pair_stats.hpp"
#include "core/csr.hpp"
#include "core/errors.hpp"
#include "core/models.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"
#include "core/touched_cells.hpp"

namespace quibrel::cosine_detail {

inline constexpr std::uint64_t kMaxId = 2147483647;

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

inline std::size_t dynamic_grain(std::size_t n, std::size_t workers) {
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
    // Sets kept_pairs once the rows are in: with min_common = 0 every pair of
    // the n entities is a triple, co-occurring or not.
    void count_kept(std::size_t n, std::uint64_t min_common) {
        kept_pairs = 0;
        if (min_common == 0) {
            kept_pairs = n < 2 ? 0 : static_cast<std::uint64_t>(n) * (n - 1) / 2;
            return;
        }
        for (std::uint32_t k : kept) kept_pairs += k;
    }
    std::size_t room = 0;  // unused entries after every row (those of a writer)
    // Takes over what a worker's writer holds.
    void take(PairBlockWriter& writer) {
        room = kPairRowRoom;
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
        mark_ids(touched, count, bitmap);
        drain_marked(bitmap, (x + 1) >> 6, (n - 1) >> 6, emit);
    } else {
        std::sort(touched, touched + count);
        for (std::size_t t = 0; t < count; ++t) emit(touched[t]);
    }
    return std::span<PairEntry>(row, i);
}

// Sorts the `length` keys at `keys` (ascending ids) into sorted[j], or notes
// j as unsortable.
void finish_list(std::uint64_t* keys, std::size_t length, std::size_t j, SortScratch& scratch,
                 std::vector<NeighbourList>& sorted, std::size_t& first_fail);

// Builds and sorts every entity's list from the pair records `fresh` (rows
// of entities 0..n-1, with kept[] and kept_pairs set) into sorted[x], as a
// full computation does; `fail` becomes the first entity whose list cannot be
// sorted, if that is before it (cosine.cpp).
void sort_lists_of_pairs(const FreshPairs& fresh, std::size_t n, const Norms& norms,
                         std::uint64_t min_common, const Runner& runner,
                         std::vector<NeighbourList>& sorted, std::size_t& fail);

// Pieces of the forward path's full-row route (cosine_forward.cpp), shared with
// the partition computation (partition_state.cpp).

// An entity whose cell updates reach n / kDenseScan finds its touched cells
// by reading them all.
inline constexpr std::size_t kDenseScan = 4;

// Below that, the touched ids are put in order by order_touched with this
// ratio: the walk of n/64 bitmap words pays once n/512 or more ids are touched.
inline constexpr std::size_t kSortTouchedRatio = 512;

// Adds dx * values[i] to the cells of rows[i], without noting which were touched.
void add_column(const std::uint32_t* rows, std::size_t length, const float* values, float dx,
                Cell<std::uint32_t>* cells);

// The ids of the cells with a count, ascending, read from all n cells into
// `touched` (room for n + 1); returns how many.
std::size_t scan_touched(const Cell<std::uint32_t>* cells, std::size_t n, std::uint32_t* touched);

// Sort keys of x's `count` listed neighbours ys with dot products `dots`, with
// the similarities of Norms::cosine.
void listed_keys(const std::uint32_t* ys, const float* dots, std::size_t count, std::size_t x,
                 const Norms& norms, std::uint64_t* keys);

// Pairs of the forward matrix's rows, on the pool. When the lists can be built
// along (the full-row route), `built` receives them.
FreshPairs forward_cosine(const CsrMatrix& forward, std::size_t n, std::uint64_t min_common,
                          std::span<const float> sum_squares, BuiltLists& built);

// Pairs from a walk over the rows of the other matrix, on the calling thread.
FreshPairs invert_cosine(const CsrMatrix& other, std::size_t rows, std::size_t n,
                         std::uint64_t min_common);

}  // namespace quibrel::cosine_detail
