// A map keyed by entity id. Ids are dense in practice (0..n-1), so values live
// in a vector indexed by id; ids that would make that vector unreasonably large
// (negative ids, or ids far beyond the entries held, as a model file may hold)
// go to a small hash map instead. Iteration order is not part of any result.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quibrel {

// The multiplicative hash every id-keyed map of the models uses.
struct IdHash {
    std::size_t operator()(std::int32_t id) const noexcept {
        return static_cast<std::size_t>(static_cast<std::uint64_t>(static_cast<std::uint32_t>(id)) *
                                        0x517cc1b727220a95ULL);
    }
    std::size_t operator()(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>(key * 0x517cc1b727220a95ULL);
    }
};

template <class V>
class IdMap {
public:
    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }

    // Make room for dense ids below n without counting them as present.
    void reserve_dense(std::size_t n) {
        if (n > slots_.size()) resize_dense(n);
    }

    const V* find(std::int32_t id) const noexcept {
        if (id >= 0 && static_cast<std::size_t>(id) < slots_.size())
            return present_[static_cast<std::size_t>(id)] ? &slots_[static_cast<std::size_t>(id)]
                                                           : nullptr;
        auto it = sparse_.find(id);
        return it == sparse_.end() ? nullptr : &it->second;
    }
    V* find(std::int32_t id) noexcept {
        return const_cast<V*>(static_cast<const IdMap*>(this)->find(id));
    }

    V& insert_or_assign(std::int32_t id, V value) {
        if (id >= 0 && wants_dense(static_cast<std::size_t>(id))) {
            const auto slot = static_cast<std::size_t>(id);
            if (slot >= slots_.size()) grow_dense(slot + 1);
            if (!present_[slot]) {
                present_[slot] = 1;
                ++count_;
            }
            slots_[slot] = std::move(value);
            return slots_[slot];
        }
        auto [it, inserted] = sparse_.insert_or_assign(id, std::move(value));
        if (inserted) ++count_;
        return it->second;
    }

    // Stores `value` under id; `value` receives the entry it replaces (or
    // is left moved from). Allocates nothing for a dense id below the room
    // reserve_dense made.
    void swap_in(std::int32_t id, V& value) {
        if (V* slot = find(id)) {
            using std::swap;
            swap(*slot, value);
            return;
        }
        insert_or_assign(id, std::move(value));
    }

    // Drops the entry of id, if any.
    void erase(std::int32_t id) noexcept {
        if (id >= 0 && static_cast<std::size_t>(id) < slots_.size()) {
            const auto slot = static_cast<std::size_t>(id);
            if (present_[slot]) {
                slots_[slot] = V{};
                present_[slot] = 0;
                --count_;
            }
            return;
        }
        count_ -= sparse_.erase(id);
    }

    // Drops every entry; dense capacity is kept for the next fill.
    void clear() {
        for (std::size_t i = 0; i < slots_.size(); ++i)
            if (present_[i]) {
                slots_[i] = V{};
                present_[i] = 0;
            }
        sparse_.clear();
        count_ = 0;
    }

    // Visits (id, value) for every entry: dense ids ascending, then the rest.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < slots_.size(); ++i)
            if (present_[i]) f(static_cast<std::int32_t>(i), slots_[i]);
        for (const auto& [id, value] : sparse_) f(id, value);
    }
    template <class F>
    void for_each_mut(F&& f) {
        for (std::size_t i = 0; i < slots_.size(); ++i)
            if (present_[i]) f(static_cast<std::int32_t>(i), slots_[i]);
        for (auto& [id, value] : sparse_) f(id, value);
    }

private:
    bool wants_dense(std::size_t slot) const noexcept {
        // Keep the dense part within a constant factor of the entries held.
        return slot < slots_.size() || slot < 2 * (count_ + 1) + 4096;
    }
    void grow_dense(std::size_t n) { resize_dense(std::max(n, slots_.size() + slots_.size() / 2)); }
    void resize_dense(std::size_t target) {
        slots_.resize(target);
        present_.resize(target, 0);
        // Ids that now fall in the dense range must live there, or find() misses them.
        for (auto it = sparse_.begin(); it != sparse_.end();) {
            if (it->first >= 0 && static_cast<std::size_t>(it->first) < target) {
                slots_[static_cast<std::size_t>(it->first)] = std::move(it->second);
                present_[static_cast<std::size_t>(it->first)] = 1;
                it = sparse_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::vector<V> slots_;
    std::vector<std::uint8_t> present_;
    std::unordered_map<std::int32_t, V, IdHash> sparse_;
    std::size_t count_ = 0;
};

}  // namespace quibrel
