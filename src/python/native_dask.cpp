// The distributed fit's calls of quibrel._native: the state of a partition of
// the entities, computed from a model's matrices (on a worker), and its
// installation in the model that gathers every partition (in the client).
#include "python/native_dask.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "core/errors.hpp"
#include "core/partition_state.hpp"
#include "core/pool.hpp"
#include "python/model_object.hpp"

namespace quibrel::py {
namespace {

// A read-only buffer over memory the core computed into (a vector moved in),
// so that numpy reads it without a copy: partition_lists's results can run to
// gigabytes, and a copy of them costs as much as their fresh pages.
struct BufferObject {
    PyObject ob_base;
    std::shared_ptr<void>* owner;  // keeps the memory
    const void* data;
    Py_ssize_t bytes;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<BufferObject*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<void*>(b->data), b->bytes, 1, flags);
}

void buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<BufferObject*>(self)->owner;
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyTypeObject* buffer_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
            {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
            {Py_tp_doc, const_cast<char*>("Read-only memory computed by the engine.")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"quibrel._native.Buffer", sizeof(BufferObject), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    }();
    if (type == nullptr) throw ErrorAlreadySet();
    return type;
}

// A buffer object that takes over `v`.
template <class T, class A>
Ref buffer_of(std::vector<T, A>& v) {
    PyTypeObject* type = buffer_type();
    auto owner =
        std::make_unique<std::shared_ptr<void>>(std::make_shared<std::vector<T, A>>(std::move(v)));
    const auto* held = static_cast<const std::vector<T, A>*>(owner->get());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref object = check(alloc(type, 0));
    auto* b = reinterpret_cast<BufferObject*>(object.get());
    b->owner = owner.release();
    b->data = held->data();
    b->bytes = static_cast<Py_ssize_t>(held->size() * sizeof(T));
    return object;
}

// A read-only run of T: the caller's own memory when it is a C-contiguous,
// aligned, one-dimensional buffer of exactly T (as numpy arrays of the right
// dtype are), a converted copy otherwise.
template <class T>
class NumberRun {
public:
    template <class Convert>
    NumberRun(PyObject* obj, Convert&& convert) {
        if (PyObject_CheckBuffer(obj) &&
            PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_ND) == 0) {
            held_ = true;
            if (matches(view_)) {
                data_ = std::span<const T>(static_cast<const T*>(view_.buf),
                                           static_cast<std::size_t>(view_.len) / sizeof(T));
                return;
            }
            PyBuffer_Release(&view_);
            held_ = false;
        }
        PyErr_Clear();
        copy_ = convert(obj);
        data_ = copy_;
    }
    NumberRun(const NumberRun&) = delete;
    NumberRun& operator=(const NumberRun&) = delete;
    ~NumberRun() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::span<const T> span() const noexcept { return data_; }

private:
    static bool matches(const Py_buffer& v) {
        if (v.ndim != 1 || v.itemsize != static_cast<Py_ssize_t>(sizeof(T)) || v.format == nullptr)
            return false;
        if (reinterpret_cast<std::uintptr_t>(v.buf) % alignof(T) != 0) return false;
        const char* f = v.format;
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        if (f[0] == '\0' || f[1] != '\0') return false;
        const char c = f[0];
        if constexpr (std::is_floating_point_v<T>)
            return c == 'f' || c == 'd';
        else if constexpr (std::is_signed_v<T>)
            return c == 'b' || c == 'h' || c == 'i' || c == 'l' || c == 'q' || c == 'n';
        else
            return c == 'B' || c == 'H' || c == 'I' || c == 'L' || c == 'Q' || c == 'N';
    }

    Py_buffer view_{};
    bool held_ = false;
    std::vector<T> copy_;
    std::span<const T> data_;
};

std::vector<std::uint32_t> to_u32_sequence(PyObject* obj) {
    const std::vector<std::uint64_t> wide = to_u64_sequence(obj);
    std::vector<std::uint32_t> out;
    out.reserve(wide.size());
    for (const std::uint64_t c : wide) {
        if (c > 0xffffffffu) raise(PyExc_ValueError, "a pair count does not fit 32 bits");
        out.push_back(static_cast<std::uint32_t>(c));
    }
    return out;
}

