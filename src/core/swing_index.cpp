#include "core/swing_index.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quibrel::swing_detail {

void trim_rows(const Pass& pass, std::span<const std::int32_t> users, ItemIndex& s) {
    const std::uint32_t stamp = s.item_stamp;
    Tally* const tally = s.tally.get();
    std::size_t total = 0;
    for (const std::int32_t u : users) {
        const UserRow& row = pass.rows[static_cast<std::uint32_t>(u)];
        total += row.length;
        for (std::uint32_t p = 0; p < row.length; ++p) {
            Tally& t = tally[static_cast<std::uint32_t>(row.ids[p])];
            t.count = (t.stamp == stamp ? t.count : 0) + 1;
            t.stamp = stamp;
        }
    }
    if (s.rows.size() < total) s.rows.resize(total);
    s.row_start.resize(users.size() + 1);
    std::uint32_t* const out = s.rows.data();
    std::size_t n = 0;
    for (std::size_t a = 0; a < users.size(); ++a) {
        s.row_start[a] = n;
        const UserRow& row = pass.rows[static_cast<std::uint32_t>(users[a])];
        for (std::uint32_t p = 0; p < row.length; ++p) {
            const auto j = static_cast<std::uint32_t>(row.ids[p]);
            out[n] = j;
            n += tally[j].count >= 2;
        }
    }
    s.row_start[users.size()] = n;
}

template <bool kSumCommon>
std::uint64_t index_postings(ItemIndex& s) {
    const std::uint32_t stamp = s.item_stamp;
    const std::size_t total = s.row_start.back();
    if (s.rank.size() < total) {
        s.rank.resize(total);
        s.postings.resize(total);
    }
    std::uint32_t* const placed = s.placed.get();
    std::uint32_t* const postings_at = s.postings_at.get();
    std::uint32_t* const filled = s.filled.get();
    const Tally* const tally = s.tally.get();
    std::uint32_t next_postings = 0;
    std::uint64_t common = 0;
    for (std::size_t a = 0; a + 1 < s.row_start.size(); ++a) {
        for (std::size_t e = s.row_start[a]; e < s.row_start[a + 1]; ++e) {
            const std::uint32_t j = s.rows[e];
            if (placed[j] != stamp) {
                // The first position holding j: its postings start here.
                placed[j] = stamp;
                postings_at[j] = next_postings;
                next_postings += tally[j].count;
                filled[j] = 0;
                // Each pair of the positions holding j has j in common.
                if constexpr (kSumCommon)
                    common += std::uint64_t{tally[j].count} * (tally[j].count - 1) / 2;
            }
            const std::uint32_t r = filled[j]++;
            s.postings[postings_at[j] + r] = static_cast<std::uint32_t>(a);
            s.rank[e] = r;
        }
    }
    return common;
}

template std::uint64_t index_postings<false>(ItemIndex& s);
template std::uint64_t index_postings<true>(ItemIndex& s);

void common_lists(std::size_t a, std::size_t n_users_in_row, ItemIndex& s) {
    const std::size_t later = n_users_in_row - a - 1;
    s.pair_start.assign(later + 1, 0);
    std::uint32_t* const start = s.pair_start.data();
    const std::uint32_t* const postings = s.postings.data();
    const std::size_t begin = s.row_start[a];
    const std::size_t end = s.row_start[a + 1];
    std::size_t total = 0;
    for (std::size_t e = begin; e < end; ++e) {
        const std::uint32_t j = s.rows[e];
        const std::uint32_t* const p = postings + s.postings_at[j];
        const std::uint32_t occurs = s.tally[j].count;
        for (std::uint32_t t = s.rank[e] + 1; t < occurs; ++t) ++start[p[t] - a];
        total += occurs - s.rank[e] - 1;
    }
    // start[b + 1] counted the ids of position a + 1 + b; turn counts into offsets.
    std::uint32_t sum = 0;
    for (std::size_t b = 1; b <= later; ++b) {
        const std::uint32_t here = start[b];
        start[b] = sum;
        sum += here;
    }
    if (s.lists.size() < total) s.lists.resize(total);
    std::uint32_t* const out = s.lists.data();
    for (std::size_t e = begin; e < end; ++e) {
        const std::uint32_t j = s.rows[e];
        const std::uint32_t* const p = postings + s.postings_at[j];
        const std::uint32_t occurs = s.tally[j].count;
        for (std::uint32_t t = s.rank[e] + 1; t < occurs; ++t) out[start[p[t] - a]++] = j;
    }
    // start[b + 1] is now the end of list b; the list begins at start[b] (0 for b = 0).
}

