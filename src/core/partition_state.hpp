// The similarity state of a model split by entity: each partition computes
// the lists (and, for cosine, the pair records) of its own range of entities
// from the full matrices, and the model that gathers every range installs them.
// The library's distributed fit (quibrel.dask) runs the first half on
// workers and the second in the client process.
//
// Installing every entity's lists and pair records, then completing the
// model, gives the state a full computation on the same matrices gives, bit
// for bit: the same neighbour lists, norms and pair records, stored so that
// a model file writes them in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/mem_fresh_blocks.hpp"
#include "core/models.hpp"

namespace quibrel {

// The state of a range of entities, flattened: its k-th entity's list is
// ids/scores[offsets[k], offsets[k+1]), its pair records (partners y above
// it, ascending) pair_ids/pair_dots/pair_counts[pair_offsets[k],
// pair_offsets[k+1]). Without pair records the pair vectors are empty.
// The vectors keep to small pages made present ahead of the writer (see
// mem_fresh_blocks.hpp): on a worker they are most of the memory a range touches.
struct PartitionState {
    FreshVector<std::uint64_t> offsets{0};
    FreshVector<std::int32_t> ids;
    FreshVector<float> scores;
    FreshVector<std::uint64_t> pair_offsets;
    FreshVector<std::int32_t> pair_ids;
    FreshVector<float> pair_dots;
    FreshVector<std::uint32_t> pair_counts;
};

// Read-only views of a PartitionState of the entities first.., as
// installation takes it.
struct PartitionView {
    std::size_t first;
    std::span<const std::uint64_t> offsets;
    std::span<const std::int32_t> ids;
    std::span<const float> scores;
    std::span<const std::uint64_t> pair_offsets;
    std::span<const std::int32_t> pair_ids;
    std::span<const float> pair_dots;
    std::span<const std::uint32_t> pair_counts;
};

// The cosine state of the entities begin..end-1 (below the entity count)
// from the model's matrices: each list cut to its first `keep` entries (0:
// whole), and the pair records (x, y > x) when `pairs`. Nothing stored in the
// model is read or changed; the two matrices must hold the same cells (as
// the library's always do), and any id beyond its range raises the
// index-out-of-bounds panic or ValueFailure. A list that cannot be sorted (a
// NaN similarity) raises the panic a full computation raises. Runs on the
// worker pool; the result does not depend on the number of workers.
// The state comes in at most `max_pieces` consecutive pieces (each piece's
// offsets start at 0), computed side by side on the pool.
std::vector<PartitionState> cosine_partition(const CfModel& m, Orientation o, std::size_t begin,
                                             std::size_t end, std::uint64_t keep, bool pairs,
                                             std::size_t max_pieces);

// The pair records (x, y > x) of the entities begin..end-1 alone, the same
// records cosine_partition gives with `pairs`, in at most `max_pieces`
// pieces (pair vectors only; each piece's offsets stay {0}). Each entity is
// met only with its partners above it: half the cell updates of the lists'
// route, and no list is sorted. Runs on the worker pool.
std::vector<PartitionState> cosine_partition_pairs(const CfModel& m, Orientation o,
                                                   std::size_t begin, std::size_t end,
                                                   std::size_t max_pieces);

// The Swing lists of the items begin..end-1 (below n_items), each cut to its
// first `keep` entries (0: whole).
PartitionState swing_partition(const SwingModel& m, std::size_t begin, std::size_t end,
                               std::uint64_t keep);

// Stores the lists (and pair records) of a partition in the model: an
// entity's list replaces its list (an empty one removes it), a pair record
// replaces the record of the same pair. Everything is checked first (the
// entities below the entity count, offsets consistent, and in the copies the
// model will keep, so that memory changing under the call cannot get past the
// checks: neighbour ids below the entity count, pair partners ascending above
// their entity, counts in 1..2^32-2); a failed check raises ValueFailure
// before the model changes. A failed allocation may leave part of a
// partition installed: a caller gathering a model discards it then.
void install_cosine_partition(CfModel& m, Orientation o, const PartitionView& v);
void install_swing_partition(SwingModel& m, const PartitionView& v);

// Pair records of the entities first.. as cosine_partition_pairs gives them.
struct PairsView {
    std::size_t first;
    std::span<const std::uint64_t> pair_offsets;
    std::span<const std::int32_t> pair_ids;
    std::span<const float> pair_dots;
    std::span<const std::uint32_t> pair_counts;
};

// Stores a partition's pair records in the model, checked as
// install_cosine_partition checks them; the lists are left alone.
void install_cosine_pairs(CfModel& m, Orientation o, const PairsView& v);

// Completes a model whose every entity's pair records are installed (with
// install_cosine_pairs): norms from its matrices, then every neighbour list
// built from the stored records on the worker pool, by the code a full
// computation uses to turn its pair records into lists, so the state is the
// same bit for bit. Stored records that could not come from an install raise
// ValueFailure before anything changes.
void complete_cosine_from_pairs(CfModel& m, Orientation o);

// Completes a model whose every partition is installed: cosine norms from
// its matrices; Swing lists laid out as a computation stores them (a failed
// allocation there loses lists: the caller discards the model).
void complete_cosine(CfModel& m, Orientation o);
void complete_swing(SwingModel& m);

}  // namespace quibrel
