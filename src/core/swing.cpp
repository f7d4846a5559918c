// placeholder until the implementation lands
#include "core/swing.hpp"
#include "core/errors.hpp"
namespace quibrel {
SwingScores build_swing_scores(const CsrMatrix&, const CsrMatrix&, const SwingScores&, std::uint64_t, std::uint64_t, float, std::uint64_t) { throw Panic("not implemented"); }
void compute_swing(SwingModel&, std::uint64_t) { throw Panic("not implemented"); }
void update_swing(SwingModel&, const CsrMatrix&, const CsrMatrix&) { throw Panic("not implemented"); }
std::uint64_t num_swing_elements(const SwingModel&) { throw Panic("not implemented"); }
}
