// Scoring of user-item pairs for the three models.
#include "core/inference.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/inference_common.hpp"

namespace quibrel {
namespace {

using namespace inference_detail;

enum class Task { Ranking, Rating, Unknown };

Task parse_task(const std::string& word) {
    if (word == "ranking") return Task::Ranking;
    if (word == "rating") return Task::Rating;
    return Task::Unknown;
}

struct NeighbourEntry {
    std::int32_t id;
    float sim;
    std::uint32_t position;  // in the list
};

struct RatedNeighbour {
    float sim;
    float value;
    std::uint32_t position;  // in the list; fixes the order of equal similarities
};

// Descending similarity; NaN counts as the largest so the order stays strict
// and weak. Equal similarities keep list order, which makes the f32 sums below
// reproducible (for "rating" the pairing of values with equal similarities
// changes the last bits otherwise).
bool before(const RatedNeighbour& a, const RatedNeighbour& b) {
    const bool a_nan = std::isnan(a.sim);
    const bool b_nan = std::isnan(b.sim);
    if (a_nan != b_nan) return a_nan;
    if (!a_nan && a.sim != b.sim) return a.sim > b.sim;
    return a.position < b.position;
}

// Position of each column of one row, so the neighbours of a list can be looked
// up one by one instead of sorting the head of the list and merging it with the
// row. For a row of ascending unique columns (checked while indexing) this
// finds exactly the pairs the merge would; other rows use the merge.
class RowIndex {
public:
    // Indexes `row` unless it is the row indexed last. Returns false when the
    // row's columns do not strictly ascend.
    bool index(const RowView& row, std::size_t dense) {
        if (row.columns.data() == columns_ && row.size() == size_ && dense == dense_)
            return ascending_;
        columns_ = row.columns.data();
        size_ = row.size();
        dense_ = dense;
        marks_.resize(dense);
        position_.grow(dense);
        marks_.next_generation();
        ascending_ = true;
        for (std::size_t e = 0; e < size_; ++e) {
            const std::int32_t c = columns_[e];
            if (e > 0 && c <= columns_[e - 1]) ascending_ = false;
            if (static_cast<std::uint32_t>(c) < dense) {
                marks_.set(static_cast<std::uint32_t>(c));
                position_[static_cast<std::uint32_t>(c)] = static_cast<std::uint32_t>(e);
            }
        }
        return ascending_;
    }

    // Row position of column id, or -1. A found column is taken out of the
    // index until restore(), since the merge pairs each row entry at most once.
    std::ptrdiff_t take(std::int32_t id, std::span<const std::int32_t> columns) {
        if (static_cast<std::uint32_t>(id) < dense_) {
            const auto slot = static_cast<std::uint32_t>(id);
            if (!marks_.is_set(slot)) return -1;
            marks_.unset(slot);
            taken_.push_back(slot);
            return position_[slot];
        }
        // Ids beyond the dense range: binary search in the ascending row.
        const auto it = std::lower_bound(columns.begin(), columns.end(), id);
        if (it == columns.end() || *it != id) return -1;
        const std::ptrdiff_t e = it - columns.begin();
        if (std::find(taken_far_.begin(), taken_far_.end(), e) != taken_far_.end()) return -1;
        taken_far_.push_back(e);
        return e;
    }

    void restore() {
        for (std::uint32_t slot : taken_) marks_.set(slot);
        taken_.clear();
        taken_far_.clear();
    }

