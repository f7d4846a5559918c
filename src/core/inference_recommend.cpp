// Top-N recommendation for the three models.
#include "core/inference.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/errors.hpp"
#include "core/generation.hpp"
#include "core/inference_common.hpp"
#include "core/neighbour_sort.hpp"

namespace quibrel {

namespace {

using namespace inference_detail;

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
        next_generation(generation_, [&] {
            for (Slot& slot : slots_) slot.generation = 0;
        });
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
    // -0 sorts as +0.
    return neighbour_key(static_cast<std::int32_t>(position), score + 0.0f);
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
                                bool filter_consumed, bool random_rec, bool with_scores,
                                const ConsumedMap& consumed, std::uint64_t n_items, Report report,
                                Gather&& gather) {
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
        if (with_scores) {
            std::vector<float>& scores = result.scores.emplace_back();
            scores.reserve(result.lists.back().size());
            for (std::int32_t id : result.lists.back())
                scores.push_back(scratch.candidates.score_of(id));
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
                                  bool filter_consumed, bool random_rec, bool with_scores) {
    auto gather = [&](std::int32_t u, Scratch& s, const ConsumedSet* skip) -> std::uint64_t {
        const RowView row = get_row(users_csr, to_index(u));
        std::uint64_t work = row.size();
        for (std::size_t e = 0; e < row.size(); ++e) {
            typename Lists::View list{};
            touch_ahead(e, row.size(), [&](std::size_t t) { lists.touch(row.columns[t]); });
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
    return recommend_users(users, n_rec, filter_consumed, random_rec, with_scores, consumed,
                           n_items, report, gather);
}

}  // namespace

Recommendations recommend_item_cf(const CfModel& m, std::span<const std::int32_t> users,
                                  std::uint64_t n_rec, bool filter_consumed, bool random_rec,
                                  bool with_scores) {
    return recommend_by_item(CosineLists{m.sim_mapping}, m.k_sim, m.user_interactions,
                             m.user_consumed, m.n_items, Report::NoRecPositions, users, n_rec,
                             filter_consumed, random_rec, with_scores);
}

Recommendations recommend_swing(const SwingModel& m, std::span<const std::int32_t> users,
                                std::uint64_t n_rec, bool filter_consumed, bool random_rec,
                                bool with_scores) {
    return recommend_by_item(SwingLists{m.swing_scores}, m.top_k, m.user_interactions,
                             m.user_consumed, m.n_items, Report::Shortfall, users, n_rec,
                             filter_consumed, random_rec, with_scores);
}

Recommendations recommend_user_cf(const CfModel& m, std::span<const std::int32_t> users,
                                  std::uint64_t n_rec, bool filter_consumed, bool random_rec,
                                  bool with_scores) {
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
    return recommend_users(users, n_rec, filter_consumed, random_rec, with_scores, m.user_consumed,
                           m.n_items, Report::NoRecPositions, gather);
}

}  // namespace quibrel
