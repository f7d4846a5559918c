// The library's private module, quibrel._native: what the Python library layer
// needs from the engine beside the engine's own surface. It lives in the same
// shared object as the engine (one pool, one set of classes) and is loaded
// from it under its own name.
#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

#include "core/inference.hpp"
#include "core/inference_common.hpp"
#include "core/pool.hpp"
#include "core/timing.hpp"
#include "python/model_object.hpp"
#include "python/native_dask.hpp"
#include "python/native_exact.hpp"
#include "python/native_files.hpp"

namespace quibrel::py {
namespace {

// Flattened per-entity lists: offsets (u64, one more than entities), ids, scores.
struct FlatLists {
    std::vector<std::uint64_t> offsets{0};
    std::vector<std::int32_t> ids;
    std::vector<float> scores;

    void close_row() { offsets.push_back(ids.size()); }
    Ref result() const {
        Ref o = bytes_of<std::uint64_t>(offsets);
        Ref i = bytes_of<std::int32_t>(ids);
        Ref s = bytes_of<float>(scores);
        return check(PyTuple_Pack(3, o.get(), i.get(), s.get()));
    }
};

// call(function, args, max_workers, quiet, progress): function(*args) with the
// loops it starts limited to max_workers workers (0: all), its printed lines
// silenced when quiet, and progress(done, total) called from its parallel
// loops when progress is not None.
PyObject* call(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* function;
        PyObject* call_args;
        Py_ssize_t max_workers;
        int quiet;
        PyObject* progress;
        if (!PyArg_ParseTuple(args, "OO!npO:call", &function, &PyTuple_Type, &call_args,
                              &max_workers, &quiet, &progress))
            throw ErrorAlreadySet();
        if (max_workers < 0) raise(PyExc_ValueError, "max_workers must not be negative");
        // Size the pool from the environment as it is now, before an engine
        // method writes its own thread count there: a limit applies per call.
        worker_count();
        ProgressHook hook = [progress](std::size_t done, std::size_t total) {
            Ref r = Ref::steal(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done),
                                                     static_cast<Py_ssize_t>(total)));
            return static_cast<bool>(r);  // an exception stops the loop and is raised
        };
        LoopSettingsScope settings(static_cast<std::size_t>(max_workers),
                                   progress == Py_None ? nullptr : &hook);
        std::optional<QuietLines> silence;
        if (quiet) silence.emplace();
        return check(PyObject_Call(function, call_args, nullptr));
    });
}

// neighbours(model, entities, n): the first n entries of each entity's list
// (an entity without a list has none), as (offsets, ids, scores) bytes.
PyObject* neighbours(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        PyObject* entities_obj;
        unsigned long long n;
        if (!PyArg_ParseTuple(args, "OOK:neighbours", &model, &entities_obj, &n))
            throw ErrorAlreadySet();
        const Kind kind = kind_of(model);
        const std::vector<std::int32_t> entities = to_i32_sequence(entities_obj);
        FlatLists out;
        out.offsets.reserve(entities.size() + 1);
        if (kind == Kind::Swing) {
            auto& obj = *reinterpret_cast<ModelObject<SwingModel>*>(model);
            SharedHold hold(obj.borrow);
            for (std::int32_t e : entities) {
                if (const SwingList* list = obj.model->swing_scores.find(e)) {
                    const std::size_t m = static_cast<std::size_t>(
                        std::min<std::uint64_t>(n, list->size()));
                    for (std::size_t j = 0; j < m; ++j) {
                        out.ids.push_back((*list)[j].id);
                        out.scores.push_back((*list)[j].score);
                    }
                }
                out.close_row();
            }
        } else {
            auto& obj = *reinterpret_cast<ModelObject<CfModel>*>(model);
            SharedHold hold(obj.borrow);
            for (std::int32_t e : entities) {
                if (const NeighbourList* list = obj.model->sim_mapping.find(e)) {
                    // A loaded file may hold vectors of different lengths.
                    const std::size_t len = std::min(list->ids.size(), list->sims.size());
                    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(n, len));
                    out.ids.insert(out.ids.end(), list->ids.begin(), list->ids.begin() + m);
                    out.scores.insert(out.scores.end(), list->sims.begin(), list->sims.begin() + m);
                }
                out.close_row();
            }
        }
        return out.result();
    });
}

// recommend(model, users, n_rec, filter_consumed, random_rec): the engine's
// recommendations with the scores they are ordered by, as (offsets, items,
// scores) bytes.
PyObject* recommend(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        PyObject* users_obj;
        unsigned long long n_rec;
        int filter;
        int random;
        if (!PyArg_ParseTuple(args, "OOKpp:recommend", &model, &users_obj, &n_rec, &filter,
                              &random))
            throw ErrorAlreadySet();
        const Kind kind = kind_of(model);
        const std::vector<std::int32_t> users = to_i32_sequence(users_obj);
        Recommendations rec;
        if (kind == Kind::Swing) {
            auto& obj = *reinterpret_cast<ModelObject<SwingModel>*>(model);
            SharedHold hold(obj.borrow);
            rec = recommend_swing(*obj.model, users, n_rec, filter, random, true);
        } else {
            auto& obj = *reinterpret_cast<ModelObject<CfModel>*>(model);
            SharedHold hold(obj.borrow);
            rec = kind == Kind::ItemCF
                      ? recommend_item_cf(*obj.model, users, n_rec, filter, random, true)
                      : recommend_user_cf(*obj.model, users, n_rec, filter, random, true);
        }
        FlatLists out;
        out.offsets.reserve(rec.lists.size() + 1);
        for (std::size_t p = 0; p < rec.lists.size(); ++p) {
            out.ids.insert(out.ids.end(), rec.lists[p].begin(), rec.lists[p].end());
            out.scores.insert(out.scores.end(), rec.scores[p].begin(), rec.scores[p].end());
            out.close_row();
        }
        return out.result();
    });
}

