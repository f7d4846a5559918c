// ItemCF and UserCF share one implementation; Traits supplies the class name,
// the orientation and the few places where the two classes differ.
#pragma once

#include "core/cosine.hpp"
#include "core/cosine_incremental.hpp"
#include "core/inference.hpp"
#include "python/model_object.hpp"

namespace quibrel::py {

template <class Traits>
struct CfClass {
    using Object = ModelObject<CfModel>;

    static std::string full(const char* method) {
        return std::string(Traits::name) + "." + method + "()";
    }
    static Object& self_of(PyObject* self) {
        return receiver<CfModel>(self, Traits::type(), Traits::name);
    }

    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guarded([&] {
            PyObject* a[9];
            bind_arguments(full("__new__").c_str(),
                           {"task", "k_sim", "n_users", "n_items", "min_common",
                            "user_interactions", "item_interactions", "user_consumed",
                            "default_pred"},
                           args, kwargs, a);
            CfModel m;
            m.task = convert_argument("task", [&] { return to_str(a[0]); });
            m.k_sim = convert_argument("k_sim", [&] { return to_u64(a[1]); });
            m.n_users = convert_argument("n_users", [&] { return to_u64(a[2]); });
            m.n_items = convert_argument("n_items", [&] { return to_u64(a[3]); });
            m.min_common = convert_argument("min_common", [&] { return to_u64(a[4]); });
            convert_argument("user_consumed", [&] { require_dict(a[7]); });
            m.default_pred = convert_argument("default_pred", [&] { return to_f32(a[8]); });
            // The contents are read after every argument passed its kind; the
            // two classes read them in different orders.
            if constexpr (Traits::consumed_first) {
                m.user_consumed = to_consumed_map(a[7]);
                m.user_interactions = to_csr_matrix(a[5]);
                m.item_interactions = to_csr_matrix(a[6]);
            } else {
                m.user_interactions = to_csr_matrix(a[5]);
                m.item_interactions = to_csr_matrix(a[6]);
                m.user_consumed = to_consumed_map(a[7]);
            }
            return wrap_model(type, std::move(m));
        });
    }

