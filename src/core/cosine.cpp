// placeholder until the implementation lands
#include "core/cosine.hpp"
#include "core/errors.hpp"
namespace quibrel {
CosineRoles cosine_roles(CfModel& m, Orientation o) {
    if (o == Orientation::Item) return {m.n_items, &m.item_interactions, &m.user_interactions, m.n_users};
    return {m.n_users, &m.user_interactions, &m.item_interactions, m.n_items};
}
void compute_similarities(CfModel&, Orientation, bool, std::uint64_t) { throw Panic("not implemented"); }
std::uint64_t num_sim_elements(const CfModel&) { throw Panic("not implemented"); }
}
