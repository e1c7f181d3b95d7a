// One estimator for either task: wraps a CanopyClassifier or a CanopyRegressor.
#pragma once

#include <string>
#include <variant>

#include "estimators/boosting/classifier.hpp"
#include "estimators/boosting/regressor.hpp"

namespace canopy {

struct Canopy {
    std::variant<CanopyClassifier, CanopyRegressor> inner;

    // "classification" (exactly) builds a classifier; any other text a regressor with
    // conformal_fraction 0.2.
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
};

}  // namespace canopy
