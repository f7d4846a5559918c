// Co-occurrence statistics of entity pairs (x < y): dot product and count.
// A record is identified by its (x, y) pair, so a change of the entity count
// never makes two pairs share a record.
//
// Layout: pair stores can hold 10^8 records, so records of entities 0..rows-1
// live in one sorted vector per x of 16-byte (y, dot, count) entries. The
// computations produce whole rows in ascending y and merge them linearly.
// Records whose x is negative or far beyond the rows held (possible only in
// model files) go to a small hash map keyed by the pair.
#pragma once

#include <cstddef>
#include <cstdint>
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

// One record of row x.
struct PairEntry {
    std::int32_t y = 0;
    float dot = 0.0f;
    std::uint64_t count = 0;
};
static_assert(sizeof(PairEntry) == 16);

using PairRow = std::vector<PairEntry>;

class PairStats {
public:
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
            for (const PairEntry& e : rows_[x])
                f(PairRecord{static_cast<std::int32_t>(x), e.y, e.dot, e.count});
        for (const auto& [key, record] : extra_) f(record);
    }

    // Makes rows 0..n-1 direct rows (n <= 2^31).
    void ensure_rows(std::size_t n);
    std::size_t row_count() const noexcept { return rows_.size(); }
    std::span<const PairEntry> row(std::size_t x) const {
        return x < rows_.size() ? std::span<const PairEntry>(rows_[x])
                                : std::span<const PairEntry>();
    }

    // Stores freshly computed records of row x (x < row_count(), ascending
    // unique y): they replace records of the same pair, other records stay.
    void replace_row(std::size_t x, PairRow&& fresh);

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
    void insert_into_row(PairRow& row, const PairEntry& e);

    std::vector<PairRow> rows_;
    std::unordered_map<std::uint64_t, PairRecord, IdHash> extra_;
    std::size_t count_ = 0;
};

template <class Visit>
void PairStats::add_increments(std::size_t x, std::span<const PairEntry> increments,
                               Visit&& visit) {
    PairRow& row = rows_[x];
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
    row = std::move(merged);
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
