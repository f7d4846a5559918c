// The six model-file functions.
#include "python/files.hpp"

#include "core/file_model.hpp"
#include "core/timing.hpp"
#include "python/model_object.hpp"

namespace quibrel::py {
namespace {

struct CfItem {
    static constexpr const char* name = "ItemCF";
    static constexpr Orientation orientation = Orientation::Item;
    static PyTypeObject* type() { return item_cf_type(); }
};
struct CfUser {
    static constexpr const char* name = "UserCF";
    static constexpr Orientation orientation = Orientation::User;
    static PyTypeObject* type() { return user_cf_type(); }
};

// Path and model_name, converted after the model argument.
std::string file_path_from(PyObject* path, PyObject* model_name) {
    const std::string dir = convert_argument("path", [&] { return to_str(path); });
    const std::string name = convert_argument("model_name", [&] { return to_str(model_name); });
    return model_file_path(dir, name);
}

template <class Kind>
PyObject* save_cf(const char* function, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[3];
        bind_arguments(function, {"model", "path", "model_name"}, args, kwargs, a);
        auto& obj = model_argument<CfModel>(a[0], Kind::type(), Kind::name);
        SharedHold hold(obj.borrow);
        const std::string file = file_path_from(a[1], a[2]);
        const std::string canonical = save_cf_model(*obj.model, Kind::orientation, file);
        print_line(std::string("Save `") + Kind::name + "` model to `" + canonical + "`");
        return none();
    });
}

template <class Kind>
PyObject* load_cf(const char* function, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[2];
        bind_arguments(function, {"path", "model_name"}, args, kwargs, a);
        const std::string file = file_path_from(a[0], a[1]);
        std::string canonical;
        CfModel model = load_cf_model(file, canonical);
        print_line(std::string("Load `") + Kind::name + "` model from `" + canonical + "`");
        return wrap_model(Kind::type(), std::move(model));
    });
}

}  // namespace

PyObject* save_item_cf(PyObject*, PyObject* args, PyObject* kwargs) {
    return save_cf<CfItem>("save_item_cf()", args, kwargs);
}
PyObject* load_item_cf(PyObject*, PyObject* args, PyObject* kwargs) {
    return load_cf<CfItem>("load_item_cf()", args, kwargs);
}
PyObject* save_user_cf(PyObject*, PyObject* args, PyObject* kwargs) {
    return save_cf<CfUser>("save_user_cf()", args, kwargs);
}
PyObject* load_user_cf(PyObject*, PyObject* args, PyObject* kwargs) {
    return load_cf<CfUser>("load_user_cf()", args, kwargs);
}

PyObject* save_swing(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[3];
        bind_arguments("save_swing()", {"model", "path", "model_name"}, args, kwargs, a);
        auto& obj = model_argument<SwingModel>(a[0], swing_type(), "Swing");
        SharedHold hold(obj.borrow);
        const std::string file = file_path_from(a[1], a[2]);
        const std::string canonical = save_swing_model(*obj.model, file);
        print_line("Save `Swing` model to `" + canonical + "`");
        return none();
    });
}

PyObject* load_swing(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[2];
        bind_arguments("load_swing()", {"path", "model_name"}, args, kwargs, a);
        const std::string file = file_path_from(a[0], a[1]);
        std::string canonical;
        SwingModel model = load_swing_model(file, canonical);
        print_line("Load `Swing` model from `" + canonical + "`");
        return wrap_model(swing_type(), std::move(model));
    });
}

}  // namespace quibrel::py
