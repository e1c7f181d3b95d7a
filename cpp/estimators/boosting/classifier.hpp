// Gradient boosting for classification (logistic or softmax Newton steps) whose rounds each
// fit a random forest, with Wilson intervals for two classes.
#pragma once

#include <cstdint>
#include <vector>

#include "estimators/boosting/config.hpp"
#include "estimators/boosting/inner_forest.hpp"

namespace canopy {

struct CanopyClassifier {
    BoostConfig config;
    std::vector<double> init_scores;
    std::vector<InternalRF> forests;  // round-major: round m, output k at m * n_outputs + k
    std::vector<std::uint64_t> trees_used;
    std::size_t n_classes = 0;
    bool is_fitted = false;

    // Requests the worker pool size from n_jobs.
    explicit CanopyClassifier(BoostConfig config);
};

}  // namespace canopy
