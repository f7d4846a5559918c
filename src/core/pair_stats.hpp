// Co-occurrence statistics of entity pairs (x < y): dot product and count.
// A record is identified by its (x, y) pair, so a change of the entity count
// never makes two pairs share a record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "core/id_map.hpp"

namespace quibrel {

struct PairRecord {
    std::int32_t x = 0;
    std::int32_t y = 0;
    float dot = 0.0f;
    std::uint64_t count = 0;
};

class PairStats {
public:
    std::size_t size() const noexcept { return records_.size(); }
    bool empty() const noexcept { return records_.empty(); }
    void clear() { records_.clear(); }
    void reserve(std::size_t n) { records_.reserve(n); }

    const PairRecord* find(std::int32_t x, std::int32_t y) const {
        auto it = records_.find(pack(x, y));
        return it == records_.end() ? nullptr : &it->second;
    }
    PairRecord* find(std::int32_t x, std::int32_t y) {
        auto it = records_.find(pack(x, y));
        return it == records_.end() ? nullptr : &it->second;
    }
    void insert_or_assign(const PairRecord& r) { records_.insert_or_assign(pack(r.x, r.y), r); }

    // Visits every record once, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for (const auto& [key, record] : records_) f(record);
    }

private:
    static std::uint64_t pack(std::int32_t x, std::int32_t y) noexcept {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) |
               static_cast<std::uint32_t>(y);
    }
    std::unordered_map<std::uint64_t, PairRecord, IdHash> records_;
};

// The 32-bit key a record is stored under in model files: x*n + y in
// two's-complement arithmetic with the model's current n.
inline std::int32_t pair_file_key(std::int32_t x, std::int32_t y, std::uint64_t n) noexcept {
    const std::uint32_t key = static_cast<std::uint32_t>(x) * static_cast<std::uint32_t>(n) +
                              static_cast<std::uint32_t>(y);
    return static_cast<std::int32_t>(key);
}

}  // namespace quibrel
