// Co-occurrence statistics of entity pairs (x < y): dot product and count.
// A record is identified by its (x, y) pair, so a change of the entity count
// never makes two pairs share a record.
//
// Layout: pair stores can hold 10^8 records, so records of entities 0..rows-1
// live in one sorted run per x of 12-byte (y, dot, count) entries. A run is
// either a slice of a large block written by a computation (one vector per row
// spent more time on first touches of fresh pages than on building them;
// blocks take small pages made present ahead of the writer, mem_fresh_blocks.hpp)
// or, once changed, a vector of its own. A computation leaves kPairRowRoom
// unused entries after each row it writes, so that an update giving a row a
// new partner or two grows it where it lies instead of copying it. Records
// whose x is negative or far beyond the rows held (possible only in model
// files) go to a small hash map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/id_map.hpp"
#include "core/mem_fresh_blocks.hpp"

namespace quibrel {

struct PairRecord {
    std::int32_t x = 0;
    std::int32_t y = 0;
    float dot = 0.0f;
    std::uint64_t count = 0;
};

// One record of row x. No default member values: blocks of them are
// allocated without being written first. A count that does not fit below
// kWideCount (it needs rows of billions of entries, so in practice only a
// model file holds one) is kept in a side map and the entry says kWideCount.
struct PairEntry {
    std::int32_t y;
    float dot;
    std::uint32_t count;
};
static_assert(sizeof(PairEntry) == 12);

inline constexpr std::uint32_t kWideCount = 0xffffffffu;

// A record of row x with its full count, as increments and files bring it.
struct PairDelta {
    std::int32_t y;
    float dot;
    std::uint64_t count;
};

inline std::uint64_t pair_key(std::int32_t x, std::int32_t y) noexcept {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) |
           static_cast<std::uint32_t>(y);
}

// Full counts of the entries marked kWideCount, by pair_key.
using WideCounts = std::unordered_map<std::uint64_t, std::uint64_t, IdHash>;

using PairRow = std::vector<PairEntry>;
using PairBlock = HeapArray<PairEntry>;  // from fresh_array

// Entries left unused after each row a computation writes.
inline constexpr std::size_t kPairRowRoom = 8;

// Hands out room for whole rows from blocks of growing size; one per thread.
class PairBlockWriter {
public:
    // Room for a row of up to `count` records, and kPairRowRoom more after it.
    PairEntry* allocate(std::size_t count);
    // The entry of pair (x, y); a wide count is noted on the side.
    PairEntry entry(std::size_t x, std::int32_t y, float dot, std::uint64_t count) {
        if (count < kWideCount) return PairEntry{y, dot, static_cast<std::uint32_t>(count)};
        wide_.emplace_back(pair_key(static_cast<std::int32_t>(x), y), count);
        return PairEntry{y, dot, kWideCount};
    }
    // The blocks written so far; the writer starts afresh.
    std::vector<PairBlock> release();
    // The wide counts noted so far, as (pair_key, count).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> release_wide() {
        return std::move(wide_);
    }

private:
    std::vector<PairBlock> blocks_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> wide_;
    BumpCursor room_{4096 * sizeof(PairEntry), (std::size_t{1} << 22) * sizeof(PairEntry)};
};

class PairStats {
public:
    PairStats() = default;
    PairStats(PairStats&&) noexcept = default;
    PairStats& operator=(PairStats&&) noexcept = default;
    PairStats(const PairStats& other);
    PairStats& operator=(const PairStats& other);

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    void clear();
    // Size hint for a caller about to insert n records; rows grow on demand.
    void reserve(std::size_t) {}

    std::optional<PairRecord> find(std::int32_t x, std::int32_t y) const;
    void insert_or_assign(const PairRecord& r);

