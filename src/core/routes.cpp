#include "core/routes.hpp"

namespace quibrel::routes {

Forced& forced() noexcept {
    static Forced setting;
    return setting;
}

}  // namespace quibrel::routes
