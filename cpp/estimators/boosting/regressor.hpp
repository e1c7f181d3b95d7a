// Gradient boosting for squared error whose rounds each fit a random forest, with
// split-conformal prediction intervals.
#pragma once

#include <cstdint>
#include <vector>

#include "estimators/boosting/config.hpp"
#include "estimators/boosting/inner_forest.hpp"

namespace canopy {

struct CanopyRegressor {
    BoostConfig config;
    double conformal_fraction = 0.2;  // clamped to [0.1, 0.5]; NaN passes through
    std::vector<InternalRF> forests;
    std::vector<std::uint64_t> trees_used;
    double init_prediction = 0.0;
    double conformal_quantile = 0.0;
    bool is_fitted = false;

    // Requests the worker pool size from n_jobs.
    CanopyRegressor(BoostConfig config, double conformal_fraction);
};

// The clamp the constructor applies.
double clamp_conformal_fraction(double fraction);

}  // namespace canopy
