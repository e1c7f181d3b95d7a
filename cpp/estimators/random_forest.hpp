// Bagged forests grown with the histogram split search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/tree.hpp"

namespace canopy {

struct ForestConfig {
    std::uint64_t n_estimators = 50;
    std::optional<std::uint64_t> max_depth;
    std::optional<std::string> max_features;
    bool bootstrap = true;
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
};

struct RandomForestRegressor {
    ForestConfig config;
    std::vector<Tree> trees;
    bool is_fitted = false;

    explicit RandomForestRegressor(ForestConfig c) : config(std::move(c)) {}
};

struct RandomForestClassifier {
    ForestConfig config;
    std::vector<Tree> trees;
    std::optional<std::vector<std::uint64_t>> classes;
    std::size_t n_classes = 0;
    bool is_fitted = false;

    explicit RandomForestClassifier(ForestConfig c) : config(std::move(c)) {}
};

}  // namespace canopy
