// Interaction matrices in compressed-sparse-row form. A matrix is plain data:
// built once (conversion, file load or merge) and never changed in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quibrel {

struct CsrMatrix {
    std::vector<std::int32_t> indices;  // column of every stored entry
    std::vector<std::uint64_t> indptr;  // row offsets, rows + 1 of them
    std::vector<float> data;            // value of every stored entry

    std::size_t n_rows() const noexcept { return indptr.empty() ? 0 : indptr.size() - 1; }
};

// One row, read in place. Empty for rows beyond the matrix and for rows whose
// offsets do not ascend.
struct RowView {
    std::span<const std::int32_t> columns;
    std::span<const float> values;

    std::size_t size() const noexcept { return columns.size(); }
    bool empty() const noexcept { return columns.empty(); }
};

// The entries of row i. A row whose offsets run past `indices` or `data` raises
// the index-out-of-bounds panic for the first position that cannot be read.
RowView get_row(const CsrMatrix& m, std::size_t i);

// Row offsets of row i as [begin, end) with the same emptiness and bounds
// rules as get_row; cheaper when only the range is needed.
struct RowRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};
RowRange row_range(const CsrMatrix& m, std::size_t i);

// Per-row sum of squared values for rows 0..n-1 (0 for empty or missing rows).
std::vector<float> compute_sum_squares(const CsrMatrix& m, std::size_t n);

// Row i's sum of squared values, as compute_sum_squares adds them up.
float row_sum_squares(const CsrMatrix& m, std::size_t i);

// Grows v with zeros to n entries, then adds each non-empty row's sum of
// squares to v[i] for i below both v.size() and the row count.
void update_sum_squares(std::vector<float>& v, const CsrMatrix& m, std::size_t n);

// A fresh matrix of exactly n rows: every entry of `old` (rows below n) and of
// `added`, where an entry of `added` replaces the value at the same cell.
CsrMatrix merge_interactions(const CsrMatrix& old, const CsrMatrix& added, std::size_t n);

// Panics unless rows 0..rows-1 can all be read (indptr long enough, every row
// inside indices and data), reporting the first failure a row walk would meet.
void check_rows_readable(const CsrMatrix& m, std::size_t rows);

}  // namespace quibrel
