// Generation stamps: per-id slots hold the generation that last set them, so
// a new generation clears every slot with one increment.
#pragma once

#include <cstdint>

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

}  // namespace quibrel
