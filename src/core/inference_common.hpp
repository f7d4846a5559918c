// What scoring (inference_predict.cpp) and recommendation
// (inference_recommend.cpp) share. Internal to the core.
//
// Everything here runs on the calling thread. Per-pair and per-user work reuses
// scratch buffers: generation-stamped dense arrays indexed by id, kept per
// thread (large ones only for one call), so starting a new pair or user costs
// nothing and repeated small calls do not re-zero memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/csr.hpp"
#include "core/errors.hpp"
#include "core/generation.hpp"
#include "core/mem_zeroed_array.hpp"
#include "core/models.hpp"
#include "core/pool.hpp"

namespace quibrel::inference_detail {

static_assert(sizeof(std::size_t) == 8, "ids and offsets are read as 64-bit indices");

// How often (in pairs, users, or visited list entries) to poll for Ctrl-C.
inline constexpr std::size_t kInterruptEvery = 4096;
inline constexpr std::uint64_t kInterruptWork = 1u << 20;

// Polls for an interrupt once enough work has gone by since the last poll.
class InterruptPacer {
public:
    void step(std::uint64_t work) {
        work_ += work + 1;
        if (++steps_ >= kInterruptEvery || work_ >= kInterruptWork) {
            steps_ = 0;
            work_ = 0;
            check_interrupt();
        }
    }

private:
    std::size_t steps_ = 0;
    std::uint64_t work_ = 0;
};

// List heads and rows sit at random places in memory; asking for the next one
// while the current one is processed hides most of that latency. The first
// lines are enough for the hardware to continue a sequential read.
inline constexpr std::size_t kPrefetchBytes = 512;

// Lists live on small pages (mem_fresh_blocks.hpp), so most list heads also miss
// the TLB, and prefetching a single pair ahead, or four, left predict waiting
// on them. Reading the heads of a batch of later pairs together lets those
// misses overlap, which made predict faster (figures:
// docs/dev/performance-notes.md).
inline constexpr std::size_t kTouchBatch = 8;

// Reads one value so that its page and line are brought in, without letting
// the compiler drop the read.
template <class T>
inline void touch_value(const T* p) {
    const T value = *static_cast<const volatile T*>(p);
    asm volatile("" : : "g"(value));
}

// Called at each position q of a sequence of n lists: at the start of every
// batch, touch(j) for the positions of the batch after next (at q = 0, of the
// first two batches).
template <class Touch>
inline void touch_ahead(std::size_t q, std::size_t n, Touch&& touch) {
    if (q % kTouchBatch != 0) return;
    const std::size_t end = std::min(n, q + 2 * kTouchBatch);
    for (std::size_t j = q == 0 ? 0 : q + kTouchBatch; j < end; ++j) touch(j);
}

inline void prefetch_bytes(const void* start, std::size_t bytes) {
    const char* p = static_cast<const char*>(start);
    for (std::size_t off = 0; off < std::min(bytes, kPrefetchBytes); off += 64)
        __builtin_prefetch(p + off);
}

// Prefetches the entries of row i without any of get_row's checks failing.
inline void prefetch_row(const CsrMatrix& m, std::uint64_t i) {
    if (i >= m.n_rows()) return;
    const std::uint64_t begin = m.indptr[i];
    const std::uint64_t end = m.indptr[i + 1];
    if (begin >= end || end > m.indices.size() || end > m.data.size()) return;
    const auto bytes = static_cast<std::size_t>(end - begin) * 4;
    prefetch_bytes(m.indices.data() + begin, bytes);
    prefetch_bytes(m.data.data() + begin, bytes);
}

// ---------------------------------------------------------------------------
// Neighbour lists seen uniformly: cosine lists are two parallel vectors, Swing
// lists one vector of pairs.

struct CosineView {
    const std::int32_t* ids;
    const float* sims;
    std::size_t len;

    // A model file may carry vectors of different lengths; never read past
    // the shorter one.
    static CosineView of(const NeighbourList& list) {
        return {list.ids.data(), list.sims.data(), std::min(list.ids.size(), list.sims.size())};
    }
    std::int32_t id(std::size_t j) const { return ids[j]; }
    float sim(std::size_t j) const { return sims[j]; }
    void prefetch(std::size_t m) const {
        prefetch_bytes(ids, std::min(m, len) * sizeof(std::int32_t));
        prefetch_bytes(sims, std::min(m, len) * sizeof(float));
    }
    void touch() const {
        if (len == 0) return;
        touch_value(ids);
        touch_value(sims);
    }
};

struct SwingView {
    const SwingPair* pairs;
    std::size_t len;

    static SwingView of(const SwingList& list) { return {list.data(), list.size()}; }
    std::int32_t id(std::size_t j) const { return pairs[j].id; }
    float sim(std::size_t j) const { return pairs[j].score; }
    void prefetch(std::size_t m) const {
        prefetch_bytes(pairs, std::min(m, len) * sizeof(SwingPair));
    }
    void touch() const {
        if (len != 0) touch_value(&pairs[0].id);
    }
};

// The lists of one model by id, each seen through ViewT.
template <class Map, class ViewT>
struct ListsOf {
    using View = ViewT;
    const Map& map;
    bool find(std::int32_t key, View& view) const {
        const auto* list = map.find(key);
        if (list == nullptr) return false;
        view = View::of(*list);
        return true;
    }
    // Reads the head of key's list, if it has one (see kTouchBatch).
    void touch(std::int32_t key) const {
        View head{};
        if (find(key, head)) head.touch();
    }
};
using CosineLists = ListsOf<SimMapping, CosineView>;
using SwingLists = ListsOf<SwingScores, SwingView>;

inline std::size_t head_length(std::uint64_t k, std::size_t len) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(k, len));
}

// Dense arrays cover ids below this bound (or the id count if smaller); other
// ids, which only malformed or loaded data carries, take slower exact paths.
inline constexpr std::size_t kMaxDenseIds = std::size_t{1} << 24;
// Thread-local scratch larger than this is released at the end of a call
// rather than kept for the thread's next call.
inline constexpr std::size_t kKeepDenseIds = std::size_t{1} << 21;

}  // namespace quibrel::inference_detail
