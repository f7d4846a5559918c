#include "core/partition_state.hpp"

#include <algorithm>
#include <utility>

#include "core/cosine_subset.hpp"
#include "core/csr.hpp"
#include "core/errors.hpp"
#include "core/fresh_blocks.hpp"
#include "core/swing.hpp"

namespace quibrel {
namespace {

// Entity ids are 32-bit: counts beyond this cannot be installed.
constexpr std::uint64_t kMaxEntities = 2147483647;

struct CosineSides {
    const CsrMatrix& forward;
    const CsrMatrix& other;
    std::size_t n;
    std::size_t other_rows;
};

CosineSides sides(const CfModel& m, Orientation o) {
    if (o == Orientation::Item)
        return {m.item_interactions, m.user_interactions, static_cast<std::size_t>(m.n_items),
                static_cast<std::size_t>(m.n_users)};
    return {m.user_interactions, m.item_interactions, static_cast<std::size_t>(m.n_users),
            static_cast<std::size_t>(m.n_items)};
}

std::size_t kept_length(std::size_t length, std::uint64_t keep) {
    return keep == 0 ? length : static_cast<std::size_t>(std::min<std::uint64_t>(length, keep));
}

[[noreturn]] void bad(const char* what) { throw ValueFailure(what); }

// Offsets that cut `total` entries into `count` consecutive runs.
void check_offsets(std::span<const std::uint64_t> offsets, std::size_t count, std::size_t total,
                   const char* what) {
    if (offsets.size() != count + 1 || offsets.front() != 0 || offsets.back() != total ||
        !std::is_sorted(offsets.begin(), offsets.end()))
        bad(what);
}

// The checks both kinds of model share: entities distinct and below n, list
// offsets, neighbour ids below n. Returns the largest entity + 1.
std::size_t check_lists(const PartitionView& v, std::uint64_t n) {
    if (n > kMaxEntities) throw ValueFailure(kOutOfRangeConversion);
    std::vector<std::int32_t> sorted(v.entities.begin(), v.entities.end());
    std::sort(sorted.begin(), sorted.end());
    if (!sorted.empty() && (sorted.front() < 0 || static_cast<std::uint64_t>(sorted.back()) >= n))
        bad("an entity id is outside the model's entities");
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        bad("an entity is given twice");
    if (v.ids.size() != v.scores.size()) bad("ids and scores differ in length");
    check_offsets(v.offsets, v.entities.size(), v.ids.size(),
                  "offsets do not describe the lists of the entities");
    for (const std::int32_t id : v.ids)
        if (id < 0 || static_cast<std::uint64_t>(id) >= n)
            bad("a neighbour id is outside the model's entities");
    return sorted.empty() ? 0 : static_cast<std::size_t>(sorted.back()) + 1;
}

bool no_pairs(const PartitionView& v) {
    return v.pair_offsets.empty() && v.pair_ids.empty() && v.pair_dots.empty() &&
           v.pair_counts.empty();
}

void check_pairs(const PartitionView& v, std::uint64_t n) {
    const std::size_t total = v.pair_ids.size();
    if (v.pair_dots.size() != total || v.pair_counts.size() != total)
        bad("pair ids, dots and counts differ in length");
    check_offsets(v.pair_offsets, v.entities.size(), total,
                  "pair offsets do not describe the pairs of the entities");
    for (std::size_t k = 0; k < v.entities.size(); ++k) {
        std::int64_t previous = v.entities[k];
        for (std::uint64_t p = v.pair_offsets[k]; p < v.pair_offsets[k + 1]; ++p) {
            const std::int32_t y = v.pair_ids[p];
            if (y <= previous || static_cast<std::uint64_t>(y) >= n)
                bad("pair partners must ascend above their entity and below the entity count");
            if (v.pair_counts[p] == 0 || v.pair_counts[p] == kWideCount)
                bad("a pair count is outside 1..4294967294");
            previous = y;
        }
    }
}

}  // namespace

PartitionState cosine_partition(const CfModel& m, Orientation o,
                                std::span<const std::int32_t> entities, std::uint64_t keep,
                                bool pairs) {
    const CosineSides s = sides(m, o);
    const std::vector<float> norms = compute_sum_squares(s.forward, s.n);
    CosineSubset sub = cosine_subset(
        CosineInputs{s.forward, s.other, s.n, s.other_rows, norms, m.min_common}, entities, pairs);
    if (sub.first_unsortable < entities.size()) throw Panic(kUnwrapNone);

    PartitionState out;
    std::size_t listed = 0;
    std::size_t above = 0;
    for (std::size_t k = 0; k < entities.size(); ++k) {
        listed += kept_length(sub.states[k].list.ids.size(), keep);
        for (const PairDelta& p : sub.states[k].pairs) above += p.y > entities[k];
    }
    out.offsets.reserve(entities.size() + 1);
    out.ids.reserve(listed);
    out.scores.reserve(listed);
    if (pairs) {
        out.pair_offsets.reserve(entities.size() + 1);
        out.pair_offsets.push_back(0);
        out.pair_ids.reserve(above);
        out.pair_dots.reserve(above);
        out.pair_counts.reserve(above);
    }
    for (std::size_t k = 0; k < entities.size(); ++k) {
        EntityState& state = sub.states[k];
        const std::size_t length =
            kept_length(std::min(state.list.ids.size(), state.list.sims.size()), keep);
        out.ids.insert(out.ids.end(), state.list.ids.begin(), state.list.ids.begin() + length);
        out.scores.insert(out.scores.end(), state.list.sims.begin(),
                          state.list.sims.begin() + length);
        out.offsets.push_back(out.ids.size());
        if (pairs) {
            for (const PairDelta& p : state.pairs) {
                if (p.y <= entities[k]) continue;
                if (p.count >= kWideCount) throw ValueFailure("a pair count does not fit 32 bits");
                out.pair_ids.push_back(p.y);
                out.pair_dots.push_back(p.dot);
                out.pair_counts.push_back(static_cast<std::uint32_t>(p.count));
            }
            out.pair_offsets.push_back(out.pair_ids.size());
        }
        state = EntityState{};  // the copy is made: give the memory back as we go
    }
    return out;
}

PartitionState swing_partition(const SwingModel& m, std::span<const std::int32_t> entities,
                               std::uint64_t keep) {
    std::vector<SwingList> lists =
        swing_item_lists(m.user_interactions, m.item_interactions, m.n_users, m.n_items, m.alpha,
                         m.max_cache_num, entities);
    PartitionState out;
    std::size_t listed = 0;
    for (const SwingList& list : lists) listed += kept_length(list.size(), keep);
    out.offsets.reserve(entities.size() + 1);
    out.ids.reserve(listed);
    out.scores.reserve(listed);
    for (SwingList& list : lists) {
        const std::size_t length = kept_length(list.size(), keep);
        for (std::size_t j = 0; j < length; ++j) {
            out.ids.push_back(list[j].id);
            out.scores.push_back(list[j].score);
        }
        out.offsets.push_back(out.ids.size());
        list = SwingList{};
    }
    return out;
}

void install_cosine_partition(CfModel& m, Orientation o, const PartitionView& v) {
    const CosineSides s = sides(m, o);
    const std::size_t rows = check_lists(v, s.n);
    const bool pairs = !no_pairs(v);
    if (pairs) check_pairs(v, s.n);

    // Everything is built before the model changes.
    std::vector<NeighbourList> lists(v.entities.size());
    for (std::size_t k = 0; k < v.entities.size(); ++k) {
        const auto b = static_cast<std::ptrdiff_t>(v.offsets[k]);
        const auto e = static_cast<std::ptrdiff_t>(v.offsets[k + 1]);
        lists[k].ids.assign(v.ids.begin() + b, v.ids.begin() + e);
        lists[k].sims.assign(v.scores.begin() + b, v.scores.begin() + e);
    }
    std::vector<std::span<PairEntry>> fresh;
    std::vector<PairBlock> blocks;
    if (pairs && !v.pair_ids.empty()) {
        fresh.resize(rows);
        blocks.push_back(fresh_array<PairEntry>(v.pair_ids.size()));
        PairEntry* out = blocks.back().get();
        for (std::size_t k = 0; k < v.entities.size(); ++k) {
            const std::uint64_t b = v.pair_offsets[k];
            const std::uint64_t e = v.pair_offsets[k + 1];
            for (std::uint64_t p = b; p < e; ++p)
                out[p] = PairEntry{v.pair_ids[p], v.pair_dots[p], v.pair_counts[p]};
            fresh[static_cast<std::size_t>(v.entities[k])] =
                std::span<PairEntry>(out + b, static_cast<std::size_t>(e - b));
        }
    }
    // A computation keeps every entity's list in the dense part of the map.
    m.sim_mapping.reserve_dense(s.n);
    if (!fresh.empty()) m.pair_stats.adopt(fresh, std::move(blocks), WideCounts{});
    for (std::size_t k = 0; k < v.entities.size(); ++k) {
        if (lists[k].ids.empty())
            m.sim_mapping.erase(v.entities[k]);
        else
            m.sim_mapping.insert_or_assign(v.entities[k], std::move(lists[k]));
    }
}

void install_swing_partition(SwingModel& m, const PartitionView& v) {
    check_lists(v, m.n_items);
    if (!no_pairs(v)) bad("Swing models have no pair records");
    std::vector<SwingList> lists(v.entities.size());
    for (std::size_t k = 0; k < v.entities.size(); ++k) {
        const std::uint64_t b = v.offsets[k];
        const std::uint64_t e = v.offsets[k + 1];
        lists[k].reserve(static_cast<std::size_t>(e - b));
        for (std::uint64_t p = b; p < e; ++p)
            lists[k].push_back(SwingPair{v.ids[p], v.scores[p]});
    }
    for (std::size_t k = 0; k < v.entities.size(); ++k) {
        if (lists[k].empty())
            m.swing_scores.erase(v.entities[k]);
        else
            m.swing_scores.insert_or_assign(v.entities[k], std::move(lists[k]));
    }
}

void complete_cosine(CfModel& m, Orientation o) {
    const CosineSides s = sides(m, o);
    m.sum_squares = compute_sum_squares(s.forward, s.n);
}

void complete_swing(SwingModel& m) {
    // As the computation stores its result: items with a list in ascending
    // id order into a map whose dense part is sized the same way.
    std::vector<std::pair<std::int32_t, SwingList*>> held;
    m.swing_scores.for_each_mut([&](std::int32_t id, SwingList& list) {
        if (!list.empty()) held.emplace_back(id, &list);
    });
    std::sort(held.begin(), held.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    SwingScores out;
    out.reserve_dense(std::min<std::size_t>(static_cast<std::size_t>(m.n_items),
                                            2 * held.size() + 4096));
    for (auto& [id, list] : held) out.insert_or_assign(id, std::move(*list));
    m.swing_scores = std::move(out);
}

}  // namespace quibrel
