#include "core/swing.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/pool.hpp"
#include "core/swing_cache.hpp"

namespace quibrel {
namespace {

// How a user's row of the user matrix may be read in the fast path.
enum class RowKind : std::uint8_t {
    Regular,     // readable, strictly ascending ids, all below n_items
    Irregular,   // readable, but the literal merge walk is needed
    Unreadable,  // offsets run past the stored entries: reading panics
};

struct UserRow {
    const std::int32_t* ids = nullptr;
    std::uint32_t length = 0;
    RowKind kind = RowKind::Regular;
};

// One accumulator slot: the score and the stamp of the item that last touched
// it, side by side so an update costs one cache line.
struct Slot {
    float value;
    std::uint32_t stamp;
};

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using HeapArray = std::unique_ptr<T[], FreeDeleter>;

// Zeroed memory from calloc: large blocks come straight from the system as
// zero pages, so only the pages an item actually touches get committed.
template <class T>
HeapArray<T> zeroed_array(std::size_t n) {
    if (n > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    void* p = std::calloc(n == 0 ? 1 : n, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return HeapArray<T>(static_cast<T*>(p));
}

// Per-worker scratch, reused across items. Only the slots an item touched are
// cleared after it, so an item costs what it touches, not n_items.
struct alignas(64) Scratch {
    HeapArray<Slot> slots;
    HeapArray<std::uint32_t> touched;  // ids touched by the current item
    HeapArray<std::uint32_t> marks;    // stamp per id, for mark-and-scan
    std::uint32_t item_stamp = 0;
    std::uint32_t mark_stamp = 0;
    std::size_t n_touched = 0;
    std::vector<std::uint32_t> common;  // a common list that is not cached
    std::vector<std::uint64_t> keys;    // sort keys of the list being built
    std::vector<std::uint64_t> walk_u, walk_v, walk_common;  // literal walk only

    explicit Scratch(std::size_t n_items)
        : slots(zeroed_array<Slot>(n_items)),
          touched(zeroed_array<std::uint32_t>(n_items + 1)),
          marks(zeroed_array<std::uint32_t>(n_items)),
          size_(n_items) {}

    void begin_item() {
        n_touched = 0;
        if (++item_stamp == 0) {
            for (std::size_t j = 0; j < size_; ++j) slots[j].stamp = 0;
            item_stamp = 1;
        }
    }
    std::uint32_t next_mark() {
        if (++mark_stamp == 0) {
            std::fill_n(marks.get(), size_, 0u);
            mark_stamp = 1;
        }
        return mark_stamp;
    }

private:
    std::size_t size_;
};

struct Pass {
    const CsrMatrix& user_matrix;
    const CsrMatrix& item_matrix;
    const SwingScores& previous;
    std::uint64_t n_users;
    std::uint64_t n_items;
    float alpha;
    std::vector<float> weights;
    std::vector<UserRow> rows;  // one per user below n_users
    PairCache* cache;           // null when disabled
};

// 1 / sqrt(d) with both operations correctly rounded in f32; +inf for d = 0.
float user_weight(std::uint64_t degree) {
    return 1.0f / std::sqrt(static_cast<float>(degree));
}

std::vector<float> user_weights(const CsrMatrix& user_matrix, std::uint64_t n_users) {
    // Every user reads indptr[u] and indptr[u + 1]; the first read past the
    // end is at the index equal to the length.
    const std::size_t len = user_matrix.indptr.size();
    if (n_users != 0 && len <= n_users) index_panic(len, len);
    std::vector<float> weights(n_users);
    for (std::uint64_t u = 0; u < n_users; ++u)
        weights[u] = user_weight(user_matrix.indptr[u + 1] - user_matrix.indptr[u]);
    return weights;
}

std::vector<UserRow> classify_rows(const CsrMatrix& user_matrix, std::uint64_t n_users,
                                   std::uint64_t n_items) {
    std::vector<UserRow> rows(n_users);
    const std::uint64_t readable = std::min(user_matrix.indices.size(), user_matrix.data.size());
    for (std::uint64_t u = 0; u < n_users; ++u) {
        const std::uint64_t begin = user_matrix.indptr[u];
        const std::uint64_t end = user_matrix.indptr[u + 1];
        UserRow& row = rows[u];
        if (begin >= end) continue;
        if (end > readable) {
            row.kind = RowKind::Unreadable;
            continue;
        }
        row.ids = user_matrix.indices.data() + begin;
        if (end - begin > std::numeric_limits<std::uint32_t>::max()) {
            row.kind = RowKind::Irregular;
            continue;
        }
        row.length = static_cast<std::uint32_t>(end - begin);
        std::int64_t previous = -1;
        for (std::uint32_t p = 0; p < row.length; ++p) {
            const std::int64_t id = row.ids[p];
            if (id <= previous || static_cast<std::uint64_t>(id) >= n_items) {
                row.kind = RowKind::Irregular;
                break;
            }
            previous = id;
        }
    }
    return rows;
}

// Assigns the stored scores of item i before any contribution is added.
void seed_item(const Pass& pass, std::size_t item, Scratch& s) {
    const SwingList* seeded = pass.previous.find(static_cast<std::int32_t>(item));
    if (seeded == nullptr) return;
    for (const SwingPair& pair : *seeded) {
        const auto j = static_cast<std::uint64_t>(static_cast<std::int64_t>(pair.id));
        check_index(pass.n_items, j);
        Slot& slot = s.slots[j];
        s.touched[s.n_touched] = static_cast<std::uint32_t>(j);
        s.n_touched += slot.stamp != s.item_stamp;
        slot.stamp = s.item_stamp;
        slot.value = pair.score;
    }
}

// The f32 contribution of a pair with common list length n (n >= 1).
inline float contribution(float w_u, float w_v, std::size_t n, float alpha) {
    const float m = w_u * w_v;
    const float d = static_cast<float>(static_cast<std::uint64_t>(n - 1)) + alpha;
    return (1.0f / d) * m;
}

// Adds c to every slot of the list. Slots are distinct within a list, so the
// first-touch bookkeeping is branch-free: the id is always written, and the
// count only moves past it on a first touch.
inline void scatter(Scratch& s, std::span<const std::uint32_t> list, float c) {
    Slot* const slots = s.slots.get();
    std::uint32_t* const touched = s.touched.get();
    const std::uint32_t stamp = s.item_stamp;
    std::size_t n = s.n_touched;
    for (const std::uint32_t j : list) {
        Slot& slot = slots[j];
        touched[n] = j;
        n += slot.stamp != stamp;
        slot.stamp = stamp;
        slot.value += c;
    }
    s.n_touched = n;
}

// Order key for a non-NaN score: descending score, then ascending id. Ties in
// short lists must keep ascending ids; in long ones any order is allowed, so
// one key order serves both.
inline std::uint64_t sort_key(float score, std::uint32_t id) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(score);
    const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    return (static_cast<std::uint64_t>(~ascending) << 32) | id;
}

inline float key_score(std::uint64_t key) {
    const std::uint32_t ascending = ~static_cast<std::uint32_t>(key >> 32);
    const std::uint32_t bits = (ascending & 0x80000000u) ? (ascending & 0x7fffffffu) : ~ascending;
    return std::bit_cast<float>(bits);
}

// Turns the touched slots into the item's sorted list and clears them.
SwingList finish_item(Scratch& s) {
    Slot* const slots = s.slots.get();
    s.keys.clear();
    std::size_t nan_count = 0;
    SwingPair last{0, 0.0f};
    for (std::size_t t = 0; t < s.n_touched; ++t) {
        const std::uint32_t j = s.touched[t];
        const float value = slots[j].value;
        slots[j].value = 0.0f;
        // -0.0 compares equal to 0.0 and is dropped; NaN compares unequal and stays.
        if (value != 0.0f) {
            nan_count += std::isnan(value);
            s.keys.push_back(sort_key(value, j));
            last = {static_cast<std::int32_t>(j), value};
        }
    }
    s.n_touched = 0;
    SwingList list;
    if (s.keys.empty()) return list;
    if (s.keys.size() == 1) {
        list.push_back(last);
        return list;
    }
    // Any comparison sort compares every element at least once, so a NaN in a
    // list of two or more always meets the failing comparison.
    if (nan_count != 0) throw Panic(kUnwrapNone);
    std::sort(s.keys.begin(), s.keys.end());
    list.resize(s.keys.size());
    for (std::size_t p = 0; p < s.keys.size(); ++p)
        list[p] = {static_cast<std::int32_t>(static_cast<std::uint32_t>(s.keys[p])),
                   key_score(s.keys[p])};
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
            const float c = contribution(pass.weights[u], pass.weights[v], s.walk_common.size(),
                                         pass.alpha);
            for (const std::uint64_t j : s.walk_common) {
                if (j == item) continue;
                check_index(pass.n_items, j);
                const auto id = static_cast<std::uint32_t>(j);
                scatter(s, std::span<const std::uint32_t>(&id, 1), c);
            }
        }
    }
}

// Item i when every user is known and every user row is regular. Common lists
// come from the cache or from mark-and-scan: the earlier user's row is marked
// once per position a, then each later user's row is scanned.
void process_item_fast(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker) {
    // Contributions to the item itself are skipped; restoring its slot after
    // the pairs does that without a test per id.
    const float own_value = s.slots[item].value;
    PairCache* const cache = pass.cache;
    for (std::size_t a = 0; a + 1 < users.size(); ++a) {
        if (loop_stopping()) return;
        const auto u = static_cast<std::uint32_t>(users[a]);
        const UserRow& row_u = pass.rows[u];
        const float w_u = pass.weights[u];
        const std::uint64_t key_base = static_cast<std::uint64_t>(u) * pass.n_users;
        std::uint32_t mark = 0;
        for (std::size_t b = a + 1; b < users.size(); ++b) {
            const auto v = static_cast<std::uint32_t>(users[b]);
            const std::uint64_t key = key_base + v;
            std::span<const std::uint32_t> common;
            bool found = false;
            if (cache != nullptr) {
                const PairCache::Lookup hit = cache->find(key);
                found = hit.found;
                common = hit.list;
            }
            if (!found) {
                const UserRow& row_v = pass.rows[v];
                const bool store = cache != nullptr && cache->has_room();
                const std::size_t room = std::min(row_u.length, row_v.length);
                std::uint32_t* out;
                if (store) {
                    out = cache->reserve(worker, row_v.length);
                } else {
                    if (s.common.size() < row_v.length) s.common.resize(row_v.length);
                    out = s.common.data();
                }
                std::size_t n = 0;
                if (room != 0) {
                    if (mark == 0) {
                        mark = s.next_mark();
                        for (std::uint32_t p = 0; p < row_u.length; ++p)
                            s.marks[static_cast<std::uint32_t>(row_u.ids[p])] = mark;
                    }
                    const std::uint32_t* const marks = s.marks.get();
                    for (std::uint32_t p = 0; p < row_v.length; ++p) {
                        const auto j = static_cast<std::uint32_t>(row_v.ids[p]);
                        out[n] = j;
                        n += marks[j] == mark;
                    }
                }
                common = store ? cache->publish(worker, key, n)
                               : std::span<const std::uint32_t>(out, n);
            }
            if (common.empty()) continue;
            scatter(s, common, contribution(w_u, pass.weights[v], common.size(), pass.alpha));
        }
    }
    s.slots[item].value = own_value;
}

bool fast_path_applies(const Pass& pass, std::span<const std::int32_t> users) {
    if (users.size() < 2) return true;
    for (const std::int32_t u : users) {
        if (u < 0 || static_cast<std::uint64_t>(u) >= pass.n_users) return false;
        if (pass.rows[static_cast<std::size_t>(u)].kind != RowKind::Regular) return false;
    }
    return true;
}

SwingList process_item(const Pass& pass, std::size_t item, std::span<const std::int32_t> users,
                       Scratch& s, std::size_t worker) {
    s.begin_item();
    seed_item(pass, item, s);
    if (fast_path_applies(pass, users))
        process_item_fast(pass, item, users, s, worker);
    else
        process_item_literal(pass, item, users, s);
    return finish_item(s);
}

}  // namespace

