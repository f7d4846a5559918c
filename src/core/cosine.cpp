// Cosine similarities: the entry points, and the neighbour lists built from
// the pairs the forward or invert path computed (cosine_pairs.hpp).
#include "core/cosine.hpp"

#include <algorithm>
#include <memory>
#include <span>
#include <utility>

#include "core/cosine_pairs.hpp"
#include "core/errors.hpp"
#include "core/mem_list_storage.hpp"
#include "core/neighbour_sort.hpp"
#include "core/pool.hpp"
#include "core/timing.hpp"
#include "core/work_split.hpp"

namespace quibrel {
namespace cosine_detail {

// Sorts the `length` keys at `keys` (ascending ids) into sorted[j], or notes
// j as unsortable.
void finish_list(std::uint64_t* keys, std::size_t length, std::size_t j, SortScratch& scratch,
                 std::vector<NeighbourList>& sorted, std::size_t& first_fail) {
    if (length == 0) return;
    const KeyRange range = similarity_range(keys, length);
    // A comparison sort of two or more entries meets every NaN.
    if (length >= 2 && holds_nan(range))
        first_fail = std::min(first_fail, j);
    else
        sorted[j] = sorted_neighbour_list(keys, length, range, scratch);
}

}  // namespace cosine_detail

namespace {

using namespace cosine_detail;

// Neighbour lists of every pair.

// Unsorted neighbour lists of entities 0..n-1 as sort keys, each in
// ascending id order.
struct KeyLists {
    std::vector<std::unique_ptr<std::uint64_t[]>> keys;
    std::vector<std::uint32_t> length;
};

// How many mirrored keys (from rows x < y) each list y receives, counted by
// static parts of the rows into private arrays, then summed.
std::vector<std::uint32_t> mirrored_counts(const FreshPairs& fresh, std::size_t n,
                                           std::uint64_t min_common, std::size_t parts,
                                           const Runner& runner) {
    // kept_pairs sums kept[] when min_common >= 1, the only case that counts.
    std::vector<std::size_t> bounds = equal_cost_cuts(0, n, parts, fresh.kept_pairs,
                                                      [&](std::size_t x) { return fresh.kept[x]; });
    pad_cuts(bounds, parts);
    std::vector<std::uint32_t> counts(parts * n, 0);
    runner.run(parts, 1, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t p = begin; p < end; ++p) {
            std::uint32_t* mine = counts.data() + p * n;
            for (std::size_t x = bounds[p]; x < bounds[p + 1]; ++x) {
                if (x % 1024 == 0 && runner.stopping()) return;
                for (const PairEntry& e : fresh.rows[x])
                    if (fresh.meets(x, e, min_common)) ++mine[static_cast<std::size_t>(e.y)];
            }
        }
    });
    if (parts == 1) return counts;
    std::vector<std::uint32_t> mirrored(n, 0);
    runner.run(n, dynamic_grain(n, runner.workers()),
               [&](std::size_t begin, std::size_t end, std::size_t) {
                   for (std::size_t y = begin; y < end; ++y)
                       for (std::size_t p = 0; p < parts; ++p) mirrored[y] += counts[p * n + y];
               });
    return mirrored;
}

// The kept pairs (count >= min_common >= 1) go to both entities' lists: list y
// holds the mirrored keys of the rows x < y in ascending x, then the keys of
// its own row (ascending ids throughout, as the stable sort needs). Lists are
// built a tile of ids at a time in a buffer that is reused, and sorted while
// the keys are in cache: building all lists at once would first touch as much
// memory as the lists themselves. Each tile's ids are split into one piece
// per part, balanced by keys; a part walks every row that reaches its piece
// and skips the other pieces' entries, so every list has a single writer and
// the same keys in the same order whatever the number of parts. A row is
// revisited by every tile it reaches (a cache miss per row, and a TLB miss
// over large records), so there are no more tiles than about an eighth of the
// average row length, and a tile holds at least 2^21 keys (16 MiB): fewer
// visits paid more than a piece that fits in a core's cache (figures in
// docs/dev/performance-notes.md).
class KeptPairLists {
    // How far ahead in the active rows scatter_mirrored fetches.
    static constexpr std::size_t kRowsAhead = 8;

public:
    KeptPairLists(const FreshPairs& fresh, std::size_t n, const Norms& norms,
                  std::uint64_t min_common, const Runner& runner)
        : fresh_(fresh), n_(n), norms_(norms), min_common_(min_common), runner_(runner),
          parts_(std::min<std::size_t>(runner.workers(), std::max<std::size_t>(n, 1))),
          mirrored_(mirrored_counts(fresh, n, min_common, parts_, runner)), cursor_(n, 0) {
        plan_tiles();
    }

