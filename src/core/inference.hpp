// Scoring user-item pairs and top-N recommendation for the three models.
// Calling thread only; the models are read, never changed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/models.hpp"

namespace quibrel {

std::vector<float> predict_item_cf(const CfModel& m, std::span<const std::uint64_t> users,
                                   std::span<const std::int32_t> items);
std::vector<float> predict_user_cf(const CfModel& m, std::span<const std::int32_t> users,
                                   std::span<const std::uint64_t> items);
std::vector<float> predict_swing(const SwingModel& m, std::span<const std::uint64_t> users,
                                 std::span<const std::int32_t> items);

struct Recommendations {
    std::vector<std::vector<std::int32_t>> lists;  // one per requested user
    std::vector<std::uint64_t> report;             // model-specific (positions or shortfalls)
    // With scores asked for: the accumulated score of each listed item, the
    // value the list is ordered by (random draws keep their draw order).
    std::vector<std::vector<float>> scores;
};

Recommendations recommend_item_cf(const CfModel& m, std::span<const std::int32_t> users,
                                  std::uint64_t n_rec, bool filter_consumed, bool random_rec,
                                  bool with_scores = false);
Recommendations recommend_user_cf(const CfModel& m, std::span<const std::int32_t> users,
                                  std::uint64_t n_rec, bool filter_consumed, bool random_rec,
                                  bool with_scores = false);
Recommendations recommend_swing(const SwingModel& m, std::span<const std::int32_t> users,
                                std::uint64_t n_rec, bool filter_consumed, bool random_rec,
                                bool with_scores = false);

}  // namespace quibrel
