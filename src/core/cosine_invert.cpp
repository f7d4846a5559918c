// Invert path of the cosine computation: per entity x, the rows u of the
// other matrix that contain x, walked in ascending u; calling thread only.
#include <algorithm>
#include <vector>

#include "core/cosine_pairs.hpp"
#include "core/timing.hpp"

namespace quibrel::cosine_detail {
namespace {

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

}  // namespace

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
                for (std::size_t k = occ.from; k < occ.to; ++k)
                    count = add_to_cell(cells.data(), touched.data(), count,
                                        static_cast<std::uint32_t>(other.indices[k]), dx,
                                        other.data[k]);
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
    fresh.count_kept(n, min_common);
    print_line("invert cosine sim: " + std::to_string(fresh.kept_pairs) +
               " elapsed: " + watch.elapsed());
    return fresh;
}

}  // namespace quibrel::cosine_detail
