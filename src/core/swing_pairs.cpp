#include "core/swing_pairs.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "core/pool.hpp"
#include "core/swing_item.hpp"
#include "core/work_split.hpp"

namespace quibrel::swing_detail {
namespace {

// The table and the counts it is built from take n_users² words each: 16 MiB
// apiece at this bound.
constexpr std::size_t kUsersMax = 2048;

// Words a list of `length` ids takes: its head, then the ids padded to a word.
std::uint64_t list_words(std::uint32_t length, std::size_t id_bytes) {
    return PairLists::kHeadWords + (std::uint64_t{length} * id_bytes + 3) / 4;
}

// The regular users holding each item, ascending, and for each entry of a
// regular user's row the holders of that item after the user: the pairs the
// user is first of.
struct Holders {
    std::vector<std::uint64_t> start;   // per item: offset in `users`, then the end
    std::vector<std::uint32_t> users;   // each item's holders
    std::vector<std::uint64_t> row_at;  // per user: offset of its entries in `after`
    std::vector<std::uint64_t> after;   // per row entry: offset of the later holders
};

// Calls f(v, j) for every later holder v of every item j of user u's row,
// items ascending.
template <class F>
void for_partners(const Holders& h, const UserRow& row, std::size_t u, F&& f) {
    for (std::uint32_t e = 0; e < row.length; ++e) {
        const auto j = static_cast<std::uint32_t>(row.ids[e]);
        const std::uint64_t end = h.start[j + 1];
        for (std::uint64_t t = h.after[h.row_at[u] + e]; t < end; ++t) f(h.users[t], j);
    }
}

// Counts the regular users holding each item into h.start (then made
// offsets) and each user's row offset; returns the number of user pairs that
// share an item, counted once per shared item.
std::uint64_t count_holders(std::span<const UserRow> rows, std::uint64_t n_items, Holders& h) {
    const std::size_t n = rows.size();
    h.start.assign(static_cast<std::size_t>(n_items) + 1, 0);
    h.row_at.assign(n + 1, 0);
    for (std::size_t u = 0; u < n; ++u) {
        const UserRow& row = rows[u];
        const std::uint32_t length = row.kind == RowKind::Regular ? row.length : 0;
        for (std::uint32_t p = 0; p < length; ++p)
            ++h.start[static_cast<std::uint32_t>(row.ids[p]) + 1];
        h.row_at[u + 1] = h.row_at[u] + length;
    }
    std::uint64_t entries = 0;
    for (std::size_t j = 0; j < n_items; ++j) {
        const std::uint64_t k = h.start[j + 1];
        entries += k * (k - (k != 0)) / 2;
        h.start[j + 1] += h.start[j];
    }
    return entries;
}

// Each item's holders and where each row entry's later holders start; returns
// each user's pair count (the pairs it is first of), which splits the users
// into pieces of about equal work for the pool.
std::vector<std::uint64_t> place_holders(std::span<const UserRow> rows, Holders& h) {
    const std::size_t n = rows.size();
    h.users.resize(h.start.back());
    h.after.resize(h.row_at[n]);
    std::vector<std::uint64_t> pairs_of(n, 0);
    std::vector<std::uint64_t> cursor(h.start.begin(), h.start.end() - 1);
    for (std::size_t u = 0; u < n; ++u) {
        const UserRow& row = rows[u];
        if (row.kind != RowKind::Regular) continue;
        for (std::uint32_t p = 0; p < row.length; ++p) {
            const auto j = static_cast<std::uint32_t>(row.ids[p]);
            h.users[cursor[j]] = static_cast<std::uint32_t>(u);
            h.after[h.row_at[u] + p] = ++cursor[j];
            pairs_of[u] += h.start[j + 1] - cursor[j];
        }
    }
    return pairs_of;
}

// List lengths of the pairs (u, v > u), count[u * n + v], and the words each
// user's lists take: words_of[u] is where user u's lists start (after the
// empty list), words_of[n] the total.
struct ListSizes {
    std::vector<std::uint32_t> count;
    std::vector<std::uint64_t> words_of;
    std::uint64_t lists = 0;  // non-empty lists
};

template <class EachUser>
ListSizes size_lists(const Holders& h, std::span<const UserRow> rows, std::size_t id_bytes,
                     EachUser&& each_user) {
    const std::size_t n = rows.size();
    ListSizes sizes{std::vector<std::uint32_t>(n * n, 0), std::vector<std::uint64_t>(n + 1, 0), 0};
    std::vector<std::uint64_t> lists_of(n, 0);
    each_user([&](std::size_t u) {
        std::uint32_t* const counts = sizes.count.data() + u * n;
        for_partners(h, rows[u], u, [&](std::uint32_t v, std::uint32_t) { ++counts[v]; });
        for (std::size_t v = u + 1; v < n; ++v)
            if (counts[v] != 0) {
                sizes.words_of[u + 1] += list_words(counts[v], id_bytes);
                ++lists_of[u];
            }
    });
    sizes.words_of[0] = PairLists::kHeadWords;  // the empty list
    for (std::size_t u = 0; u < n; ++u) {
        sizes.lists += lists_of[u];
        sizes.words_of[u + 1] += sizes.words_of[u];
    }
    return sizes;
}

// Each user's lists in turn, one after another, so that a user's lists are
// written (and later read) together: heads into `words`, offsets into the
// symmetric `table`, then the ids. Items come ascending, so every list comes
// out ascending. Uses up sizes.count.
template <class Id, class EachUser>
void fill_lists(const Holders& h, std::span<const UserRow> rows, std::span<const float> weights,
                float alpha, std::size_t id_bytes, ListSizes& sizes, EachUser&& each_user,
                std::vector<std::uint32_t>& table, std::vector<std::uint32_t>& words) {
    const std::size_t n = rows.size();
    each_user([&](std::size_t u) {
        std::uint32_t* const counts = sizes.count.data() + u * n;
        std::uint64_t at = sizes.words_of[u];
        for (std::size_t v = u + 1; v < n; ++v) {
            const std::uint32_t length = counts[v];
            if (length == 0) continue;
            table[u * n + v] = table[v * n + u] = static_cast<std::uint32_t>(at);
            words[at] = length;
            words[at + 1] =
                std::bit_cast<std::uint32_t>(contribution(weights[u], weights[v], length, alpha));
            at += list_words(length, id_bytes);
            counts[v] = 0;  // now the number of ids written
        }
        const std::uint32_t* const row_of_u = table.data() + u * n;
        for_partners(h, rows[u], u, [&](std::uint32_t v, std::uint32_t j) {
            auto* const ids = reinterpret_cast<unsigned char*>(words.data() + row_of_u[v] +
                                                               PairLists::kHeadWords);
            const auto id = static_cast<Id>(j);
            std::memcpy(ids + sizeof(Id) * counts[v]++, &id, sizeof(Id));
        });
    });
}

}  // namespace

std::unique_ptr<PairLists> PairLists::build(std::span<const UserRow> rows,
                                            std::span<const float> weights, float alpha,
                                            std::uint64_t n_items, std::size_t id_bytes,
                                            std::uint64_t max_lists, std::uint64_t max_entries) {
    const std::size_t n = rows.size();
    if (n < 2 || n > kUsersMax || n_items > std::numeric_limits<std::uint32_t>::max())
        return nullptr;

    Holders h;
    const std::uint64_t entries = count_holders(rows, n_items, h);
    if (entries > max_entries) return nullptr;
    const std::vector<std::uint64_t> pairs_of = place_holders(rows, h);
    const std::vector<std::size_t> pieces = equal_cost_cuts(
        0, n, 8 * worker_count(), entries, [&](std::size_t u) { return pairs_of[u]; });
    auto each_user = [&](auto&& body) {
        parallel_for(pieces.size() - 1, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t u = pieces[begin]; u < pieces[end]; ++u)
                if (rows[u].kind == RowKind::Regular) body(u);
        });
    };

    ListSizes sizes = size_lists(h, rows, id_bytes, each_user);
    if (sizes.lists > max_lists || sizes.words_of[n] > std::numeric_limits<std::uint32_t>::max())
        return nullptr;

    auto out = std::make_unique<PairLists>();
    out->n_users_ = n;
    out->table_.assign(n * n, 0);
    out->words_.assign(static_cast<std::size_t>(sizes.words_of[n]), 0);
    if (id_bytes == sizeof(std::uint16_t))
        fill_lists<std::uint16_t>(h, rows, weights, alpha, id_bytes, sizes, each_user, out->table_,
                                  out->words_);
    else
        fill_lists<std::uint32_t>(h, rows, weights, alpha, id_bytes, sizes, each_user, out->table_,
                                  out->words_);
    return out;
}

}  // namespace quibrel::swing_detail
