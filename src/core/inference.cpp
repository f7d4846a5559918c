// Scoring of user-item pairs and top-N recommendation.
//
// Everything here runs on the calling thread. Per-pair and per-user work reuses
// scratch buffers: generation-stamped dense arrays indexed by id, kept per
// thread (large ones only for one call), so starting a new pair or user costs
// nothing and repeated small calls do not re-zero memory.
#include "core/inference.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "core/errors.hpp"
#include "core/pool.hpp"

namespace quibrel {
namespace {

static_assert(sizeof(std::size_t) == 8, "ids and offsets are read as 64-bit indices");

// How often (in pairs, users, or visited list entries) to poll for Ctrl-C.
constexpr std::size_t kInterruptEvery = 4096;
constexpr std::uint64_t kInterruptWork = 1u << 20;

// Polls for an interrupt once enough work has gone by since the last poll.
class InterruptPacer {
public:
    void step(std::uint64_t work) {
        work_ += work + 1;
        if (++steps_ >= kInterruptEvery || work_ >= kInterruptWork) {
            steps_ = 0;
            work_ = 0;
            check_interrupt();
        }
    }

private:
    std::size_t steps_ = 0;
    std::uint64_t work_ = 0;
};

// List heads and rows sit at random places in memory; asking for the next one
// while the current one is processed hides most of that latency. The first
// lines are enough for the hardware to continue a sequential read.
constexpr std::size_t kPrefetchBytes = 512;

void prefetch_bytes(const void* start, std::size_t bytes) {
    const char* p = static_cast<const char*>(start);
    for (std::size_t off = 0; off < std::min(bytes, kPrefetchBytes); off += 64)
        __builtin_prefetch(p + off);
}

// Prefetches the entries of row i without any of get_row's checks failing.
void prefetch_row(const CsrMatrix& m, std::uint64_t i) {
    if (i >= m.n_rows()) return;
    const std::uint64_t begin = m.indptr[i];
    const std::uint64_t end = m.indptr[i + 1];
    if (begin >= end || end > m.indices.size() || end > m.data.size()) return;
    const auto bytes = static_cast<std::size_t>(end - begin) * 4;
    prefetch_bytes(m.indices.data() + begin, bytes);
    prefetch_bytes(m.data.data() + begin, bytes);
}

// ---------------------------------------------------------------------------
// Neighbour lists seen uniformly: cosine lists are two parallel vectors, Swing
// lists one vector of pairs.

struct CosineView {
    const std::int32_t* ids;
    const float* sims;
    std::size_t len;
    std::int32_t id(std::size_t j) const { return ids[j]; }
    float sim(std::size_t j) const { return sims[j]; }
    void prefetch(std::size_t m) const {
        prefetch_bytes(ids, std::min(m, len) * sizeof(std::int32_t));
        prefetch_bytes(sims, std::min(m, len) * sizeof(float));
    }
};

struct CosineLists {
    using View = CosineView;
    const SimMapping& map;
    bool find(std::int32_t key, CosineView& view) const {
        const NeighbourList* list = map.find(key);
        if (list == nullptr) return false;
        // A model file may carry vectors of different lengths; never read past
        // the shorter one.
        view = {list->ids.data(), list->sims.data(), std::min(list->ids.size(), list->sims.size())};
        return true;
    }
};

struct SwingView {
    const SwingPair* pairs;
    std::size_t len;
    std::int32_t id(std::size_t j) const { return pairs[j].id; }
    float sim(std::size_t j) const { return pairs[j].score; }
    void prefetch(std::size_t m) const {
        prefetch_bytes(pairs, std::min(m, len) * sizeof(SwingPair));
    }
};

struct SwingLists {
    using View = SwingView;
    const SwingScores& map;
    bool find(std::int32_t key, SwingView& view) const {
        const SwingList* list = map.find(key);
        if (list == nullptr) return false;
        view = {list->data(), list->size()};
        return true;
    }
};

std::size_t head_length(std::uint64_t k, std::size_t len) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(k, len));
}

