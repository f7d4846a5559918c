// The small pieces many paths of the core share: ordering touched ids, the
// equal-cost split, the descending sort key, generation stamps, the bump
// cursor and the list arenas' accounting. Each is checked against a plain
// restatement of what its callers rely on, over random and edge-case inputs.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/generation.hpp"
#include "core/mem_fresh_blocks.hpp"
#include "core/mem_list_storage.hpp"
#include "core/sort_key.hpp"
#include "core/touched_cells.hpp"
#include "core/work_split.hpp"

#include "expect.hpp"

using namespace quibrel;

namespace {

using native_test::expect;
using native_test::failures;

// Touched ids come out ascending and complete whichever way they are ordered
// (sorted or walked through the bitmap), and the bitmap is left clear.
void test_order_touched() {
    std::mt19937_64 rng(7);
    for (const std::size_t n : {1u, 63u, 64u, 65u, 1000u, 4096u}) {
        for (const std::size_t ratio : {1u, 64u, 512u}) {
            for (const std::size_t count : {std::size_t{0}, std::size_t{1}, n / 3, n}) {
                std::vector<std::uint32_t> all(n);
                std::iota(all.begin(), all.end(), 0u);
                std::shuffle(all.begin(), all.end(), rng);
                std::vector<std::uint32_t> touched(all.begin(), all.begin() + count);
                touched.push_back(0);  // the spare slot writers need
                std::vector<std::uint64_t> bitmap(n / 64 + 1, 0);
                order_touched(touched.data(), count, n, bitmap.data(), ratio);
                std::vector<std::uint32_t> want(all.begin(), all.begin() + count);
                std::sort(want.begin(), want.end());
                const std::string at = " n=" + std::to_string(n) +
                                       " ratio=" + std::to_string(ratio) +
                                       " count=" + std::to_string(count);
                expect(std::equal(want.begin(), want.end(), touched.begin()),
                       "order_touched ascending" + at);
                expect(std::all_of(bitmap.begin(), bitmap.end(), [](auto w) { return w == 0; }),
                       "order_touched clears the bitmap" + at);
            }
        }
    }
}

// A touched list built by add_to_cell holds each id once, in first-touch
// order, and the cells hold the sums and counts.
void test_add_to_cell() {
    const std::size_t n = 50;
    std::vector<Cell<std::uint32_t>> cells(n, Cell<std::uint32_t>{0.0f, 0});
    std::vector<std::uint32_t> touched(n + 1, 0);
    const std::uint32_t ids[] = {7, 3, 7, 49, 3, 7, 0};
    std::size_t count = 0;
    for (const std::uint32_t y : ids)
        count = add_to_cell(cells.data(), touched.data(), count, y, 2.0f, 1.5f);
    expect(count == 4, "add_to_cell counts distinct ids");
    expect(touched[0] == 7 && touched[1] == 3 && touched[2] == 49 && touched[3] == 0,
           "add_to_cell keeps first-touch order");
    expect(cells[7].count == 3 && cells[7].dot == 9.0f, "add_to_cell sums a cell");
    expect(cells[1].count == 0 && cells[1].dot == 0.0f, "add_to_cell leaves others");
}

// The cuts partition the range into at most `parts` non-empty pieces of
// about equal cost.
void check_cuts(const std::vector<std::uint64_t>& cost, std::size_t begin, std::size_t parts) {
    const std::size_t end = begin + cost.size();
    auto of = [&](std::size_t i) { return cost[i - begin]; };
    const std::vector<std::size_t> cuts = equal_cost_cuts(begin, end, parts, of);
    const std::uint64_t total = std::accumulate(cost.begin(), cost.end(), std::uint64_t{0});
    const std::string at =
        " size=" + std::to_string(cost.size()) + " parts=" + std::to_string(parts);
    expect(cuts.front() == begin && cuts.back() == end, "cuts span the range" + at);
    expect(cuts.size() - 1 <= std::max<std::size_t>(parts, 1), "at most parts pieces" + at);
    bool increasing = true;
    for (std::size_t k = 1; k < cuts.size(); ++k) increasing &= cuts[k] > cuts[k - 1];
    expect(increasing, "pieces are non-empty" + at);
    // Balance: a piece costs at most its share plus one index (the bound the
    // list tiles' 32-bit cursors rely on).
    const std::uint64_t largest = cost.empty() ? 0 : *std::max_element(cost.begin(), cost.end());
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        std::uint64_t piece = 0;
        for (std::size_t i = cuts[k]; i < cuts[k + 1]; ++i) piece += of(i);
        expect(piece * parts <= total + largest * parts,
               "piece " + std::to_string(k) + " within its share" + at);
    }
}

