// Module initialisation: the classes, the module functions, __version__ and
// __all__, registered in that order.
#include "core/consumed.hpp"
#include "core/pool.hpp"
#include "python/files.hpp"
#include "python/model_object.hpp"

namespace quibrel::py {
namespace {

PyObject* build_consumed_unique(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        PyObject* a[2];
        bind_arguments("build_consumed_unique()", {"user_indices", "item_indices"}, args, kwargs,
                       a);
        convert_argument("user_indices", [&] { require_list(a[0]); });
        convert_argument("item_indices", [&] { require_list(a[1]); });
        // Element errors carry no argument prefix.
        const auto users = to_i32_sequence(a[0]);
        const auto items = to_i32_sequence(a[1]);
        ConsumedMap by_user;
        ConsumedMap by_item;
        quibrel::build_consumed_unique(users, items, by_user, by_item);
        Ref user_dict = from_consumed_map(by_user);
        Ref item_dict = from_consumed_map(by_item);
        return check(PyTuple_Pack(2, user_dict.get(), item_dict.get()));
    });
}

struct FunctionEntry {
    const char* name;
    PyCFunctionWithKeywords function;
    const char* doc;
};

// Function objects keep a pointer to their definition, so these live forever.
PyMethodDef function_defs[] = {
    {"save_user_cf", keywords_method(save_user_cf), METH_VARARGS | METH_KEYWORDS,
     "save_user_cf(model, path, model_name)\n--\n\n"},
    {"load_user_cf", keywords_method(load_user_cf), METH_VARARGS | METH_KEYWORDS,
     "load_user_cf(path, model_name)\n--\n\n"},
    {"save_item_cf", keywords_method(save_item_cf), METH_VARARGS | METH_KEYWORDS,
     "save_item_cf(model, path, model_name)\n--\n\n"},
    {"load_item_cf", keywords_method(load_item_cf), METH_VARARGS | METH_KEYWORDS,
     "load_item_cf(path, model_name)\n--\n\n"},
    {"save_swing", keywords_method(save_swing), METH_VARARGS | METH_KEYWORDS,
     "save_swing(model, path, model_name)\n--\n\n"},
    {"load_swing", keywords_method(load_swing), METH_VARARGS | METH_KEYWORDS,
     "load_swing(path, model_name)\n--\n\n"},
    {"build_consumed_unique", keywords_method(build_consumed_unique), METH_VARARGS | METH_KEYWORDS,
     "build_consumed_unique(user_indices, item_indices)\n--\n\n"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quibrel", "Quibrel module", 0, nullptr, nullptr, nullptr, nullptr,
    nullptr,
};

bool initialised = false;

// Appends name to __all__ (creating it if absent), then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet();
        PyErr_Clear();
        all = check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw ErrorAlreadySet();
    }
    Ref name_object = check(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), name_object.get()) != 0) throw ErrorAlreadySet();
    if (PyObject_SetAttrString(module, name, value) != 0) throw ErrorAlreadySet();
}

PyObject* init_module() {
    return guarded([]() -> Ref {
        if (initialised)
            raise(PyExc_ImportError,
                  "the quibrel module may only be initialized once "
                  "per interpreter process");
        Ref module = check(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
        add_to_module(module.get(), "UserCF", reinterpret_cast<PyObject*>(user_cf_type()));
        add_to_module(module.get(), "ItemCF", reinterpret_cast<PyObject*>(item_cf_type()));
        add_to_module(module.get(), "Swing", reinterpret_cast<PyObject*>(swing_type()));
        Ref module_name = check(PyUnicode_FromString("quibrel"));
        for (PyMethodDef& def : function_defs) {
            Ref function = check(PyCFunction_NewEx(&def, nullptr, module_name.get()));
            add_to_module(module.get(), def.ml_name, function.get());
        }
        Ref version = check(PyUnicode_FromString(QUIBREL_VERSION));
        add_to_module(module.get(), "__version__", version.get());
        set_interrupt_check(interrupt_pending);
        initialised = true;
        return module;
    });
}

}  // namespace
}  // namespace quibrel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quibrel() {
    return quibrel::py::init_module();
}