// ---------------------------------------------------------------------------
// Prediction

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

// Dense arrays cover ids below this bound (or the id count if smaller); other
// ids, which only malformed or loaded data carries, take slower exact paths.
constexpr std::size_t kMaxDenseIds = std::size_t{1} << 24;
// Thread-local scratch larger than this is released at the end of a call
// rather than kept for the thread's next call.
constexpr std::size_t kKeepDenseIds = std::size_t{1} << 21;

// A growable array whose new elements are all zero bytes. It comes from calloc,
// so a large one is fresh, lazily mapped memory: only the pages that a call
// touches cost anything, which keeps a one-user call on a huge catalogue cheap.
// Growing drops the old contents.
template <class T>
class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T>, "elements start as zero bytes");

public:
    std::size_t size() const { return size_; }
    void grow(std::size_t n) {
        if (n <= size_) return;
        data_.reset(static_cast<T*>(std::calloc(n, sizeof(T))));
        size_ = data_ ? n : 0;
        if (!data_) throw std::bad_alloc();
    }
    void release() {
        data_.reset();
        size_ = 0;
    }
    T& operator[](std::size_t i) { return data_.get()[i]; }
    const T& operator[](std::size_t i) const { return data_.get()[i]; }
    T* begin() { return data_.get(); }
    T* end() { return data_.get() + size_; }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t size_ = 0;
};

// Generation stamps: slot i is "set" when stamp[i] == current generation, so
// clearing the whole set costs one increment.
class Stamps {
public:
    // Zero stamps never match the generation, so growing clears the set.
    void resize(std::size_t n) { stamp_.grow(n); }
    void next_generation() {
        if (++generation_ == 0) {
            std::fill(stamp_.begin(), stamp_.end(), 0);
            generation_ = 1;
        }
    }
    bool is_set(std::size_t i) const { return stamp_[i] == generation_; }
    void set(std::size_t i) { stamp_[i] = generation_; }
    void unset(std::size_t i) { stamp_[i] = 0; }
    std::size_t capacity() const { return stamp_.size(); }
    void release() {
        stamp_.release();
        generation_ = 1;
    }

private:
    ZeroedArray<std::uint32_t> stamp_;
    std::uint32_t generation_ = 1;
};

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
// per group (MovieLens, 200,000 random pairs: about a third less time).
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
// prefetch(row key, list key) readies a pair's data.
template <class ListKey, class Answer, class Prefetch>
std::vector<float> answer_pairs(std::span<const std::uint64_t> row_keys,
                                std::span<const ListKey> list_keys, Scorer& scorer, Answer&& answer,
                                Prefetch&& prefetch) {
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
        const float score = row.empty() || !lists.find(i, list) ? default_pred
                                                                : scorer.score(list, k, row);
        pacer.step(row.size());
        return score;
    };
    auto prefetch = [&](std::uint64_t u, std::int32_t i) {
        typename Lists::View next{};
        if (lists.find(i, next)) next.prefetch(k);
        prefetch_row(users_csr, u);
    };
    return answer_pairs(users.first(n), items.first(n), scorer, answer, prefetch);
}

}  // namespace

std::vector<float> predict_item_cf(const CfModel& m, std::span<const std::uint64_t> users,
                                   std::span<const std::int32_t> items) {
    return predict_by_item(CosineLists{m.sim_mapping}, m.k_sim, m.user_interactions, m.n_users,
                           m.n_items, parse_task(m.task), m.task, m.default_pred, users, items);
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
    Scorer scorer(parse_task(m.task), m.task, m.default_pred, m.n_users);
    InterruptPacer pacer;
    // Pairs are grouped by item: the row is the item's.
    auto answer = [&](std::uint64_t i, std::int32_t u) -> float {
        // The user id keys the list, so its sign is checked before anything else.
        if (u < 0) throw ValueFailure(kOutOfRangeConversion);
        if (static_cast<std::uint64_t>(u) == m.n_users || i == m.n_items) return m.default_pred;
        const RowView row = get_row(m.item_interactions, i);
        CosineView list{};
        const float score = row.empty() || !lists.find(u, list)
                                ? m.default_pred
                                : scorer.score(list, m.k_sim, row);
        pacer.step(row.size());
        return score;
    };
    auto prefetch = [&](std::uint64_t i, std::int32_t u) {
        CosineView next{};
        if (lists.find(u, next)) next.prefetch(m.k_sim);
        prefetch_row(m.item_interactions, i);
    };
    return answer_pairs(items.first(n), users.first(n), scorer, answer, prefetch);
}

