// Module functions that save and load model files.
#pragma once

#include "python/ref.hpp"

namespace quibrel::py {

PyObject* save_item_cf(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* load_item_cf(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* save_user_cf(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* load_user_cf(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* save_swing(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* load_swing(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace quibrel::py