    // Visits every record once: rows in ascending (x, y), then the other
    // records in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t x = 0; x < rows_.size(); ++x)
            for (const PairEntry& e : row(x))
                f(PairRecord{static_cast<std::int32_t>(x), e.y, e.dot, count_of(x, e)});
        for (const auto& [key, record] : extra_) f(record);
    }

    // Makes rows 0..n-1 direct rows (n <= 2^31).
    void ensure_rows(std::size_t n);
    std::size_t row_count() const noexcept { return rows_.size(); }
    std::span<const PairEntry> row(std::size_t x) const {
        if (x >= rows_.size()) return {};
        if (!runs_[x].empty()) return runs_[x];
        return rows_[x];
    }

    // The full count of an entry of row x.
    std::uint64_t count_of(std::size_t x, const PairEntry& e) const {
        if (e.count != kWideCount) return e.count;
        return wide_.at(pair_key(static_cast<std::int32_t>(x), e.y));
    }

    // Stores freshly computed rows (fresh[x] ascending unique y, living in
    // `blocks`, wide counts in `wide`, each followed by at least `room`
    // entries no other row uses): they replace records of the same pair,
    // other records stay.
    void adopt(std::vector<std::span<PairEntry>>& fresh, std::vector<PairBlock>&& blocks,
               const WideCounts& wide, std::size_t room = 0);

    // Adds increments (ascending unique y, x < row_count()) to row x: an
    // existing record gets dot + increment and count + increment, a missing
    // one is inserted as given. `visit(y, dot, count)` sees each resulting
    // record in ascending y.
    template <class Visit>
    void add_increments(std::size_t x, std::span<const PairDelta> increments, Visit&& visit);

    // For a caller that prepares every change first and then commits them
    // all without a chance of failure (the exact update). Rows x below
    // row_count() only.
    bool has_wide_counts() const noexcept { return !wide_.empty(); }
    // Row x's records, writable in place (dot and count of existing pairs;
    // counts stay below kWideCount).
    std::span<PairEntry> writable_row(std::size_t x) noexcept { return mutable_row(x); }
    // Row x becomes `row` (ascending unique y, counts below kWideCount). When
    // row x is a run with room for them, the records are copied into it and
    // `row` keeps them; else `row` receives the old records when the row
    // owned them (it is left empty when they lived in a block).
    void replace_row(std::size_t x, PairRow& row) noexcept;
    // Row x's own vector, or null while its records live in a block. A
    // caller may change its records in place within its capacity, then
    // report the change of the record count with adjust_count.
    PairRow* owned_row(std::size_t x) noexcept {
        return x < rows_.size() && runs_[x].empty() ? &rows_[x] : nullptr;
    }
    const PairRow* owned_row(std::size_t x) const noexcept {
        return x < rows_.size() && runs_[x].empty() ? &rows_[x] : nullptr;
    }
    void adjust_count(std::size_t added, std::size_t removed) noexcept {
        count_ = count_ + added - removed;
    }
    // The records row x can hold where it lies: its vector's capacity, or its
    // run and the unused entries after it.
    std::size_t row_capacity(std::size_t x) const noexcept {
        if (x >= rows_.size()) return 0;
        if (!runs_[x].empty()) return runs_[x].size() + run_room_[x];
        return rows_[x].capacity();
    }
    // A caller may write up to row_capacity(x) records from the start of
    // writable_row(x); run x then takes its new length here (at most
    // row_capacity(x)). Not for concurrent calls; the record count is the
    // caller's (adjust_count).
    void set_run_length(std::size_t x, std::size_t length) noexcept {
        const std::size_t capacity = runs_[x].size() + run_room_[x];
        run_entries_ = run_entries_ - runs_[x].size() + length;
        runs_[x] = std::span<PairEntry>(runs_[x].data(), length);
        run_room_[x] = static_cast<std::uint32_t>(capacity - length);
    }
    // Moves the live runs into one block when most block space is dead; when
    // that block cannot be had, everything stays as it is.
    void compact_if_possible() noexcept;

