// Breiman's unsupervised random forest: real rows against a column-shuffled synthetic copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

struct UnsupervisedConfig {
    std::uint64_t n_estimators = 500;
    std::optional<std::uint64_t> max_depth;
    std::optional<std::string> max_features;
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
    std::optional<std::uint64_t> n_jobs;
    std::uint64_t n_neighbors = 0;  // None is stored as 0
};

// One training sample's (neighbour, proximity) pairs, by decreasing proximity.
using SparseProximityRow = std::vector<std::pair<std::size_t, double>>;

struct RandomForestUnsupervised {
    UnsupervisedConfig config;
    std::vector<Tree> trees;
    std::vector<std::vector<RowIndex>> oob_sets;  // sorted real-row indices per tree
    std::optional<Matrix> x_train;               // row-major copy of the last fit's input
    std::size_t n_samples = 0;
    bool is_fitted = false;
    std::optional<std::vector<SparseProximityRow>> sparse_proximity;

    // Requests the worker pool size from n_jobs.
    explicit RandomForestUnsupervised(UnsupervisedConfig config);

    void require_fitted() const;  // "Model has not been fitted"
    std::size_t n_features() const;
};

}  // namespace canopy
