// Bagged forests grown with the histogram split search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/forest.hpp"
#include "engine/forest_part.hpp"
#include "engine/views.hpp"

namespace canopy {

struct ForestConfig {
    std::uint64_t n_estimators = 50;
    std::optional<std::uint64_t> max_depth;
    std::optional<std::string> max_features;
    bool bootstrap = true;
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;

    bool operator==(const ForestConfig&) const = default;
};

struct RandomForestRegressor {
    ForestConfig config;
    Forest forest;
    std::optional<ForestPart> part;  // set when only some trees were grown
    bool is_fitted = false;

    explicit RandomForestRegressor(ForestConfig c) : config(std::move(c)) {}

    // Validates, then grows the whole forest, or only the trees of `range` (a part, which
    // needs a fixed random_state); the previous model survives any failure.
    void fit(const MatrixView& x, const VectorView& y, const std::optional<VectorView>& weight,
             const std::optional<TreeRange>& range = std::nullopt);
    // The parts of one fit, in tree order, as the whole forest that fit grows.
    static RandomForestRegressor join(std::vector<RandomForestRegressor> parts);
    // Mean of the trees' leaf values per row; NaN for every row of a forest of zero trees.
    std::vector<double> predict(const MatrixView& x) const;
};

struct RandomForestClassifier {
    ForestConfig config;
    Forest forest;  // probability columns: n_classes
    std::optional<std::vector<std::uint64_t>> classes;
    std::size_t n_classes = 0;
    std::optional<ForestPart> part;  // set when only some trees were grown
    bool is_fitted = false;

    explicit RandomForestClassifier(ForestConfig c) : config(std::move(c)) {}

    // The classifier's defaults: those of ForestConfig, with twice the trees.
    static ForestConfig default_config() {
        ForestConfig c;
        c.n_estimators = 100;
        return c;
    }

    // As the regressor's fit; the classes are those of all of y, in every part.
    void fit(const MatrixView& x, const VectorView& y, const std::optional<VectorView>& weight,
             const std::optional<TreeRange>& range = std::nullopt);
    static RandomForestClassifier join(std::vector<RandomForestClassifier> parts);
    // Row-major n_rows x n_classes: the mean over trees of the leaves' class probabilities
    // (columns are class indices); NaN everywhere for a forest of zero trees.
    std::vector<double> predict_proba_flat(const MatrixView& x) const;
    std::vector<std::vector<double>> predict_proba(const MatrixView& x) const;
    // Column of the largest mean probability, the highest column among equal maxima; 0.0
    // for rows of fewer than two columns. A row holding NaN (zero trees) predicts NaN.
    std::vector<double> predict(const MatrixView& x) const;
    // Fraction of y whose class index equals the prediction's, over the shorter length,
    // divided by the length of y (NaN when y is empty). A NaN prediction matches nothing.
    double score(const MatrixView& x, const VectorView& y) const;
};

}  // namespace canopy
