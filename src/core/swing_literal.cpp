#include "core/swing_literal.hpp"

#include "core/errors.hpp"
#include "core/pool.hpp"

namespace quibrel::swing_detail {
namespace {

// The common ids of two rows by the literal merge walk over sign-extended
// ids compared as u64 (which is what decides the result on malformed rows).
void literal_walk(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b,
                  std::vector<std::uint64_t>& out) {
    out.clear();
    std::size_t p = 0;
    std::size_t q = 0;
    while (p < a.size() && q < b.size()) {
        if (a[p] == b[q]) {
            out.push_back(a[p]);
            ++p;
            ++q;
        } else if (a[p] > b[q]) {
            ++q;
        } else {
            ++p;
        }
    }
}

void read_columns(const CsrMatrix& m, std::uint64_t row, std::vector<std::uint64_t>& out) {
    out.clear();
    if (row >= m.n_rows()) return;
    const RowView view = get_row(m, static_cast<std::size_t>(row));
    for (const std::int32_t id : view.columns)
        out.push_back(static_cast<std::uint64_t>(static_cast<std::int64_t>(id)));
}

}  // namespace

void process_item_literal(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                          LiteralScratch& s, Accumulator& acc) {
    for (std::size_t a = 0; a < users.size(); ++a) {
        if (loop_stopping()) return;
        const auto u = static_cast<std::uint64_t>(static_cast<std::int64_t>(users[a]));
        for (std::size_t b = a + 1; b < users.size(); ++b) {
            const auto v = static_cast<std::uint64_t>(static_cast<std::int64_t>(users[b]));
            read_columns(pass.user_matrix, u, s.walk_u);
            read_columns(pass.user_matrix, v, s.walk_v);
            literal_walk(s.walk_u, s.walk_v, s.walk_common);
            check_index(pass.n_users, u);
            check_index(pass.n_users, v);
            if (s.walk_common.empty()) continue;
            const float c =
                contribution(pass.weights[u], pass.weights[v], s.walk_common.size(), pass.alpha);
            for (const std::uint64_t j : s.walk_common) {
                if (j == item) continue;
                check_index(pass.n_items, j);
                const auto id = static_cast<std::uint32_t>(j);
                scatter(acc, &id, 1, c);
            }
        }
    }
}

}  // namespace quibrel::swing_detail
