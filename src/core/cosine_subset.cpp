#include "core/cosine_subset.hpp"

#include <algorithm>
#include <memory>

#include "core/cosine_pairs.hpp"
#include "core/errors.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"

namespace quibrel {
namespace {

using cosine_detail::Norms;
using cosine_detail::PerWorker;

struct SubsetScratch {
    std::vector<Cell<std::uint32_t>> cells;
    std::vector<std::uint32_t> touched;
    std::vector<std::uint64_t> bitmap;
    std::vector<std::uint64_t> keys;
    SortScratch sort;
};

// A column read from the other side's rows, as an entity id below n.
inline std::uint32_t entity_id(std::int32_t y, std::size_t n) {
    if (static_cast<std::uint32_t>(y) >= n) [[unlikely]] {
        if (y < 0) throw ValueFailure(kOutOfRangeConversion);
        index_panic(n, static_cast<std::size_t>(y));
    }
    return static_cast<std::uint32_t>(y);
}

// Entity x against every other entity: walks x's columns in ascending order
// and, for each, the entities of that column, so every pair's products are
// added in ascending shared column, as the full computation adds them.
// Returns the updates made; the list is left empty when it cannot be sorted.
std::uint64_t entity_state(const CosineInputs& in, const Norms& norms, std::size_t x,
                           bool keep_pairs, SubsetScratch& s, EntityState& out, bool& unsortable) {
    const std::size_t n = in.n;
    Cell<std::uint32_t>* const cells = s.cells.data();
    std::uint32_t* const touched = s.touched.data();
    const RowRange r = row_range(in.forward, x);
    std::size_t count = 0;
    std::uint64_t updates = 0;
    for (std::size_t p = r.begin; p < r.end; ++p) {
        const std::int32_t c = in.forward.indices[p];
        if (c < 0) throw ValueFailure(kOutOfRangeConversion);
        check_index(in.other_rows, static_cast<std::size_t>(c));
        const RowRange q = row_range(in.other, static_cast<std::size_t>(c));
        const float vx = in.forward.data[p];
        const std::int32_t* ys = in.other.indices.data();
        const float* vs = in.other.data.data();
        for (std::size_t k = q.begin; k < q.end; ++k) {
            count = add_to_cell(cells, touched, count, entity_id(ys[k], n), vx, vs[k]);
        }
        updates += q.end - q.begin;
    }
    // This path's own ratio; the full computation's is kSortTouchedRatio.
    order_touched(touched, count, n, s.bitmap.data(), 64);

    // x meets itself in each of its columns; its cell is no pair.
    cells[x] = Cell<std::uint32_t>{0.0f, 0};
    if (keep_pairs) out.pairs.reserve(count);
    std::uint64_t* const keys = s.keys.data();
    std::size_t listed = 0;
    std::size_t next = 0;  // min_common = 0: every entity is listed, in id order
    for (std::size_t t = 0; t < count; ++t) {
        const std::uint32_t y = touched[t];
        if (y == x) continue;
        const Cell<std::uint32_t> cell = cells[y];
        cells[y] = Cell<std::uint32_t>{0.0f, 0};
        if (keep_pairs)
            out.pairs.push_back(PairDelta{static_cast<std::int32_t>(y), cell.dot, cell.count});
        if (in.min_common == 0) {
            for (; next < y; ++next)
                if (next != x)
                    keys[listed++] = neighbour_key(static_cast<std::int32_t>(next), 0.0f);
            next = y + 1;
        } else if (cell.count < in.min_common) {
            continue;
        }
        keys[listed++] = neighbour_key(static_cast<std::int32_t>(y), norms.cosine(cell.dot, x, y));
    }
    if (in.min_common == 0)
        for (; next < n; ++next)
            if (next != x) keys[listed++] = neighbour_key(static_cast<std::int32_t>(next), 0.0f);

    if (listed == 0) return updates;
    const KeyRange range = similarity_range(keys, listed);
    if (listed >= 2 && holds_nan(range)) {
        unsortable = true;
        return updates;
    }
    out.list = sorted_neighbour_list(keys, listed, range, s.sort);
    return updates;
}

}  // namespace

CosineSubset cosine_subset(const CosineInputs& in, std::span<const std::int32_t> entities,
                           bool keep_pairs) {
    const std::size_t n = in.n;
    if (n > cosine_detail::kMaxId) throw ValueFailure(kOutOfRangeConversion);
    check_index(in.sum_squares.size() + 1, n);
    for (const std::int32_t x : entities) {
        if (x < 0) throw ValueFailure(kOutOfRangeConversion);
        check_index(n, static_cast<std::size_t>(x));
    }
    CosineSubset result;
    result.states.resize(entities.size());
    result.first_unsortable = entities.size();
    if (entities.empty()) return result;

    const Norms norms(in.sum_squares.first(n));
    const std::size_t workers = std::max<std::size_t>(worker_count(), 1);
    std::vector<PerWorker<std::unique_ptr<SubsetScratch>>> scratch(workers);
    std::vector<PerWorker<std::size_t>> first_fail(workers,
                                                   PerWorker<std::size_t>{entities.size()});
    std::vector<PerWorker<std::uint64_t>> updates(workers, PerWorker<std::uint64_t>{0});
    parallel_for(entities.size(), 1, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        auto& mine = scratch[worker].value;
        if (!mine) {
            // Allocated by the worker that uses it, so its pages are touched there.
            mine = std::make_unique<SubsetScratch>();
            mine->cells.assign(n, Cell<std::uint32_t>{0.0f, 0});
            mine->touched.assign(n + 1, 0);
            mine->bitmap.assign(n / 64 + 1, 0);
            mine->keys.resize(n);
        }
        for (std::size_t k = begin; k < end; ++k) {
            if (loop_stopping()) return;
            bool unsortable = false;
            updates[worker].value += entity_state(in, norms, static_cast<std::size_t>(entities[k]),
                                                  keep_pairs, *mine, result.states[k], unsortable);
            if (unsortable) first_fail[worker].value = std::min(first_fail[worker].value, k);
        }
    });
    for (const auto& w : first_fail)
        result.first_unsortable = std::min(result.first_unsortable, w.value);
    for (const auto& w : updates) result.updates += w.value;
    return result;
}

std::uint64_t entity_updates(const CsrMatrix& forward, const CsrMatrix& other, std::size_t x) {
    const RowRange r = row_range(forward, x);
    std::uint64_t total = 0;
    const std::size_t rows = other.n_rows();
    for (std::size_t p = r.begin; p < r.end; ++p) {
        const std::int32_t c = forward.indices[p];
        if (c < 0 || static_cast<std::size_t>(c) >= rows) continue;
        const std::uint64_t b = other.indptr[static_cast<std::size_t>(c)];
        const std::uint64_t e = other.indptr[static_cast<std::size_t>(c) + 1];
        total += e > b ? e - b : 0;
    }
    return total;
}

}  // namespace quibrel
