#include "python/model_object.hpp"

namespace quibrel::py {

Kind kind_of(PyObject* model) {
    if (PyObject_TypeCheck(model, item_cf_type())) return Kind::ItemCF;
    if (PyObject_TypeCheck(model, user_cf_type())) return Kind::UserCF;
    if (PyObject_TypeCheck(model, swing_type())) return Kind::Swing;
    raise(PyExc_TypeError,
          "expected an ItemCF, UserCF or Swing model, got '" + type_name(model) + "'");
}

PyTypeObject* make_type(PyType_Spec* spec, const char* class_name) {
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr) {
        Ref cause = fetch_error();
        raise_from(PyExc_RuntimeError,
                   Ref::steal(PyUnicode_FromFormat(
                       "An error occurred while initializing class %s", class_name)),
                   std::move(cause));
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PendingUsers convert_users_by_position(PyObject* list) {
    PendingUsers pending;
    for (Py_ssize_t p = 0; p < PyList_Size(list); ++p) {
        Ref item = Ref::borrow(PyList_GetItem(list, p));
        if (!item) throw ErrorAlreadySet();
        try {
            pending.ids.push_back(to_i32(item.get()));
        } catch (const ErrorAlreadySet&) {
            PyObject* t = nullptr;
            PyObject* v = nullptr;
            PyObject* tb = nullptr;
            PyErr_Fetch(&t, &v, &tb);
            pending.error_type = Ref::steal(t);
            pending.error_value = Ref::steal(v);
            pending.error_traceback = Ref::steal(tb);
            break;
        }
    }
    return pending;
}

Ref recommendations_result(const std::vector<std::vector<std::int32_t>>& lists,
                           const std::vector<std::uint64_t>& report) {
    Ref outer = check(PyList_New(static_cast<Py_ssize_t>(lists.size())));
    for (std::size_t i = 0; i < lists.size(); ++i)
        PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), from_i32_list(lists[i]).release());
    Ref report_list = from_u64_list(report);
    return check(PyTuple_Pack(2, outer.get(), report_list.get()));
}

}  // namespace quibrel::py