void test_equal_cost_cuts() {
    check_cuts({}, 5, 4);
    check_cuts({3}, 0, 4);
    check_cuts({10, 1, 1, 1}, 2, 4);  // one index spans several shares
    check_cuts({0, 0, 0, 0}, 0, 2);
    check_cuts({1, 1, 1, 1, 1, 1, 1, 1}, 0, 3);
    std::mt19937_64 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint64_t> cost(rng() % 40);
        for (auto& c : cost) c = rng() % 4 == 0 ? rng() % 1000 : rng() % 5;
        check_cuts(cost, rng() % 10, 1 + rng() % 9);
    }
    std::vector<std::size_t> cuts{0, 4};
    pad_cuts(cuts, 3);
    expect((cuts == std::vector<std::size_t>{0, 4, 4, 4}), "pad_cuts adds empty pieces");
}

// Ascending keys are descending values (the -0.0 < +0.0 tie broken by the
// bits), equal values order by id, and both halves come back bit for bit;
// the four-lane form agrees with the scalar one.
void test_sort_key() {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values = {inf, 3.5f, 1.0f, 1e-30f, 0.0f, -0.0f, -1e-30f, -2.0f, -inf};
    for (std::size_t a = 0; a + 1 < values.size(); ++a)
        expect(neighbour_key(5, values[a]) < neighbour_key(5, values[a + 1]),
               "key order at " + std::to_string(a));
    expect(neighbour_key(1, 2.0f) < neighbour_key(2, 2.0f), "ties by ascending id");
    std::mt19937 rng(3);
    for (int round = 0; round < 1000; ++round) {
        const float v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        const auto id = static_cast<std::int32_t>(rng());
        const std::uint64_t key = neighbour_key(id, v);
        expect(key_id(key) == id, "key_id round trip");
        expect(std::bit_cast<std::uint32_t>(key_sim(key)) == std::bit_cast<std::uint32_t>(v),
               "key_sim round trip");
#if defined(__SSE2__)
        float four[4] = {v, -v, 0.0f, values[round % values.size()]};
        alignas(16) std::uint32_t high[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(high), descending_halves(_mm_loadu_ps(four)));
        for (int lane = 0; lane < 4; ++lane)
            expect(high[lane] == static_cast<std::uint32_t>(neighbour_key(0, four[lane]) >> 32),
                   "four-lane key halves");
#endif
    }
}

// A new generation empties the set, also across the counter's wrap.
void test_stamps() {
    Stamps s;
    s.resize(10);
    s.next_generation();
    s.set(3);
    expect(s.is_set(3) && !s.is_set(4), "stamps set one slot");
    s.next_generation();
    expect(!s.is_set(3), "a new generation clears the set");
    std::uint32_t generation = 0xfffffffeu;
    int cleared = 0;
    expect(next_generation(generation, [&] { ++cleared; }) == 0xffffffffu && cleared == 0,
           "no clear before the wrap");
    expect(next_generation(generation, [&] { ++cleared; }) == 1 && cleared == 1,
           "the wrap clears and restarts at 1");
}

