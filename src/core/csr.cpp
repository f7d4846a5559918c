#include "core/csr.hpp"

#include <algorithm>

#include "core/errors.hpp"

namespace quibrel {

RowRange row_range(const CsrMatrix& m, std::size_t i) {
    if (i >= m.n_rows()) return {};
    const std::uint64_t begin = m.indptr[i];
    const std::uint64_t end = m.indptr[i + 1];
    if (begin >= end) return {};
    // Every position of the row is read from both vectors; report the first one
    // that one of them cannot serve, naming the vector that is too short.
    const std::uint64_t readable = std::min(m.indices.size(), m.data.size());
    if (end > readable) {
        const std::uint64_t first_bad = std::max(begin, readable);
        const std::size_t len = first_bad >= m.indices.size() ? m.indices.size() : m.data.size();
        index_panic(len, first_bad);
    }
    return {static_cast<std::size_t>(begin), static_cast<std::size_t>(end)};
}

RowView get_row(const CsrMatrix& m, std::size_t i) {
    const RowRange r = row_range(m, i);
    return {std::span<const std::int32_t>(m.indices.data() + r.begin, r.end - r.begin),
            std::span<const float>(m.data.data() + r.begin, r.end - r.begin)};
}

static float row_sum_squares(const RowView& row) {
    float s = 0.0f;
    for (float v : row.values) s += v * v;  // f32, stored order
    return s;
}

float row_sum_squares(const CsrMatrix& m, std::size_t i) { return row_sum_squares(get_row(m, i)); }

std::vector<float> compute_sum_squares(const CsrMatrix& m, std::size_t n) {
    std::vector<float> out(n, 0.0f);
    const std::size_t rows = std::min(n, m.n_rows());
    for (std::size_t i = 0; i < rows; ++i) out[i] = row_sum_squares(get_row(m, i));
    return out;
}

void update_sum_squares(std::vector<float>& v, const CsrMatrix& m, std::size_t n) {
    if (v.size() < n) v.resize(n, 0.0f);
    const std::size_t rows = std::min(v.size(), m.n_rows());
    for (std::size_t i = 0; i < rows; ++i) {
        const RowView row = get_row(m, i);
        if (!row.empty()) v[i] += row_sum_squares(row);
    }
}

CsrMatrix merge_interactions(const CsrMatrix& old, const CsrMatrix& added, std::size_t n) {
    // Check everything that can fail before building, in the order a row-by-row
    // merge meets it: old rows first, then rows of the new matrix.
    for (std::size_t r = 0; r < std::min(n, old.n_rows()); ++r) row_range(old, r);
    for (std::size_t r = 0; r < added.n_rows(); ++r) {
        const RowRange rr = row_range(added, r);
        if (rr.end > rr.begin && r >= n) index_panic(n, r);
    }

    struct Cell {
        std::int32_t column;
        std::uint32_t order;  // later entries win for a repeated column
        float value;
    };
    CsrMatrix out;
    out.indptr.reserve(n + 1);
    out.indptr.push_back(0);
    std::size_t total = 0;
    for (std::size_t r = 0; r < n; ++r) total += get_row(old, r).size() + get_row(added, r).size();
    out.indices.reserve(total);
    out.data.reserve(total);

    std::vector<Cell> cells;
    for (std::size_t r = 0; r < n; ++r) {
        const RowView a = get_row(old, r);
        const RowView b = get_row(added, r);
        if (a.empty() && b.empty()) {
            out.indptr.push_back(out.indices.size());
            continue;
        }
        cells.clear();
        std::uint32_t order = 0;
        bool ascending = true;
        for (const RowView* row : {&a, &b}) {
            for (std::size_t p = 0; p < row->size(); ++p) {
                if (!cells.empty() && cells.back().column >= row->columns[p]) ascending = false;
                cells.push_back({row->columns[p], order++, row->values[p]});
            }
        }
        if (!ascending) {
            std::sort(cells.begin(), cells.end(), [](const Cell& x, const Cell& y) {
                return x.column != y.column ? x.column < y.column : x.order < y.order;
            });
        }
        for (std::size_t p = 0; p < cells.size(); ++p) {
            if (p + 1 < cells.size() && cells[p + 1].column == cells[p].column) continue;
            out.indices.push_back(cells[p].column);
            out.data.push_back(cells[p].value);
        }
        out.indptr.push_back(out.indices.size());
    }
    return out;
}

void check_rows_readable(const CsrMatrix& m, std::size_t rows) {
    if (rows == 0) return;
    if (m.indptr.size() < rows + 1) index_panic(m.indptr.size(), m.indptr.size());
    for (std::size_t r = 0; r < rows; ++r) row_range(m, r);
}

}  // namespace quibrel
