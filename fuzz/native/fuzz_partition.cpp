// The similarity state split by entity: the lists (and pair records) of
// random ranges computed from a model's matrices, installed in a model that
// holds the same matrices, then completed. With whole lists that must be the
// state a full computation gives, bit for bit; with lists cut to `keep`
// entries, each list must be the start of the full one. Views that no
// partition computation gives (offsets, ids, partners or counts out of their
// ranges, entities beyond the count) must be refused with ValueFailure and
// leave the model as it was.
#include <numeric>

#include "core/partition_state.hpp"
#include "fuzz/native/exercise.hpp"
#include "fuzz/native/record.hpp"

using namespace fuzz;
using quibrel::PartitionState;
using quibrel::PartitionView;

namespace {

struct Piece {
    std::size_t first;
    PartitionState state;
};

PartitionView view_of(const Piece& p) {
    const PartitionState& s = p.state;
    return PartitionView{p.first,        s.offsets,  s.ids,       s.scores,
                         s.pair_offsets, s.pair_ids, s.pair_dots, s.pair_counts};
}

// Cut points 0 = c0 < c1 < ... = n (at least one range, possibly empty when n is 0).
std::vector<std::size_t> ranges(Input& in, std::size_t n) {
    std::vector<std::size_t> cuts{0};
    while (cuts.back() < n) {
        const std::size_t step = in.byte() < 32 ? n : 1 + in.below(n);
        cuts.push_back(std::min(n, cuts.back() + step));
    }
    if (n == 0) cuts.push_back(0);
    return cuts;
}

std::uint64_t any_keep(Input& in) {
    static const std::uint64_t keeps[] = {0, 0, 0, 0, 1, 2, 3, 5};
    return in.byte() < 240 ? in.pick(keeps) : any_count(in);
}

// Pieces installed in an order of the input's choosing (a gathering client
// installs them as they arrive).
std::vector<std::size_t> install_order(Input& in, std::size_t count) {
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (in.flag())
        for (std::size_t k = count; k > 1; --k) std::swap(order[k - 1], order[in.below(k)]);
    return order;
}

// A piece damaged so that installing it must fail; false when the piece has
// nothing the chosen damage can reach.
bool spoil(Input& in, Piece& p, std::uint64_t n, bool pairs) {
    PartitionState& s = p.state;
    switch (in.below(pairs ? 12 : 8)) {
    case 0:  // no offsets at all
        s.offsets.clear();
        return true;
    case 1:  // the last offset not at the end of the lists
        s.offsets.back() += 1 + in.below(3);
        return true;
    case 2: {  // offsets out of order
        if (s.offsets.size() < 3) return false;
        const std::size_t k = 1 + in.below(s.offsets.size() - 2);
        s.offsets[k] = s.offsets.back() + 1;
        return true;
    }
    case 3:  // entities beyond the count
        p.first = static_cast<std::size_t>(n) - (s.offsets.size() - 1) + 1 + in.below(3);
        if (in.byte() < 16) p.first = std::numeric_limits<std::size_t>::max() - in.below(2);
        return true;
    case 4: {  // a neighbour outside the entities
        if (s.ids.empty()) return false;
        static const std::int32_t outside[] = {-1, std::numeric_limits<std::int32_t>::min(),
                                               std::numeric_limits<std::int32_t>::max()};
        s.ids[in.below(s.ids.size())] =
            in.flag() ? static_cast<std::int32_t>(n + in.below(3)) : in.pick(outside);
        return true;
    }
    case 5:  // ids and scores of different lengths
        if (s.scores.empty() || in.flag())
            s.scores.push_back(1.0f);
        else
            s.scores.pop_back();
        return true;
    case 6:  // pair records on a Swing model, or pair arrays of different lengths
        if (pairs) {
            if (s.pair_counts.empty()) return false;
            s.pair_counts.pop_back();
        } else {
            s.pair_ids.push_back(0);
        }
        return true;
    case 7:  // pair offsets that do not fit the entities
        if (!pairs) {
            s.pair_offsets.assign(s.offsets.size() + 1, 0);
        } else if (in.flag()) {
            s.pair_offsets.push_back(s.pair_offsets.back());
        } else {
            s.pair_offsets.back() += 1;
        }
        return true;
    case 8: {  // a partner not above its entity, or out of order
        for (std::size_t k = 0; k + 1 < s.pair_offsets.size(); ++k) {
            const std::uint64_t b = s.pair_offsets[k];
            const std::uint64_t e = s.pair_offsets[k + 1];
            if (b == e) continue;
            if (e - b >= 2 && in.flag())
                std::swap(s.pair_ids[b], s.pair_ids[b + 1]);
            else
                s.pair_ids[b] = static_cast<std::int32_t>(p.first + k) - in.below(2);
            return true;
        }
        return false;
    }
    case 9:  // a partner at or past the count
        if (s.pair_ids.empty()) return false;
        s.pair_ids.back() = static_cast<std::int32_t>(n + in.below(2));
        return true;
    case 10:  // counts no pair record may have
        if (s.pair_counts.empty()) return false;
        s.pair_counts[in.below(s.pair_counts.size())] = in.flag() ? 0u : quibrel::kWideCount;
        return true;
    default:  // a partner repeated
        for (std::size_t k = 0; k + 1 < s.pair_offsets.size(); ++k)
            if (s.pair_offsets[k + 1] - s.pair_offsets[k] >= 2) {
                s.pair_ids[s.pair_offsets[k] + 1] = s.pair_ids[s.pair_offsets[k]];
                return true;
            }
        return false;
    }
}

// A view that passes every check, of values no computation gave.
Piece arbitrary_piece(Input& in, std::size_t n, bool pairs) {
    Piece p{in.below(n + 1), {}};
    const std::size_t count = in.upto(n - p.first);
    PartitionState& s = p.state;
    if (pairs) s.pair_offsets.push_back(0);
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t j = 0, len = in.upto(4); j < len && n > 0; ++j) {
            s.ids.push_back(static_cast<std::int32_t>(in.below(n)));
            s.scores.push_back(any_value(in));
        }
        s.offsets.push_back(s.ids.size());
        if (!pairs) continue;
        for (std::size_t y = p.first + k + 1; y < n; ++y)
            if (in.byte() < 64) {
                s.pair_ids.push_back(static_cast<std::int32_t>(y));
                s.pair_dots.push_back(any_value(in));
                s.pair_counts.push_back(1 + in.below(5));
            }
        s.pair_offsets.push_back(s.pair_ids.size());
    }
    return p;
}

