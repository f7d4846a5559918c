// Cosine similarities (ItemCF and UserCF): the forward and invert paths, the
// incremental update, and the reads that follow, on models built from hostile
// matrices. Some models also start from stored state (sum of squares, pair
// statistics, neighbour lists) that only a model file can give them.
#include "fuzz/native/exercise.hpp"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    init_pool();
    Input in(data, size);
    const Orientation o = in.flag() ? Orientation::Item : Orientation::User;
    CfModel m;
    m.n_users = small_count(in);
    m.n_items = small_count(in);
    m.task = any_task(in);
    m.k_sim = any_count(in);
    m.min_common = any_count(in);
    m.default_pred = any_value(in);
    Interactions batch = interactions(in, m.n_users, m.n_items);
    m.user_interactions = std::move(batch.users);
    m.item_interactions = std::move(batch.items);
    m.user_consumed = any_consumed(in, m.user_interactions, m.n_items);

    if (in.byte() >= 224) {
        const std::size_t n = o == Orientation::Item ? m.n_items : m.n_users;
        for (std::size_t k = 0, len = in.upto(n + 2); k < len; ++k)
            m.sum_squares.push_back(any_value(in));
        for (std::size_t k = 0, records = in.upto(8); k < records; ++k) {
            quibrel::PairRecord r;
            r.x = any_id(in, n + 1);
            r.y = any_id(in, n + 1);
            r.dot = any_value(in);
            r.count = any_count(in);
            m.pair_stats.insert_or_assign(r);
        }
        any_sim_mapping(in, m.sim_mapping, n);
    }

    // A sequence of calls as a Python caller could make them.
    for (std::size_t step = 0; step < 6 && !in.empty(); ++step) {
        switch (in.below(8)) {
        case 0:
        case 1: compute_cf(in, m, o); break;
        case 2:
        case 3: update_cf(in, m, o); break;
        case 4:
            if (in.flag())
                m.n_users = small_count(in);
            else
                m.n_items = small_count(in);
            break;
        case 5: predict_cf(in, m, o); break;
        case 6: recommend_cf(in, m, o); break;
        case 7: (void)quibrel::num_sim_elements(m); break;
        }
    }
    return 0;
}