private:
    // The entry of a record of row x; notes or forgets its wide count.
    PairEntry entry_for(std::size_t x, std::int32_t y, float dot, std::uint64_t count) {
        const std::uint64_t key = pair_key(static_cast<std::int32_t>(x), y);
        if (count >= kWideCount) {
            wide_[key] = count;
            return PairEntry{y, dot, kWideCount};
        }
        if (!wide_.empty()) wide_.erase(key);
        return PairEntry{y, dot, static_cast<std::uint32_t>(count)};
    }
    bool wants_row(std::int32_t x) const noexcept {
        // Direct rows for ids within a constant factor of the records held, so a
        // stray large id from a file cannot allocate billions of rows.
        return x >= 0 && (static_cast<std::size_t>(x) < rows_.size() ||
                          static_cast<std::size_t>(x) < 2 * (count_ + 1) + 4096);
    }
    std::span<PairEntry> mutable_row(std::size_t x) {
        if (!runs_[x].empty()) return runs_[x];
        return rows_[x];
    }
    // Row x replaced by an owned row; a run it leaves is dead block space.
    void release_run(std::size_t x);
    void set_owned(std::size_t x, PairRow&& row);
    void insert_into_row(std::size_t x, const PairEntry& e);
    void compact_if_wasteful();

    std::vector<PairRow> rows_;               // owned rows
    std::vector<std::span<PairEntry>> runs_;  // rows living in blocks_
    std::vector<std::uint32_t> run_room_;     // unused entries after each run
    std::vector<PairBlock> blocks_;
    std::size_t run_entries_ = 0;   // entries of blocks_ that runs use
    std::size_t dead_entries_ = 0;  // entries of blocks_ no run uses
    std::unordered_map<std::uint64_t, PairRecord, IdHash> extra_;
    WideCounts wide_;
    std::size_t count_ = 0;
};

template <class Visit>
void PairStats::add_increments(std::size_t x, std::span<const PairDelta> increments,
                               Visit&& visit) {
    const std::span<PairEntry> row = mutable_row(x);
    // Count the pairs that are new first: without any, the row is updated in
    // place; otherwise one merged row replaces it.
    std::size_t missing = 0;
    {
        std::size_t i = 0;
        for (const PairDelta& inc : increments) {
            while (i < row.size() && row[i].y < inc.y) ++i;
            if (i == row.size() || row[i].y != inc.y) ++missing;
        }
    }
    if (missing == 0) {
        std::size_t i = 0;
        for (const PairDelta& inc : increments) {
            while (row[i].y < inc.y) ++i;
            const std::uint64_t count = count_of(x, row[i]) + inc.count;
            row[i] = entry_for(x, inc.y, inc.dot + row[i].dot, count);
            visit(inc.y, row[i].dot, count);
        }
        return;
    }
    PairRow merged;
    merged.reserve(row.size() + missing);
    std::size_t i = 0;
    for (const PairDelta& inc : increments) {
        while (i < row.size() && row[i].y < inc.y) merged.push_back(row[i++]);
        std::uint64_t count = inc.count;
        float dot = inc.dot;
        if (i < row.size() && row[i].y == inc.y) {
            count += count_of(x, row[i]);
            dot = inc.dot + row[i].dot;
            ++i;
        }
        merged.push_back(entry_for(x, inc.y, dot, count));
        visit(inc.y, dot, count);
    }
    while (i < row.size()) merged.push_back(row[i++]);
    set_owned(x, std::move(merged));
    count_ += missing;
}

// The 32-bit key a record is stored under in model files: x*n + y in
// two's-complement arithmetic with the model's current n.
inline std::int32_t pair_file_key(std::int32_t x, std::int32_t y, std::uint64_t n) noexcept {
    const std::uint32_t key = static_cast<std::uint32_t>(x) * static_cast<std::uint32_t>(n) +
                              static_cast<std::uint32_t>(y);
    return static_cast<std::int32_t>(key);
}

}  // namespace quibrel