void check_prefixes(const quibrel::SimMapping& cut, const quibrel::SimMapping& full,
                    std::uint64_t keep) {
    FUZZ_CHECK(cut.size() == full.size());
    full.for_each([&](std::int32_t id, const quibrel::NeighbourList& list) {
        const quibrel::NeighbourList* got = cut.find(id);
        FUZZ_CHECK(got != nullptr);
        const std::size_t length = std::min<std::uint64_t>(list.ids.size(), keep);
        FUZZ_CHECK(got->ids.size() == length && got->sims.size() == length);
        for (std::size_t j = 0; j < length; ++j)
            FUZZ_CHECK(got->ids[j] == list.ids[j] && same_bits(got->sims[j], list.sims[j]));
    });
}

void check_prefixes(const quibrel::SwingScores& cut, const quibrel::SwingScores& full,
                    std::uint64_t keep) {
    FUZZ_CHECK(cut.size() == full.size());
    full.for_each([&](std::int32_t id, const quibrel::SwingList& list) {
        const quibrel::SwingList* got = cut.find(id);
        FUZZ_CHECK(got != nullptr);
        const std::size_t length = std::min<std::uint64_t>(list.size(), keep);
        FUZZ_CHECK(got->size() == length);
        for (std::size_t j = 0; j < length; ++j)
            FUZZ_CHECK((*got)[j].id == list[j].id && same_bits((*got)[j].score, list[j].score));
    });
}

