// Routes of the computations that have several. Every route of an algorithm
// gives the same results bit for bit; they differ only in cost, so each
// algorithm picks its route by sizes, id widths and bounds in one function:
// choose_forward_route (cosine_forward.cpp), choose_pass_route (swing.cpp)
// and choose_item_route (swing_item.cpp).
//
// A route may be forced, so that a test can run every route on the same
// inputs and compare the results (tests/native/test_routes.cpp). Nothing else
// forces one. The setting is process-wide and read when a computation
// starts, so it must not change while one runs.
#pragma once

#include <cstdint>

namespace quibrel::routes {

// The forward cosine path: full rows (every pair accumulated from both sides,
// each list built in cache) or half rows (each pair once, then a scatter),
// the latter with 32-bit or 64-bit common counts.
enum class CosineForward : std::uint8_t { Chosen, FullRows, HalfRows, HalfRowsWideCounts };

// Where a Swing pass finds the common lists of its user pairs: every list
// built up front, a bounded cache filled as pairs are met, or neither (the
// pairs of an item counted from its own index each time). Literal walks the
// rows pair by pair, as the definition reads, for every item.
enum class SwingPass : std::uint8_t { Chosen, ListsUpFront, Cache, NoCache, Literal };

// With the cache: how an item builds the lists it misses, one pair at a time
// (mark one row, scan the other) or all pairs of a position from the item's
// inverted index (also for items whose lists are short).
enum class SwingMisses : std::uint8_t { Chosen, OneByOne, Indexed };

// The accumulator: tracking touched ids from the first update, or scanning
// every slot at the end.
enum class SwingAccumulator : std::uint8_t { Chosen, Tracking, Scanning };

struct Forced {
    CosineForward cosine_forward = CosineForward::Chosen;
    SwingPass swing_pass = SwingPass::Chosen;
    SwingMisses swing_misses = SwingMisses::Chosen;
    SwingAccumulator swing_accumulator = SwingAccumulator::Chosen;
    bool swing_wide_ids = false;  // 32-bit ids in stored lists even where 16 bits hold them
};

// The process-wide setting (all Chosen unless a test changes it).
Forced& forced() noexcept;

}  // namespace quibrel::routes