    // Builds and sorts every list into sorted[y]; `fail` becomes the first
    // entity whose list cannot be sorted, if that is before it.
    void run(std::vector<NeighbourList>& sorted, std::size_t& fail) {
        const std::size_t workers = runner_.workers();
        std::vector<PerWorker<SortScratch>> scratch(workers);
        std::vector<PerWorker<ListArena>> arenas(workers);
        std::vector<PerWorker<std::size_t>> first_fail(workers, PerWorker<std::size_t>{n_});
        runner_.run(parts_, 1, [&](std::size_t begin, std::size_t end, std::size_t worker) {
            const ListArenaScope in_arena(arenas[worker].value);
            for (std::size_t q = begin; q < end; ++q)
                if (!build_part(q, scratch[worker].value, sorted, first_fail[worker].value)) return;
        });
        for (const auto& w : first_fail) fail = std::min(fail, w.value);
    }

private:
    // A row that reaches the pieces still to come, and its first entry not
    // yet walked.
    struct Active {
        std::uint32_t x;
        std::uint32_t next;
    };

    std::uint64_t length(std::size_t y) const {
        return std::uint64_t{mirrored_[y]} + fresh_.kept[y];
    }

    // Piece k covers ids [cuts_[k], cuts_[k+1]) and belongs to part k % parts;
    // buffer_keys_[q] is the most keys a piece of part q holds.
    void plan_tiles() {
        cuts_.assign(1, 0);
        buffer_keys_.assign(parts_, 0);
        std::size_t rows = 0;
        for (std::size_t x = 0; x < n_; ++x) rows += !fresh_.rows[x].empty();
        const std::uint64_t average_row = fresh_.kept_pairs / std::max<std::size_t>(rows, 1);
        const std::uint64_t tiles = std::max<std::uint64_t>(average_row / 8, 1);
        // At most 2^30 keys plus one list (< 2^31) per piece: 32-bit cursors.
        // A small catalogue's keys then fit in one tile.
        const std::uint64_t tile_keys = std::clamp<std::uint64_t>(
            2 * fresh_.kept_pairs / tiles, std::uint64_t{1} << 21, std::uint64_t{1} << 30);
        auto key_count = [&](std::size_t y) { return length(y); };
        std::size_t tile_begin = 0;
        std::uint64_t keys = 0;
        for (std::size_t y = 0; y < n_; ++y) {
            keys += length(y);
            if (keys < tile_keys && y + 1 < n_) continue;
            // Split [tile_begin, y] among the parts by their keys.
            std::vector<std::size_t> tile =
                equal_cost_cuts(tile_begin, y + 1, parts_, keys, key_count);
            pad_cuts(tile, parts_);
            for (std::size_t q = 0; q < parts_; ++q) {
                std::uint64_t piece = 0;
                for (std::size_t z = tile[q]; z < tile[q + 1]; ++z) piece += length(z);
                buffer_keys_[q] = std::max(buffer_keys_[q], piece);
                cuts_.push_back(tile[q + 1]);
            }
            tile_begin = y + 1;
            keys = 0;
        }
    }

    // The lists of part q's pieces, one piece at a time in one buffer.
    // Returns false when the loop is stopping (an interrupt or a failure
    // elsewhere discards these lists).
    bool build_part(std::size_t q, SortScratch& scratch, std::vector<NeighbourList>& sorted,
                    std::size_t& first_fail) {
        const auto buffer = std::make_unique_for_overwrite<std::uint64_t[]>(
            static_cast<std::size_t>(buffer_keys_[q]));
        std::vector<Active> active;
        std::size_t joined = 0;
        const std::size_t pieces = cuts_.size() - 1;
        for (std::size_t k = q; k < pieces; k += parts_) {
            if (runner_.stopping()) return false;
            const std::size_t lo = cuts_[k];
            const std::size_t hi = cuts_[k + 1];
            if (lo == hi) continue;
            place_lists(lo, hi);
            // Rows of x >= hi hold only larger ids.
            for (; joined < hi; ++joined)
                if (!fresh_.rows[joined].empty())
                    active.push_back(Active{static_cast<std::uint32_t>(joined), 0});
            scatter_mirrored(active, lo, hi, buffer.get());
            finish_piece(lo, hi, buffer.get(), scratch, sorted, first_fail);
        }
        return true;
    }

    // Where list y's next mirrored key goes in the piece's buffer.
    void place_lists(std::size_t lo, std::size_t hi) {
        std::uint32_t at = 0;
        for (std::size_t y = lo; y < hi; ++y) {
            cursor_[y] = at;
            at += static_cast<std::uint32_t>(length(y));
        }
    }

