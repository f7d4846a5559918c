// Exact updates of ItemCF, UserCF and Swing models (every route) on small
// computed models. After a successful update the model must be the model a
// full computation on its merged matrices gives, bit for bit, and for a batch
// the target builds itself the merged matrices must be the ones it expects.
// An update that fails must leave the model as it was. Models that only a
// damaged caller or file could make (broken matrices, stored state no
// computation wrote) and hostile batches are fed as well, held only to the
// failures the core raises on purpose.
#include <optional>

#include "core/exact_update.hpp"
#include "fuzz/native/exercise.hpp"
#include "fuzz/native/record.hpp"

using namespace fuzz;
using quibrel::ExactReport;
using quibrel::ExactRoute;

namespace {

constexpr std::size_t kMaxUsers = 28;
constexpr std::size_t kMaxItems = 20;

enum class Kind { Item, User, Swing };

// One model of any of the three kinds, behind the calls the target makes.
struct Model {
    Kind kind;
    CfModel cf;
    SwingModel swing;

    Orientation orientation() const {
        return kind == Kind::Item ? Orientation::Item : Orientation::User;
    }
    std::uint64_t& n_users() { return kind == Kind::Swing ? swing.n_users : cf.n_users; }
    std::uint64_t& n_items() { return kind == Kind::Swing ? swing.n_items : cf.n_items; }
    CsrMatrix& users() {
        return kind == Kind::Swing ? swing.user_interactions : cf.user_interactions;
    }
    CsrMatrix& items() {
        return kind == Kind::Swing ? swing.item_interactions : cf.item_interactions;
    }
    quibrel::ConsumedMap& consumed() {
        return kind == Kind::Swing ? swing.user_consumed : cf.user_consumed;
    }
    std::string record() const { return kind == Kind::Swing ? swing_record(swing) : cf_record(cf); }
    std::string state() const { return kind == Kind::Swing ? swing_state(swing) : cf_state(cf); }

    // A full computation; false when it failed (with an allowed failure).
    bool compute(Input& in, unsigned allowed) {
        const std::uint64_t threads = any_thread_count(in);
        if (kind == Kind::Swing)
            return attempt("compute_swing", allowed,
                           [&] { quibrel::compute_swing(swing, threads); });
        const bool invert = in.flag();
        return attempt("compute_similarities", allowed,
                       [&] { quibrel::compute_similarities(cf, orientation(), invert, threads); });
    }

    ExactReport update(const CsrMatrix& u, const CsrMatrix& i, ExactRoute route) {
        if (kind == Kind::Swing) return quibrel::exact_update_swing(swing, u, i, route);
        return quibrel::exact_update_cosine(cf, orientation(), u, i, route);
    }

    // The same parameters with other matrices and no computed state.
    Model fresh(CsrMatrix u, CsrMatrix i) const {
        Model out{kind, {}, {}};
        if (kind == Kind::Swing) {
            SwingModel& s = out.swing;
            s.top_k = swing.top_k;
            s.alpha = swing.alpha;
            s.max_cache_num = swing.max_cache_num;
            s.n_users = swing.n_users;
            s.n_items = swing.n_items;
            s.user_consumed = swing.user_consumed;
            s.default_pred = swing.default_pred;
        } else {
            CfModel& c = out.cf;
            c.task = cf.task;
            c.k_sim = cf.k_sim;
            c.n_users = cf.n_users;
            c.n_items = cf.n_items;
            c.min_common = cf.min_common;
            c.user_consumed = cf.user_consumed;
            c.default_pred = cf.default_pred;
        }
        out.users() = std::move(u);
        out.items() = std::move(i);
        return out;
    }
};

bool same_cells(const Cells& a, const Cells& b) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y)
        if (x->first != y->first || !same_bits(x->second, y->second)) return false;
    return true;
}

// NaN payloads follow the order of the operands, which the forward and invert
// computations differ in, so a computed NaN matches any NaN. Stored values
// (the matrices) are copies and must match bit for bit.
float plain(float v) { return std::isnan(v) ? std::numeric_limits<float>::quiet_NaN() : v; }

Model comparable(const Model& m) {
    Model c = m;
    c.swing.swing_scores.for_each_mut([](std::int32_t, quibrel::SwingList& list) {
        for (quibrel::SwingPair& p : list) p.score = plain(p.score);
    });
    for (float& v : c.cf.sum_squares) v = plain(v);
    c.cf.sim_mapping.for_each_mut([](std::int32_t, quibrel::NeighbourList& list) {
        for (float& s : list.sims) s = plain(s);
    });
    quibrel::PairStats pairs;
    c.cf.pair_stats.for_each([&](quibrel::PairRecord r) {
        r.dot = plain(r.dot);
        pairs.insert_or_assign(r);
    });
    c.cf.pair_stats = std::move(pairs);
    return c;
}

