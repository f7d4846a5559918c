// predict and recommend of the three models on records that no computation
// produced: neighbour lists and Swing scores as a model file can carry them
// (ids and similarities of different lengths, unsorted, NaN, ids outside every
// range), hostile matrices, consumed maps and counts.
#include "fuzz/native/exercise.hpp"

using namespace fuzz;

namespace {

// Counts as the setters accept them: any u64. The reads size their scratch by
// the item count only up to a fixed cap, so huge counts are cheap here.
std::uint64_t model_count(Input& in) { return in.byte() < 224 ? small_count(in) : any_count(in); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::uint8_t kind = in.below(3);
    if (kind < 2) {
        const Orientation o = kind == 0 ? Orientation::Item : Orientation::User;
        CfModel m;
        m.n_users = model_count(in);
        m.n_items = model_count(in);
        m.task = any_task(in);
        m.k_sim = any_count(in);
        m.default_pred = any_value(in);
        const std::size_t n_users =
            static_cast<std::size_t>(std::min<std::uint64_t>(m.n_users, kMaxRows));
        const std::size_t n_items =
            static_cast<std::size_t>(std::min<std::uint64_t>(m.n_items, 16));
        Interactions batch = interactions(in, n_users, n_items);
        m.user_interactions = std::move(batch.users);
        m.item_interactions = std::move(batch.items);
        m.user_consumed = any_consumed(in, m.user_interactions, n_items);
        any_sim_mapping(in, m.sim_mapping, o == Orientation::Item ? n_items : n_users);
        for (std::size_t step = 0; step < 4 && !in.empty(); ++step) {
            if (in.flag())
                predict_cf(in, m, o);
            else
                recommend_cf(in, m, o);
        }
    } else {
        SwingModel m;
        m.n_users = model_count(in);
        m.n_items = model_count(in);
        m.top_k = any_count(in);
        m.default_pred = any_value(in);
        const std::size_t n_users =
            static_cast<std::size_t>(std::min<std::uint64_t>(m.n_users, kMaxRows));
        const std::size_t n_items =
            static_cast<std::size_t>(std::min<std::uint64_t>(m.n_items, 16));
        Interactions batch = interactions(in, n_users, n_items);
        m.user_interactions = std::move(batch.users);
        m.item_interactions = std::move(batch.items);
        m.user_consumed = any_consumed(in, m.user_interactions, n_items);
        any_swing_scores(in, m.swing_scores, n_items);
        for (std::size_t step = 0; step < 4 && !in.empty(); ++step) {
            if (in.flag())
                predict_swing(in, m);
            else
                recommend_swing(in, m);
        }
    }
    return 0;
}