    // The keys of the active rows' entries in [lo, hi), into their lists;
    // rows that end before hi leave the active set.
    void scatter_mirrored(std::vector<Active>& active, std::size_t lo, std::size_t hi,
                          std::uint64_t* keys) {
        std::size_t still = 0;
        const std::size_t count = active.size();
        for (std::size_t k = 0; k < count; ++k) {
            // A row's next entry was evicted since the tile before: it is
            // fetched a few rows ahead instead of stalling on it.
            if (k + kRowsAhead < count) {
                const Active ahead = active[k + kRowsAhead];
                __builtin_prefetch(fresh_.rows[ahead.x].data() + ahead.next);
            }
            const Active a = active[k];
            const std::size_t x = a.x;
            const std::span<const PairEntry> row = fresh_.rows[x];
            std::size_t i = a.next;
            while (i < row.size() && static_cast<std::size_t>(row[i].y) < lo) ++i;
            for (; i < row.size() && static_cast<std::size_t>(row[i].y) < hi; ++i) {
                const PairEntry& e = row[i];
                if (!fresh_.meets(x, e, min_common_)) continue;
                const auto y = static_cast<std::size_t>(e.y);
                keys[cursor_[y]++] =
                    neighbour_key(static_cast<std::int32_t>(x), norms_.cosine(e.dot, x, y));
            }
            if (i < row.size()) active[still++] = Active{a.x, static_cast<std::uint32_t>(i)};
        }
        active.resize(still);
    }

    // Appends each list's own row after its mirrored keys, then sorts it.
    void finish_piece(std::size_t lo, std::size_t hi, std::uint64_t* keys, SortScratch& scratch,
                      std::vector<NeighbourList>& sorted, std::size_t& first_fail) {
        for (std::size_t y = lo; y < hi; ++y) {
            // cursor_[y] now ends the mirrored keys; the row's own follow.
            std::uint64_t* const list = keys + cursor_[y] - mirrored_[y];
            std::uint64_t* own = keys + cursor_[y];
            for (const PairEntry& e : fresh_.rows[y])
                if (fresh_.meets(y, e, min_common_))
                    *own++ =
                        neighbour_key(e.y, norms_.cosine(e.dot, y, static_cast<std::size_t>(e.y)));
            finish_list(list, static_cast<std::size_t>(own - list), y, scratch, sorted, first_fail);
        }
    }

    const FreshPairs& fresh_;
    std::size_t n_;
    const Norms& norms_;
    std::uint64_t min_common_;
    const Runner& runner_;
    std::size_t parts_;
    std::vector<std::uint32_t> mirrored_;  // mirrored keys each list receives
    std::vector<std::uint32_t> cursor_;    // see place_lists
    std::vector<std::size_t> cuts_;
    std::vector<std::uint64_t> buffer_keys_;
};

void sort_kept_pairs(const FreshPairs& fresh, std::size_t n, const Norms& norms,
                     std::uint64_t min_common, const Runner& runner,
                     std::vector<NeighbourList>& sorted, std::size_t& fail) {
    KeptPairLists(fresh, n, norms, min_common, runner).run(sorted, fail);
}

// With min_common = 0 every pair is kept: list j holds every other entity, id
// y at position y (y < j) or y - 1 (y > j), with 0.0 unless the pair co-occurs.
KeyLists lists_of_all_pairs(const FreshPairs& fresh, std::size_t n, const Norms& norms,
                            const Runner& runner) {
    KeyLists lists{std::vector<std::unique_ptr<std::uint64_t[]>>(n),
                   std::vector<std::uint32_t>(n, n < 2 ? 0 : static_cast<std::uint32_t>(n - 1))};
    if (n < 2) return lists;
    const std::size_t grain = dynamic_grain(n, runner.workers());
    runner.run(n, grain, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t j = begin; j < end; ++j) {
            lists.keys[j] = std::make_unique_for_overwrite<std::uint64_t[]>(n - 1);
            std::uint64_t* keys = lists.keys[j].get();
            for (std::size_t y = 0; y < j; ++y)
                keys[y] = neighbour_key(static_cast<std::int32_t>(y), 0.0f);
            for (std::size_t y = j + 1; y < n; ++y)
                keys[y - 1] = neighbour_key(static_cast<std::int32_t>(y), 0.0f);
        }
    });
    runner.run(n, grain, [&](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t x = begin; x < end; ++x)
            for (const PairEntry& e : fresh.rows[x]) {
                const auto y = static_cast<std::size_t>(e.y);
                const float s = norms.cosine(e.dot, x, y);
                lists.keys[x][y - 1] = neighbour_key(e.y, s);
                lists.keys[y][x] = neighbour_key(static_cast<std::int32_t>(x), s);
            }
    });
    return lists;
}

