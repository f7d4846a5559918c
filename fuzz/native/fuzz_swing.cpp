// Swing scores: compute_swing and update_swing on models built from hostile
// matrices, with the reads that follow. Some models start from stored scores
// that only a model file can give them.
#include "fuzz/native/exercise.hpp"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    init_pool();
    Input in(data, size);
    SwingModel m;
    m.top_k = any_count(in);
    m.alpha = any_value(in);
    m.max_cache_num = any_count(in);
    m.n_users = small_count(in);
    m.n_items = small_count(in);
    m.default_pred = any_value(in);
    Interactions batch = interactions(in, m.n_users, m.n_items);
    m.user_interactions = std::move(batch.users);
    m.item_interactions = std::move(batch.items);
    m.user_consumed = any_consumed(in, m.user_interactions, m.n_items);
    if (in.byte() >= 224) any_swing_scores(in, m.swing_scores, m.n_items);

    for (std::size_t step = 0; step < 6 && !in.empty(); ++step) {
        switch (in.below(7)) {
        case 0:
        case 1: compute_swing(in, m); break;
        case 2:
        case 3: update_swing(in, m); break;
        case 4:
            if (in.flag())
                m.n_users = small_count(in);
            else
                m.n_items = small_count(in);
            break;
        case 5:
            if (in.flag())
                predict_swing(in, m);
            else
                recommend_swing(in, m);
            break;
        case 6: count_swing_elements(m); break;
        }
    }
    return 0;
}
