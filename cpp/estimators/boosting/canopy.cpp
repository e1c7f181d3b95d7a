#include "estimators/boosting/canopy.hpp"

#include "engine/errors.hpp"

namespace canopy {

namespace {
std::variant<CanopyClassifier, CanopyRegressor> make_inner(BoostConfig config,
                                                           const std::string& task) {
    if (task == "classification") return CanopyClassifier(std::move(config));
    return CanopyRegressor(std::move(config), kDefaultConformalFraction);
}
}  // namespace

Canopy::Canopy(BoostConfig config, const std::string& task)
    : inner(make_inner(std::move(config), task)) {}

void Canopy::fit(const MatrixView& x, const VectorView& y,
                 const std::optional<VectorView>& sample_weight) {
    visit([&](auto& e) { e.fit(x, y, sample_weight); });
}

std::vector<double> Canopy::predict(const MatrixView& x) const {
    return visit([&](const auto& e) { return e.predict(x); });
}

std::vector<std::vector<double>> Canopy::predict_proba(const MatrixView& x) const {
    const auto* clf = std::get_if<CanopyClassifier>(&inner);
    if (clf == nullptr) fail_user("predict_proba is only available for classification");
    return clf->predict_proba(x);
}

std::vector<Interval> Canopy::predict_ci(const MatrixView& x, double alpha) const {
    return visit([&](const auto& e) { return e.predict_ci(x, alpha); });
}

std::vector<double> Canopy::feature_importances() const {
    return visit([&](const auto& e) { return e.feature_importances(); });
}

}  // namespace canopy