// Stores the fresh pair records: they replace records of the same pairs, all
// other records stay.
void commit_pairs(PairStats& pair_stats, FreshPairs& fresh) {
    pair_stats.adopt(fresh.rows, std::move(fresh.blocks), fresh.wide, fresh.room);
    fresh.blocks.clear();
}

// Stores the pair records and the lists: entities in ascending order, as far
// as the first list that cannot be sorted; an entity whose new list is empty
// keeps its old entry.
void store_lists(CfModel& m, std::size_t n, FreshPairs& fresh, std::vector<NeighbourList>&& sorted,
                 std::size_t fail, const Stopwatch& watch) {
    commit_pairs(m.pair_stats, fresh);
    m.sim_mapping.reserve_dense(fail);
    for (std::size_t j = 0; j < fail; ++j)
        if (!sorted[j].ids.empty())
            m.sim_mapping.insert_or_assign(static_cast<std::int32_t>(j), std::move(sorted[j]));
    sorted = {};
    if (fail < n) throw Panic(kUnwrapNone);
    print_line("sort elapsed: " + watch.elapsed());
}

void build_sim_mapping(CfModel& m, std::size_t n, FreshPairs&& fresh, const Runner& runner) {
    Stopwatch watch;
    std::vector<NeighbourList> sorted(n);
    std::size_t fail = n;
    try {
        const Norms norms(std::span<const float>(m.sum_squares.data(), n));
        cosine_detail::sort_lists_of_pairs(fresh, n, norms, m.min_common, runner, sorted, fail);
    } catch (...) {
        // The pair statistics belong to the pair computation, which has
        // finished: a failure while building lists leaves them stored.
        commit_pairs(m.pair_stats, fresh);
        throw;
    }
    store_lists(m, n, fresh, std::move(sorted), fail, watch);
}

}  // namespace

namespace {

// num_threads, when given, is written to the thread-count variable before
// the forward path runs.
void compute(CfModel& m, Orientation o, bool invert, const std::uint64_t* num_threads) {
    const CosineRoles roles = cosine_roles(m, o);
    const auto n = static_cast<std::size_t>(roles.n);
    m.sum_squares = compute_sum_squares(*roles.forward, n);
    FreshPairs fresh;
    if (invert) {
        fresh = invert_cosine(*roles.other, static_cast<std::size_t>(roles.other_rows), n,
                              m.min_common);
    } else {
        if (num_threads != nullptr) set_thread_count(*num_threads);
        BuiltLists built;
        fresh = forward_cosine(*roles.forward, n, m.min_common,
                               std::span<const float>(m.sum_squares.data(), n), built);
        if (built.done) {
            const Stopwatch watch;
            store_lists(m, n, fresh, std::move(built.lists), built.first_unsortable, watch);
            return;
        }
    }
    build_sim_mapping(m, n, std::move(fresh), Runner{!invert});
}

}  // namespace

void compute_similarities(CfModel& m, Orientation o, bool invert, std::uint64_t num_threads) {
    compute(m, o, invert, &num_threads);
}

void compute_similarities_forward(CfModel& m, Orientation o) { compute(m, o, false, nullptr); }

std::uint64_t num_sim_elements(const CfModel& m) {
    std::uint64_t total = 0;
    m.sim_mapping.for_each(
        [&](std::int32_t, const NeighbourList& list) { total += list.ids.size(); });
    return total;
}

namespace cosine_detail {

// Every list from the pair records: a fit's own, or those gathered from
// elsewhere (the distributed fit's client).
void sort_lists_of_pairs(const FreshPairs& fresh, std::size_t n, const Norms& norms,
                         std::uint64_t min_common, const Runner& runner,
                         std::vector<NeighbourList>& sorted, std::size_t& fail) {
    if (min_common != 0) {
        sort_kept_pairs(fresh, n, norms, min_common, runner, sorted, fail);
        return;
    }
    KeyLists lists = lists_of_all_pairs(fresh, n, norms, runner);
    const std::size_t workers = runner.workers();
    std::vector<PerWorker<SortScratch>> scratch(workers);
    std::vector<PerWorker<ListArena>> arenas(workers);
    std::vector<PerWorker<std::size_t>> first_fail(workers, PerWorker<std::size_t>{n});
    runner.run(n, dynamic_grain(n, workers),
               [&](std::size_t begin, std::size_t end, std::size_t worker) {
                   const ListArenaScope in_arena(arenas[worker].value);
                   for (std::size_t j = begin; j < end; ++j) {
                       finish_list(lists.keys[j].get(), lists.length[j], j, scratch[worker].value,
                                   sorted, first_fail[worker].value);
                       lists.keys[j].reset();
                   }
               });
    for (const auto& w : first_fail) fail = std::min(fail, w.value);
}

}  // namespace cosine_detail

}  // namespace quibrel
