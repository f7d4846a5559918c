// placeholder until the implementation lands
#include "core/inference.hpp"
#include "core/errors.hpp"
namespace quibrel {
std::vector<float> predict_item_cf(const CfModel&, std::span<const std::uint64_t>, std::span<const std::int32_t>) { throw Panic("not implemented"); }
std::vector<float> predict_user_cf(const CfModel&, std::span<const std::int32_t>, std::span<const std::uint64_t>) { throw Panic("not implemented"); }
std::vector<float> predict_swing(const SwingModel&, std::span<const std::uint64_t>, std::span<const std::int32_t>) { throw Panic("not implemented"); }
Recommendations recommend_item_cf(const CfModel&, std::span<const std::int32_t>, std::uint64_t, bool, bool) { throw Panic("not implemented"); }
Recommendations recommend_user_cf(const CfModel&, std::span<const std::int32_t>, std::uint64_t, bool, bool) { throw Panic("not implemented"); }
Recommendations recommend_swing(const SwingModel&, std::span<const std::int32_t>, std::uint64_t, bool, bool) { throw Panic("not implemented"); }
}
