// Calls on whole models, each held to the failures the core may raise for it
// and, when it completes, to the shape its result must have.
#pragma once

#include <algorithm>
#include <cmath>
#include <set>

#include "core/cosine.hpp"
#include "core/cosine_incremental.hpp"
#include "core/inference.hpp"
#include "core/swing.hpp"
#include "fuzz/native/harness.hpp"

namespace fuzz {

using quibrel::CfModel;
using quibrel::Orientation;
using quibrel::Recommendations;
using quibrel::SwingModel;

// One answer per user; no item twice in a list; no more than n_rec items; no
// consumed item when filtering; for Swing one shortfall per user.
inline void check_recommendations(const Recommendations& rec, std::span<const std::int32_t> users,
                                  std::uint64_t n_rec, bool filter,
                                  const quibrel::ConsumedMap& consumed, bool per_user_report) {
    FUZZ_CHECK(rec.lists.size() == users.size());
    if (per_user_report) FUZZ_CHECK(rec.report.size() == users.size());
    for (std::size_t p = 0; p < rec.lists.size(); ++p) {
        const auto& list = rec.lists[p];
        FUZZ_CHECK(list.size() <= n_rec);
        std::set<std::int32_t> seen(list.begin(), list.end());
        FUZZ_CHECK(seen.size() == list.size());
        if (per_user_report) FUZZ_CHECK(rec.report[p] == n_rec - list.size());
        if (filter)
            if (const auto* items = consumed.find(users[p]))
                for (std::int32_t c : *items) FUZZ_CHECK(!seen.count(c));
    }
}

inline void predict_cf(Input& in, const CfModel& m, Orientation o) {
    const std::size_t n_users = static_cast<std::size_t>(std::min<std::uint64_t>(m.n_users, 64));
    const std::size_t n_items = static_cast<std::size_t>(std::min<std::uint64_t>(m.n_items, 64));
    if (o == Orientation::Item) {
        const auto users = u64_ids(in, n_users);
        const auto items = i32_ids(in, n_items);
        attempt("ItemCF.predict", kPanic | kValue, [&] {
            const auto out = quibrel::predict_item_cf(m, users, items);
            FUZZ_CHECK(out.size() == std::min(users.size(), items.size()));
        });
    } else {
        const auto users = i32_ids(in, n_users);
        const auto items = u64_ids(in, n_items);
        attempt("UserCF.predict", kPanic | kValue, [&] {
            const auto out = quibrel::predict_user_cf(m, users, items);
            FUZZ_CHECK(out.size() == std::min(users.size(), items.size()));
        });
    }
}

inline void recommend_cf(Input& in, const CfModel& m, Orientation o) {
    const auto users =
        i32_ids(in, static_cast<std::size_t>(std::min<std::uint64_t>(m.n_users, 64)));
    const std::uint64_t n_rec = any_n_rec(in);
    const bool filter = in.flag();
    const bool random = in.flag();
    attempt(o == Orientation::Item ? "ItemCF.recommend" : "UserCF.recommend", kPanic | kValue, [&] {
        const Recommendations rec =
            o == Orientation::Item ? quibrel::recommend_item_cf(m, users, n_rec, filter, random)
                                   : quibrel::recommend_user_cf(m, users, n_rec, filter, random);
        check_recommendations(rec, users, n_rec, filter, m.user_consumed, false);
    });
}

inline void predict_swing(Input& in, const SwingModel& m) {
    const auto users =
        u64_ids(in, static_cast<std::size_t>(std::min<std::uint64_t>(m.n_users, 64)));
    const auto items =
        i32_ids(in, static_cast<std::size_t>(std::min<std::uint64_t>(m.n_items, 64)));
    attempt("Swing.predict", kPanic | kValue, [&] {
        const auto out = quibrel::predict_swing(m, users, items);
        FUZZ_CHECK(out.size() == std::min(users.size(), items.size()));
    });
}

inline void recommend_swing(Input& in, const SwingModel& m) {
    const auto users =
        i32_ids(in, static_cast<std::size_t>(std::min<std::uint64_t>(m.n_users, 64)));
    const std::uint64_t n_rec = any_n_rec(in);
    const bool filter = in.flag();
    const bool random = in.flag();
    attempt("Swing.recommend", kPanic | kValue, [&] {
        const Recommendations rec = quibrel::recommend_swing(m, users, n_rec, filter, random);
        check_recommendations(rec, users, n_rec, filter, m.user_consumed, true);
    });
}

// Computed neighbour lists: parallel vectors in non-increasing similarity.
inline void check_sim_mapping(const CfModel& m) {
    m.sim_mapping.for_each([](std::int32_t, const quibrel::NeighbourList& list) {
        FUZZ_CHECK(list.ids.size() == list.sims.size());
        const bool has_nan =
            std::any_of(list.sims.begin(), list.sims.end(), [](float s) { return std::isnan(s); });
        if (!has_nan) FUZZ_CHECK(std::is_sorted(list.sims.rbegin(), list.sims.rend()));
    });
}

inline void compute_cf(Input& in, CfModel& m, Orientation o) {
    const bool invert = in.flag();
    const std::uint64_t threads = any_thread_count(in);
    // Lists already held (a loaded model's) are merged with, not replaced, so
    // only lists the computation wrote by itself are checked.
    const bool fresh = m.sim_mapping.empty();
    if (attempt("compute_similarities", kPanic | kValue,
                [&] { quibrel::compute_similarities(m, o, invert, threads); }) &&
        fresh)
        check_sim_mapping(m);
}

inline void update_cf(Input& in, CfModel& m, Orientation o) {
    const Interactions batch =
        interactions(in, static_cast<std::size_t>(std::min<std::uint64_t>(m.n_users, kMaxRows)),
                     static_cast<std::size_t>(std::min<std::uint64_t>(m.n_items, 16)));
    attempt("update_similarities", kPanic | kValue,
            [&] { quibrel::update_similarities(m, o, batch.users, batch.items); });
}

inline void compute_swing(Input& in, SwingModel& m) {
    const std::uint64_t threads = any_thread_count(in);
    attempt("compute_swing", kPanic, [&] { quibrel::compute_swing(m, threads); });
}

inline void update_swing(Input& in, SwingModel& m) {
    // The binding writes the thread count before it reads the batch.
    quibrel::set_thread_count(any_thread_count(in));
    const Interactions batch =
        interactions(in, static_cast<std::size_t>(std::min<std::uint64_t>(m.n_users, kMaxRows)),
                     static_cast<std::size_t>(std::min<std::uint64_t>(m.n_items, 16)));
    attempt("update_swing", kPanic, [&] { quibrel::update_swing(m, batch.users, batch.items); });
}

inline void count_swing_elements(const SwingModel& m) {
    attempt("num_swing_elements", kRuntime, [&] {
        const std::uint64_t n = quibrel::num_swing_elements(m);
        FUZZ_CHECK(!m.swing_scores.empty());
        (void)n;
    });
}

}  // namespace fuzz