// user_rows(model, users): the stored interactions of the given users (rows of
// the users x items matrix), as (offsets, items, values) bytes.
PyObject* user_rows(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        PyObject* users_obj;
        if (!PyArg_ParseTuple(args, "OO:user_rows", &model, &users_obj)) throw ErrorAlreadySet();
        kind_of(model);
        const std::vector<std::int32_t> users = to_i32_sequence(users_obj);
        return with_record<SharedHold>(model, [&](const auto& record) {
            const CsrMatrix& m = record.user_interactions;
            FlatLists out;
            out.offsets.reserve(users.size() + 1);
            for (std::int32_t u : users) {
                const RowView row = get_row(m, to_index(u));
                out.ids.insert(out.ids.end(), row.columns.begin(), row.columns.end());
                out.scores.insert(out.scores.end(), row.values.begin(), row.values.end());
                out.close_row();
            }
            return out.result();
        });
    });
}

// set_consumed(model, users, offsets, items): replaces the consumed lists of
// the given users (users[p] gets items[offsets[p]:offsets[p+1]]); an empty
// list removes the user's entry. Everything is converted and checked before
// the model changes.
PyObject* set_consumed(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        PyObject* users_obj;
        PyObject* offsets_obj;
        PyObject* items_obj;
        if (!PyArg_ParseTuple(args, "OOOO:set_consumed", &model, &users_obj, &offsets_obj,
                              &items_obj))
            throw ErrorAlreadySet();
        kind_of(model);
        const std::vector<std::int32_t> users = to_i32_sequence(users_obj);
        const std::vector<std::uint64_t> offsets = to_u64_sequence(offsets_obj);
        const std::vector<std::int32_t> items = to_i32_sequence(items_obj);
        if (offsets.size() != users.size() + 1 || offsets.front() != 0 ||
            offsets.back() != items.size() || !std::is_sorted(offsets.begin(), offsets.end()))
            raise(PyExc_ValueError, "offsets do not describe the items of the users");
        std::vector<std::vector<std::int32_t>> lists(users.size());
        for (std::size_t p = 0; p < users.size(); ++p)
            lists[p].assign(items.begin() + static_cast<std::ptrdiff_t>(offsets[p]),
                            items.begin() + static_cast<std::ptrdiff_t>(offsets[p + 1]));
        return with_record<ExclusiveHold>(model, [&](auto& record) {
            for (std::size_t p = 0; p < users.size(); ++p) {
                if (lists[p].empty())
                    record.user_consumed.erase(users[p]);
                else
                    record.user_consumed.insert_or_assign(users[p], std::move(lists[p]));
            }
            return none();
        });
    });
}

// pool_size(): the worker pool's size (creating the pool).
PyObject* pool_size(PyObject*, PyObject*) {
    return guarded([]() -> Ref {
        return check(PyLong_FromSize_t(worker_count()));
    });
}

PyMethodDef native_functions[] = {
    {"call", call, METH_VARARGS, "call(function, args, max_workers, quiet, progress)"},
    {"neighbours", neighbours, METH_VARARGS, "neighbours(model, entities, n)"},
    {"recommend", recommend, METH_VARARGS,
     "recommend(model, users, n_rec, filter_consumed, random_rec)"},
    {"user_rows", user_rows, METH_VARARGS, "user_rows(model, users)"},
    {"set_consumed", set_consumed, METH_VARARGS, "set_consumed(model, users, offsets, items)"},
    {"pool_size", pool_size, METH_NOARGS, "pool_size()"},
    {"exact_update", keywords_method(native_exact_update), METH_VARARGS | METH_KEYWORDS,
     "exact_update(model, user_interactions, item_interactions, route='auto')"},
    {"entity_lists", native_entity_lists, METH_VARARGS, "entity_lists(model, entities)"},
    {"partition_lists", native_partition_lists, METH_VARARGS,
     "partition_lists(model, begin, end, keep, pairs, max_workers)"},
    {"install_lists", native_install_lists, METH_VARARGS,
     "install_lists(model, first, offsets, ids, scores, pair_offsets, pair_ids, pair_dots, "
     "pair_counts)"},
    {"complete_state", native_complete_state, METH_VARARGS, "complete_state(model)"},
    {"partition_pairs", native_partition_pairs, METH_VARARGS,
     "partition_pairs(model, begin, end, max_workers)"},
    {"install_pairs", native_install_pairs, METH_VARARGS,
     "install_pairs(model, first, pair_offsets, pair_ids, pair_dots, pair_counts)"},
    {"complete_from_pairs", native_complete_from_pairs, METH_VARARGS,
     "complete_from_pairs(model, max_workers)"},
    {"write_engine", native_write_engine, METH_VARARGS, "write_engine(model, fd)"},
    {"read_engine", native_read_engine, METH_VARARGS, "read_engine(kind, fd, offset, length)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT, "quibrel._native", "The library layer's private engine calls.", 0,
    native_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quibrel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return PyModule_Create2(&quibrel::py::native_def, PYTHON_ABI_VERSION);
}
