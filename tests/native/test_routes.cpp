// Every route of the cosine and Swing computations, forced in turn on the same
// inputs, must give the same lists bit for bit. Routes are otherwise chosen by
// sizes and bounds, so a changed threshold cannot drop one from this test.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/cosine.hpp"
#include "core/csr.hpp"
#include "core/models.hpp"
#include "core/pool.hpp"
#include "core/routes.hpp"
#include "core/swing.hpp"

#include "expect.hpp"

using namespace quibrel;

namespace {

using native_test::expect;
using native_test::failures;

// Users x items with heavy-tailed activity and popularity (a few dense rows
// and columns, many sparse ones) and both matrices of the pair.
struct Data {
    std::uint64_t n_users;
    std::uint64_t n_items;
    CsrMatrix by_user;
    CsrMatrix by_item;
};

CsrMatrix transpose(const CsrMatrix& m, std::size_t columns) {
    CsrMatrix t;
    t.indptr.assign(columns + 1, 0);
    for (const std::int32_t c : m.indices) ++t.indptr[static_cast<std::size_t>(c) + 1];
    for (std::size_t c = 0; c < columns; ++c) t.indptr[c + 1] += t.indptr[c];
    t.indices.resize(m.indices.size());
    t.data.resize(m.data.size());
    std::vector<std::uint64_t> fill(t.indptr.begin(), t.indptr.end() - 1);
    for (std::size_t r = 0; r + 1 < m.indptr.size(); ++r)
        for (std::uint64_t p = m.indptr[r]; p < m.indptr[r + 1]; ++p) {
            const auto c = static_cast<std::size_t>(m.indices[p]);
            t.indices[fill[c]] = static_cast<std::int32_t>(r);
            t.data[fill[c]++] = m.data[p];
        }
    return t;
}

Data make_data(std::uint64_t n_users, std::uint64_t n_items, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<char> row(n_items);
    Data d{n_users, n_items, {}, {}};
    d.by_user.indptr.push_back(0);
    for (std::uint64_t u = 0; u < n_users; ++u) {
        std::fill(row.begin(), row.end(), 0);
        // Activity 1..~n_items/3, mostly small; popularity skewed to low ids.
        const double a = std::exponential_distribution<double>(1.0)(rng);
        const auto count =
            std::min<std::uint64_t>(1 + static_cast<std::uint64_t>(a * a * 6), n_items / 3);
        for (std::uint64_t k = 0; k < count; ++k) {
            const double x = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
            row[static_cast<std::size_t>(static_cast<double>(n_items) * x * x * x)] = 1;
        }
        for (std::uint64_t i = 0; i < n_items; ++i) {
            if (!row[i]) continue;
            d.by_user.indices.push_back(static_cast<std::int32_t>(i));
            d.by_user.data.push_back(static_cast<float>(1 + rng() % 10) / 2.0f);
        }
        d.by_user.indptr.push_back(d.by_user.indices.size());
    }
    d.by_item = transpose(d.by_user, n_items);
    return d;
}

// The lists of two runs, bit for bit.
bool same(const SimMapping& a, const SimMapping& b) {
    if (a.size() != b.size()) return false;
    bool equal = true;
    a.for_each([&](std::int32_t id, const NeighbourList& x) {
        const NeighbourList* y = b.find(id);
        if (y == nullptr || x.ids.size() != y->ids.size()) {
            equal = false;
            return;
        }
        for (std::size_t p = 0; p < x.ids.size(); ++p)
            equal &= x.ids[p] == y->ids[p] && std::bit_cast<std::uint32_t>(x.sims[p]) ==
                                                  std::bit_cast<std::uint32_t>(y->sims[p]);
    });
    return equal;
}

bool same(const SwingScores& a, const SwingScores& b) {
    if (a.size() != b.size()) return false;
    bool equal = true;
    a.for_each([&](std::int32_t id, const SwingList& x) {
        const SwingList* y = b.find(id);
        if (y == nullptr || x.size() != y->size()) {
            equal = false;
            return;
        }
        for (std::size_t p = 0; p < x.size(); ++p)
            equal &= x[p].id == (*y)[p].id && std::bit_cast<std::uint32_t>(x[p].score) ==
                                                  std::bit_cast<std::uint32_t>((*y)[p].score);
    });
    return equal;
}

std::uint64_t entries(const SimMapping& m) {
    std::uint64_t n = 0;
    m.for_each([&](std::int32_t, const NeighbourList& l) { n += l.ids.size(); });
    return n;
}

SimMapping cosine_lists(const Data& d, Orientation o, std::uint64_t min_common, bool invert,
                        routes::CosineForward route, std::uint64_t threads) {
    routes::forced() = routes::Forced{};
    routes::forced().cosine_forward = route;
    CfModel m;
    m.task = "ranking";
    m.k_sim = 10;
    m.n_users = d.n_users;
    m.n_items = d.n_items;
    m.min_common = min_common;
    m.user_interactions = d.by_user;
    m.item_interactions = d.by_item;
    compute_similarities(m, o, invert, threads);
    routes::forced() = routes::Forced{};
    return std::move(m.sim_mapping);
}

void cosine_routes(const Data& d, const std::string& name) {
    using routes::CosineForward;
    for (const Orientation o : {Orientation::Item, Orientation::User}) {
        for (const std::uint64_t min_common : {0, 1, 3}) {
            const std::string label = name + (o == Orientation::Item ? " items" : " users") +
                                      " min_common=" + std::to_string(min_common);
            // The invert path, on the calling thread, is the reference.
            const SimMapping reference =
                cosine_lists(d, o, min_common, true, CosineForward::Chosen, 1);
            expect(entries(reference) > 0, label + ": some neighbours");
            for (const CosineForward route :
                 {CosineForward::Chosen, CosineForward::FullRows, CosineForward::HalfRows,
                  CosineForward::HalfRowsWideCounts})
                for (const std::uint64_t threads : {1, 2})
                    expect(same(reference, cosine_lists(d, o, min_common, false, route, threads)),
                           label + " forward route " + std::to_string(static_cast<int>(route)) +
                               " threads=" + std::to_string(threads));
        }
    }
}

SwingScores swing_scores(const Data& d, std::uint64_t max_cache_num, const routes::Forced& f,
                         std::uint64_t threads) {
    routes::forced() = f;
    SwingModel m;
    m.top_k = 10;
    m.alpha = 1.0f;
    m.max_cache_num = max_cache_num;
    m.n_users = d.n_users;
    m.n_items = d.n_items;
    m.user_interactions = d.by_user;
    m.item_interactions = d.by_item;
    compute_swing(m, threads);
    routes::forced() = routes::Forced{};
    return std::move(m.swing_scores);
}

void swing_routes(const Data& d, const std::string& name) {
    using namespace routes;
    Forced literal;
    literal.swing_pass = SwingPass::Literal;
    const SwingScores reference = swing_scores(d, 0, literal, 1);
    expect(reference.size() > 0, name + " swing: some lists");
    // Cache bounds: none, one that runs out early, one that never does.
    for (const std::uint64_t bound : {std::uint64_t{0}, std::uint64_t{40}, std::uint64_t{1} << 40})
        for (const SwingPass pass : {SwingPass::Chosen, SwingPass::ListsUpFront, SwingPass::Cache,
                                     SwingPass::NoCache, SwingPass::Literal})
            for (const SwingMisses misses :
                 {SwingMisses::Chosen, SwingMisses::OneByOne, SwingMisses::Indexed})
                for (const SwingAccumulator acc :
                     {SwingAccumulator::Chosen, SwingAccumulator::Tracking,
                      SwingAccumulator::Scanning})
                    for (const bool wide : {false, true}) {
                        // Miss strategies matter only with the cache.
                        if (misses != SwingMisses::Chosen && pass != SwingPass::Cache) continue;
                        Forced f;
                        f.swing_pass = pass;
                        f.swing_misses = misses;
                        f.swing_accumulator = acc;
                        f.swing_wide_ids = wide;
                        const std::uint64_t threads = 1 + (bound + static_cast<int>(acc)) % 2;
                        expect(same(reference, swing_scores(d, bound, f, threads)),
                               name + " swing bound=" + std::to_string(bound) +
                                   " pass=" + std::to_string(static_cast<int>(pass)) +
                                   " misses=" + std::to_string(static_cast<int>(misses)) +
                                   " accumulator=" + std::to_string(static_cast<int>(acc)) +
                                   " wide=" + std::to_string(wide));
                    }
}

}  // namespace

int main() {
    // Small enough for the up-front Swing lists (at most 2,048 users) and for
    // 16-bit ids; dense enough that items have long common lists.
    const Data small = make_data(300, 400, 1);
    cosine_routes(small, "300x400");
    swing_routes(small, "300x400");
    // More items than 16 bits hold: wide ids without forcing.
    const Data wide = make_data(200, 70'000, 2);
    swing_routes(wide, "200x70000");
    if (failures != 0) {
        std::fprintf(stderr, "%d route comparisons failed\n", failures);
        return 1;
    }
    std::printf("every route agreed\n");
    return 0;
}
