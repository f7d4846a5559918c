#include "core/exact_update_batch.hpp"

#include <algorithm>
#include <bit>
#include <span>
#include <utility>

#include "core/errors.hpp"

namespace quibrel::exact_detail {
namespace {

bool same_place(const BatchCell& a, const BatchCell& b) { return a.row == b.row && a.col == b.col; }
bool before(const BatchCell& a, const BatchCell& b) {
    return a.row != b.row ? a.row < b.row : a.col < b.col;
}

// The cells of m by the merge rule (the last value of a repeated cell wins),
// ordered by (row, column). Rows must lie below `rows` (the merge's panic
// otherwise) and columns below `cols`.
std::vector<BatchCell> batch_cells(const CsrMatrix& m, std::size_t rows, std::size_t cols) {
    std::vector<BatchCell> out;
    const std::size_t n_rows = m.n_rows();
    for (std::size_t r = 0; r < n_rows; ++r) {
        const RowView row = get_row(m, r);
        if (row.empty()) continue;
        if (r >= rows) index_panic(rows, r);
        for (std::size_t p = 0; p < row.size(); ++p) {
            const std::int32_t c = row.columns[p];
            if (c < 0) throw ValueFailure(kOutOfRangeConversion);
            check_index(cols, static_cast<std::size_t>(c));
            out.push_back(BatchCell{static_cast<std::int32_t>(r), c, row.values[p]});
        }
    }
    std::stable_sort(out.begin(), out.end(), before);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < out.size(); ++i)
        if (i + 1 == out.size() || !same_place(out[i], out[i + 1])) out[kept++] = out[i];
    out.resize(kept);
    return out;
}

std::vector<std::int32_t> distinct_rows(const std::vector<BatchCell>& cells) {
    std::vector<std::int32_t> rows;
    for (const BatchCell& c : cells)
        if (rows.empty() || rows.back() != c.row) rows.push_back(c.row);
    return rows;
}

// merge_interactions(old, batch, n) for a batch given as ordered cells: the
// same matrix, built by copying the rows the batch does not name.
CsrMatrix merge_cells(const CsrMatrix& old, std::span<const BatchCell> cells, std::size_t n) {
    const std::size_t old_rows = std::min(n, old.n_rows());
    std::size_t total = cells.size();
    for (std::size_t r = 0; r < old_rows; ++r) {
        const RowRange range = row_range(old, r);
        total += range.end - range.begin;
    }
    CsrMatrix out;
    out.indptr.reserve(n + 1);
    out.indices.reserve(total);
    out.data.reserve(total);
    out.indptr.push_back(0);
    std::vector<std::pair<std::int32_t, std::uint32_t>> order;  // an irregular row's cells
    std::vector<std::int32_t> cols;
    std::vector<float> vals;
    std::size_t c = 0;
    for (std::size_t r = 0; r < n; ++r) {
        RowView a;
        if (r < old_rows) a = get_row(old, r);
        std::size_t c_end = c;
        while (c_end < cells.size() && static_cast<std::size_t>(cells[c_end].row) == r) ++c_end;
        const std::int32_t* ac = a.columns.data();
        const float* av = a.values.data();
        std::size_t len = a.size();
        bool ascending = true;
        for (std::size_t p = 1; p < len && ascending; ++p) ascending = ac[p - 1] < ac[p];
        if (!ascending) {
            // The merge's rule for a row with unordered or repeated columns:
            // ascending columns, the last value of a repeat.
            order.clear();
            for (std::size_t p = 0; p < len; ++p)
                order.emplace_back(ac[p], static_cast<std::uint32_t>(p));
            std::sort(order.begin(), order.end());
            cols.clear();
            vals.clear();
            for (std::size_t p = 0; p < order.size(); ++p) {
                if (p + 1 < order.size() && order[p + 1].first == order[p].first) continue;
                cols.push_back(order[p].first);
                vals.push_back(av[order[p].second]);
            }
            ac = cols.data();
            av = vals.data();
            len = cols.size();
        }
        if (c == c_end) {
            out.indices.insert(out.indices.end(), ac, ac + len);
            out.data.insert(out.data.end(), av, av + len);
        } else {
            std::size_t i = 0;
            std::size_t j = c;
            while (i < len || j < c_end) {
                if (j == c_end || (i < len && ac[i] < cells[j].col)) {
                    out.indices.push_back(ac[i]);
                    out.data.push_back(av[i++]);
                } else {
                    if (i < len && ac[i] == cells[j].col) ++i;
                    out.indices.push_back(cells[j].col);
                    out.data.push_back(cells[j++].value);
                }
            }
        }
        out.indptr.push_back(out.indices.size());
        c = c_end;
    }
    return out;
}

}  // namespace

Batch read_batch(const CsrMatrix& new_users, const CsrMatrix& new_items, std::size_t n_users,
                 std::size_t n_items) {
    Batch b;
    b.by_user = batch_cells(new_users, n_users, n_items);
    b.by_item = batch_cells(new_items, n_items, n_users);
    // Which entities are recomputed is read from one matrix and the merged
    // values from both: they must agree, or the result would silently differ
    // from a full computation.
    bool same = b.by_user.size() == b.by_item.size();
    if (same) {
        std::vector<BatchCell> flipped(b.by_item.size());
        for (std::size_t i = 0; i < flipped.size(); ++i)
            flipped[i] = BatchCell{b.by_item[i].col, b.by_item[i].row, b.by_item[i].value};
        std::sort(flipped.begin(), flipped.end(), before);
        for (std::size_t i = 0; same && i < flipped.size(); ++i)
            same = same_place(flipped[i], b.by_user[i]) &&
                   std::bit_cast<std::uint32_t>(flipped[i].value) ==
                       std::bit_cast<std::uint32_t>(b.by_user[i].value);
    }
    if (!same)
        throw ValueFailure(
            "the batch's user_interactions and item_interactions hold different interactions");
    b.users = distinct_rows(b.by_user);
    b.items = distinct_rows(b.by_item);
    return b;
}

Merged merge_batch(const CsrMatrix& users, const CsrMatrix& items, const Batch& b,
                   std::size_t n_users, std::size_t n_items) {
    Merged out;
    out.users = merge_cells(users, b.by_user, n_users);
    out.items = merge_cells(items, b.by_item, n_items);
    return out;
}

bool drops_rows(const CsrMatrix& m, std::size_t n) {
    for (std::size_t r = n; r < m.n_rows(); ++r)
        if (m.indptr[r + 1] > m.indptr[r]) return true;
    return false;
}

}  // namespace quibrel::exact_detail