    static PyObject* compute_similarities(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&] {
            PyObject* a[2];
            bind_arguments(full("compute_similarities").c_str(), {"invert", "num_threads"}, args,
                           kwargs, a);
            Object& obj = self_of(self);
            ExclusiveHold hold(obj.borrow);
            const bool invert = convert_argument("invert", [&] { return to_bool(a[0]); });
            const auto threads = convert_argument("num_threads", [&] { return to_u64(a[1]); });
            quibrel::compute_similarities(*obj.model, Traits::orientation, invert, threads);
            return none();
        });
    }

    static PyObject* num_sim_elements(PyObject* self, PyObject*) {
        return guarded([&] {
            Object& obj = self_of(self);
            SharedHold hold(obj.borrow);
            if (Traits::orientation == Orientation::Item && obj.model->sim_mapping.empty())
                raise(PyExc_ValueError, "call `compute_similarities` first");
            return check(PyLong_FromUnsignedLongLong(quibrel::num_sim_elements(*obj.model)));
        });
    }

    static PyObject* predict(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&] {
            PyObject* a[2];
            bind_arguments(full("predict").c_str(), {"users", "items"}, args, kwargs, a);
            Object& obj = self_of(self);
            SharedHold hold(obj.borrow);
            convert_argument("users", [&] { require_list(a[0]); });
            convert_argument("items", [&] { require_list(a[1]); });
            if constexpr (Traits::orientation == Orientation::Item) {
                const auto users = to_u64_sequence(a[0]);
                const auto items = to_i32_sequence(a[1]);
                return from_f32_list(predict_item_cf(*obj.model, users, items));
            } else {
                const auto users = to_i32_sequence(a[0]);
                const auto items = to_u64_sequence(a[1]);
                return from_f32_list(predict_user_cf(*obj.model, users, items));
            }
        });
    }

    static PyObject* recommend(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&] {
            PyObject* a[4];
            bind_arguments(full("recommend").c_str(),
                           {"users", "n_rec", "filter_consumed", "random_rec"}, args, kwargs, a);
            Object& obj = self_of(self);
            SharedHold hold(obj.borrow);
            convert_argument("users", [&] { require_list(a[0]); });
            const auto n_rec = convert_argument("n_rec", [&] { return to_u64(a[1]); });
            const bool filter = convert_argument("filter_consumed", [&] { return to_bool(a[2]); });
            const bool random = convert_argument("random_rec", [&] { return to_bool(a[3]); });
            PendingUsers users = convert_users_by_position(a[0]);
            const Recommendations rec =
                Traits::orientation == Orientation::Item
                    ? recommend_item_cf(*obj.model, users.ids, n_rec, filter, random)
                    : recommend_user_cf(*obj.model, users.ids, n_rec, filter, random);
            if (users.failed()) users.raise_pending();
            return recommendations_result(rec.lists, rec.report);
        });
    }

    static PyObject* update_similarities(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&] {
            PyObject* a[2];
            bind_arguments(full("update_similarities").c_str(),
                           {"user_interactions", "item_interactions"}, args, kwargs, a);
            Object& obj = self_of(self);
            ExclusiveHold hold(obj.borrow);
            const CsrMatrix new_users = to_csr_matrix(a[0]);
            const CsrMatrix new_items = to_csr_matrix(a[1]);
            quibrel::update_similarities(*obj.model, Traits::orientation, new_users, new_items);
            return none();
        });
    }

    static int set_n_users(PyObject* self, PyObject* value, void*) {
        return set_count<CfModel, &CfModel::n_users>(self, value, "n_users", Traits::type(),
                                                     Traits::name);
    }
    static int set_n_items(PyObject* self, PyObject* value, void*) {
        return set_count<CfModel, &CfModel::n_items>(self, value, "n_items", Traits::type(),
                                                     Traits::name);
    }
    static int set_user_consumed(PyObject* self, PyObject* value, void*) {
        return guarded_int([&] {
            if (value == nullptr) refuse_delete();
            convert_argument("user_consumed", [&] { require_dict(value); });
            ConsumedMap consumed = to_consumed_map(value);
            Object& obj = self_of(self);
            ExclusiveHold hold(obj.borrow);
            obj.model->user_consumed = std::move(consumed);
        });
    }

    static PyTypeObject* create_type() {
        static PyMethodDef methods[] = {
            {"compute_similarities", keywords_method(compute_similarities),
             METH_VARARGS | METH_KEYWORDS, Traits::compute_doc},
            {"num_sim_elements", num_sim_elements, METH_NOARGS, "num_sim_elements($self)\n--\n\n"},
            {"predict", keywords_method(predict), METH_VARARGS | METH_KEYWORDS,
             Traits::predict_doc},
            {"recommend", keywords_method(recommend), METH_VARARGS | METH_KEYWORDS,
             "recommend($self, users, n_rec, filter_consumed, random_rec)\n--\n\n"
             "sparse matrix of `user` interaction"},
            {"update_similarities", keywords_method(update_similarities),
             METH_VARARGS | METH_KEYWORDS,
             "update_similarities($self, user_interactions, item_interactions)\n--\n\n"
             "update on new sparse interactions"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyGetSetDef getset[] = {
            {"n_users", nullptr, set_n_users, nullptr, nullptr},
            {"n_items", nullptr, set_n_items, nullptr, nullptr},
            {"user_consumed", nullptr, set_user_consumed, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_model<CfModel>)},
            {Py_tp_methods, methods},
            {Py_tp_getset, getset},
            {Py_tp_doc, const_cast<char*>(Traits::class_doc)},
            {0, nullptr},
        };
        static PyType_Spec spec = {Traits::qualified_name, static_cast<int>(sizeof(Object)), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec, Traits::name);
    }
};

}  // namespace quibrel::py
