// Folding new interactions into a computed cosine model.
#pragma once

#include "core/models.hpp"

namespace quibrel {

// Body of update_similarities: extends sum_squares, adds the new
// co-occurrences to pair_stats, re-scores touched pairs, merges them into
// sim_mapping, then merges the new interactions into both stored matrices.
// Prints the incremental timing lines. Calling thread only.
void update_similarities(CfModel& m, Orientation o, const CsrMatrix& new_user_interactions,
                         const CsrMatrix& new_item_interactions);

}  // namespace quibrel