SwingScores build_swing_scores(const CsrMatrix& user_matrix, const CsrMatrix& item_matrix,
                               const SwingScores& previous, std::uint64_t n_users,
                               std::uint64_t n_items, float alpha, std::uint64_t max_cache_num) {
    Pass pass{user_matrix, item_matrix, previous, n_users, n_items, alpha, {}, {}, nullptr};
    pass.weights = user_weights(user_matrix, n_users);

    const std::size_t workers = worker_count();

    // Items with users, in id order. Reading every such row here raises an
    // unreadable row's panic before any work starts.
    const std::uint64_t item_rows = std::min<std::uint64_t>(n_items, item_matrix.n_rows());
    std::vector<std::uint32_t> active;
    std::vector<RowRange> item_ranges;
    for (std::uint64_t i = 0; i < item_rows; ++i) {
        const RowRange range = row_range(item_matrix, static_cast<std::size_t>(i));
        if (range.end == range.begin) continue;
        if (i > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
        active.push_back(static_cast<std::uint32_t>(i));
        item_ranges.push_back(range);
    }

    std::vector<SwingList> results(active.size());
    if (!active.empty()) {
        pass.rows = classify_rows(user_matrix, n_users, n_items);
        std::unique_ptr<PairCache> cache;
        if (max_cache_num != 0) {
            cache = std::make_unique<PairCache>(max_cache_num, workers);
            pass.cache = cache.get();
        }

        // Costliest items first, so the last pieces handed out are small and
        // no worker is left with a long item at the end.
        std::vector<std::uint32_t> order(active.size());
        for (std::size_t p = 0; p < order.size(); ++p) order[p] = static_cast<std::uint32_t>(p);
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
            return item_ranges[x].end - item_ranges[x].begin >
                   item_ranges[y].end - item_ranges[y].begin;
        });

        std::vector<std::unique_ptr<Scratch>> scratch(workers);
        const std::size_t grain =
            std::clamp<std::size_t>(order.size() / (workers * 256), 1, 64);
        parallel_for(order.size(), grain, [&](std::size_t begin, std::size_t end,
                                              std::size_t worker) {
            // Allocated by the worker itself, so its pages are first touched
            // where they are used.
            if (!scratch[worker]) scratch[worker] = std::make_unique<Scratch>(n_items);
            Scratch& s = *scratch[worker];
            for (std::size_t p = begin; p < end; ++p) {
                const std::size_t index = order[p];
                const RowRange range = item_ranges[index];
                const std::span<const std::int32_t> users(
                    item_matrix.indices.data() + range.begin, range.end - range.begin);
                results[index] = process_item(pass, active[index], users, s, worker);
                if (loop_stopping()) return;
            }
        });
    }

    // Gather in item order: computed lists, then the stored lists of items
    // without new users, which are carried over as they are.
    SwingScores out;
    std::size_t total = 0;
    for (const SwingList& list : results) total += !list.empty();
    out.reserve_dense(std::min<std::size_t>(n_items, 2 * total + 4096));
    for (std::size_t p = 0; p < active.size(); ++p)
        if (!results[p].empty()) out.insert_or_assign(static_cast<std::int32_t>(active[p]),
                                                      std::move(results[p]));
    previous.for_each([&](std::int32_t id, const SwingList& list) {
        if (id < 0 || static_cast<std::uint64_t>(id) >= n_items || list.empty()) return;
        const auto i = static_cast<std::uint64_t>(id);
        if (i < item_rows) {
            const RowRange range = row_range(item_matrix, static_cast<std::size_t>(i));
            if (range.end != range.begin) return;
        }
        out.insert_or_assign(id, list);
    });
    return out;
}

