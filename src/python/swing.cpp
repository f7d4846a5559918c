// The Swing class: item-item Swing scores.
#include "core/inference.hpp"
#include "core/pool.hpp"
#include "core/swing.hpp"
#include "python/model_object.hpp"

namespace quibrel::py {
namespace {

using Object = ModelObject<SwingModel>;

Object& self_of(PyObject* self) { return receiver<SwingModel>(self, swing_type(), "Swing"); }

PyObject* swing_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[9];
        bind_arguments("Swing.__new__()",
                       {"top_k", "alpha", "max_cache_num", "n_users", "n_items",
                        "user_interactions", "item_interactions", "user_consumed", "default_pred"},
                       args, kwargs, a);
        SwingModel m;
        m.top_k = convert_argument("top_k", [&] { return to_u64(a[0]); });
        m.alpha = convert_argument("alpha", [&] { return to_f32(a[1]); });
        m.max_cache_num = convert_argument("max_cache_num", [&] { return to_u64(a[2]); });
        m.n_users = convert_argument("n_users", [&] { return to_u64(a[3]); });
        m.n_items = convert_argument("n_items", [&] { return to_u64(a[4]); });
        convert_argument("user_consumed", [&] { require_dict(a[7]); });
        m.default_pred = convert_argument("default_pred", [&] { return to_f32(a[8]); });
        m.user_consumed = to_consumed_map(a[7]);
        m.user_interactions = to_csr_matrix(a[5]);
        m.item_interactions = to_csr_matrix(a[6]);
        return wrap_model(type, std::move(m));
    });
}

PyObject* compute_swing(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[1];
        bind_arguments("Swing.compute_swing()", {"num_threads"}, args, kwargs, a);
        Object& obj = self_of(self);
        ExclusiveHold hold(obj.borrow);
        const auto threads = convert_argument("num_threads", [&] { return to_u64(a[0]); });
        quibrel::compute_swing(*obj.model, threads);
        return none();
    });
}

PyObject* update_swing(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[3];
        bind_arguments("Swing.update_swing()",
                       {"num_threads", "user_interactions", "item_interactions"}, args, kwargs, a);
        Object& obj = self_of(self);
        ExclusiveHold hold(obj.borrow);
        const auto threads = convert_argument("num_threads", [&] { return to_u64(a[0]); });
        // The thread count is written before the batch is read.
        set_thread_count(threads);
        const CsrMatrix new_users = to_csr_matrix(a[1]);
        const CsrMatrix new_items = to_csr_matrix(a[2]);
        quibrel::update_swing(*obj.model, new_users, new_items);
        return none();
    });
}

PyObject* num_swing_elements(PyObject* self, PyObject*) {
    return guarded([&] {
        Object& obj = self_of(self);
        SharedHold hold(obj.borrow);
        return check(PyLong_FromUnsignedLongLong(quibrel::num_swing_elements(*obj.model)));
    });
}

PyObject* predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[2];
        bind_arguments("Swing.predict()", {"users", "items"}, args, kwargs, a);
        Object& obj = self_of(self);
        SharedHold hold(obj.borrow);
        convert_argument("users", [&] { require_list(a[0]); });
        convert_argument("items", [&] { require_list(a[1]); });
        const auto users = to_u64_sequence(a[0]);
        const auto items = to_i32_sequence(a[1]);
        return from_f32_list(predict_swing(*obj.model, users, items));
    });
}

PyObject* recommend(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[4];
        bind_arguments("Swing.recommend()", {"users", "n_rec", "filter_consumed", "random_rec"},
                       args, kwargs, a);
        Object& obj = self_of(self);
        SharedHold hold(obj.borrow);
        convert_argument("users", [&] { require_list(a[0]); });
        const auto n_rec = convert_argument("n_rec", [&] { return to_u64(a[1]); });
        const bool filter = convert_argument("filter_consumed", [&] { return to_bool(a[2]); });
        const bool random = convert_argument("random_rec", [&] { return to_bool(a[3]); });
        PendingUsers users = convert_users_by_position(a[0]);
        const Recommendations rec = recommend_swing(*obj.model, users.ids, n_rec, filter, random);
        if (users.failed()) users.raise_pending();
        return recommendations_result(rec.lists, rec.report);
    });
}

int set_n_users(PyObject* self, PyObject* value, void*) {
    return set_count<SwingModel, &SwingModel::n_users>(self, value, "n_users", swing_type(),
                                                        "Swing");
}

int set_n_items(PyObject* self, PyObject* value, void*) {
    return set_count<SwingModel, &SwingModel::n_items>(self, value, "n_items", swing_type(),
                                                        "Swing");
}

int set_user_consumed(PyObject* self, PyObject* value, void*) {
    return guarded_int([&] {
        if (value == nullptr) refuse_delete();
        convert_argument("user_consumed", [&] { require_dict(value); });
        Object& obj = self_of(self);
        ExclusiveHold hold(obj.borrow);
        obj.model->user_consumed = to_consumed_map(value);
    });
}

PyTypeObject* create_swing_type() {
    static PyMethodDef methods[] = {
        {"compute_swing", keywords_method(compute_swing), METH_VARARGS | METH_KEYWORDS,
         "compute_swing($self, num_threads)\n--\n\n"},
        {"update_swing", keywords_method(update_swing), METH_VARARGS | METH_KEYWORDS,
         "update_swing($self, num_threads, user_interactions, item_interactions)\n--\n\n"
         "update on new sparse interactions"},
        {"num_swing_elements", num_swing_elements, METH_NOARGS,
         "num_swing_elements($self)\n--\n\n"},
        {"predict", keywords_method(predict), METH_VARARGS | METH_KEYWORDS,
         "predict($self, users, items)\n--\n\n"},
        {"recommend", keywords_method(recommend), METH_VARARGS | METH_KEYWORDS,
         "recommend($self, users, n_rec, filter_consumed, random_rec)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"n_users", nullptr, set_n_users, nullptr, nullptr},
        {"n_items", nullptr, set_n_items, nullptr, nullptr},
        {"user_consumed", nullptr, set_user_consumed, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(swing_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_model<SwingModel>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>("Swing(top_k, alpha, max_cache_num, n_users, n_items, "
                                      "user_interactions, item_interactions, user_consumed, "
                                      "default_pred)\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"quibrel.Swing", static_cast<int>(sizeof(Object)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return make_type(&spec, "Swing");
}

}  // namespace

PyTypeObject* swing_type() {
    static PyTypeObject* type = create_swing_type();
    return type;
}

}  // namespace quibrel::py