// Values other than the ordinary ones the target draws: NaN, infinities,
// zeros, extremes, negatives.
bool holds_special(const Cells& cells) {
    return std::any_of(cells.begin(), cells.end(), [](const auto& cell) {
        return !(cell.second >= 0.5f && cell.second <= 4.5f);
    });
}

// The cells of rows below n.
Cells rows_below(const Cells& cells, std::size_t n) {
    Cells out;
    for (const auto& [at, value] : cells)
        if (static_cast<std::size_t>(at.first) < n) out.emplace(at, value);
    return out;
}

struct Batch {
    CsrMatrix users;
    CsrMatrix items;
    Cells cells;         // by (user, item), when the target knows them
    bool known = false;  // cells hold what the core must read from the matrices
    bool special = false;
    bool must_fail = false;
};

// A cell of a batch, in the order drawn.
struct Drawn {
    std::int32_t user;
    std::int32_t item;
    float value;
};

// The cells by user, rows grouped, columns in drawn order: repeats and
// unsorted rows are the caller's to make, and the later value of a repeated
// cell is the one that counts.

CsrMatrix by_user(const std::vector<Drawn>& drawn, std::size_t rows) {
    CsrMatrix m;
    m.indptr.push_back(0);
    for (std::size_t r = 0; r < rows; ++r) {
        for (const Drawn& d : drawn)
            if (static_cast<std::size_t>(d.user) == r) {
                m.indices.push_back(d.item);
                m.data.push_back(d.value);
            }
        m.indptr.push_back(m.indices.size());
    }
    return m;
}

Batch draw_batch(Input& in, std::size_t n_users, std::size_t n_items, const Cells& stored) {
    Batch b;
    const std::uint8_t mode = in.byte();
    if (mode < 16) {  // no interactions: no rows at all, or empty rows
        const std::size_t rows = mode < 8 ? 0 : n_users;
        b.users = by_user({}, rows);
        b.items = by_user({}, mode < 8 ? 0 : n_items);
        b.known = true;
        return b;
    }
    std::vector<Drawn> drawn;
    for (std::size_t k = 0, count = 1 + in.below(10); k < count && n_users > 0 && n_items > 0;
         ++k) {
        Drawn d{static_cast<std::int32_t>(in.below(n_users)),
                static_cast<std::int32_t>(in.below(n_items)), 0.0f};
        // Often a stored cell, so that values are replaced.
        if (!stored.empty() && in.byte() < 96) {
            auto it = stored.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(in.below(stored.size())));
            d.user = it->first.first;
            d.item = it->first.second;
            if (static_cast<std::size_t>(d.user) >= n_users ||
                static_cast<std::size_t>(d.item) >= n_items)
                continue;
        }
        const std::uint8_t v = in.byte();
        if (v < 240) {
            d.value = static_cast<float>(1 + v % 9) * 0.5f;
        } else {
            d.value = any_value(in);
            b.special = true;
        }
        drawn.push_back(d);
        if (in.byte() < 24) drawn.push_back(drawn.back());  // the same cell twice
    }
    // Batch rows up to the counts, or fewer (trailing rows left out).
    std::size_t user_rows = n_users;
    std::size_t item_rows = n_items;
    if (in.byte() < 64) {
        user_rows = 0;
        for (const Drawn& d : drawn) user_rows = std::max<std::size_t>(user_rows, d.user + 1);
        item_rows = 0;
        for (const Drawn& d : drawn) item_rows = std::max<std::size_t>(item_rows, d.item + 1);
    }
    b.users = by_user(drawn, user_rows);
    b.items = transpose(b.users, item_rows);
    for (const Drawn& d : drawn) b.cells[{d.user, d.item}] = d.value;
    b.known = true;

    if (mode >= 208) {
        // Hostile: damage the target checks for itself, or any damage at all.
        b.known = false;
        switch (in.below(6)) {
        case 0:  // a user beyond n_users
            if (!b.users.indptr.empty()) {
                b.users.indptr.insert(b.users.indptr.end(),
                                      n_users + in.below(3) - (b.users.indptr.size() - 1),
                                      b.users.indptr.back());
                b.users.indices.push_back(0);
                b.users.data.push_back(1.0f);
                b.users.indptr.push_back(b.users.indices.size());
                b.must_fail = true;
            }
            break;
        case 1:  // an item beyond n_items, in both matrices
            if (n_users > 0) {
                const auto item = static_cast<std::int32_t>(n_items + in.below(3));
                std::vector<Drawn> more = drawn;
                more.push_back(Drawn{0, item, 1.0f});
                b.users = by_user(more, user_rows == 0 ? 1 : user_rows);
                b.items = transpose(b.users, static_cast<std::size_t>(item) + 1);
                b.must_fail = true;
            }
            break;
        case 2:  // a negative item
            if (!b.users.indices.empty()) {
                b.users.indices[in.below(b.users.indices.size())] = -1 - in.below(3);
                b.must_fail = true;
            }
            break;
        case 3:  // the two matrices disagree
            if (!b.items.data.empty()) {
                const std::size_t p = in.below(b.items.data.size());
                b.items.data[p] = in.flag() ? b.items.data[p] + 1.0f : -b.items.data[p];
                b.must_fail = !same_cells(cells_of(b.users), flipped(cells_of(b.items)));
            } else if (!b.users.indices.empty()) {
                b.items = CsrMatrix{};
                b.must_fail = true;
            }
            break;
        default: damage_some(in, in.flag() ? b.users : b.items, n_items); break;
        }
    }
    return b;
}