// Room never overlaps, blocks double up to the maximum, an oversized request
// gets a block of its own, and drop starts a new block.
void test_bump_cursor() {
    std::vector<std::vector<std::byte>> blocks;
    std::vector<std::size_t> sizes;
    BumpCursor room(64, 256);
    auto new_block = [&](std::size_t size) {
        sizes.push_back(size);
        blocks.emplace_back(size);
        return blocks.back().data();
    };
    std::set<std::byte*> seen;
    std::byte* previous_end = nullptr;
    bool inside = true;
    for (int k = 0; k < 40; ++k) {
        std::byte* p = room.take(24, new_block);
        const std::vector<std::byte>& b = blocks.back();
        inside &= p >= b.data() && p + 24 <= b.data() + b.size();
        inside &= previous_end == nullptr || p == previous_end || p == b.data();
        previous_end = p + 24;
        seen.insert(p);
    }
    expect(inside && seen.size() == 40, "bump room is consecutive and disjoint");
    expect(sizes.size() >= 4 && sizes[0] == 64 && sizes[1] == 128 && sizes[2] == 256 &&
               sizes[3] == 256,
           "bump blocks double up to the maximum");
    room.take(1000, new_block);
    expect(sizes.back() == 1000, "an oversized request gets its own block");
    const std::size_t before = sizes.size();
    room.drop();
    room.take(8, new_block);
    expect(sizes.size() == before + 1, "drop starts a new block");
}

// Lists carved from arena blocks: the process-wide figures follow them as they
// come and go, a block whose lists are mostly freed counts as sparse, and
// moving its lists to storage of their own returns it to the system (what
// exact updates rely on to give back the space of the lists they replace).
void test_list_arena_accounting() {
    const ArenaUse start = list_arena_use();
    std::vector<ListVector<std::int32_t>> lists;
    {
        ListArena arena;
        const ListArenaScope in_arena(arena);
        for (int k = 0; k < 2000; ++k) lists.emplace_back(100, k);
    }
    const ArenaUse full = list_arena_use();
    if (full.held == start.held) {
        // Sanitizer builds give every list an allocation of its own.
        expect(!in_sparse_block(lists[0].data()), "a list of its own is never in a sparse block");
        return;
    }
    const std::size_t live = full.live - start.live;
    expect(live >= 2000 * 400 && live <= 2000 * 416, "live bytes are the lists' (with prefixes)");
    expect(full.held - start.held >= live, "blocks hold at least the live lists");
    // The first block fills before the next one is taken.
    expect(!in_sparse_block(lists[0].data()), "a full block is not sparse");

    std::vector<ListVector<std::int32_t>> kept;
    for (std::size_t k = 0; k < lists.size(); k += 10) kept.push_back(std::move(lists[k]));
    lists.clear();
    const ArenaUse thinned = list_arena_use();
    expect(thinned.live - start.live == live / 10, "freed lists leave the live bytes");
    expect(thinned.held == full.held, "blocks with a live list stay");
    bool all_sparse = true;
    for (const auto& list : kept) all_sparse &= in_sparse_block(list.data());
    expect(all_sparse, "blocks nine tenths dead are sparse");

    {
        const ListArenaScope own_storage(nullptr);
        for (auto& list : kept) {
            ListVector<std::int32_t> own(list.begin(), list.end());
            list.swap(own);
        }
    }
    const ArenaUse moved = list_arena_use();
    expect(moved.held == start.held && moved.live == start.live,
           "moving the last lists out returns their blocks");
    bool intact = true;
    for (std::size_t j = 0; j < kept.size(); ++j)
        intact &= kept[j].size() == 100 && kept[j][0] == static_cast<std::int32_t>(10 * j) &&
                  !in_sparse_block(kept[j].data());
    expect(intact, "moved lists keep their entries, on storage of their own");
}

}  // namespace

int main() {
    test_order_touched();
    test_add_to_cell();
    test_equal_cost_cuts();
    test_sort_key();
    test_stamps();
    test_bump_cursor();
    test_list_arena_accounting();
    if (failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::puts("shared pieces: all checks passed");
    return 0;
}