    void forget() {
        columns_ = nullptr;
        size_ = 0;
    }
    std::size_t capacity() const { return marks_.capacity(); }
    void release() {
        marks_.release();
        position_.release();
        columns_ = nullptr;
        size_ = 0;
    }

private:
    Stamps marks_;
    ZeroedArray<std::uint32_t> position_;  // valid where marked
    std::vector<std::uint32_t> taken_;
    std::vector<std::ptrdiff_t> taken_far_;
    const std::int32_t* columns_ = nullptr;
    std::size_t size_ = 0;
    std::size_t dense_ = 0;
    bool ascending_ = true;
};

class Scorer {
public:
    // `dense` bounds the column ids of the rows that the row index covers.
    Scorer(Task task, const std::string& word, float default_pred, std::uint64_t dense)
        : task_(task), word_(word), default_pred_(default_pred),
          dense_(static_cast<std::size_t>(std::min<std::uint64_t>(dense, kMaxDenseIds))),
          index_(thread_index()) {
        // Rows are recognised by address within one call only: another model
        // may since have put a different row at the same address.
        index_.forget();
    }

    ~Scorer() {
        if (index_.capacity() > kKeepDenseIds) index_.release();
    }
    Scorer(const Scorer&) = delete;
    Scorer& operator=(const Scorer&) = delete;

    // Makes the next score index its row afresh (after a pass that stopped
    // midway may have left entries taken out of the index).
    void forget_row() { index_.forget(); }

    // Score from the first k neighbours of a list that the row also holds, or
    // the default when none qualifies.
    template <class View>
    float score(const View& list, std::uint64_t k, const RowView& row) {
        const std::size_t m = head_length(k, list.len);
        if (m == 0) return default_pred_;
        if (index_.index(row, dense_))
            lookup(list, m, row);
        else
            merge(list, m, row);
        if (rated_.empty()) return default_pred_;
        return from_neighbours();
    }

private:
    // Kept per thread so that single-pair calls do not re-zero the index. Not
    // inlined, so hot loops hold a plain reference instead of re-deriving the
    // thread-local address.
    [[gnu::noinline]] static RowIndex& thread_index() {
        thread_local RowIndex index;
        return index;
    }

    // The head of the list in list order, each neighbour looked up in the row.
    template <class View>
    void lookup(const View& list, std::size_t m, const RowView& row) {
        rated_.clear();
        bool descending = true;
        for (std::size_t j = 0; j < m; ++j) {
            const std::ptrdiff_t e = index_.take(list.id(j), row.columns);
            if (e < 0) continue;
            const float sim = list.sim(j);
            if (!rated_.empty() && sim > rated_.back().sim) descending = false;
            rated_.push_back(
                {sim, row.values[static_cast<std::size_t>(e)], static_cast<std::uint32_t>(j)});
        }
        index_.restore();
        // Stored lists are in descending order already; a loaded one may not be.
        if (!descending) std::sort(rated_.begin(), rated_.end(), before);
    }

    // The general walk: the head sorted by id, merged with the row by signed
    // id comparison.
    template <class View>
    void merge(const View& list, std::size_t m, const RowView& row) {
        head_.clear();
        for (std::size_t j = 0; j < m; ++j)
            head_.push_back({list.id(j), list.sim(j), static_cast<std::uint32_t>(j)});
        std::sort(head_.begin(), head_.end(), [](const NeighbourEntry& a, const NeighbourEntry& b) {
            return a.id != b.id ? a.id < b.id : a.position < b.position;
        });
        rated_.clear();
        std::size_t a = 0;
        std::size_t b = 0;
        const std::size_t row_len = row.size();
        while (a < m && b < row_len) {
            const std::int32_t nid = head_[a].id;
            const std::int32_t rid = row.columns[b];
            if (nid < rid) {
                ++a;
            } else if (rid < nid) {
                ++b;
            } else {
                rated_.push_back({head_[a].sim, row.values[b], head_[a].position});
                ++a;
                ++b;
            }
        }
        std::sort(rated_.begin(), rated_.end(), before);
    }

    float from_neighbours() const {
        // Sums run in f32 from zero in descending-similarity order.
        float total = 0.0f;
        for (const RatedNeighbour& r : rated_) total += r.sim;
        switch (task_) {
        case Task::Ranking: return total / static_cast<float>(rated_.size());
        case Task::Rating: {
            float score = 0.0f;
            for (const RatedNeighbour& r : rated_) score += (r.value * r.sim) / total;
            return score;
        }
        case Task::Unknown: break;
        }
        throw ValueFailure("Unknown task type: \"" + word_ + "\"");
    }

