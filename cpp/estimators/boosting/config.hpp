// Constructor arguments shared by the boosted estimators.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace canopy {

struct BoostConfig {
    std::uint64_t n_estimators = 20;
    double learning_rate = 0.1;
    std::uint64_t rf_n_estimators = 20;
    std::optional<std::uint64_t> rf_max_depth;
    std::optional<std::string> rf_max_features;
    bool bootstrap = true;
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
    bool use_histogram = true;
    bool async_mode = false;
    double tol = 1e-4;
    std::optional<std::uint64_t> n_jobs;
};

}  // namespace canopy
