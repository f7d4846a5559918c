// The batch an exact update folds in: its cells read from the two matrices
// the caller gives (checked to hold the same interactions), and the stored
// matrices merged with it by the merge's own rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/csr.hpp"

namespace quibrel::exact_detail {

struct BatchCell {
    std::int32_t row;
    std::int32_t col;
    float value;
};

struct Batch {
    std::vector<BatchCell> by_user;   // (user, item)
    std::vector<BatchCell> by_item;   // (item, user)
    std::vector<std::int32_t> users;  // users with a cell, ascending
    std::vector<std::int32_t> items;  // items with a cell, ascending
};

// The batch's cells by user and by item. Rows beyond n_users / n_items and
// columns beyond the other count raise the merge's index panic, negative
// columns ValueFailure, two matrices that disagree ValueFailure.
Batch read_batch(const CsrMatrix& new_users, const CsrMatrix& new_items, std::size_t n_users,
                 std::size_t n_items);

struct Merged {
    CsrMatrix users;
    CsrMatrix items;
};

// Both stored matrices merged with the batch: rows the batch does not name
// are copied, a batch value replaces a stored one.
Merged merge_batch(const CsrMatrix& users, const CsrMatrix& items, const Batch& b,
                   std::size_t n_users, std::size_t n_items);

// Rows a model's matrix holds beyond its count are dropped by a merge, which
// can change entities the batch does not name: only a full run is exact then.
bool drops_rows(const CsrMatrix& m, std::size_t n);

}  // namespace quibrel::exact_detail
