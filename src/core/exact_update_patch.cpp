#include "core/exact_update_patch.hpp"

#include <cstring>

namespace quibrel::exact_detail {
namespace {

// Copies the entries of [from, to) whose ids are outside A to `out` (which
// may be the source itself, at or before `from`); writes one entry past the
// last kept one. Returns the new end.
std::size_t keep_outside(const std::int32_t* ids, const float* sims, std::size_t from,
                         std::size_t to, std::int32_t* out_ids, float* out_sims, std::size_t at,
                         const Members& in_a) noexcept {
    for (std::size_t i = from; i < to; ++i) {
        const std::int32_t id = ids[i];
        const float sim = sims[i];
        out_ids[at] = id;
        out_sims[at] = sim;
        at += in_a(id) == 0;
    }
    return at;
}

}  // namespace

// Position of the first entry of the sorted list at or after `from` whose
// key is not below `key`.
std::size_t lower_key(const std::int32_t* ids, const float* sims, std::size_t from, std::size_t to,
                      std::uint64_t key) noexcept {
    while (from < to) {
        const std::size_t mid = from + (to - from) / 2;
        if (neighbour_key(ids[mid], sims[mid]) < key)
            from = mid + 1;
        else
            to = mid;
    }
    return from;
}

// lower_key over [0, size), searched outward from `hint`: an entry of A moves
// only a little way when a norm changes a little, and the lines near its old
// place are already in cache, where a search over the whole list misses on
// most of its probes.
std::size_t lower_key_near(const std::int32_t* ids, const float* sims, std::size_t size,
                           std::size_t hint, std::uint64_t key) noexcept {
    hint = std::min(hint, size);
    if (hint < size && neighbour_key(ids[hint], sims[hint]) < key) {
        // The answer lies in (hint, size].
        std::size_t lo = hint + 1;
        std::size_t step = 1;
        while (lo < size) {
            const std::size_t probe = std::min(size - 1, hint + step);
            if (neighbour_key(ids[probe], sims[probe]) >= key)
                return lower_key(ids, sims, lo, probe, key);
            lo = probe + 1;
            step *= 2;
        }
        return size;
    }
    // The answer lies in [0, hint].
    std::size_t hi = hint;
    std::size_t step = 1;
    while (hi > 0) {
        const std::size_t probe = hi > step ? hi - step : 0;
        if (neighbour_key(ids[probe], sims[probe]) < key)
            return lower_key(ids, sims, probe + 1, hi, key);
        hi = probe;
        step *= 2;
    }
    return 0;
}

// The entries of `old` outside A merged with the sorted `keys`, into `out`
// (room for length + 1 entries). Old entries move in runs between the keys'
// places, found by binary search.
void merge_into(const std::int32_t* ids, const float* sims, std::size_t old_length,
                std::span<const std::uint64_t> keys, std::int32_t* out_ids, float* out_sims,
                const Members& in_a) noexcept {
    std::size_t at = 0;
    std::size_t i = 0;
    for (const std::uint64_t key : keys) {
        const std::size_t next = lower_key(ids, sims, i, old_length, key);
        at = keep_outside(ids, sims, i, next, out_ids, out_sims, at, in_a);
        i = next;
        out_ids[at] = key_id(key);
        out_sims[at++] = key_sim(key);
    }
    keep_outside(ids, sims, i, old_length, out_ids, out_sims, at, in_a);
}

// The same inside the list's own room (capacity for `length` entries): the
// entries of A are dropped in place, then the keys merged in from the back.
void patch_in_place(NeighbourList& list, std::span<const std::uint64_t> keys, const Members& in_a,
                    std::size_t length) noexcept {
    const std::size_t old = list.ids.size();
    if (length > old) {
        // Within the capacity the plan checked: no allocation.
        list.ids.resize(length);
        list.sims.resize(length);
    }
    std::int32_t* ids = list.ids.data();
    float* sims = list.sims.data();
    // Writing at or before the entry being read, the copy stays inside [0, old).
    std::size_t i = keep_outside(ids, sims, 0, old, ids, sims, 0, in_a);
    std::size_t j = keys.size();
    std::size_t out = length;
    while (j > 0) {
        --out;
        if (i > 0 && neighbour_key(ids[i - 1], sims[i - 1]) > keys[j - 1]) {
            --i;
            ids[out] = ids[i];
            sims[out] = sims[i];
        } else {
            --j;
            ids[out] = key_id(keys[j]);
            sims[out] = key_sim(keys[j]);
        }
    }
    list.ids.resize(length);
    list.sims.resize(length);
}

// Row w's `old` records at `e` merged with its updates (ascending x) inside
// the row's room, which holds `length` records, the records of A that no
// update names dropped. Cannot fail.
void merge_row_in_place(PairEntry* e, std::size_t old, std::span<const PairUpdate> updates,
                        const Members& in_a, std::size_t length) noexcept {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < old; ++i) {
        const PairEntry entry = e[i];
        e[kept] = entry;
        kept += in_a(entry.y) == 0;
    }
    std::size_t j = updates.size();
    std::size_t out = length;
    while (j > 0) {
        --out;
        if (kept > 0 && e[kept - 1].y > updates[j - 1].x) {
            e[out] = e[--kept];
        } else {
            --j;
            e[out] = PairEntry{updates[j].x, updates[j].dot, updates[j].count};
        }
    }
}

