// The Python object that owns one model record, and the pieces every model
// class shares: allocation, deallocation, receiver checks and the type objects.
#pragma once

#include <memory>
#include <new>
#include <utility>

#include "python/convert.hpp"
#include "python/protocol.hpp"

namespace quibrel::py {

template <class Model>
struct ModelObject {
    PyObject ob_base;
    BorrowState borrow;            // constructed in place after allocation
    std::unique_ptr<Model> model;  // owned record; null only while being built
};

// Type objects, created once per process and kept until it ends.
PyTypeObject* item_cf_type();
PyTypeObject* user_cf_type();
PyTypeObject* swing_type();

// Allocates an instance of `type` that owns `model`.
template <class Model>
Ref wrap_model(PyTypeObject* type, Model&& model) {
    auto owned = std::make_unique<Model>(std::move(model));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref object = check(alloc(type, 0));
    auto* self = reinterpret_cast<ModelObject<Model>*>(object.get());
    new (&self->borrow) BorrowState();
    new (&self->model) std::unique_ptr<Model>(std::move(owned));
    return object;
}

template <class Model>
void dealloc_model(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    auto* self = reinterpret_cast<ModelObject<Model>*>(object);
    self->model.~unique_ptr();
    self->borrow.~BorrowState();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(object);
    Py_DECREF(type);  // heap-type instances hold a reference to their type
}

// The receiver of a method, checked against the method's class.
template <class Model>
ModelObject<Model>& receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (self == nullptr || !PyObject_TypeCheck(self, type))
        raise(PyExc_TypeError, not_convertible(self ? self : Py_None, class_name));
    return *reinterpret_cast<ModelObject<Model>*>(self);
}

// The model-kind conversion: an instance of `type` whose shared hold the
// caller then takes.
template <class Model>
ModelObject<Model>& model_argument(PyObject* obj, PyTypeObject* type, const char* class_name) {
    return convert_argument("model", [&]() -> ModelObject<Model>& {
        if (!PyObject_TypeCheck(obj, type))
            raise(PyExc_TypeError, not_convertible(obj, class_name));
        return *reinterpret_cast<ModelObject<Model>*>(obj);
    });
}

[[noreturn]] inline void refuse_delete() { raise(PyExc_AttributeError, "can't delete attribute"); }

// Setter of a count attribute (n_users, n_items): converts the value, then
// takes the exclusive hold and replaces the field; nothing else is resized.
template <class Model, std::uint64_t Model::* Field>
int set_count(PyObject* self, PyObject* value, const char* attribute, PyTypeObject* type,
              const char* class_name) {
    return guarded_int([&] {
        if (value == nullptr) refuse_delete();
        const auto n = convert_argument(attribute, [&] { return to_u64(value); });
        auto& obj = receiver<Model>(self, type, class_name);
        ExclusiveHold hold(obj.borrow);
        (*obj.model).*Field = n;
    });
}

// Which of the three model classes an object is (TypeError for anything else).
enum class Kind { ItemCF, UserCF, Swing };
Kind kind_of(PyObject* model);
inline Orientation orientation(Kind kind) {
    return kind == Kind::ItemCF ? Orientation::Item : Orientation::User;
}

// Runs f(model record) under the hold `Hold` on whichever class `model` is
// (kind_of checked by the caller).
template <class Hold, class F>
Ref with_record(PyObject* model, F&& f) {
    if (kind_of(model) == Kind::Swing) {
        auto& obj = *reinterpret_cast<ModelObject<SwingModel>*>(model);
        Hold hold(obj.borrow);
        return f(*obj.model);
    }
    auto& obj = *reinterpret_cast<ModelObject<CfModel>*>(model);
    Hold hold(obj.borrow);
    return f(*obj.model);
}

// Creates a heap type from spec; the error names the class on failure.
PyTypeObject* make_type(PyType_Spec* spec, const char* class_name);

// Converts a `users` list for recommend element by element, stopping at the
// first element that fails; the failure is kept to be raised after the users
// before it have been served.
struct PendingUsers {
    std::vector<std::int32_t> ids;
    Ref error_type, error_value, error_traceback;
    bool failed() const noexcept { return static_cast<bool>(error_type); }
    [[noreturn]] void raise_pending() {
        PyErr_Restore(error_type.release(), error_value.release(), error_traceback.release());
        throw ErrorAlreadySet();
    }
};
PendingUsers convert_users_by_position(PyObject* list);

// The (recommendations, report) tuple.
Ref recommendations_result(const std::vector<std::vector<std::int32_t>>& lists,
                           const std::vector<std::uint64_t>& report);

}  // namespace quibrel::py
