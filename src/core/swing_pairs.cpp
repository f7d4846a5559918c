#include "core/swing_pairs.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "core/swing_item.hpp"

namespace quibrel::swing_detail {
namespace {

// The table and the counts it is built from take n_users² words each: 16 MiB
// apiece at this bound.
constexpr std::size_t kUsersMax = 2048;

// Calls f(first, second, item) for every pair of holders (first < second) of
// every item, items ascending. `start` has each item's offset in `holders`,
// then the end.
template <class F>
void for_pairs(const std::vector<std::uint64_t>& start, const std::vector<std::uint32_t>& holders,
               F&& f) {
    for (std::size_t j = 0; j + 1 < start.size(); ++j) {
        const std::uint32_t* const begin = holders.data() + start[j];
        const std::uint32_t* const end = holders.data() + start[j + 1];
        for (const std::uint32_t* p = begin; p + 1 < end; ++p)
            for (const std::uint32_t* q = p + 1; q < end; ++q) f(*p, *q, j);
    }
}

}  // namespace

std::unique_ptr<PairLists> PairLists::build(std::span<const UserRow> rows,
                                            std::span<const float> weights, float alpha,
                                            std::uint64_t n_items, std::size_t id_bytes,
                                            std::uint64_t max_lists, std::uint64_t max_entries) {
    const std::size_t n = rows.size();
    if (n < 2 || n > kUsersMax || n_items > std::numeric_limits<std::uint32_t>::max())
        return nullptr;

    // The regular users holding each item, ascending.
    std::vector<std::uint64_t> start(static_cast<std::size_t>(n_items) + 1, 0);
    for (const UserRow& row : rows) {
        if (row.kind != RowKind::Regular) continue;
        for (std::uint32_t p = 0; p < row.length; ++p)
            ++start[static_cast<std::uint32_t>(row.ids[p]) + 1];
    }
    std::uint64_t entries = 0;
    for (std::size_t j = 0; j < n_items; ++j) {
        const std::uint64_t k = start[j + 1];
        entries += k * (k - (k != 0)) / 2;
        start[j + 1] += start[j];
    }
    if (entries > max_entries) return nullptr;
    std::vector<std::uint32_t> holders(start.back());
    {
        std::vector<std::uint64_t> cursor(start.begin(), start.end() - 1);
        for (std::size_t u = 0; u < n; ++u) {
            const UserRow& row = rows[u];
            if (row.kind != RowKind::Regular) continue;
            for (std::uint32_t p = 0; p < row.length; ++p)
                holders[cursor[static_cast<std::uint32_t>(row.ids[p])]++] =
                    static_cast<std::uint32_t>(u);
        }
    }

    // List lengths of the pairs (u < v), then their places.
    std::vector<std::uint32_t> count(n * n, 0);
    for_pairs(start, holders, [&](std::uint32_t u, std::uint32_t v, std::size_t) {
        ++count[static_cast<std::size_t>(u) * n + v];
    });
    auto out = std::make_unique<PairLists>();
    out->n_users_ = n;
    out->table_.assign(n * n, 0);
    std::uint64_t lists = 0;
    std::uint64_t words = kHeadWords;
    for (std::size_t u = 0; u < n; ++u)
        for (std::size_t v = u + 1; v < n; ++v) {
            const std::uint32_t length = count[u * n + v];
            if (length == 0) continue;
            out->table_[u * n + v] = out->table_[v * n + u] = static_cast<std::uint32_t>(words);
            words += kHeadWords + (length * id_bytes + 3) / 4;
            if (++lists > max_lists || words > std::numeric_limits<std::uint32_t>::max())
                return nullptr;
        }
    out->words_.assign(static_cast<std::size_t>(words), 0);
    for (std::size_t u = 0; u < n; ++u)
        for (std::size_t v = u + 1; v < n; ++v)
            if (const std::uint32_t length = count[u * n + v]; length != 0) {
                std::uint32_t* const head = out->words_.data() + out->table_[u * n + v];
                head[0] = length;
                head[1] = std::bit_cast<std::uint32_t>(
                    contribution(weights[u], weights[v], length, alpha));
                count[u * n + v] = 0;  // now the number of ids written
            }
    // Items ascending, so every list comes out ascending.
    auto fill = [&]<class Id>(Id) {
        for_pairs(start, holders, [&](std::uint32_t u, std::uint32_t v, std::size_t j) {
            const std::size_t pair = static_cast<std::size_t>(u) * n + v;
            auto* const ids = reinterpret_cast<unsigned char*>(out->words_.data() +
                                                               out->table_[pair] + kHeadWords);
            const auto id = static_cast<Id>(j);
            std::memcpy(ids + sizeof(Id) * count[pair]++, &id, sizeof(Id));
        });
    };
    if (id_bytes == sizeof(std::uint16_t))
        fill(std::uint16_t{});
    else
        fill(std::uint32_t{});
    return out;
}

}  // namespace quibrel::swing_detail
