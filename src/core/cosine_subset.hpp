// The cosine state of a chosen set of entities against every entity of a
// model: what a full computation finds for them, without computing (or
// storing) anything for the others. The exact update recomputes the entities
// a batch touches with it; a distributed worker can compute the lists of an
// entity range with it. It reads its inputs only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/cosine_pair_stats.hpp"
#include "core/csr.hpp"
#include "core/models.hpp"

namespace quibrel {

struct CosineInputs {
    const CsrMatrix& forward;            // rows = entities, ascending unique columns
    const CsrMatrix& other;              // rows = the other side: the forward matrix transposed
    std::size_t n;                       // entity count (ids below it)
    std::size_t other_rows;              // the other side's count
    std::span<const float> sum_squares;  // n squared norms, as compute_sum_squares gives them
    std::uint64_t min_common;
};

// One chosen entity x.
struct EntityState {
    std::vector<PairDelta> pairs;  // partners with a common interaction: ascending y != x
    NeighbourList list;            // the sorted neighbour list (empty: x has none)
};

struct CosineSubset {
    std::vector<EntityState> states;  // states[k] belongs to entities[k]
    // Position of the first chosen entity whose list cannot be sorted (a NaN
    // similarity in a list of two or more), or the number of entities. The
    // list there and after it may be missing.
    std::size_t first_unsortable = 0;
    // Dense cell updates made (the work done), for cost accounting.
    std::uint64_t updates = 0;
};

// The states of `entities` (ids below n, any order). A dot product sums the
// products of the shared columns in ascending column order, as both full
// paths do, so with a forward matrix and its exact transpose every dot,
// count and similarity equals the full computation's bit for bit, and the
// lists are in the same order (descending similarity, ascending id among
// equal ones). Pairs are kept only when `keep_pairs`. Runs on the worker pool;
// the result does not depend on the number of workers.
//
// Throws ValueFailure for a negative column and the index-out-of-bounds panic
// for a column at or beyond the other side's count or the entity count.
CosineSubset cosine_subset(const CosineInputs& in, std::span<const std::int32_t> entities,
                           bool keep_pairs);

// The update count a full computation makes for row x: the lengths of the
// other side's rows it meets (used to weigh a subset against a full run).
std::uint64_t entity_updates(const CsrMatrix& forward, const CsrMatrix& other, std::size_t x);

}  // namespace quibrel
