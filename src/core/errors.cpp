#include "core/errors.hpp"

namespace quibrel {

void index_panic(std::size_t len, std::size_t index, std::source_location where) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

}  // namespace quibrel
