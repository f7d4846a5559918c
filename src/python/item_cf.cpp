// The ItemCF class: item-item cosine neighbourhoods.
#include "python/cf_class.hpp"

namespace quibrel::py {
namespace {

struct ItemTraits {
    static constexpr const char* name = "ItemCF";
    static constexpr const char* qualified_name = "quibrel.ItemCF";
    static constexpr Orientation orientation = Orientation::Item;
    static constexpr bool consumed_first = true;
    static constexpr const char* class_doc =
        "ItemCF(task, k_sim, n_users, n_items, min_common, user_interactions, "
        "item_interactions, user_consumed, default_pred)\n--\n\n";
    static constexpr const char* compute_doc =
        "compute_similarities($self, invert, num_threads)\n--\n\n"
        "forward index: sparse matrix of `item` interactions\n"
        "invert index: sparse matrix of `user` interactions";
    static constexpr const char* predict_doc =
        "predict($self, users, items)\n--\n\nsparse matrix of `user` interactions";
    static PyTypeObject* type() { return item_cf_type(); }
};

}  // namespace

PyTypeObject* item_cf_type() {
    static PyTypeObject* type = CfClass<ItemTraits>::create_type();
    return type;
}

}  // namespace quibrel::py