    Task task_;
    const std::string& word_;
    float default_pred_;
    std::size_t dense_;
    RowIndex& index_;
    std::vector<NeighbourEntry> head_;
    std::vector<RatedNeighbour> rated_;
};

// Random pairs revisit the same rows out of turn, and indexing a row costs as
// much as scoring from it; answered grouped by row, each row is indexed once
// per group, which took markedly less time on random pairs (figures:
// docs/dev/performance-notes.md).
// Batches whose rows already come in runs keep their order.
constexpr std::size_t kGroupPairsFrom = 1024;

// Positions 0..n-1 in ascending order of row_keys (ties in input order), or
// nothing when grouping would not pay.
std::vector<std::uint32_t> grouped_order(std::span<const std::uint64_t> row_keys) {
    const std::size_t n = row_keys.size();
    std::vector<std::uint32_t> order;
    if (n < kGroupPairsFrom || n > std::numeric_limits<std::uint32_t>::max()) return order;
    std::size_t runs = 1;
    std::uint64_t largest = row_keys[0];
    for (std::size_t p = 1; p < n; ++p) {
        runs += row_keys[p] != row_keys[p - 1];
        largest = std::max(largest, row_keys[p]);
    }
    if (runs * 4 <= n) return order;
    order.resize(n);
    if (largest < 2 * static_cast<std::uint64_t>(n)) {
        // Counting sort: stable, linear.
        std::vector<std::uint32_t> start(static_cast<std::size_t>(largest) + 2, 0);
        for (const std::uint64_t key : row_keys) ++start[static_cast<std::size_t>(key) + 1];
        for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
        for (std::size_t p = 0; p < n; ++p)
            order[start[static_cast<std::size_t>(row_keys[p])]++] = static_cast<std::uint32_t>(p);
    } else {
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return row_keys[a] < row_keys[b];
        });
    }
    return order;
}

// The answers of pairs (row_keys[p], list_keys[p]), in input order.
// answer(row key, list key) may throw; then the pairs are answered again in
// input order, so that the error raised is the first failing pair's, as when
// every pair is answered in turn (answers have no side effects).
// prefetch(row key, list key) readies a pair's data; touch(list key) reads
// the head of the pair's list.
template <class ListKey, class Answer, class Prefetch, class Touch>
std::vector<float> answer_pairs(std::span<const std::uint64_t> row_keys,
                                std::span<const ListKey> list_keys, Scorer& scorer, Answer&& answer,
                                Prefetch&& prefetch, Touch&& touch) {
    const std::size_t n = row_keys.size();
    std::vector<float> out;
    const std::vector<std::uint32_t> order = grouped_order(row_keys);
    if (!order.empty()) {
        // The pairs in grouped order, gathered in one pass, so that the loop
        // below reads them in sequence.
        std::vector<std::uint64_t> rows(n);
        std::vector<ListKey> lists(n);
        for (std::size_t q = 0; q < n; ++q) {
            rows[q] = row_keys[order[q]];
            lists[q] = list_keys[order[q]];
        }
        out.resize(n);
        try {
            for (std::size_t q = 0; q < n; ++q) {
                touch_ahead(q, n, [&](std::size_t j) { touch(lists[j]); });
                if (q + 1 < n) prefetch(rows[q + 1], lists[q + 1]);
                out[order[q]] = answer(rows[q], lists[q]);
            }
            return out;
        } catch (const Interrupted&) {
            throw;
        } catch (...) {
            out.clear();
            scorer.forget_row();
        }
    }
    out.reserve(n);
    for (std::size_t p = 0; p < n; ++p) {
        touch_ahead(p, n, [&](std::size_t j) { touch(list_keys[j]); });
        if (p + 1 < n) prefetch(row_keys[p + 1], list_keys[p + 1]);
        out.push_back(answer(row_keys[p], list_keys[p]));
    }
    return out;
}

