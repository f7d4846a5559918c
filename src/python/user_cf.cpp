// The UserCF class: user-user cosine neighbourhoods.
#include "python/cf_class.hpp"

namespace quibrel::py {
namespace {

struct UserTraits {
    static constexpr const char* name = "UserCF";
    static constexpr const char* qualified_name = "quibrel.UserCF";
    static constexpr Orientation orientation = Orientation::User;
    static constexpr bool consumed_first = false;
    static constexpr const char* class_doc =
        "UserCF(task, k_sim, n_users, n_items, min_common, user_interactions, "
        "item_interactions, user_consumed, default_pred)\n--\n\n";
    static constexpr const char* compute_doc =
        "compute_similarities($self, invert, num_threads)\n--\n\n"
        "forward index: sparse matrix of `user` interaction\n"
        "invert index: sparse matrix of `item` interaction";
    static constexpr const char* predict_doc =
        "predict($self, users, items)\n--\n\nsparse matrix of `item` interaction";
    static PyTypeObject* type() { return user_cf_type(); }
};

}  // namespace

PyTypeObject* user_cf_type() {
    static PyTypeObject* type = CfClass<UserTraits>::create_type();
    return type;
}

}  // namespace quibrel::py
