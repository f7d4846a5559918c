// Cosine similarity between entities (items for ItemCF, users for UserCF):
// pair statistics and full neighbour lists sorted by descending similarity.
#pragma once

#include <cstdint>
#include <vector>

#include "core/models.hpp"

namespace quibrel {

// A kept pair, produced in ascending (x, y) order.
struct SimTriple {
    std::int32_t x;
    std::int32_t y;
    float sim;
};

// d / (sqrt(sx) * sqrt(sy)) in f32; 0 when d, sx or sy is 0 (NaN is not 0).
inline float cosine(float dot, float sx, float sy) {
    if (dot == 0.0f || sx == 0.0f || sy == 0.0f) return 0.0f;
    return dot / (__builtin_sqrtf(sx) * __builtin_sqrtf(sy));
}

// Body of compute_similarities once the arguments are converted: refreshes
// sum_squares, runs the forward path on the pool (after writing num_threads
// to the thread-count variable) or the invert path on the calling thread,
// then merges the kept pairs into sim_mapping. Prints the timing lines.
void compute_similarities(CfModel& m, Orientation o, bool invert, std::uint64_t num_threads);

// The same computation on the forward path, leaving the thread-count
// variable alone: for a caller that runs a full computation on its own
// behalf, on the pool as it is.
void compute_similarities_forward(CfModel& m, Orientation o);

// Total neighbour entries over all lists.
std::uint64_t num_sim_elements(const CfModel& m);

}  // namespace quibrel