std::string pairs_of(const CfModel& m) {
    Record r;
    m.pair_stats.for_each([&](const quibrel::PairRecord& p) {
        r.put(p.x);
        r.put(p.y);
        r.put(p.dot);
        r.put(p.count);
    });
    return r.take();
}

// Damaged copies of the pieces, each of which the model must refuse unchanged.
template <class Install, class RecordOf, class M>
void refuse_spoiled(Input& in, const std::vector<Piece>& pieces, M& target, std::uint64_t n,
                    bool pairs, Install&& install, RecordOf&& record_of) {
    for (std::size_t round = 0, rounds = in.upto(3); round < rounds && !pieces.empty(); ++round) {
        Piece p = pieces[in.below(pieces.size())];
        if (!spoil(in, p, n, pairs)) continue;
        const std::string before = record_of(target);
        FUZZ_CHECK(!attempt("install_lists", kValue, [&] { install(target, view_of(p)); }));
        FUZZ_CHECK(record_of(target) == before);
    }
}

void cosine_case(Input& in, bool intact, CfModel& m, Orientation o) {
    const std::size_t n = static_cast<std::size_t>(o == Orientation::Item ? m.n_items : m.n_users);
    const std::uint64_t keep = any_keep(in);
    const bool pairs = in.flag();
    static const std::size_t piece_counts[] = {1, 1, 2, 3, 4, 8, 0, 1000};
    const std::size_t max_pieces = in.pick(piece_counts);

    // Computing a range neither reads nor changes the model's own state.
    const std::string untouched = cf_record(m);
    std::vector<Piece> pieces;
    const std::vector<std::size_t> cuts = ranges(in, n);
    for (std::size_t r = 0; r + 1 < cuts.size(); ++r) {
        std::vector<PartitionState> got;
        if (!attempt("partition_lists", intact ? 0u : kPanic | kValue, [&] {
                got =
                    quibrel::cosine_partition(m, o, cuts[r], cuts[r + 1], keep, pairs, max_pieces);
            }))
            return;
        FUZZ_CHECK(got.size() <= std::max<std::size_t>(max_pieces, 1));
        std::size_t first = cuts[r];
        for (PartitionState& s : got) {
            const std::size_t count = s.offsets.size() - 1;
            FUZZ_CHECK(s.offsets.front() == 0);
            FUZZ_CHECK(pairs ? s.pair_offsets.size() == count + 1 : s.pair_offsets.empty());
            pieces.push_back(Piece{first, std::move(s)});
            first += count;
        }
        FUZZ_CHECK(first == cuts[r + 1]);
    }
    FUZZ_CHECK(cf_record(m) == untouched);

    // A range past the entities is the caller's error.
    if (in.byte() < 16) {
        const std::size_t begin = in.upto(n + 2);
        const std::size_t end =
            in.flag() ? n + 1 + in.below(2) : begin - std::min(begin, 1 + in.below(2));
        if (begin > end || end > n)
            FUZZ_CHECK(!attempt("partition_lists", kPanic, [&] {
                (void)quibrel::cosine_partition(m, o, begin, end, keep, pairs, max_pieces);
            }));
    }

    CfModel gathered;
    gathered.task = m.task;
    gathered.k_sim = m.k_sim;
    gathered.n_users = m.n_users;
    gathered.n_items = m.n_items;
    gathered.min_common = m.min_common;
    gathered.user_interactions = m.user_interactions;
    gathered.item_interactions = m.item_interactions;
    gathered.user_consumed = m.user_consumed;
    gathered.default_pred = m.default_pred;
    const auto install = [o](CfModel& t, const PartitionView& v) {
        quibrel::install_cosine_partition(t, o, v);
    };
    refuse_spoiled(in, pieces, gathered, n, pairs, install, cf_record);
    for (const std::size_t k : install_order(in, pieces.size()))
        if (!attempt("install_lists", intact ? 0u : kValue,
                     [&] { install(gathered, view_of(pieces[k])); }))
            return;
    refuse_spoiled(in, pieces, gathered, n, pairs, install, cf_record);
    if (!attempt("complete_state", intact ? 0u : kPanic | kValue,
                 [&] { quibrel::complete_cosine(gathered, o); }))
        return;
    if (!intact) {
        predict_cf(in, gathered, o);
        return;
    }

    CfModel full = m;
    const bool invert = in.flag();
    FUZZ_CHECK(attempt("compute_similarities", 0u, [&] {
        quibrel::compute_similarities(full, o, invert, any_thread_count(in));
    }));
    if (keep == 0 && pairs) {
        FUZZ_CHECK(cf_state(gathered) == cf_state(full));
        FUZZ_CHECK(cf_record(gathered) == cf_record(full));
    } else {
        FUZZ_CHECK(gathered.sum_squares.size() == full.sum_squares.size());
        for (std::size_t k = 0; k < full.sum_squares.size(); ++k)
            FUZZ_CHECK(same_bits(gathered.sum_squares[k], full.sum_squares[k]));
        FUZZ_CHECK(pairs ? pairs_of(gathered) == pairs_of(full) : gathered.pair_stats.empty());
        check_prefixes(gathered.sim_mapping, full.sim_mapping,
                       keep == 0 ? ~std::uint64_t{0} : keep);
    }

    // Lists no computation gave, but within every range, are installed.
    if (in.byte() < 64) {
        const Piece p = arbitrary_piece(in, n, pairs);
        FUZZ_CHECK(attempt("install_lists", 0u, [&] { install(gathered, view_of(p)); }));
        recommend_cf(in, gathered, o);
    }
}

