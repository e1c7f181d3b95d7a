#include "estimators/boosting/canopy.hpp"

namespace canopy {

namespace {
std::variant<CanopyClassifier, CanopyRegressor> make_inner(BoostConfig config,
                                                           const std::string& task) {
    if (task == "classification") return CanopyClassifier(std::move(config));
    return CanopyRegressor(std::move(config), 0.2);
}
}  // namespace

Canopy::Canopy(BoostConfig config, const std::string& task)
    : inner(make_inner(std::move(config), task)) {}

}  // namespace canopy