// ---------------------------------------------------------------------------
// Recommendation

namespace {

// The consumed items of one user, as a set.
class ConsumedSet {
public:
    void reset(std::size_t dense) {
        dense_ = dense;
        stamps_.resize(dense);
        stamps_.next_generation();
        sparse_.clear();
        any_ = false;
    }
    void add(std::int32_t id) {
        any_ = true;
        if (static_cast<std::uint32_t>(id) < dense_)
            stamps_.set(static_cast<std::uint32_t>(id));
        else
            sparse_.insert(id);
    }
    bool contains(std::int32_t id) const {
        if (static_cast<std::uint32_t>(id) < dense_)
            return stamps_.is_set(static_cast<std::uint32_t>(id));
        return !sparse_.empty() && sparse_.count(id) != 0;
    }
    bool any() const { return any_; }
    void release() {
        stamps_.release();
        dense_ = 0;
    }

private:
    Stamps stamps_;
    std::unordered_set<std::int32_t, IdHash> sparse_;
    std::size_t dense_ = 0;
    bool any_ = false;
};

// candidate id -> accumulated f32 score for one user. Iteration order is the
// order of first contribution.
class CandidateScores {
public:
    void reset(std::size_t dense) {
        dense_ = dense;
        slots_.grow(dense);  // fresh slots hold generation 0: untouched
        if (++generation_ == 0) {
            for (Slot& slot : slots_) slot.generation = 0;
            generation_ = 1;
        }
        sparse_.clear();
        touched_.clear();
    }
    void add(std::int32_t id, float amount) {
        if (static_cast<std::uint32_t>(id) < dense_) {
            Slot& slot = slots_[static_cast<std::uint32_t>(id)];
            if (slot.generation == generation_) {
                slot.score += amount;
            } else {
                slot.generation = generation_;
                slot.score = amount;
                touched_.push_back(id);
            }
            return;
        }
        auto [it, inserted] = sparse_.try_emplace(id, amount);
        if (inserted)
            touched_.push_back(id);
        else
            it->second += amount;
    }
    float score_of(std::int32_t id) const {
        if (static_cast<std::uint32_t>(id) < dense_)
            return slots_[static_cast<std::uint32_t>(id)].score;
        return sparse_.find(id)->second;
    }
    std::size_t size() const { return touched_.size(); }
    std::vector<std::int32_t>& ids() { return touched_; }
    std::size_t capacity() const { return slots_.size(); }
    void release() {
        slots_.release();
        generation_ = 1;
        dense_ = 0;
    }

private:
    // Mark and score side by side: one cache line per visit.
    struct Slot {
        std::uint32_t generation = 0;
        float score = 0.0f;
    };
    ZeroedArray<Slot> slots_;
    std::uint32_t generation_ = 1;
    std::unordered_map<std::int32_t, float, IdHash> sparse_;
    std::vector<std::int32_t> touched_;
    std::size_t dense_ = 0;
};

std::mt19937_64& random_engine() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    return engine;
}

// Sort key: descending score in the high half, first-contribution position in
// the low half, so a plain ascending sort is the stable descending-score order.
std::uint64_t selection_key(float score, std::uint32_t position) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(score + 0.0f);  // -0 sorts as +0
    const std::uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    return (static_cast<std::uint64_t>(~ascending) << 32) | position;
}

struct Scratch {
    CandidateScores candidates;
    ConsumedSet consumed;
    std::vector<std::uint64_t> keys;
    std::size_t dense = 0;