void add_pairs_by_id(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                     std::size_t a, ItemIndex& s, Accumulator& acc) {
    const std::size_t k = users.size();
    // When every row holds the item (as with a transposed pair of matrices),
    // the item is common to every pair: each count starts at one instead of
    // being counted from the item's postings, a third of all steps on sparse
    // data.
    const Tally own = s.tally[item];
    const bool all_hold_item = own.stamp == s.item_stamp && own.count == k;
    if (s.pair_count.size() < k) {
        s.pair_count.resize(k);
        s.pair_weight.resize(k);
    }
    std::uint32_t* __restrict const count = s.pair_count.data();
    std::fill(count + a + 1, count + k, all_hold_item ? 1u : 0u);
    const std::uint32_t* const postings = s.postings.data();
    const std::size_t begin = s.row_start[a];
    const std::size_t end = s.row_start[a + 1];
    std::uint64_t updates = 0;  // steps that add to an id other than the item
    for (std::size_t e = begin; e < end; ++e) {
        const std::uint32_t j = s.rows[e];
        if (j == item && all_hold_item) continue;
        const std::uint32_t* __restrict p = postings + s.postings_at[j] + s.rank[e] + 1;
        const std::uint32_t* const p_end = postings + s.postings_at[j] + s.tally[j].count;
        updates += j == item ? 0 : static_cast<std::uint64_t>(p_end - p);
        for (; p + 4 <= p_end; p += 4) {
            ++count[p[0]];
            ++count[p[1]];
            ++count[p[2]];
            ++count[p[3]];
        }
        for (; p < p_end; ++p) ++count[*p];
    }
    // Pairs that share nothing but the item add nothing.
    if (updates == 0) return;
    float* const c = s.pair_weight.data();
    const float w_u = pass.weights[static_cast<std::uint32_t>(users[a])];
    for (std::size_t b = a + 1; b < k; ++b) {
        if (count[b] == 0) continue;
        const float w_v = pass.weights[static_cast<std::uint32_t>(users[b])];
        c[b] = contribution(w_u, w_v, count[b], pass.alpha);
    }
    float* const values = acc.values.get();
    if (acc.tracking) {
        for (std::size_t e = begin; e < end; ++e) {
            const std::uint32_t j = s.rows[e];
            if (s.rank[e] + 1 >= s.tally[j].count) continue;
            acc.touched[acc.n_touched] = j;
            acc.n_touched += acc.stamps[j] != acc.item_stamp;
            acc.stamps[j] = acc.item_stamp;
        }
    }
    // Each id's sum is a chain of dependent f32 additions; two ids are run
    // side by side so that their chains overlap.
    auto chain = [&](std::size_t e) {
        const std::uint32_t j = s.rows[e];
        const std::uint32_t* const p = postings + s.postings_at[j];
        // The item's own id gets no contribution: its chain is made empty.
        return std::pair{p + s.rank[e] + 1, j == item ? p + s.rank[e] + 1 : p + s.tally[j].count};
    };
    std::size_t e = begin;
    for (; e + 2 <= end; e += 2) {
        const std::uint32_t j0 = s.rows[e], j1 = s.rows[e + 1];
        auto [p0, end0] = chain(e);
        auto [p1, end1] = chain(e + 1);
        float v0 = values[j0], v1 = values[j1];
        for (; p0 < end0 && p1 < end1; ++p0, ++p1) {
            v0 += c[*p0];
            v1 += c[*p1];
        }
        for (; p0 < end0; ++p0) v0 += c[*p0];
        for (; p1 < end1; ++p1) v1 += c[*p1];
        values[j0] = v0;
        values[j1] = v1;
    }
    if (e < end) {
        const std::uint32_t j = s.rows[e];
        auto [p, p_end] = chain(e);
        float value = values[j];
        for (; p < p_end; ++p) value += c[*p];
        values[j] = value;
    }
    acc.count_updates(updates);
}

}  // namespace quibrel::swing_detail