void swing_case(Input& in, bool intact, SwingModel& m) {
    const std::size_t n = static_cast<std::size_t>(m.n_items);
    const std::uint64_t keep = any_keep(in);
    const std::string untouched = swing_record(m);
    std::vector<Piece> pieces;
    const std::vector<std::size_t> cuts = ranges(in, n);
    for (std::size_t r = 0; r + 1 < cuts.size(); ++r) {
        PartitionState got;
        if (!attempt("partition_lists", intact ? 0u : kPanic,
                     [&] { got = quibrel::swing_partition(m, cuts[r], cuts[r + 1], keep); }))
            return;
        FUZZ_CHECK(got.offsets.size() == cuts[r + 1] - cuts[r] + 1 && got.pair_offsets.empty());
        pieces.push_back(Piece{cuts[r], std::move(got)});
    }
    FUZZ_CHECK(swing_record(m) == untouched);
    if (in.byte() < 16) {
        const std::size_t begin = in.upto(n + 2);
        const std::size_t end =
            in.flag() ? n + 1 + in.below(2) : begin - std::min(begin, 1 + in.below(2));
        if (begin > end || end > n)
            FUZZ_CHECK(!attempt("partition_lists", kPanic,
                                [&] { (void)quibrel::swing_partition(m, begin, end, keep); }));
    }

    SwingModel gathered;
    gathered.top_k = m.top_k;
    gathered.alpha = m.alpha;
    gathered.max_cache_num = m.max_cache_num;
    gathered.n_users = m.n_users;
    gathered.n_items = m.n_items;
    gathered.user_interactions = m.user_interactions;
    gathered.item_interactions = m.item_interactions;
    gathered.user_consumed = m.user_consumed;
    gathered.default_pred = m.default_pred;
    const auto install = [](SwingModel& t, const PartitionView& v) {
        quibrel::install_swing_partition(t, v);
    };
    refuse_spoiled(in, pieces, gathered, n, false, install, swing_record);
    for (const std::size_t k : install_order(in, pieces.size()))
        if (!attempt("install_lists", intact ? 0u : kValue,
                     [&] { install(gathered, view_of(pieces[k])); }))
            return;
    refuse_spoiled(in, pieces, gathered, n, false, install, swing_record);
    FUZZ_CHECK(attempt("complete_state", 0u, [&] { quibrel::complete_swing(gathered); }));
    if (!intact) {
        predict_swing(in, gathered);
        return;
    }

    SwingModel full = m;
    FUZZ_CHECK(
        attempt("compute_swing", 0u, [&] { quibrel::compute_swing(full, any_thread_count(in)); }));
    if (keep == 0)
        FUZZ_CHECK(swing_record(gathered) == swing_record(full));
    else
        check_prefixes(gathered.swing_scores, full.swing_scores, keep);

    if (in.byte() < 64) {
        const Piece p = arbitrary_piece(in, n, false);
        FUZZ_CHECK(attempt("install_lists", 0u, [&] { install(gathered, view_of(p)); }));
        quibrel::complete_swing(gathered);
        recommend_swing(in, gathered);
    }
}

