// One item's Swing list: seeding, the pairs of its users (through the pair
// cache, the item's own inverted index, or the literal merge walk), and the
// sorted list.
#include "core/swing_item.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/errors.hpp"
#include "core/live_lanes.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"
#include "core/routes.hpp"
#include "core/swing_cache.hpp"

namespace quibrel::swing_detail {
namespace {

// Assigns the stored scores of item i before any contribution is added.
void seed_item(const Pass& pass, std::size_t item, Scratch& s) {
    const SwingList* seeded = pass.previous.find(static_cast<std::int32_t>(item));
    if (seeded == nullptr) return;
    for (const SwingPair& pair : *seeded) {
        const auto j = static_cast<std::uint64_t>(static_cast<std::int64_t>(pair.id));
        check_index(pass.n_items, j);
        s.touched[s.n_touched] = static_cast<std::uint32_t>(j);
        s.n_touched += s.stamps[j] != s.item_stamp;
        s.stamps[j] = s.item_stamp;
        s.values[j] = pair.score;
    }
    s.count_updates(seeded->size());
}

// Adds c to the accumulator at every id of the list. Ids are distinct within
// a list, so the first-touch bookkeeping is branch-free: the id is always
// written, and the count only moves past it on a first touch.
template <class Id>
inline void scatter(Scratch& s, const Id* list, std::size_t length, float c) {
    float* const values = s.values.get();
    const Id* p = list;
    const Id* const end = list + length;
    if (!s.tracking) {
        for (; p + 4 <= end; p += 4) {
            values[p[0]] += c;
            values[p[1]] += c;
            values[p[2]] += c;
            values[p[3]] += c;
        }
        for (; p < end; ++p) values[*p] += c;
        return;
    }
    std::uint32_t* const stamps = s.stamps.get();
    std::uint32_t* const touched = s.touched.get();
    const std::uint32_t stamp = s.item_stamp;
    std::size_t n = s.n_touched;
    for (; p < end; ++p) {
        const std::uint32_t j = *p;
        touched[n] = j;
        n += stamps[j] != stamp;
        stamps[j] = stamp;
        values[j] += c;
    }
    s.n_touched = n;
    s.count_updates(length);
}

// Lists are sorted on neighbour_key: descending score, then ascending id.
// Ties in short lists must keep ascending ids; in long ones any order is
// allowed, so one key order serves both.
inline SwingPair key_pair(std::uint64_t key) { return {key_id(key), key_sim(key)}; }

// Turns the accumulator into the item's sorted list and clears it.
SwingList finish_item(Scratch& s) {
    float* const values = s.values.get();
    std::uint64_t* const keys = s.keys.get();
    std::size_t n = 0;
    bool nan = false;
    // -0.0 compares equal to 0.0 and is dropped; NaN compares unequal and
    // stays. The key is always written; only a kept value moves past it.
    auto take = [&](std::uint32_t j) {
        const float value = values[j];
        values[j] = 0.0f;
        keys[n] = neighbour_key(static_cast<std::int32_t>(j), value);
        n += value != 0.0f;
        nan |= value != value;
    };
    bool ids_ascend = false;
    if (s.tracking) {
        for (std::size_t t = 0; t < s.n_touched; ++t) take(s.touched[t]);
    } else {
        // The slots with nonzero bits (so that a -0.0 left behind is cleared
        // too), found four at a time and listed without a branch per slot in
        // `touched`, free while the item does not track; then taken in order.
        const std::size_t size = s.size();
        std::uint32_t* const live_ids = s.touched.get();
        std::size_t live_count = 0;
        std::size_t j = 0;
#if defined(__SSE2__)
        // `touched` holds size + 1 ids; four are written at live_count <= j.
        for (; j + 4 <= size; j += 4) {
            const __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + j));
            live_count =
                store_live_lanes(bits, static_cast<std::uint32_t>(j), live_ids, live_count);
        }
#endif
        for (; j < size; ++j) {
            live_ids[live_count] = static_cast<std::uint32_t>(j);
            live_count += std::bit_cast<std::uint32_t>(values[j]) != 0;
        }
        for (std::size_t t = 0; t < live_count; ++t) take(live_ids[t]);
        ids_ascend = true;
    }
    s.n_touched = 0;
    SwingList list;
    if (n == 0) return list;
    if (n == 1) {
        list.push_back(key_pair(keys[0]));
        return list;
    }
    // Any comparison sort compares every element at least once, so a NaN in a
    // list of two or more always meets the failing comparison.
    if (nan) throw Panic(kUnwrapNone);
    const std::uint64_t* sorted = keys;
    if (ids_ascend && n >= 64) {
        const KeyRange range = similarity_range(keys, n);
        // Equal scores: ascending ids is the order already.
        if (range.lo < range.hi) sorted = sort_by_similarity(keys, n, range, s.sort);
    } else {
        std::sort(keys, keys + n);
    }
    // The pairs are written in place, without being zeroed first.
    list.resize(n);
    for (std::size_t p = 0; p < n; ++p) list[p] = key_pair(sorted[p]);
    return list;
}

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

