#include "core/cosine_pair_stats.hpp"

#include <algorithm>
#include <utility>

namespace quibrel {

PairEntry* PairBlockWriter::allocate(std::size_t count) {
    return reinterpret_cast<PairEntry*>(
        room_.take((count + kPairRowRoom) * sizeof(PairEntry), [&](std::size_t bytes) {
            blocks_.push_back(fresh_array<PairEntry>(bytes / sizeof(PairEntry)));
            return blocks_.back().get();
        }));
}

namespace {

// Copies the runs (`entries` records in all) into one block, each followed
// by kPairRowRoom unused records noted in `room`, and points `into` (which
// may be `from`) at the copies.
PairBlock pack_runs(const std::vector<std::span<PairEntry>>& from, std::size_t entries,
                    std::vector<std::span<PairEntry>>& into, std::vector<std::uint32_t>& room) {
    std::size_t runs = 0;
    for (const std::span<PairEntry>& run : from) runs += !run.empty();
    const std::size_t size = entries + runs * kPairRowRoom;
    PairBlock block = fresh_array<PairEntry>(size);
    Prefaulter prefault;
    prefault.reset(block.get(), size * sizeof(PairEntry));
    PairEntry* out = block.get();
    for (std::size_t x = 0; x < from.size(); ++x) {
        const std::span<PairEntry> run = from[x];
        if (run.empty()) continue;
        prefault.reach(out + run.size() + kPairRowRoom);
        std::copy(run.begin(), run.end(), out);
        into[x] = std::span<PairEntry>(out, run.size());
        room[x] = kPairRowRoom;
        out += run.size() + kPairRowRoom;
    }
    return block;
}

}  // namespace

std::vector<PairBlock> PairBlockWriter::release() {
    room_.drop();
    return std::move(blocks_);
}

PairStats::PairStats(const PairStats& other)
    : rows_(other.rows_), runs_(other.runs_.size()), run_room_(other.runs_.size(), 0),
      run_entries_(other.run_entries_),
      extra_(other.extra_), wide_(other.wide_), count_(other.count_) {
    // The copy's runs share one block.
    if (run_entries_ > 0)
        blocks_.push_back(pack_runs(other.runs_, run_entries_, runs_, run_room_));
}

PairStats& PairStats::operator=(const PairStats& other) {
    if (this != &other) *this = PairStats(other);
    return *this;
}

void PairStats::clear() {
    rows_ = {};
    runs_ = {};
    run_room_ = {};
    blocks_.clear();
    run_entries_ = 0;
    dead_entries_ = 0;
    extra_.clear();
    wide_.clear();
    count_ = 0;
}

std::optional<PairRecord> PairStats::find(std::int32_t x, std::int32_t y) const {
    if (x >= 0 && static_cast<std::size_t>(x) < rows_.size()) {
        const std::span<const PairEntry> r = row(static_cast<std::size_t>(x));
        auto it = std::lower_bound(r.begin(), r.end(), y,
                                   [](const PairEntry& e, std::int32_t v) { return e.y < v; });
        if (it == r.end() || it->y != y) return std::nullopt;
        return PairRecord{x, y, it->dot, count_of(static_cast<std::size_t>(x), *it)};
    }
    auto it = extra_.find(pair_key(x, y));
    if (it == extra_.end()) return std::nullopt;
    return it->second;
}

void PairStats::release_run(std::size_t x) {
    if (runs_[x].empty()) return;
    dead_entries_ += runs_[x].size() + run_room_[x];
    run_entries_ -= runs_[x].size();
    runs_[x] = {};
    run_room_[x] = 0;
}

void PairStats::set_owned(std::size_t x, PairRow&& row) {
    release_run(x);
    rows_[x] = std::move(row);
    compact_if_wasteful();
}

void PairStats::compact_if_wasteful() {
    // Once most block space is dead, the live runs move to one block, with
    // their room.
    if (dead_entries_ <= run_entries_ + 4096) return;
    std::vector<PairBlock> blocks;
    // Room first: pack_runs points the runs at its block, which must then
    // not be lost to a failing push_back.
    blocks.reserve(1);
    if (run_entries_ > 0) blocks.push_back(pack_runs(runs_, run_entries_, runs_, run_room_));
    blocks_ = std::move(blocks);
    dead_entries_ = 0;
}

void PairStats::replace_row(std::size_t x, PairRow& row) noexcept {
    const std::span<const PairEntry> old = this->row(x);
    if (!wide_.empty())
        for (const PairEntry& e : old)
            if (e.count == kWideCount) wide_.erase(pair_key(static_cast<std::int32_t>(x), e.y));
    count_ = count_ - old.size() + row.size();
    // Written where the old records lie when they fit: a run left behind
    // would be dead block space until the next compaction.
    if (!runs_[x].empty() && row.size() <= row_capacity(x) && !row.empty()) {
        std::copy(row.begin(), row.end(), runs_[x].data());
        set_run_length(x, row.size());
        return;
    }
    release_run(x);
    rows_[x].swap(row);
}

void PairStats::compact_if_possible() noexcept {
    try {
        compact_if_wasteful();
    } catch (...) {
        // The dead space stays until a later compaction.
    }
}

void PairStats::insert_into_row(std::size_t x, const PairEntry& e) {
    if (!runs_[x].empty()) set_owned(x, PairRow(runs_[x].begin(), runs_[x].end()));
    PairRow& row = rows_[x];
    // Records usually arrive in ascending order (computations, our own files),
    // which makes this an append.
    if (row.empty() || row.back().y < e.y) {
        if (row.size() == row.capacity()) row.reserve(row.size() + row.size() / 4 + 4);
        row.push_back(e);
        ++count_;
        return;
    }
    auto it = std::lower_bound(row.begin(), row.end(), e.y,
                               [](const PairEntry& a, std::int32_t v) { return a.y < v; });
    if (it != row.end() && it->y == e.y) {
        *it = e;
        return;
    }
    row.insert(it, e);
    ++count_;
}

void PairStats::insert_or_assign(const PairRecord& r) {
    if (wants_row(r.x)) {
        const auto x = static_cast<std::size_t>(r.x);
        if (x >= rows_.size()) ensure_rows(std::max(x + 1, rows_.size() + rows_.size() / 2));
        insert_into_row(x, entry_for(x, r.y, r.dot, r.count));
        return;
    }
    auto [it, inserted] = extra_.insert_or_assign(pair_key(r.x, r.y), r);
    if (inserted) ++count_;
}

void PairStats::ensure_rows(std::size_t n) {
    if (n <= rows_.size()) return;
    rows_.resize(n);
    runs_.resize(n);
    run_room_.resize(n, 0);
    // Records whose x is now a direct row must move there, or find() misses them.
    std::vector<PairRecord> moving;
    for (auto it = extra_.begin(); it != extra_.end();) {
        if (it->second.x >= 0 && static_cast<std::size_t>(it->second.x) < n) {
            moving.push_back(it->second);
            it = extra_.erase(it);
        } else {
            ++it;
        }
    }
    std::sort(moving.begin(), moving.end(), [](const PairRecord& a, const PairRecord& b) {
        return a.x != b.x ? a.x < b.x : a.y < b.y;
    });
    count_ -= moving.size();
    for (const PairRecord& r : moving) {
        const auto x = static_cast<std::size_t>(r.x);
        insert_into_row(x, entry_for(x, r.y, r.dot, r.count));
    }
}

void PairStats::adopt(std::vector<std::span<PairEntry>>& fresh, std::vector<PairBlock>&& blocks,
                      const WideCounts& wide, std::size_t room) {
    ensure_rows(fresh.size());
    for (PairBlock& block : blocks) blocks_.push_back(std::move(block));
    for (std::size_t x = 0; x < fresh.size(); ++x) {
        const std::span<PairEntry> f = fresh[x];
        if (f.empty()) continue;
        const std::span<const PairEntry> old = row(x);
        if (old.empty()) {
            runs_[x] = f;
            run_room_[x] = static_cast<std::uint32_t>(room);
            run_entries_ += f.size();
            count_ += f.size();
            continue;
        }
        PairRow merged;
        merged.reserve(old.size() + f.size());
        std::size_t i = 0;
        for (const PairEntry& e : f) {
            while (i < old.size() && old[i].y < e.y) merged.push_back(old[i++]);
            if (i < old.size() && old[i].y == e.y) {
                // The fresh record wins, its count included.
                if (old[i].count == kWideCount && e.count != kWideCount)
                    wide_.erase(pair_key(static_cast<std::int32_t>(x), e.y));
                ++i;
            }
            merged.push_back(e);
        }
        while (i < old.size()) merged.push_back(old[i++]);
        count_ += merged.size() - old.size();
        dead_entries_ += f.size() + room;  // its block space is not used by a run
        // No compaction inside the loop: it would move the blocks that the
        // fresh rows still to come live in.
        release_run(x);
        rows_[x] = std::move(merged);
    }
    fresh = {};
    for (const auto& [key, count] : wide) wide_[key] = count;
    compact_if_wasteful();
}

}  // namespace quibrel