// ItemCF and Swing: the list belongs to the item, the row to the user.
template <class Lists>
std::vector<float> predict_by_item(const Lists& lists, std::uint64_t k, const CsrMatrix& users_csr,
                                   std::uint64_t n_users, std::uint64_t n_items, Task task,
                                   const std::string& word, float default_pred,
                                   std::span<const std::uint64_t> users,
                                   std::span<const std::int32_t> items) {
    const std::size_t n = std::min(users.size(), items.size());
    Scorer scorer(task, word, default_pred, n_items);
    InterruptPacer pacer;
    auto answer = [&](std::uint64_t u, std::int32_t i) -> float {
        // An unknown user is answered before the item id is looked at.
        if (u == n_users) return default_pred;
        if (i < 0) throw ValueFailure(kOutOfRangeConversion);
        if (static_cast<std::uint64_t>(i) == n_items) return default_pred;
        const RowView row = get_row(users_csr, u);
        typename Lists::View list{};
        const float score =
            row.empty() || !lists.find(i, list) ? default_pred : scorer.score(list, k, row);
        pacer.step(row.size());
        return score;
    };
    auto prefetch = [&](std::uint64_t u, std::int32_t i) {
        typename Lists::View next{};
        if (lists.find(i, next)) next.prefetch(k);
        prefetch_row(users_csr, u);
    };
    auto touch = [&](std::int32_t i) { lists.touch(i); };
    return answer_pairs(users.first(n), items.first(n), scorer, answer, prefetch, touch);
}

}  // namespace

std::vector<float> predict_item_cf(const CfModel& m, std::span<const std::uint64_t> users,
                                   std::span<const std::int32_t> items) {
    // Lists belong to the entities (items), rows to the other side (users).
    const auto roles = cosine_roles(m, Orientation::Item);
    return predict_by_item(CosineLists{m.sim_mapping}, m.k_sim, *roles.other, roles.other_rows,
                           roles.n, parse_task(m.task), m.task, m.default_pred, users, items);
}

std::vector<float> predict_swing(const SwingModel& m, std::span<const std::uint64_t> users,
                                 std::span<const std::int32_t> items) {
    static const std::string ranking = "ranking";
    return predict_by_item(SwingLists{m.swing_scores}, m.top_k, m.user_interactions, m.n_users,
                           m.n_items, Task::Ranking, ranking, m.default_pred, users, items);
}

std::vector<float> predict_user_cf(const CfModel& m, std::span<const std::int32_t> users,
                                   std::span<const std::uint64_t> items) {
    const std::size_t n = std::min(users.size(), items.size());
    const CosineLists lists{m.sim_mapping};
    // Lists belong to the entities (users), rows to the other side (items).
    const auto roles = cosine_roles(m, Orientation::User);
    const CsrMatrix& rows = *roles.other;
    Scorer scorer(parse_task(m.task), m.task, m.default_pred, roles.n);
    InterruptPacer pacer;
    // Pairs are grouped by item: the row is the item's.
    auto answer = [&](std::uint64_t i, std::int32_t u) -> float {
        // The user id keys the list, so its sign is checked before anything else.
        if (u < 0) throw ValueFailure(kOutOfRangeConversion);
        if (static_cast<std::uint64_t>(u) == roles.n || i == roles.other_rows)
            return m.default_pred;
        const RowView row = get_row(rows, i);
        CosineView list{};
        const float score =
            row.empty() || !lists.find(u, list) ? m.default_pred : scorer.score(list, m.k_sim, row);
        pacer.step(row.size());
        return score;
    };
    auto prefetch = [&](std::uint64_t i, std::int32_t u) {
        CosineView next{};
        if (lists.find(u, next)) next.prefetch(m.k_sim);
        prefetch_row(rows, i);
    };
    auto touch = [&](std::int32_t u) { lists.touch(u); };
    return answer_pairs(items.first(n), users.first(n), scorer, answer, prefetch, touch);
}

}  // namespace quibrel