void compute_swing(SwingModel& m, std::uint64_t num_threads) {
    set_thread_count(num_threads);
    m.swing_scores.clear();
    // A failing pass leaves the cleared map in place.
    SwingScores scores = build_swing_scores(m.user_interactions, m.item_interactions,
                                            m.swing_scores, m.n_users, m.n_items, m.alpha,
                                            m.max_cache_num);
    m.swing_scores = std::move(scores);
}

void update_swing(SwingModel& m, const CsrMatrix& new_user_interactions,
                  const CsrMatrix& new_item_interactions) {
    // Each stage replaces its field only once its result is complete, so a
    // failure leaves the earlier stages applied and the later ones not.
    SwingScores scores =
        build_swing_scores(new_user_interactions, new_item_interactions, m.swing_scores,
                           m.n_users, m.n_items, m.alpha, m.max_cache_num);
    m.swing_scores = std::move(scores);
    CsrMatrix users = merge_interactions(m.user_interactions, new_user_interactions,
                                         static_cast<std::size_t>(m.n_users));
    m.user_interactions = std::move(users);
    CsrMatrix items = merge_interactions(m.item_interactions, new_item_interactions,
                                         static_cast<std::size_t>(m.n_items));
    m.item_interactions = std::move(items);
}

std::uint64_t num_swing_elements(const SwingModel& m) {
    if (m.swing_scores.empty())
        throw RuntimeFailure("call `compute_swing` method before calling `num_swing_elements`");
    std::uint64_t total = 0;
    m.swing_scores.for_each([&](std::int32_t, const SwingList& list) { total += list.size(); });
    return total;
}

}  // namespace quibrel