// Item i step by step as defined, for rows the fast path cannot take
// (unknown users, unsorted or out-of-range rows, unreadable rows). It raises
// the same failures in the same order; its results are never cached.
void process_item_literal(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                          Scratch& s) {
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
                scatter(s, &id, 1, c);
            }
        }
    }
}

// Keeps, of each user row of the item, only the ids found in at least two of
// those rows (counting a repeated user once per position): no other id can be
// common to a pair of them. Order within each row is kept, so common lists
// come out exactly as from the full rows, at a fraction of the cost.
void trim_rows(const Pass& pass, std::span<const std::int32_t> users, Scratch& s) {
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

// Completes the item's inverted index over the trimmed rows: each kept id
// gets the ascending list of positions whose rows hold it, and each row entry
// its rank in that list. Common lists then cost what they hold. With
// kSumCommon, returns the total length of the item's common lists over all
// its pairs (otherwise 0).
template <bool kSumCommon>
std::uint64_t index_postings(Scratch& s) {
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

// The common lists of position a with every later position, from the index:
// each id of a's row is appended to the list of every later position whose
// row also holds it. Ids are visited in ascending order, so each list comes
// out ascending, as the merge walk would give it.
void common_lists(std::size_t a, std::size_t n_users_in_row, Scratch& s) {
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

// The pairs of position a with every later position, without building their
// common lists: one pass counts the list lengths (hence each pair's
// contribution), a second adds the contributions id by id. For one id the
// later positions come in ascending order, so every slot still receives its
// contributions in pair order. Counts and contributions are indexed by
// position, as the postings hold positions.
void add_pairs_by_id(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                     std::size_t a, Scratch& s) {
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
    float* const values = s.values.get();
    if (s.tracking) {
        for (std::size_t e = begin; e < end; ++e) {
            const std::uint32_t j = s.rows[e];
            if (s.rank[e] + 1 >= s.tally[j].count) continue;
            s.touched[s.n_touched] = j;
            s.n_touched += s.stamps[j] != s.item_stamp;
            s.stamps[j] = s.item_stamp;
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
    s.count_updates(updates);
}

// Cached lists are read one after another from scattered places, each in a
// few lines: a list's head (its length) is fetched well ahead, and once it
// has arrived, the rest of the list, still some lists ahead of its use.
constexpr std::size_t kPrefetchHeads = 24;
constexpr std::size_t kPrefetchBodies = 8;
template <class Id, std::size_t kHeadBytes = 4>
inline void prefetch_ahead(const std::uint32_t* const* cached, std::size_t b, std::size_t later) {
    if (b + kPrefetchHeads < later && cached[b + kPrefetchHeads] != nullptr)
        __builtin_prefetch(cached[b + kPrefetchHeads]);
    if (b + kPrefetchBodies < later && cached[b + kPrefetchBodies] != nullptr) {
        const char* const head = reinterpret_cast<const char*>(cached[b + kPrefetchBodies]);
        const std::size_t bytes = kHeadBytes + sizeof(Id) * cached[b + kPrefetchBodies][0];
        // Lines after the head's, up to the list's last byte.
        const std::uintptr_t first_line = (reinterpret_cast<std::uintptr_t>(head) | 63) + 1;
        for (std::uintptr_t line = first_line;
             line < reinterpret_cast<std::uintptr_t>(head) + bytes; line += 64)
            __builtin_prefetch(reinterpret_cast<const void*>(line));
    }
}

// An item whose common lists are shorter than this on average does not use
// the pair cache once its index shows it: a probe and a stored copy cost
// about as much as counting that many ids again.
constexpr std::uint64_t kListsWorthCaching = 16;

// Item i when every user is known and every user row is regular. For each
// earlier user u, the cached lists of all pairs (u, later users) are looked up
// together; a few missing ones are built one by one from the trimmed rows,
// many at once from the item's inverted index. Cached lists hold ids of type
// Id.
template <class Id>
void process_item_fast(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker) {
    // Contributions to the item itself are skipped; restoring its slot after
    // the pairs does that without a test per id.
    const float own_value = s.values[item];
    PairCache* cache = pass.cache;
    const routes::SwingMisses misses = routes::forced().swing_misses;
    bool indexed = false;  // built when many pairs of one position are missing
    if (s.pair_keys.size() < users.size()) {
        s.pair_keys.resize(users.size());
        s.cached.resize(users.size());
    }
    for (std::size_t a = 0; a + 1 < users.size(); ++a) {
        if (loop_stopping()) return;
        const auto u = static_cast<std::uint32_t>(users[a]);
        const float w_u = pass.weights[u];
        const std::size_t later = users.size() - a - 1;
        const std::uint64_t key_base = static_cast<std::uint64_t>(u) * pass.n_users;
        const std::uint32_t** const cached = s.cached.data();
        bool all_cached = false;
        if (cache != nullptr) {
            for (std::size_t b = 0; b < later; ++b)
                s.pair_keys[b] = key_base + static_cast<std::uint32_t>(users[a + 1 + b]);
            cache->find_all(u, std::span<const std::uint64_t>(s.pair_keys.data(), later), cached);
            all_cached = std::all_of(cached, cached + later, [](auto* p) { return p != nullptr; });
        }
        // Few missing lists are built one by one (mark a's row, scan the
        // other); many are built together from the index.
        bool one_by_one = false;
        if (!all_cached) {
            const bool room = cache != nullptr && cache->has_room();
            if (room) {
                const std::size_t missing =
                    static_cast<std::size_t>(std::count(cached, cached + later, nullptr));
                one_by_one = misses == routes::SwingMisses::Chosen
                                 ? 2 * missing < later
                                 : misses == routes::SwingMisses::OneByOne;
            }
            if (!one_by_one && !indexed) {
                trim_rows(pass, users, s);
                indexed = true;
                if (cache == nullptr) {
                    index_postings<false>(s);
                } else {
                    // Short common lists cost less to count again than to
                    // look up and store: a sparse item finishes without the
                    // cache.
                    const std::uint64_t common = index_postings<true>(s);
                    const std::uint64_t pairs = users.size() * (users.size() - 1) / 2;
                    if (common < kListsWorthCaching * pairs &&
                        misses == routes::SwingMisses::Chosen)
                        cache = nullptr;
                }
            }
            // Without room to store the lists, there is no need to build them.
            if (!room || cache == nullptr) {
                add_pairs_by_id(pass, item, users, a, s);
                continue;
            }
            if (!one_by_one) common_lists(a, users.size(), s);
        }
        if (cache != nullptr)
            for (std::size_t b = 0; b < std::min(later, kPrefetchHeads); ++b)
                if (cached[b] != nullptr) __builtin_prefetch(cached[b]);
        // The next position looks up its pairs when this one is done: their
        // slots are fetched meanwhile, one per pair of this position.
        const auto next = static_cast<std::uint32_t>(users[a + 1]);
        const std::uint64_t next_base = static_cast<std::uint64_t>(next) * pass.n_users;
        std::uint32_t mark = 0;
        for (std::size_t b = 0; b < later; ++b) {
            const auto v = static_cast<std::uint32_t>(users[a + 1 + b]);
            const float w_v = pass.weights[v];
            if (cache != nullptr) {
                prefetch_ahead<Id>(cached, b, later);
                if (b + 1 < later)
                    cache->prefetch(next, next_base + static_cast<std::uint32_t>(users[a + 2 + b]));
            }
            if (cache != nullptr && cached[b] != nullptr) {
                const std::uint32_t length = cached[b][0];
                if (length != 0)
                    scatter(s, reinterpret_cast<const Id*>(cached[b] + 1), length,
                            contribution(w_u, w_v, length, pass.alpha));
            } else if (one_by_one) {
                // Full rows: trimming them would cost more than these few scans.
                const UserRow& full_u = pass.rows[u];
                const UserRow& full_v = pass.rows[v];
                const std::int32_t* const row_v = full_v.ids;
                const std::size_t length_v = full_v.length;
                if (mark == 0) {
                    mark = s.next_mark();
                    for (std::uint32_t p = 0; p < full_u.length; ++p)
                        s.marks[static_cast<std::uint32_t>(full_u.ids[p])] = mark;
                }
                const std::uint32_t* const marks = s.marks.get();
                std::size_t n = 0;
                if (cache->has_room()) {
                    Id* const out = static_cast<Id*>(cache->reserve(worker, length_v));
                    for (std::size_t p = 0; p < length_v; ++p) {
                        const auto j = static_cast<std::uint32_t>(row_v[p]);
                        out[n] = static_cast<Id>(j);
                        n += marks[j] == mark;
                    }
                    const std::uint32_t* const stored = cache->publish(worker, u, key_base + v, n);
                    if (n != 0)
                        scatter(s, reinterpret_cast<const Id*>(stored + 1), n,
                                contribution(w_u, w_v, n, pass.alpha));
                } else {
                    if (s.common.size() < length_v) s.common.resize(length_v);
                    std::uint32_t* const out = s.common.data();
                    for (std::size_t p = 0; p < length_v; ++p) {
                        const auto j = static_cast<std::uint32_t>(row_v[p]);
                        out[n] = j;
                        n += marks[j] == mark;
                    }
                    if (n != 0) scatter(s, out, n, contribution(w_u, w_v, n, pass.alpha));
                }
            } else {
                const std::uint32_t first = b == 0 ? 0 : s.pair_start[b];
                const std::uint32_t length = s.pair_start[b + 1] - first;
                const std::uint32_t* const common = s.lists.data() + first;
                if (cache != nullptr && cache->has_room()) {
                    Id* const slot = static_cast<Id*>(cache->reserve(worker, length));
                    std::copy(common, common + length, slot);
                    cache->publish(worker, u, key_base + v, length);
                }
                if (length != 0)
                    scatter(s, common, length, contribution(w_u, w_v, length, pass.alpha));
            }
        }
    }
    s.values[item] = own_value;
}

// Item i with every common list built up front (pass.lists): each pair's
// list and contribution are read from the table, nothing is built.
template <class Id>
void process_item_listed(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                         Scratch& s) {
    const float own_value = s.values[item];  // restored after the pairs, as above
    const PairLists& lists = *pass.lists;
    if (s.cached.size() < users.size()) s.cached.resize(users.size());
    const std::uint32_t** const cached = s.cached.data();
    for (std::size_t a = 0; a + 1 < users.size(); ++a) {
        if (loop_stopping()) return;
        const std::uint32_t* const row = lists.row(static_cast<std::uint32_t>(users[a]));
        const std::size_t later = users.size() - a - 1;
        for (std::size_t b = 0; b < later; ++b)
            cached[b] = lists.list_at(row[static_cast<std::uint32_t>(users[a + 1 + b])]);
        for (std::size_t b = 0; b < std::min(later, kPrefetchHeads); ++b)
            __builtin_prefetch(cached[b]);
        for (std::size_t b = 0; b < later; ++b) {
            prefetch_ahead<Id, PairLists::kHeadWords * 4>(cached, b, later);
            const std::uint32_t* const list = cached[b];
            if (list[0] != 0)
                scatter(s, reinterpret_cast<const Id*>(list + PairLists::kHeadWords), list[0],
                        PairLists::contribution_of(list));
        }
    }
    s.values[item] = own_value;
}

bool fast_path_applies(const Pass& pass, std::span<const std::int32_t> users) {
    if (users.size() < 2) return true;
    for (const std::int32_t u : users) {
        if (u < 0 || static_cast<std::uint64_t>(u) >= pass.n_users) return false;
        if (pass.rows[static_cast<std::size_t>(u)].kind != RowKind::Regular) return false;
    }
    return true;
}

// The up-front lists have none for a user paired with itself, which an item
// row repeating a user asks for; such rows take the walk instead.
bool distinct_ascending(std::span<const std::int32_t> users) {
    return std::adjacent_find(users.begin(), users.end(), std::greater_equal<>()) == users.end();
}

enum class ItemRoute : std::uint8_t { Literal, Listed, Fast };

// The route of one item: the literal walk for rows the others cannot take,
// the up-front lists when the pass has them and they hold the item's pairs,
// otherwise the item's own index with the cache, if any.
ItemRoute choose_item_route(const Pass& pass, std::span<const std::int32_t> users) {
    if (pass.literal || !fast_path_applies(pass, users)) return ItemRoute::Literal;
    if (pass.lists != nullptr && distinct_ascending(users)) return ItemRoute::Listed;
    return ItemRoute::Fast;
}

}  // namespace

SwingList process_item(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker) {
    s.begin_item();
    seed_item(pass, item, s);
    switch (choose_item_route(pass, users)) {
    case ItemRoute::Literal: process_item_literal(pass, item, users, s); break;
    case ItemRoute::Listed:
        if (pass.narrow_ids)
            process_item_listed<std::uint16_t>(pass, item, users, s);
        else
            process_item_listed<std::uint32_t>(pass, item, users, s);
        break;
    case ItemRoute::Fast:
        if (pass.narrow_ids)
            process_item_fast<std::uint16_t>(pass, item, users, s, worker);
        else
            process_item_fast<std::uint32_t>(pass, item, users, s, worker);
        break;
    }
    return finish_item(s);
}

}  // namespace quibrel::swing_detail
