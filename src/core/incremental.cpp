// placeholder until the implementation lands
#include "core/incremental.hpp"
#include "core/errors.hpp"
namespace quibrel {
void update_similarities(CfModel&, Orientation, const CsrMatrix&, const CsrMatrix&) { throw Panic("not implemented"); }
}
