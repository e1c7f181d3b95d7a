// Breiman's unsupervised random forest: real rows against a column-shuffled synthetic copy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/derived_cache.hpp"
#include "engine/forest.hpp"
#include "engine/forest_part.hpp"
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

    bool operator==(const UnsupervisedConfig&) const = default;
};

// One training sample's (neighbour, proximity) pairs, by decreasing proximity.
using SparseProximityRow = std::vector<std::pair<std::size_t, double>>;

// What scoring new rows as outliers needs of the training rows (outliers.hpp).
struct NewRowReference;
// Per training row, the sums of its squared out-of-bag proximities (proximity.hpp).
struct SquareSums;

struct RandomForestUnsupervised {
    UnsupervisedConfig config;
    Forest forest;  // classification trees, real (1) against synthetic (0)
    std::vector<std::vector<RowIndex>> oob_sets;  // sorted real-row indices per tree
    std::optional<Matrix> x_train;                // row-major copy of the last fit's input
    std::size_t n_samples = 0;
    std::optional<ForestPart> part;  // set when only some trees were grown
    bool is_fitted = false;
    std::optional<std::vector<SparseProximityRow>> sparse_proximity;
    // Built by the first predict_outlier_scores and kept until the model changes: every
    // change of the fitted state above (fit, and any code that replaces it) must clear it.
    DerivedCache<NewRowReference> new_row_reference;
    // Built by the first outlier_scores or predict_outlier_scores, which both need them (the
    // costliest part of either), and kept and cleared like new_row_reference.
    DerivedCache<SquareSums> training_square_sums;

    // Requests the worker pool size from n_jobs.
    explicit RandomForestUnsupervised(UnsupervisedConfig config);

    void require_fitted() const;  // "Model has not been fitted"
    std::size_t n_features() const;

    // Real rows (label 1) against a column-wise shuffled copy (label 0); the previous model
    // survives any failure. NaN is rejected, infinities pass. With `range`, only those trees
    // and their out-of-bag sets (a part, which needs a fixed random_state).
    void fit(const MatrixView& x, const std::optional<TreeRange>& range = std::nullopt);
    // The parts of one fit, in tree order, as the whole model that fit makes.
    static RandomForestUnsupervised join(std::vector<RandomForestUnsupervised> parts);

    // n x n shares of co-occurrence over valid comparisons (optionally the out-of-bag rule).
    Matrix proximity_matrix(bool use_oob) const;
    // Up to k neighbours per training row; stored in sparse_proximity and returned.
    const std::vector<SparseProximityRow>& proximity_sparse(std::optional<std::uint64_t> k);
    // n_new x n shares of all trees in which a new row and a training row share a leaf.
    Matrix predict_proximity(const MatrixView& x_new) const;

    std::vector<double> outlier_scores(bool use_sparse) const;
    std::vector<double> predict_outlier_scores(const MatrixView& x_new) const;

    Matrix transform(std::size_t n_components) const;
    Matrix fit_transform(const MatrixView& x, std::size_t n_components);

    std::vector<double> feature_importances() const;
};

}  // namespace canopy
