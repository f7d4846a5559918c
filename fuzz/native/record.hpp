// Models as comparable records: every field in the order a model file writes
// it, floats by their bits. Two models with equal records save to the same
// file, so equal records are what "the same model, bit for bit" means here.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/models.hpp"
#include "fuzz/native/harness.hpp"

namespace fuzz {

class Record {
public:
    template <class T>
    void put(const T& value) {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        out_.append(bytes, sizeof(T));
    }
    template <class Vector>
    void run(const Vector& v) {
        put<std::uint64_t>(v.size());
        for (const auto& x : v) put(x);
    }
    void matrix(const CsrMatrix& m) {
        run(m.indices);
        run(m.indptr);
        run(m.data);
    }
    void consumed(const quibrel::ConsumedMap& c) {
        put<std::uint64_t>(c.size());
        c.for_each([&](std::int32_t user, const std::vector<std::int32_t>& items) {
            put(user);
            run(items);
        });
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// The similarity state alone: norms, pair records, neighbour lists.
inline std::string cf_state(const quibrel::CfModel& m) {
    Record r;
    r.run(m.sum_squares);
    r.put<std::uint64_t>(m.pair_stats.size());
    m.pair_stats.for_each([&](const quibrel::PairRecord& p) {
        r.put(p.x);
        r.put(p.y);
        r.put(p.dot);
        r.put(p.count);
    });
    r.put<std::uint64_t>(m.sim_mapping.size());
    m.sim_mapping.for_each([&](std::int32_t id, const quibrel::NeighbourList& list) {
        r.put(id);
        r.run(list.ids);
        r.run(list.sims);
    });
    return r.take();
}

// The fields every record ends with: both matrices, the consumed items and
// the default prediction.
template <class Model>
std::string record_tail(const Model& m) {
    Record r;
    r.matrix(m.user_interactions);
    r.matrix(m.item_interactions);
    r.consumed(m.user_consumed);
    r.put(m.default_pred);
    return r.take();
}

inline std::string cf_record(const quibrel::CfModel& m) {
    Record r;
    r.run(m.task);
    r.put(m.k_sim);
    r.put(m.n_users);
    r.put(m.n_items);
    r.put(m.min_common);
    return r.take() + cf_state(m) + record_tail(m);
}

inline std::string swing_state(const quibrel::SwingModel& m) {
    Record r;
    r.put<std::uint64_t>(m.swing_scores.size());
    m.swing_scores.for_each([&](std::int32_t id, const quibrel::SwingList& list) {
        r.put(id);
        r.put<std::uint64_t>(list.size());
        for (const quibrel::SwingPair& p : list) {
            r.put(p.id);
            r.put(p.score);
        }
    });
    return r.take();
}

inline std::string swing_record(const quibrel::SwingModel& m) {
    Record r;
    r.put(m.top_k);
    r.put(m.alpha);
    r.put(m.max_cache_num);
    r.put(m.n_users);
    r.put(m.n_items);
    return r.take() + swing_state(m) + record_tail(m);
}

inline bool same_bits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// ---- interactions as cells ------------------------------------------------------------------

// Cells by (row, column); a later value of the same cell replaces an earlier one.
using Cells = std::map<std::pair<std::int32_t, std::int32_t>, float>;

// A matrix of `rows` rows holding exactly these cells (columns ascending).
inline CsrMatrix matrix_of(const Cells& cells, std::size_t rows) {
    CsrMatrix m;
    m.indptr.push_back(0);
    auto it = cells.begin();
    for (std::size_t r = 0; r < rows; ++r) {
        for (; it != cells.end() && static_cast<std::size_t>(it->first.first) == r; ++it) {
            m.indices.push_back(it->first.second);
            m.data.push_back(it->second);
        }
        m.indptr.push_back(m.indices.size());
    }
    return m;
}

// The cells of a well-formed matrix (rows in range, offsets ascending).
inline Cells cells_of(const CsrMatrix& m) {
    Cells out;
    for (std::size_t r = 0; r + 1 < m.indptr.size(); ++r)
        for (std::uint64_t p = m.indptr[r]; p < m.indptr[r + 1]; ++p)
            out[{static_cast<std::int32_t>(r), m.indices[p]}] = m.data[p];
    return out;
}

inline Cells flipped(const Cells& cells) {
    Cells out;
    for (const auto& [at, value] : cells) out[{at.second, at.first}] = value;
    return out;
}

}  // namespace fuzz
