// load_item_cf on damaged and hostile model files; see loader.hpp.
#include "fuzz/native/loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::load_one<fuzz::Kind::Item>(data, size);
}
