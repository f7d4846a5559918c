// The model records owned by the Python objects. Field order is the order of
// the model files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/cosine_pair_stats.hpp"
#include "core/csr.hpp"
#include "core/id_map.hpp"
#include "core/mem_list_storage.hpp"

namespace quibrel {

using ConsumedMap = IdMap<std::vector<std::int32_t>>;

// A cosine neighbour list: parallel vectors, non-increasing similarity.
struct NeighbourList {
    ListVector<std::int32_t> ids;
    ListVector<float> sims;
};
using SimMapping = IdMap<NeighbourList>;

// A Swing neighbour list: (item, score) pairs, descending score.
struct SwingPair {
    std::int32_t id;
    float score;
};
using SwingList = ListVector<SwingPair>;
using SwingScores = IdMap<SwingList>;

// Which side of the interactions a cosine model compares.
enum class Orientation { Item, User };

// ItemCF and UserCF share one record; Orientation says which matrix is the
// entity-indexed one.
struct CfModel {
    std::string task;
    std::uint64_t k_sim = 0;
    std::uint64_t n_users = 0;
    std::uint64_t n_items = 0;
    std::uint64_t min_common = 0;
    std::vector<float> sum_squares;
    PairStats pair_stats;
    SimMapping sim_mapping;
    CsrMatrix user_interactions;
    CsrMatrix item_interactions;
    ConsumedMap user_consumed;
    float default_pred = 0.0f;
};

struct SwingModel {
    std::uint64_t top_k = 0;
    float alpha = 0.0f;
    std::uint64_t max_cache_num = 0;
    std::uint64_t n_users = 0;
    std::uint64_t n_items = 0;
    SwingScores swing_scores;
    CsrMatrix user_interactions;
    CsrMatrix item_interactions;
    ConsumedMap user_consumed;
    float default_pred = 0.0f;
};

// Entity count and the user-side and item-side data (a model's matrices, a
// batch's, its ids) in the roles of one orientation. roles_of is the one
// place that maps an orientation to roles.
template <class Side>
struct RolesOf {
    std::uint64_t n;           // number of entities
    Side* forward;             // the entities' side (rows = entities for a matrix)
    Side* other;               // the other side
    std::uint64_t other_rows;  // rows of `other` the invert path walks
};
using CosineRoles = RolesOf<CsrMatrix>;

template <class Side>
RolesOf<Side> roles_of(const CfModel& m, Orientation o, Side& user_rows, Side& item_rows) {
    if (o == Orientation::Item) return {m.n_items, &item_rows, &user_rows, m.n_users};
    return {m.n_users, &user_rows, &item_rows, m.n_items};
}

// The model's own matrices in the roles of orientation o.
inline CosineRoles cosine_roles(CfModel& m, Orientation o) {
    return roles_of(m, o, m.user_interactions, m.item_interactions);
}
inline RolesOf<const CsrMatrix> cosine_roles(const CfModel& m, Orientation o) {
    return roles_of(m, o, m.user_interactions, m.item_interactions);
}

}  // namespace quibrel