    void trim() {
        if (dense > kKeepDenseIds) {
            candidates.release();
            consumed.release();
            std::vector<std::uint64_t>().swap(keys);
        }
    }
};

// Per thread, so that single-user calls do not re-zero the dense arrays. Not
// inlined, so hot loops hold a plain reference instead of re-deriving the
// thread-local address.
[[gnu::noinline]] Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

// Up to n_rec candidate ids: a uniform sample without replacement when asked
// and there are more candidates than wanted, else the best-scored ones.
std::vector<std::int32_t> select_items(Scratch& s, std::uint64_t n_rec, bool random_rec) {
    std::vector<std::int32_t>& ids = s.candidates.ids();
    const std::size_t n = ids.size();
    if (random_rec && n_rec < n) {
        // Partial Fisher-Yates: the first n_rec slots become the draw, in draw order.
        std::mt19937_64& engine = random_engine();
        const auto take = static_cast<std::size_t>(n_rec);
        for (std::size_t t = 0; t < take; ++t) {
            std::uniform_int_distribution<std::size_t> pick(t, n - 1);
            std::swap(ids[t], ids[pick(engine)]);
        }
        return std::vector<std::int32_t>(ids.begin(),
                                         ids.begin() + static_cast<std::ptrdiff_t>(take));
    }

    // Any comparison sort of two or more scores compares every one of them, so
    // a NaN among them always makes the order undefined.
    if (n >= 2) {
        for (std::int32_t id : ids)
            if (std::isnan(s.candidates.score_of(id))) throw Panic(kUnwrapNone);
    }
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n_rec, n));
    if (take == 0) return {};
    if (n == 1) return {ids[0]};

    s.keys.clear();
    s.keys.reserve(n);
    for (std::size_t p = 0; p < n; ++p)
        s.keys.push_back(
            selection_key(s.candidates.score_of(ids[p]), static_cast<std::uint32_t>(p)));
    if (take < n) {
        std::nth_element(s.keys.begin(), s.keys.begin() + static_cast<std::ptrdiff_t>(take),
                         s.keys.end());
        std::sort(s.keys.begin(), s.keys.begin() + static_cast<std::ptrdiff_t>(take));
    } else {
        std::sort(s.keys.begin(), s.keys.end());
    }
    std::vector<std::int32_t> out(take);
    for (std::size_t t = 0; t < take; ++t) out[t] = ids[static_cast<std::uint32_t>(s.keys[t])];
    return out;
}

enum class Report { NoRecPositions, Shortfall };

// Runs the per-user loop shared by the three models. `gather(u, scratch,
// consumed)` fills scratch.candidates for user u, skipping items in `consumed`
// when it is not null, and throws for ids it cannot accept.
template <class Gather>
Recommendations recommend_users(std::span<const std::int32_t> users, std::uint64_t n_rec,
                                bool filter_consumed, bool random_rec, const ConsumedMap& consumed,
                                std::uint64_t n_items, Report report, Gather&& gather) {
    Scratch& scratch = thread_scratch();
    struct Trim {
        Scratch& s;
        ~Trim() { s.trim(); }
    } trim{scratch};
    scratch.dense = static_cast<std::size_t>(std::min<std::uint64_t>(n_items, kMaxDenseIds));

    Recommendations result;
    result.lists.reserve(users.size());
    InterruptPacer pacer;
    for (std::size_t p = 0; p < users.size(); ++p) {
        const std::int32_t u = users[p];
        scratch.candidates.reset(scratch.dense);
        const ConsumedSet* skip = nullptr;
        if (filter_consumed) {
            scratch.consumed.reset(scratch.dense);
            if (const auto* items = consumed.find(u))
                for (std::int32_t c : *items) scratch.consumed.add(c);
            if (scratch.consumed.any()) skip = &scratch.consumed;
        }
        const std::uint64_t work = gather(u, scratch, skip);

        if (scratch.candidates.size() == 0) {
            result.lists.emplace_back();
            result.report.push_back(report == Report::NoRecPositions ? p : n_rec);
        } else {
            result.lists.push_back(select_items(scratch, n_rec, random_rec));
            if (report == Report::Shortfall)
                result.report.push_back(n_rec - result.lists.back().size());
        }
        pacer.step(work);
    }
    return result;
}