// Moves or inserts the entries of A one by one, each from its old key (or
// kAbsent) to its new key, keeping the list sorted throughout: a search and a
// shift of the entries in between per entry. An old entry is looked for from
// its place in the list before the edit (`places`, each at most j entries away
// after j moves), its new place from there. The list's room holds `length`
// entries. Cannot fail.
void edit_in_place(NeighbourList& list, std::span<const std::uint64_t> keys,
                   std::span<const std::uint64_t> old_keys, std::span<const std::uint32_t> places,
                   std::size_t length) noexcept {
    std::size_t size = list.ids.size();
    if (length > size) {
        list.ids.resize(length);  // within the capacity the plan checked
        list.sims.resize(length);
    }
    std::int32_t* ids = list.ids.data();
    float* sims = list.sims.data();
    for (std::size_t j = 0; j < keys.size(); ++j) {
        const std::uint64_t key = keys[j];
        std::size_t q = 0;
        if (old_keys[j] != kAbsent) {
            std::size_t p = lower_key_near(ids, sims, size, places[j], old_keys[j]);
            // The plan found it; only a list that is not sorted (a model
            // file's) can hide it from the search, and every move stays
            // inside the list whatever the order.
            if (p >= size || neighbour_key(ids[p], sims[p]) != old_keys[j]) {
                p = 0;
                while (p + 1 < size && ids[p] != key_id(old_keys[j])) ++p;
            }
            q = lower_key_near(ids, sims, size, p, key);
            if (q > p) {
                --q;  // the slot the entry leaves closes the gap
                std::memmove(ids + p, ids + p + 1, (q - p) * sizeof(std::int32_t));
                std::memmove(sims + p, sims + p + 1, (q - p) * sizeof(float));
            } else if (q < p) {
                std::memmove(ids + q + 1, ids + q, (p - q) * sizeof(std::int32_t));
                std::memmove(sims + q + 1, sims + q, (p - q) * sizeof(float));
            }
        } else {
            q = lower_key_near(ids, sims, size, places[j], key);
            std::memmove(ids + q + 1, ids + q, (size - q) * sizeof(std::int32_t));
            std::memmove(sims + q + 1, sims + q, (size - q) * sizeof(float));
            ++size;
        }
        ids[q] = key_id(key);
        sims[q] = key_sim(key);
    }
    list.ids.resize(length);
    list.sims.resize(length);
}

// Overwrites or inserts the updates (ascending x) one by one into the `size`
// records at `e`, inside the row's room (the plan checked it holds them all).
// Cannot fail.
void insert_in_place(PairEntry* e, std::size_t size, std::span<const PairUpdate> updates) noexcept {
    std::size_t pos = 0;
    for (const PairUpdate& up : updates) {
        pos = static_cast<std::size_t>(
            std::lower_bound(e + pos, e + size, up.x,
                             [](const PairEntry& a, std::int32_t v) { return a.y < v; }) -
            e);
        if (pos == size || e[pos].y != up.x) {
            std::memmove(e + pos + 1, e + pos, (size - pos) * sizeof(PairEntry));
            ++size;
        }
        e[pos] = PairEntry{up.x, up.dot, up.count};
    }
}

}  // namespace quibrel::exact_detail
