// The library's calls that keep a model file inside a file of its own
// (native_files.cpp): a recommender file holds the engine's file as a member.
#pragma once

#include "python/ref.hpp"

namespace quibrel::py {

// write_engine(model, fd) -> (bytes, crc32)
PyObject* native_write_engine(PyObject* module, PyObject* args);

// read_engine(kind, fd, offset, length) -> (model, crc32, n_users, n_items)
PyObject* native_read_engine(PyObject* module, PyObject* args);

}  // namespace quibrel::py