// ItemCF and Swing: candidates are the first k neighbours of the items in the
// user's row, weighted by the user's value for that item.
template <class Lists>
Recommendations recommend_by_item(const Lists& lists, std::uint64_t k, const CsrMatrix& users_csr,
                                  const ConsumedMap& consumed, std::uint64_t n_items, Report report,
                                  std::span<const std::int32_t> users, std::uint64_t n_rec,
                                  bool filter_consumed, bool random_rec) {
    auto gather = [&](std::int32_t u, Scratch& s, const ConsumedSet* skip) -> std::uint64_t {
        const RowView row = get_row(users_csr, to_index(u));
        std::uint64_t work = row.size();
        for (std::size_t e = 0; e < row.size(); ++e) {
            typename Lists::View list{};
            if (e + 1 < row.size() && lists.find(row.columns[e + 1], list)) list.prefetch(k);
            if (!lists.find(row.columns[e], list)) continue;
            const float r = row.values[e];
            const std::size_t m = head_length(k, list.len);
            work += m;
            for (std::size_t j = 0; j < m; ++j) {
                const std::int32_t c = list.id(j);
                if (skip != nullptr && skip->contains(c)) continue;
                s.candidates.add(c, list.sim(j) * r);
            }
        }
        return work;
    };
    return recommend_users(users, n_rec, filter_consumed, random_rec, consumed, n_items, report,
                           gather);
}

}  // namespace

Recommendations recommend_item_cf(const CfModel& m, std::span<const std::int32_t> users,
                                  std::uint64_t n_rec, bool filter_consumed, bool random_rec) {
    return recommend_by_item(CosineLists{m.sim_mapping}, m.k_sim, m.user_interactions,
                             m.user_consumed, m.n_items, Report::NoRecPositions, users, n_rec,
                             filter_consumed, random_rec);
}

Recommendations recommend_swing(const SwingModel& m, std::span<const std::int32_t> users,
                                std::uint64_t n_rec, bool filter_consumed, bool random_rec) {
    return recommend_by_item(SwingLists{m.swing_scores}, m.top_k, m.user_interactions,
                             m.user_consumed, m.n_items, Report::Shortfall, users, n_rec,
                             filter_consumed, random_rec);
}

Recommendations recommend_user_cf(const CfModel& m, std::span<const std::int32_t> users,
                                  std::uint64_t n_rec, bool filter_consumed, bool random_rec) {
    const CosineLists lists{m.sim_mapping};
    // UserCF: candidates are the items of the user's first k neighbours. A
    // requested user without a list (any negative id) simply gets nothing; a
    // negative id inside a used list is an error.
    auto gather = [&](std::int32_t u, Scratch& s, const ConsumedSet* skip) -> std::uint64_t {
        CosineView list{};
        if (!lists.find(u, list)) return 0;
        const std::size_t m_head = head_length(m.k_sim, list.len);
        std::uint64_t work = m_head;
        for (std::size_t j = 0; j < m_head; ++j) {
            if (j + 1 < m_head)
                prefetch_row(m.user_interactions, static_cast<std::uint32_t>(list.id(j + 1)));
            const std::size_t v = to_index(list.id(j));
            const float sim = list.sim(j);
            const RowView row = get_row(m.user_interactions, v);
            work += row.size();
            for (std::size_t e = 0; e < row.size(); ++e) {
                const std::int32_t c = row.columns[e];
                if (skip != nullptr && skip->contains(c)) continue;
                s.candidates.add(c, row.values[e] * sim);
            }
        }
        return work;
    };
    return recommend_users(users, n_rec, filter_consumed, random_rec, m.user_consumed, m.n_items,
                           Report::NoRecPositions, gather);
}

}  // namespace quibrel
