// Bagged forests grown with the histogram split search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/tree.hpp"
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
};

// A fitted tree packed for prediction: 16 bytes per node, in the grown tree's pre-order, so
// the left child of node i is node i + 1. A regression leaf holds its value; a
// classification leaf holds where its probabilities start in `probs` and how many there are.
struct PackedNode {
    double threshold;       // leaf: the value, or the number of probabilities
    std::uint32_t feature;  // kPackedLeaf for a leaf
    std::uint32_t right;    // leaf: 0, or the first of its probabilities
};
inline constexpr std::uint32_t kPackedLeaf = 0xFFFFFFFFu;

struct ClassProbability {
    std::uint32_t column;
    double p;  // the leaf's class weight over its total weight
};

struct PackedTree {
    std::vector<PackedNode> nodes;
    std::vector<ClassProbability> probs;  // classification leaves' runs, in leaf order

    // The tree of the growth engine in packed form. Probability columns at or beyond
    // n_classes are dropped, as traverse_proba drops them; a leaf whose weights sum to 0
    // contributes nothing.
    static PackedTree pack(const Tree& tree, bool classification, std::size_t n_classes);
    // The leaf node ids of rows [begin, end) of a row-contiguous view, written to `leaf`
    // (values <= threshold go left, NaN goes right; a row too short for a tested feature
    // aborts the call). Rows descend a few at a time so that their memory accesses overlap.
    void find_leaves(const MatrixView& rows, std::size_t begin, std::size_t end,
                     std::uint32_t* leaf) const;
};

struct RandomForestRegressor {
    ForestConfig config;
    std::vector<PackedTree> trees;
    bool is_fitted = false;

    explicit RandomForestRegressor(ForestConfig c) : config(std::move(c)) {}

    // Validates, then grows the whole forest; the previous model survives any failure.
    void fit(const MatrixView& x, const VectorView& y, const std::optional<VectorView>& weight);
    // Mean of the trees' leaf values per row; NaN for every row of a forest of zero trees.
    std::vector<double> predict(const MatrixView& x) const;
};

struct RandomForestClassifier {
    ForestConfig config;
    std::vector<PackedTree> trees;
    std::optional<std::vector<std::uint64_t>> classes;
    std::size_t n_classes = 0;
    bool is_fitted = false;

    explicit RandomForestClassifier(ForestConfig c) : config(std::move(c)) {}

    void fit(const MatrixView& x, const VectorView& y, const std::optional<VectorView>& weight);
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
