// The library's exact-update calls of quibrel._native (native_exact.cpp).
#pragma once

#include "python/ref.hpp"

namespace quibrel::py {

// exact_update(model, user_interactions, item_interactions, route="auto") -> str
PyObject* native_exact_update(PyObject* module, PyObject* args, PyObject* kwargs);

// entity_lists(model, entities) -> (offsets, ids, scores)
PyObject* native_entity_lists(PyObject* module, PyObject* args);

}  // namespace quibrel::py
