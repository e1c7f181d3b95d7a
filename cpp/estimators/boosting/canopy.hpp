// One estimator for either task: wraps a CanopyClassifier or a CanopyRegressor and forwards
// every call to it.
#pragma once

#include <string>
#include <variant>

#include "estimators/boosting/classifier.hpp"
#include "estimators/boosting/regressor.hpp"

namespace canopy {

struct Canopy {
    std::variant<CanopyClassifier, CanopyRegressor> inner;

    // "classification" (exactly) builds a classifier; any other text a regressor with
    // the default conformal_fraction.
    Canopy(BoostConfig config, const std::string& task);

    bool is_classifier() const { return std::holds_alternative<CanopyClassifier>(inner); }
    template <class F>
    decltype(auto) visit(F&& f) {
        return std::visit(std::forward<F>(f), inner);
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit(std::forward<F>(f), inner);
    }

    void fit(const MatrixView& x, const VectorView& y,
             const std::optional<VectorView>& sample_weight);
    std::vector<double> predict(const MatrixView& x) const;
    // Classification only; a regression Canopy raises before doing any work.
    std::vector<std::vector<double>> predict_proba(const MatrixView& x) const;
    // Wilson intervals (classification) or conformal intervals (regression).
    std::vector<Interval> predict_ci(const MatrixView& x, double alpha) const;
    std::vector<double> feature_importances() const;
};

}  // namespace canopy
