// Exact updates and lists of chosen entities for the library layer.
#include "python/native_exact.hpp"

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/cosine_subset.hpp"
#include "core/errors.hpp"
#include "core/exact_update.hpp"
#include "core/swing.hpp"
#include "python/model_object.hpp"

namespace quibrel::py {
namespace {

ExactRoute route_of(PyObject* obj) {
    if (obj == nullptr) return ExactRoute::Auto;
    const std::string word = convert_argument("route", [&] { return to_str(obj); });
    if (word == "auto") return ExactRoute::Auto;
    if (word == "incremental") return ExactRoute::Incremental;
    if (word == "full") return ExactRoute::Full;
    raise(PyExc_ValueError, "route must be 'auto', 'incremental' or 'full', got '" + word + "'");
}

Ref route_name(const ExactReport& report) {
    return check(PyUnicode_FromString(report.route == ExactRoute::Full ? "full" : "incremental"));
}

}  // namespace

PyObject* native_exact_update(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> Ref {
        static const char* names[] = {"model", "user_interactions", "item_interactions", "route",
                                      nullptr};
        PyObject* model;
        PyObject* users_obj;
        PyObject* items_obj;
        PyObject* route_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:exact_update",
                                         const_cast<char**>(names), &model, &users_obj, &items_obj,
                                         &route_obj))
            throw ErrorAlreadySet();
        const ExactRoute route = route_of(route_obj);
        if (PyObject_TypeCheck(model, swing_type())) {
            auto& obj = *reinterpret_cast<ModelObject<SwingModel>*>(model);
            ExclusiveHold hold(obj.borrow);
            const CsrMatrix new_users = to_csr_matrix(users_obj);
            const CsrMatrix new_items = to_csr_matrix(items_obj);
            return route_name(exact_update_swing(*obj.model, new_users, new_items, route));
        }
        Orientation o;
        if (PyObject_TypeCheck(model, item_cf_type()))
            o = Orientation::Item;
        else if (PyObject_TypeCheck(model, user_cf_type()))
            o = Orientation::User;
        else
            raise(PyExc_TypeError,
                  "expected an ItemCF, UserCF or Swing model, got '" + type_name(model) + "'");
        auto& obj = *reinterpret_cast<ModelObject<CfModel>*>(model);
        ExclusiveHold hold(obj.borrow);
        const CsrMatrix new_users = to_csr_matrix(users_obj);
        const CsrMatrix new_items = to_csr_matrix(items_obj);
        return route_name(exact_update_cosine(*obj.model, o, new_users, new_items, route));
    });
}

PyObject* native_entity_lists(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        PyObject* entities_obj;
        if (!PyArg_ParseTuple(args, "OO:entity_lists", &model, &entities_obj))
            throw ErrorAlreadySet();
        const bool swing = PyObject_TypeCheck(model, swing_type());
        const bool item_cf = PyObject_TypeCheck(model, item_cf_type());
        if (!swing && !item_cf && !PyObject_TypeCheck(model, user_cf_type()))
            raise(PyExc_TypeError,
                  "expected an ItemCF, UserCF or Swing model, got '" + type_name(model) + "'");
        const std::vector<std::int32_t> entities = to_i32_sequence(entities_obj);
        std::vector<std::uint64_t> offsets{0};
        std::vector<std::int32_t> ids;
        std::vector<float> scores;
        offsets.reserve(entities.size() + 1);
        if (swing) {
            auto& obj = *reinterpret_cast<ModelObject<SwingModel>*>(model);
            SharedHold hold(obj.borrow);
            const SwingModel& m = *obj.model;
            const std::vector<SwingList> lists =
                swing_item_lists(m.user_interactions, m.item_interactions, m.n_users, m.n_items,
                                 m.alpha, m.max_cache_num, entities);
            for (const SwingList& list : lists) {
                for (const SwingPair& p : list) {
                    ids.push_back(p.id);
                    scores.push_back(p.score);
                }
                offsets.push_back(ids.size());
            }
        } else {
            auto& obj = *reinterpret_cast<ModelObject<CfModel>*>(model);
            SharedHold hold(obj.borrow);
            const CfModel& m = *obj.model;
            const CsrMatrix& forward = item_cf ? m.item_interactions : m.user_interactions;
            const CsrMatrix& other = item_cf ? m.user_interactions : m.item_interactions;
            const auto n = static_cast<std::size_t>(item_cf ? m.n_items : m.n_users);
            const auto other_rows = static_cast<std::size_t>(item_cf ? m.n_users : m.n_items);
            // Norms from the matrices, not the stored ones: the model need not
            // have been computed.
            const std::vector<float> norms = compute_sum_squares(forward, n);
            const CosineSubset sub = cosine_subset(
                CosineInputs{forward, other, n, other_rows, norms, m.min_common}, entities, false);
            if (sub.first_unsortable < entities.size()) throw Panic(kUnwrapNone);
            for (const EntityState& state : sub.states) {
                ids.insert(ids.end(), state.list.ids.begin(), state.list.ids.end());
                scores.insert(scores.end(), state.list.sims.begin(), state.list.sims.end());
                offsets.push_back(ids.size());
            }
        }
        Ref o = bytes_of<std::uint64_t>(offsets);
        Ref i = bytes_of<std::int32_t>(ids);
        Ref s = bytes_of<float>(scores);
        return check(PyTuple_Pack(3, o.get(), i.get(), s.get()));
    });
}

}  // namespace quibrel::py
