// placeholder until the implementation lands
#include "core/model_file.hpp"
#include "core/errors.hpp"
namespace quibrel {
std::string model_file_path(const std::string&, const std::string&) { throw Panic("not implemented"); }
std::string save_cf_model(const CfModel&, Orientation, const std::string&) { throw Panic("not implemented"); }
std::string save_swing_model(const SwingModel&, const std::string&) { throw Panic("not implemented"); }
CfModel load_cf_model(const std::string&, std::string&) { throw Panic("not implemented"); }
SwingModel load_swing_model(const std::string&, std::string&) { throw Panic("not implemented"); }
}
