#include "core/pair_stats.hpp"

#include <algorithm>
#include <utility>

namespace quibrel {

void PairStats::clear() {
    rows_ = {};
    extra_.clear();
    count_ = 0;
}

std::optional<PairRecord> PairStats::find(std::int32_t x, std::int32_t y) const {
    if (x >= 0 && static_cast<std::size_t>(x) < rows_.size()) {
        const PairRow& row = rows_[static_cast<std::size_t>(x)];
        auto it = std::lower_bound(row.begin(), row.end(), y,
                                   [](const PairEntry& e, std::int32_t v) { return e.y < v; });
        if (it == row.end() || it->y != y) return std::nullopt;
        return PairRecord{x, y, it->dot, it->count};
    }
    auto it = extra_.find(pack(x, y));
    if (it == extra_.end()) return std::nullopt;
    return it->second;
}

void PairStats::insert_into_row(PairRow& row, const PairEntry& e) {
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
        insert_into_row(rows_[x], PairEntry{r.y, r.dot, r.count});
        return;
    }
    auto [it, inserted] = extra_.insert_or_assign(pack(r.x, r.y), r);
    if (inserted) ++count_;
}

void PairStats::ensure_rows(std::size_t n) {
    if (n <= rows_.size()) return;
    rows_.resize(n);
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
    for (const PairRecord& r : moving)
        insert_into_row(rows_[static_cast<std::size_t>(r.x)], PairEntry{r.y, r.dot, r.count});
}

void PairStats::replace_row(std::size_t x, PairRow&& fresh) {
    PairRow& row = rows_[x];
    if (row.empty()) {
        count_ += fresh.size();
        row = std::move(fresh);
        return;
    }
    if (fresh.empty()) return;
    PairRow merged;
    merged.reserve(row.size() + fresh.size());
    std::size_t i = 0;
    for (const PairEntry& e : fresh) {
        while (i < row.size() && row[i].y < e.y) merged.push_back(row[i++]);
        if (i < row.size() && row[i].y == e.y) ++i;  // the fresh record wins
        merged.push_back(e);
    }
    while (i < row.size()) merged.push_back(row[i++]);
    count_ += merged.size() - row.size();
    merged.shrink_to_fit();
    row = std::move(merged);
    fresh = {};
}

}  // namespace quibrel
