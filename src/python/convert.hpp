// Conversion kinds between Python objects and core values. Every function
// throws ErrorAlreadySet with the kind's own Python error on failure; the
// caller applies the argument prefix where the call protocol asks for it.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/models.hpp"
#include "python/errors.hpp"

namespace quibrel::py {

std::int32_t to_i32(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
float to_f32(PyObject* obj);
bool to_bool(PyObject* obj);
std::string to_str(PyObject* obj);
void require_list(PyObject* obj);
void require_dict(PyObject* obj);

// Sequence kinds: any sequence but str; buffers of plain numbers are read
// directly, everything else element by element through iteration.
std::vector<std::int32_t> to_i32_sequence(PyObject* obj);
std::vector<std::uint64_t> to_u64_sequence(PyObject* obj);
std::vector<float> to_f32_sequence(PyObject* obj);

// The consumed map from a dict (kind checked by require_dict first).
ConsumedMap to_consumed_map(PyObject* dict);

// An interaction matrix from an object with sparse_indices, sparse_indptr and
// sparse_data.
CsrMatrix to_csr_matrix(PyObject* obj);

// Results.

// A copy of the values in a new bytes object, which numpy reads without copying again.
template <class T>
Ref bytes_of(std::span<const T> values) {
    Ref out =
        check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size_bytes())));
    if (!values.empty())
        std::memcpy(PyBytes_AsString(out.get()), values.data(), values.size_bytes());
    return out;
}

Ref from_f32_list(const std::vector<float>& values);
Ref from_i32_list(const std::vector<std::int32_t>& values);
Ref from_u64_list(const std::vector<std::uint64_t>& values);
Ref from_consumed_map(const ConsumedMap& map);
Ref none();

}  // namespace quibrel::py
