// Generation stamps: per-id slots hold the generation that last set them, so
// a new generation clears every slot with one increment.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/mem_zeroed_array.hpp"

namespace quibrel {

// Starts a new generation and returns it. When the counter wraps, `clear`
// resets every stamp to 0 (the one value never current) and the counter
// restarts at 1.
template <class Clear>
inline std::uint32_t next_generation(std::uint32_t& generation, Clear&& clear) {
    if (++generation == 0) {
        clear();
        generation = 1;
    }
    return generation;
}

// Generation stamps: slot i is "set" when stamp[i] == current generation, so
// clearing the whole set costs one increment.
class Stamps {
public:
    // Zero stamps never match the generation, so growing clears the set.
    void resize(std::size_t n) { stamp_.grow(n); }
    void next_generation() {
        quibrel::next_generation(generation_, [&] { std::fill(stamp_.begin(), stamp_.end(), 0); });
    }
    bool is_set(std::size_t i) const { return stamp_[i] == generation_; }
    void set(std::size_t i) { stamp_[i] = generation_; }
    void unset(std::size_t i) { stamp_[i] = 0; }
    std::size_t capacity() const { return stamp_.size(); }
    void release() {
        stamp_.release();
        generation_ = 1;
    }

private:
    ZeroedArray<std::uint32_t> stamp_;
    std::uint32_t generation_ = 1;
};

}  // namespace quibrel