// A count beyond 32-bit ids is refused before anything is sized by it.
void huge_count(Input& in) {
    static const std::uint64_t counts[] = {std::uint64_t{1} << 31, std::uint64_t{1} << 32,
                                           std::uint64_t{1} << 63,
                                           std::numeric_limits<std::uint64_t>::max()};
    Piece p = arbitrary_piece(in, 4, false);
    if (in.flag()) {
        SwingModel m;
        m.n_items = in.pick(counts);
        FUZZ_CHECK(!attempt("install_lists", kValue,
                            [&] { quibrel::install_swing_partition(m, view_of(p)); }));
        FUZZ_CHECK(m.swing_scores.empty());
        FUZZ_CHECK(!attempt("partition_lists", kPanic,
                            [&] { (void)quibrel::swing_partition(m, 0, 1, 0); }));
    } else {
        CfModel m;
        const Orientation o = in.flag() ? Orientation::Item : Orientation::User;
        m.n_items = m.n_users = in.pick(counts);
        FUZZ_CHECK(!attempt("install_lists", kValue,
                            [&] { quibrel::install_cosine_partition(m, o, view_of(p)); }));
        FUZZ_CHECK(m.sim_mapping.empty() && m.pair_stats.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    init_pool();
    Input in(data, size);
    const std::uint8_t kind = in.byte();
    if (kind >= 248) {
        huge_count(in);
        return 0;
    }
    const std::size_t n_users = in.upto(kMaxRows);
    const std::size_t n_items = in.upto(16);
    const Shape shape{n_users, n_items};
    CsrMatrix users = regular_matrix(in, shape);
    CsrMatrix items = transpose(users, n_items);
    // Matrices the library never stores: the computations may refuse them.
    const bool intact = in.byte() < 224;
    if (!intact) damage_some(in, in.flag() ? users : items, n_items);
    if (!intact && in.flag()) damage(in, in.flag() ? users : items, n_items);

    if (kind % 3 == 2) {
        static const float alphas[] = {0.5f, 1.0f, 0.0f, 2.0f, 1e-3f};
        static const std::uint64_t caches[] = {100000, 0, 1, 2, 5};
        SwingModel m;
        m.top_k = any_count(in);
        m.alpha = in.pick(alphas);
        m.max_cache_num = in.pick(caches);
        m.n_users = n_users;
        m.n_items = n_items;
        m.user_interactions = std::move(users);
        m.item_interactions = std::move(items);
        m.user_consumed = consumed_from(m.user_interactions);
        swing_case(in, intact, m);
    } else {
        CfModel m;
        m.task = any_task(in);
        m.k_sim = any_count(in);
        m.min_common = in.byte() < 240 ? in.below(4) : any_count(in);
        m.n_users = n_users;
        m.n_items = n_items;
        m.user_interactions = std::move(users);
        m.item_interactions = std::move(items);
        m.user_consumed = consumed_from(m.user_interactions);
        cosine_case(in, intact, m, kind % 3 == 0 ? Orientation::Item : Orientation::User);
    }
    return 0;
}
