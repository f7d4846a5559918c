// Dense accumulation cells with a list of the ids touched, the pattern every
// pair computation of the cosine models shares (forward, invert, subset,
// partition and incremental paths): a cell per entity id, the ids whose cell
// went from empty to used listed as they are first met, then put in ascending
// order to be taken and cleared. Internal to the core.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace quibrel {

// One entity's accumulated dot product and co-occurrence count. With
// ascending unique columns a pair's count is at most a row length, so 32 bits
// suffice; rows with repeated columns use 64-bit counts so none can wrap.
template <class Count>
struct Cell {
    float dot;
    Count count;
};

// Adds dx * v to cell y and returns the new touched count. A cell met for the
// first time (count 0) has its id kept in `touched`; the id is always written
// and the count only moves past it on a first touch, so there is no branch.
// `touched` needs room for one id beyond the ids it will keep.
template <class Count>
[[gnu::always_inline]] inline std::size_t add_to_cell(Cell<Count>* cells, std::uint32_t* touched,
                                                      std::size_t count, std::uint32_t y, float dx,
                                                      float v) {
    Cell<Count>& cell = cells[y];
    touched[count] = y;
    count += cell.count == 0;
    cell.dot += dx * v;
    cell.count += 1;
    return count;
}

// add_to_cell for every (rows[i], values[i]) of one column with the row's
// value dx. Cells beyond the second-level cache are fetched ahead (Prefetch,
// for large catalogues). Kept out of line: its callers' loops stay small.
template <class Count, bool Prefetch>
[[gnu::noinline]] std::size_t
add_column_touched(const std::uint32_t* __restrict rows, std::size_t length,
                   const float* __restrict values, float dx, Cell<Count>* __restrict cells,
                   std::uint32_t* __restrict touched, std::size_t count) {
    for (std::size_t i = 0; i < length; ++i) {
        if constexpr (Prefetch)
            if (i + 16 < length) __builtin_prefetch(cells + rows[i + 16], 1);
        count = add_to_cell(cells, touched, count, rows[i], dx, values[i]);
    }
    return count;
}

// Whether n cells outgrow the second-level cache of a worker.
template <class Count>
constexpr bool cells_beyond_cache(std::size_t n) {
    return n * sizeof(Cell<Count>) > (std::size_t{512} << 10);
}

// Sets the bits of `count` ids in `bitmap`.
inline void mark_ids(const std::uint32_t* ids, std::size_t count, std::uint64_t* bitmap) {
    for (std::size_t t = 0; t < count; ++t)
        bitmap[ids[t] >> 6] |= std::uint64_t{1} << (ids[t] & 63);
}

// Calls visit(id) for every set bit of words [first_word, last_word] in
// ascending id order, clearing the words as it goes.
template <class Visit>
inline void drain_marked(std::uint64_t* bitmap, std::size_t first_word, std::size_t last_word,
                         Visit&& visit) {
    for (std::size_t w = first_word; w <= last_word; ++w) {
        std::uint64_t bits = bitmap[w];
        bitmap[w] = 0;
        while (bits != 0) {
            visit(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
            bits &= bits - 1;
        }
    }
}

// Puts `count` distinct touched ids (below n) in ascending order. Few are
// sorted; once count * sort_ratio reaches n they are marked in `bitmap`
// (n/64 + 1 words, zero before and after) whose words are then walked, about
// n/64 reads. The ratio is the caller's: it depends on what else the walk
// competes with in cache.
inline void order_touched(std::uint32_t* touched, std::size_t count, std::size_t n,
                          std::uint64_t* bitmap, std::size_t sort_ratio) {
    if (count * sort_ratio < n || count == 0) {
        std::sort(touched, touched + count);
        return;
    }
    mark_ids(touched, count, bitmap);
    std::size_t out = 0;
    drain_marked(bitmap, 0, (n - 1) >> 6,
                 [&](std::size_t id) { touched[out++] = static_cast<std::uint32_t>(id); });
}

}  // namespace quibrel