// An interrupt that arrived while the lock was released, raised now.
void check_interrupted() {
    if (PyErr_CheckSignals() != 0) throw ErrorAlreadySet();
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

CfModel& cosine_record(PyObject* model, Kind& kind) {
    kind = kind_of(model);
    if (kind == Kind::Swing) raise(PyExc_ValueError, "Swing models have no pair records");
    return cf_record(model);
}

// The pool's workers a call may use (0: all), sized from the environment as
// it is now, with the lock held.
std::size_t pool_workers(Py_ssize_t max_workers) {
    if (max_workers < 0) raise(PyExc_ValueError, "max_workers must not be negative");
    worker_count();
    return static_cast<std::size_t>(max_workers);
}

// How many pieces a range is cut into for `limit` workers (0: all): one on a
// single worker, else four per worker, so that uneven pieces even out.
std::size_t range_pieces(std::size_t limit) {
    const std::size_t pool = worker_count();
    const std::size_t workers = limit == 0 ? pool : std::min(pool, limit);
    return workers == 1 ? 1 : 4 * workers;
}

// Consecutive pieces from entity `first` on as a list of tuples: the piece's
// first entity, then (with `lists`) its offsets, ids and scores, then its
// pair offsets, partners, dots and counts, each array taken over by a buffer.
Ref pieces_list(std::size_t first, std::vector<PartitionState>& pieces, bool lists) {
    buffer_type();
    Ref out = check(PyList_New(0));
    for (PartitionState& piece : pieces) {
        const std::size_t count = (lists ? piece.offsets.size() : piece.pair_offsets.size()) - 1;
        std::vector<Ref> parts;
        parts.push_back(check(PyLong_FromSize_t(first)));
        if (lists) {
            parts.push_back(buffer_of(piece.offsets));
            parts.push_back(buffer_of(piece.ids));
            parts.push_back(buffer_of(piece.scores));
        }
        parts.push_back(buffer_of(piece.pair_offsets));
        parts.push_back(buffer_of(piece.pair_ids));
        parts.push_back(buffer_of(piece.pair_dots));
        parts.push_back(buffer_of(piece.pair_counts));
        Ref item = check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
        for (std::size_t k = 0; k < parts.size(); ++k)
            // Steals the reference, even on failure.
            if (PyTuple_SetItem(item.get(), static_cast<Py_ssize_t>(k), parts[k].release()) != 0)
                throw ErrorAlreadySet();
        if (PyList_Append(out.get(), item.get()) != 0) throw ErrorAlreadySet();
        first += count;
    }
    return out;
}

}  // namespace

// partition_lists(model, begin, end, keep, pairs, max_workers): the lists of
// the entities begin..end-1 computed from the model's matrices (each cut to
// its first `keep` entries, 0 for all) and, for a cosine model when `pairs`
// is true, the pair records (x, y > x) of each. The result is a list of
// consecutive pieces (first entity, offsets, ids, scores, pair offsets, pair
// partners, dots, counts), the seven runs as read-only buffers of u64, i32,
// f32, u64, i32, f32 and u32 (the pair ones empty without pairs). At most
// `max_workers` workers of the pool take part (0: all). The computation runs
// without the interpreter lock (a worker process answers its scheduler
// meanwhile); it takes no progress hook and sees an interrupt only at its end.
PyObject* native_partition_lists(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        unsigned long long begin;
        unsigned long long end;
        unsigned long long keep;
        int pairs;
        Py_ssize_t max_workers;
        if (!PyArg_ParseTuple(args, "OKKKpn:partition_lists", &model, &begin, &end, &keep, &pairs,
                              &max_workers))
            throw ErrorAlreadySet();
        const std::size_t limit = pool_workers(max_workers);
        const Kind kind = kind_of(model);
        if (kind == Kind::Swing && pairs)
            raise(PyExc_ValueError, "Swing models have no pair records");
        const LoopSettingsScope settings(limit, nullptr);
        const std::size_t cut = range_pieces(limit);
        std::vector<PartitionState> pieces;
        if (kind == Kind::Swing) {
            SharedHold hold(swing_borrow(model));
            const ReleasedLock released;
            pieces.push_back(swing_partition(swing_record(model), begin, end, keep));
        } else {
            SharedHold hold(cf_borrow(model));
            const ReleasedLock released;
            pieces = cosine_partition(cf_record(model), orientation(kind), begin, end, keep, pairs,
                                      cut);
        }
        check_interrupted();
        return pieces_list(begin, pieces, true);
    });
}