// What the merged matrices must be: a batch cell replaces a stored one, rows
// beyond the counts are dropped.
struct Merged {
    CsrMatrix users;
    CsrMatrix items;
};

Merged expected_merge(const Cells& stored, const Cells& batch, std::size_t n_users,
                      std::size_t n_items) {
    Cells u = rows_below(stored, n_users);
    for (const auto& [at, value] : batch) u[at] = value;
    Cells i = rows_below(flipped(stored), n_items);
    for (const auto& [at, value] : flipped(batch)) i[at] = value;
    return {matrix_of(u, n_users), matrix_of(i, n_items)};
}

bool same_matrix(const CsrMatrix& a, const CsrMatrix& b) {
    if (a.indices != b.indices || a.indptr != b.indptr || a.data.size() != b.data.size())
        return false;
    for (std::size_t p = 0; p < a.data.size(); ++p)
        if (!same_bits(a.data[p], b.data[p])) return false;
    return true;
}

// The library sets each changed user's consumed items before it updates.
void grow_consumed(Model& m, const Cells& stored, const Cells& batch) {
    std::map<std::int32_t, std::vector<std::int32_t>> rows;
    for (const auto& [at, value] : batch) rows[at.first];
    for (const Cells* cells : {&stored, &batch})
        for (const auto& [at, value] : *cells)
            if (rows.count(at.first)) rows[at.first].push_back(at.second);
    for (auto& [user, items] : rows) {
        std::sort(items.begin(), items.end());
        items.erase(std::unique(items.begin(), items.end()), items.end());
        m.consumed().insert_or_assign(user, std::move(items));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    init_pool();
    Input in(data, size);
    static const Kind kinds[] = {Kind::Item, Kind::User, Kind::Swing};
    Model m{in.pick(kinds), {}, {}};
    std::size_t n_users = in.upto(kMaxRows);
    std::size_t n_items = in.upto(16);
    m.n_users() = n_users;
    m.n_items() = n_items;
    if (m.kind == Kind::Swing) {
        static const float alphas[] = {0.5f, 1.0f, 0.0f, 2.0f, 1e-3f};
        static const std::uint64_t caches[] = {100000, 0, 1, 2, 5};
        m.swing.top_k = any_count(in);
        m.swing.alpha = in.pick(alphas);
        m.swing.max_cache_num = in.pick(caches);
    } else {
        m.cf.task = any_task(in);
        m.cf.k_sim = any_count(in);
        m.cf.min_common = in.byte() < 240 ? in.below(4) : any_count(in);
    }

    // The stored interactions: both matrices of the same cells, a row for
    // every user and item as the library stores them, or damaged ones.
    const Shape shape{n_users, n_items};
    m.users() = regular_matrix(in, shape);
    m.items() = transpose(m.users(), n_items);
    // A model the update's precondition holds for: intact matrices and the
    // state a full computation gave (or none).
    bool intact = true;
    const std::uint8_t hostile = in.byte();
    if (hostile >= 232) {
        intact = false;
        damage(in, in.flag() ? m.users() : m.items(), n_items);
    } else if (hostile >= 216 && m.kind != Kind::Swing) {
        // State only a model file can bring: records of any count, any lists.
        intact = false;
        const std::size_t n = m.kind == Kind::Item ? n_items : n_users;
        for (std::size_t k = 0, len = in.upto(n + 2); k < len; ++k)
            m.cf.sum_squares.push_back(any_value(in));
        for (std::size_t k = 0, records = in.upto(4); k < records; ++k) {
            quibrel::PairRecord r;
            r.x = any_id(in, n + 1);
            r.y = any_id(in, n + 1);
            r.dot = any_value(in);
            r.count = any_count(in);
            m.cf.pair_stats.insert_or_assign(r);
        }
        any_sim_mapping(in, m.cf.sim_mapping, n);
    } else if (hostile >= 208 && m.kind == Kind::Swing) {
        intact = false;
        any_swing_scores(in, m.swing.swing_scores, n_items);
    }
    Cells stored = intact ? cells_of(m.users()) : Cells{};
    m.consumed() = consumed_from(m.users());
    if (in.byte() < 224) {
        const unsigned allowed = m.kind == Kind::Swing ? kPanic : kPanic | kValue;
        if (!m.compute(in, intact ? 0u : allowed)) return 0;
    }

    static const ExactRoute routes[] = {ExactRoute::Auto, ExactRoute::Incremental,
                                        ExactRoute::Full};
    bool shrunk = false;
    for (std::size_t step = 0; step < 3 && !in.empty(); ++step) {
        // Counts grow first, as the library grows them. Now and then they
        // shrink, which the library never does: until an update succeeds, the
        // stored rows still name the dropped entities and may make it fail.
        const bool shrink = in.byte() >= 248;
        shrunk = shrunk || shrink;
        if (!shrink) {
            n_users = std::min(n_users + in.below(4), kMaxUsers);
            n_items = std::min(n_items + in.below(4), kMaxItems);
        } else {
            n_users -= std::min(n_users, in.below(3));
            n_items -= std::min(n_items, in.below(3));
        }
        m.n_users() = n_users;
        m.n_items() = n_items;
        const Batch batch = draw_batch(in, n_users, n_items, stored);
        if (batch.known) grow_consumed(m, stored, batch.cells);
        const ExactRoute route = in.pick(routes);

        const std::string before = m.record();
        // An intact model and a batch the target built: nothing may fail but a
        // list that a special value (NaN, infinity), new or stored, leaves
        // unsortable.
        const bool checked = intact && batch.known && !batch.must_fail && !shrunk;
        unsigned allowed = kPanic | kValue;
        if (checked) allowed = batch.special || holds_special(stored) ? kPanic : 0u;
        std::optional<ExactReport> report;
        const bool ok = attempt("exact_update", allowed,
                                [&] { report = m.update(batch.users, batch.items, route); });
        if (batch.must_fail) FUZZ_CHECK(!ok);
        if (!ok) {
            FUZZ_CHECK(m.record() == before);
            if (checked) {
                // Only a full computation on the merged interactions fails the same way.
                const Merged merged = expected_merge(stored, batch.cells, n_users, n_items);
                Model ref = m.fresh(merged.users, merged.items);
                FUZZ_CHECK(!ref.compute(in, kPanic));
            }
            continue;
        }
        FUZZ_CHECK(route != ExactRoute::Full || report->route == ExactRoute::Full);
        shrunk = false;
        if (!intact) continue;
        if (batch.known) {
            const Merged merged = expected_merge(stored, batch.cells, n_users, n_items);
            FUZZ_CHECK(same_matrix(m.users(), merged.users));
            FUZZ_CHECK(same_matrix(m.items(), merged.items));
        }
        // The merged matrices hold the same cells, so the next update's
        // precondition holds again...
        stored = cells_of(m.users());
        if (!same_cells(stored, flipped(cells_of(m.items())))) {
            // ...unless rows were dropped from one matrix and not the other
            // (a count shrank below cells of the other matrix).
            intact = false;
            continue;
        }
        // ...and the state is the one a full computation gives.
        Model ref = m.fresh(m.users(), m.items());
        FUZZ_CHECK(ref.compute(in, 0));
        const Model got = comparable(m);
        const Model want = comparable(ref);
        FUZZ_CHECK(got.state() == want.state());
        FUZZ_CHECK(got.record() == want.record());
        if (in.byte() < 32) {
            if (m.kind == Kind::Swing)
                recommend_swing(in, m.swing);
            else
                recommend_cf(in, m.cf, m.orientation());
        }
    }
    return 0;
}
