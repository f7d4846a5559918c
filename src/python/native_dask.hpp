// The distributed fit's calls of quibrel._native (native_dask.cpp): a
// partition's state computed on a worker, installed in the gathering model.
#pragma once

#include "python/ref.hpp"

namespace quibrel::py {

// partition_lists(model, begin, end, keep, pairs, max_workers)
//   -> (offsets, ids, scores, pair_offsets, pair_ids, pair_dots, pair_counts)
PyObject* native_partition_lists(PyObject* module, PyObject* args);

// install_lists(model, first, offsets, ids, scores, pair_offsets, pair_ids,
//               pair_dots, pair_counts) -> None
PyObject* native_install_lists(PyObject* module, PyObject* args);

// complete_state(model) -> None
PyObject* native_complete_state(PyObject* module, PyObject* args);

// partition_pairs(model, begin, end, max_workers)
//   -> [(first, pair_offsets, pair_ids, pair_dots, pair_counts), ...]
PyObject* native_partition_pairs(PyObject* module, PyObject* args);

// install_pairs(model, first, pair_offsets, pair_ids, pair_dots, pair_counts) -> None
PyObject* native_install_pairs(PyObject* module, PyObject* args);

// complete_from_pairs(model, max_workers) -> None
PyObject* native_complete_from_pairs(PyObject* module, PyObject* args);

}  // namespace quibrel::py
