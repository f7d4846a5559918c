// The distributed fit's calls of quibrel._native: the state of a partition of
// the entities, computed from a model's matrices (on a worker), and its
// installation in the model that gathers every partition (in the client).
#include "python/native_dask.hpp"

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/partition_state.hpp"
#include "python/model_object.hpp"

namespace quibrel::py {
namespace {

template <class T>
Ref bytes_of(std::span<const T> values) {
    Ref out =
        check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size_bytes())));
    if (!values.empty())
        std::memcpy(PyBytes_AsString(out.get()), values.data(), values.size_bytes());
    return out;
}

enum class Kind { ItemCF, UserCF, Swing };

Kind kind_of(PyObject* model) {
    if (PyObject_TypeCheck(model, item_cf_type())) return Kind::ItemCF;
    if (PyObject_TypeCheck(model, user_cf_type())) return Kind::UserCF;
    if (PyObject_TypeCheck(model, swing_type())) return Kind::Swing;
    raise(PyExc_TypeError,
          "expected an ItemCF, UserCF or Swing model, got '" + type_name(model) + "'");
}

Orientation orientation(Kind kind) {
    return kind == Kind::ItemCF ? Orientation::Item : Orientation::User;
}

CfModel& cf_record(PyObject* model) {
    return *reinterpret_cast<ModelObject<CfModel>*>(model)->model;
}
BorrowState& cf_borrow(PyObject* model) {
    return reinterpret_cast<ModelObject<CfModel>*>(model)->borrow;
}
SwingModel& swing_record(PyObject* model) {
    return *reinterpret_cast<ModelObject<SwingModel>*>(model)->model;
}
BorrowState& swing_borrow(PyObject* model) {
    return reinterpret_cast<ModelObject<SwingModel>*>(model)->borrow;
}

}  // namespace

// partition_lists(model, entities, keep, pairs): the lists of the chosen
// entities computed from the model's matrices (each cut to its first `keep`
// entries, 0 for all) and, for a cosine model when `pairs` is true, the pair
// records (x, y > x) of each; flattened into bytes: u64 offsets, i32 ids, f32
// scores, u64 pair offsets, i32 pair partners, f32 dots, u32 counts (the
// pair bytes are empty without pairs).
PyObject* native_partition_lists(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        PyObject* entities_obj;
        unsigned long long keep;
        int pairs;
        if (!PyArg_ParseTuple(args, "OOKp:partition_lists", &model, &entities_obj, &keep, &pairs))
            throw ErrorAlreadySet();
        const Kind kind = kind_of(model);
        if (kind == Kind::Swing && pairs)
            raise(PyExc_ValueError, "Swing models have no pair records");
        const std::vector<std::int32_t> entities = to_i32_sequence(entities_obj);
        PartitionState state;
        if (kind == Kind::Swing) {
            SharedHold hold(swing_borrow(model));
            state = swing_partition(swing_record(model), entities, keep);
        } else {
            SharedHold hold(cf_borrow(model));
            state = cosine_partition(cf_record(model), orientation(kind), entities, keep, pairs);
        }
        Ref parts[7] = {
            bytes_of<std::uint64_t>(state.offsets),      bytes_of<std::int32_t>(state.ids),
            bytes_of<float>(state.scores),               bytes_of<std::uint64_t>(state.pair_offsets),
            bytes_of<std::int32_t>(state.pair_ids),      bytes_of<float>(state.pair_dots),
            bytes_of<std::uint32_t>(state.pair_counts),
        };
        return check(PyTuple_Pack(7, parts[0].get(), parts[1].get(), parts[2].get(),
                                  parts[3].get(), parts[4].get(), parts[5].get(), parts[6].get()));
    });
}

// install_lists(model, entities, offsets, ids, scores, pair_offsets, pair_ids,
// pair_dots, pair_counts): stores what partition_lists gave for the same
// entities (sequences or buffers of numbers; the pair ones empty when there
// are no pair records). Everything is converted and checked before the model
// changes.
PyObject* native_install_lists(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        PyObject* objs[8];
        if (!PyArg_ParseTuple(args, "OOOOOOOOO:install_lists", &model, &objs[0], &objs[1],
                              &objs[2], &objs[3], &objs[4], &objs[5], &objs[6], &objs[7]))
            throw ErrorAlreadySet();
        const Kind kind = kind_of(model);
        const std::vector<std::int32_t> entities = to_i32_sequence(objs[0]);
        const std::vector<std::uint64_t> offsets = to_u64_sequence(objs[1]);
        const std::vector<std::int32_t> ids = to_i32_sequence(objs[2]);
        const std::vector<float> scores = to_f32_sequence(objs[3]);
        const std::vector<std::uint64_t> pair_offsets = to_u64_sequence(objs[4]);
        const std::vector<std::int32_t> pair_ids = to_i32_sequence(objs[5]);
        const std::vector<float> pair_dots = to_f32_sequence(objs[6]);
        std::vector<std::uint32_t> pair_counts;
        {
            const std::vector<std::uint64_t> wide = to_u64_sequence(objs[7]);
            pair_counts.reserve(wide.size());
            for (const std::uint64_t c : wide) {
                if (c > 0xffffffffu) raise(PyExc_ValueError, "a pair count does not fit 32 bits");
                pair_counts.push_back(static_cast<std::uint32_t>(c));
            }
        }
        const PartitionView view{entities, offsets,  ids,       scores,
                                 pair_offsets, pair_ids, pair_dots, pair_counts};
        if (kind == Kind::Swing) {
            ExclusiveHold hold(swing_borrow(model));
            install_swing_partition(swing_record(model), view);
        } else {
            ExclusiveHold hold(cf_borrow(model));
            install_cosine_partition(cf_record(model), orientation(kind), view);
        }
        return none();
    });
}

// complete_state(model): finishes a model whose every partition is
// installed (cosine norms from its matrices; Swing lists laid out as a
// computation stores them).
PyObject* native_complete_state(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        if (!PyArg_ParseTuple(args, "O:complete_state", &model)) throw ErrorAlreadySet();
        const Kind kind = kind_of(model);
        if (kind == Kind::Swing) {
            ExclusiveHold hold(swing_borrow(model));
            complete_swing(swing_record(model));
        } else {
            ExclusiveHold hold(cf_borrow(model));
            complete_cosine(cf_record(model), orientation(kind));
        }
        return none();
    });
}

}  // namespace quibrel::py
