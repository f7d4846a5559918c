// Swing scores between items over the user-item graph.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/models.hpp"

namespace quibrel {

// One score pass: a new map seeded from `previous`, with the contributions of
// every user pair of every item row of `item_matrix`. Runs on the pool.
SwingScores build_swing_scores(const CsrMatrix& user_matrix, const CsrMatrix& item_matrix,
                               const SwingScores& previous, std::uint64_t n_users,
                               std::uint64_t n_items, float alpha, std::uint64_t max_cache_num);

// The lists of the chosen items (ids below n_items, any order, repeats
// allowed) as compute_swing finds them from these matrices: result[k] belongs
// to items[k] and is empty for an item without a list. The per-item work and
// its order are those of the full pass, so every score is the same f32 value
// and every list in the same order. Runs on the pool; reads its inputs only.
std::vector<SwingList> swing_item_lists(const CsrMatrix& user_matrix, const CsrMatrix& item_matrix,
                                        std::uint64_t n_users, std::uint64_t n_items, float alpha,
                                        std::uint64_t max_cache_num,
                                        std::span<const std::int32_t> items);

// Body of compute_swing: writes the thread count, clears swing_scores, runs
// the pass over the model's own matrices and stores the result.
void compute_swing(SwingModel& m, std::uint64_t num_threads);

// Body of update_swing after its matrices are converted (the thread count is
// written before that, by the caller): the seeded pass over the new batch,
// then the merges into the stored matrices.
void update_swing(SwingModel& m, const CsrMatrix& new_user_interactions,
                  const CsrMatrix& new_item_interactions);

// Total pairs over all lists; RuntimeFailure when there are none.
std::uint64_t num_swing_elements(const SwingModel& m);

}  // namespace quibrel