// install_lists(model, first, offsets, ids, scores, pair_offsets, pair_ids,
// pair_dots, pair_counts): stores what partition_lists gave for the entities
// first.. (sequences or buffers of numbers; the pair ones empty when there are
// no pair records). Everything is converted and checked before the model
// changes.
PyObject* native_install_lists(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        unsigned long long first;
        PyObject* objs[7];
        if (!PyArg_ParseTuple(args, "OKOOOOOOO:install_lists", &model, &first, &objs[0], &objs[1],
                              &objs[2], &objs[3], &objs[4], &objs[5], &objs[6]))
            throw ErrorAlreadySet();
        const Kind kind = kind_of(model);
        // Arrays of the dtypes partition_lists gives are read in place; the
        // offsets, which are read twice, are always copied.
        const std::vector<std::uint64_t> offsets_copy = to_u64_sequence(objs[0]);
        const std::vector<std::uint64_t> pair_offsets_copy = to_u64_sequence(objs[3]);
        const NumberRun<std::int32_t> ids(objs[1], to_i32_sequence);
        const NumberRun<float> scores(objs[2], to_f32_sequence);
        const NumberRun<std::int32_t> pair_ids(objs[4], to_i32_sequence);
        const NumberRun<float> pair_dots(objs[5], to_f32_sequence);
        const NumberRun<std::uint32_t> pair_counts(objs[6], to_u32_sequence);
        const PartitionView view{static_cast<std::size_t>(first),
                                 offsets_copy,
                                 ids.span(),
                                 scores.span(),
                                 pair_offsets_copy,
                                 pair_ids.span(),
                                 pair_dots.span(),
                                 pair_counts.span()};
        if (kind == Kind::Swing) {
            ExclusiveHold hold(swing_borrow(model));
            const ReleasedLock released;
            install_swing_partition(swing_record(model), view);
        } else {
            ExclusiveHold hold(cf_borrow(model));
            const ReleasedLock released;
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

// partition_pairs(model, begin, end, max_workers): the pair records (x, y > x)
// of the cosine model's entities begin..end-1 from its matrices, without
// their lists, as consecutive pieces (first entity, pair offsets, partners,
// dots, counts; read-only buffers of u64, i32, f32 and u32). Otherwise as
// partition_lists.
PyObject* native_partition_pairs(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        unsigned long long begin;
        unsigned long long end;
        Py_ssize_t max_workers;
        if (!PyArg_ParseTuple(args, "OKKn:partition_pairs", &model, &begin, &end, &max_workers))
            throw ErrorAlreadySet();
        const std::size_t limit = pool_workers(max_workers);
        Kind kind;
        const CfModel& record = cosine_record(model, kind);
        const LoopSettingsScope settings(limit, nullptr);
        const std::size_t cut = range_pieces(limit);
        std::vector<PartitionState> pieces;
        {
            SharedHold hold(cf_borrow(model));
            const ReleasedLock released;
            pieces = cosine_partition_pairs(record, orientation(kind), begin, end, cut);
        }
        check_interrupted();
        return pieces_list(begin, pieces, false);
    });
}

// install_pairs(model, first, pair_offsets, pair_ids, pair_dots,
// pair_counts): stores what partition_pairs gave for the entities first..,
// checked before the model changes, as install_lists checks them.
PyObject* native_install_pairs(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        unsigned long long first;
        PyObject* objs[4];
        if (!PyArg_ParseTuple(args, "OKOOOO:install_pairs", &model, &first, &objs[0], &objs[1],
                              &objs[2], &objs[3]))
            throw ErrorAlreadySet();
        Kind kind;
        CfModel& record = cosine_record(model, kind);
        const std::vector<std::uint64_t> offsets_copy = to_u64_sequence(objs[0]);
        const NumberRun<std::int32_t> pair_ids(objs[1], to_i32_sequence);
        const NumberRun<float> pair_dots(objs[2], to_f32_sequence);
        const NumberRun<std::uint32_t> pair_counts(objs[3], to_u32_sequence);
        const PairsView view{static_cast<std::size_t>(first), offsets_copy, pair_ids.span(),
                             pair_dots.span(), pair_counts.span()};
        ExclusiveHold hold(cf_borrow(model));
        const ReleasedLock released;
        install_cosine_pairs(record, orientation(kind), view);
        return none();
    });
}

// complete_from_pairs(model, max_workers): finishes a cosine model whose
// every entity's pair records are installed: norms, then every list built
// from the records on at most max_workers workers of the pool (0: all).
PyObject* native_complete_from_pairs(PyObject*, PyObject* args) {
    return guarded([&]() -> Ref {
        PyObject* model;
        Py_ssize_t max_workers;
        if (!PyArg_ParseTuple(args, "On:complete_from_pairs", &model, &max_workers))
            throw ErrorAlreadySet();
        const std::size_t limit = pool_workers(max_workers);
        Kind kind;
        CfModel& record = cosine_record(model, kind);
        const LoopSettingsScope settings(limit, nullptr);
        {
            ExclusiveHold hold(cf_borrow(model));
            const ReleasedLock released;
            complete_cosine_from_pairs(record, orientation(kind));
        }
        check_interrupted();
        return none();
    });
}

}  // namespace quibrel::py
