// Co-occurrence statistics of entity pairs (x < y): dot product and count.
// A record is identified by its (x, y) pair, so a change of the entity count
// never makes two pairs share a record.
//
// Layout: pair stores can hold 10^8 records, so records of entities 0..rows-1
// live in one sorted run per x of 16-byte (y, dot, count) entries. A run is
// either a slice of a large block written by a computation (large blocks get
// huge pages, and first touches of small pages dominated building them) or,
// once changed, a vector of its own. Records whose x is negative or far beyond
// the rows held (possible only in model files) go to a small hash map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/id_map.hpp"

namespace quibrel {

struct PairRecord {
    std::int32_t x = 0;
    std::int32_t y = 0;
    float dot = 0.0f;
    std::uint64_t count = 0;
};

// One record of row x. No default member values: blocks of them are
// allocated without being written first.
struct PairEntry {
    std::int32_t y;
    float dot;
    std::uint64_t count;
};
static_assert(sizeof(PairEntry) == 16);

using PairRow = std::vector<PairEntry>;
using PairBlock = std::unique_ptr<PairEntry[]>;

// Hands out room for whole rows from blocks of growing size; one per thread.
class PairBlockWriter {
public:
    PairEntry* allocate(std::size_t count);
    // The blocks written so far; the writer starts afresh.
    std::vector<PairBlock> release();

private:
    std::vector<PairBlock> blocks_;
    PairEntry* cursor_ = nullptr;
    std::size_t left_ = 0;
    std::size_t next_size_ = 4096;
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
                f(PairRecord{static_cast<std::int32_t>(x), e.y, e.dot, e.count});
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

    // Stores freshly computed rows (fresh[x] ascending unique y, living in
    // `blocks`): they replace records of the same pair, other records stay.
    void adopt(std::vector<std::span<PairEntry>>& fresh, std::vector<PairBlock>&& blocks);

    // Adds increments (ascending unique y, x < row_count()) to row x: an
    // existing record gets dot + increment and count + increment, a missing
    // one is inserted as given. `visit(y, dot, count)` sees each resulting
    // record in ascending y.
    template <class Visit>
    void add_increments(std::size_t x, std::span<const PairEntry> increments, Visit&& visit);

private:
    static std::uint64_t pack(std::int32_t x, std::int32_t y) noexcept {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) |
               static_cast<std::uint32_t>(y);
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
    std::vector<PairBlock> blocks_;
    std::size_t run_entries_ = 0;   // entries of blocks_ that runs use
    std::size_t dead_entries_ = 0;  // entries of blocks_ no run uses
    std::unordered_map<std::uint64_t, PairRecord, IdHash> extra_;
    std::size_t count_ = 0;
};

template <class Visit>
void PairStats::add_increments(std::size_t x, std::span<const PairEntry> increments,
                               Visit&& visit) {
    const std::span<PairEntry> row = mutable_row(x);
    // Count the pairs that are new first: without any, the row is updated in
    // place; otherwise one merged row replaces it.
    std::size_t missing = 0;
    {
        std::size_t i = 0;
        for (const PairEntry& inc : increments) {
            while (i < row.size() && row[i].y < inc.y) ++i;
            if (i == row.size() || row[i].y != inc.y) ++missing;
        }
    }
    if (missing == 0) {
        std::size_t i = 0;
        for (const PairEntry& inc : increments) {
            while (row[i].y < inc.y) ++i;
            row[i].dot = inc.dot + row[i].dot;
            row[i].count += inc.count;
            visit(inc.y, row[i].dot, row[i].count);
        }
        return;
    }
    PairRow merged;
    merged.reserve(row.size() + missing);
    std::size_t i = 0;
    for (const PairEntry& inc : increments) {
        while (i < row.size() && row[i].y < inc.y) merged.push_back(row[i++]);
        if (i < row.size() && row[i].y == inc.y) {
            PairEntry e = row[i++];
            e.dot = inc.dot + e.dot;
            e.count += inc.count;
            merged.push_back(e);
        } else {
            merged.push_back(inc);
        }
        visit(inc.y, merged.back().dot, merged.back().count);
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
