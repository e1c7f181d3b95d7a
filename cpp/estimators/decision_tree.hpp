// A single classification or regression tree grown with the exact split search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/forest.hpp"
#include "engine/views.hpp"

namespace canopy {

struct DecisionTreeConfig {
    std::optional<std::uint64_t> max_depth;
    std::string criterion = "entropy";  // kept verbatim; the search does not read it
    std::string task = "classification";
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
};

struct DecisionTree {
    DecisionTreeConfig config;
    Forest forest;  // a forest of one tree after a fit; empty before
    std::optional<std::vector<std::uint64_t>> classes;  // classification fits only
    bool is_fitted = false;

    // Aborts (InternalError) unless task is exactly "classification" or "regression".
    explicit DecisionTree(DecisionTreeConfig config);

    bool is_classification() const { return config.task == "classification"; }
    std::size_t n_classes() const { return classes ? classes->size() : 0; }
    // The fitted tree, or nullptr before the first fit.
    const PackedTree* tree() const { return forest.empty() ? nullptr : &forest.trees.front(); }
    std::size_t get_depth() const { return tree() ? tree()->depth() : 0; }
    std::size_t get_n_leaves() const { return tree() ? tree()->n_leaves() : 0; }

    // Validates, grows a new tree on all rows and features, and only then replaces the
    // previous model: a failed fit leaves the estimator as it was.
    void fit(const MatrixView& x, const VectorView& y,
             const std::optional<VectorView>& sample_weight);
    // Leaf value per row: the weighted mean, or the majority class index as a float.
    std::vector<double> predict(const MatrixView& x) const;
    // One probability per entry of classes_, in that order (0.0 for an index >= the class count).
    std::vector<std::vector<double>> predict_proba(const MatrixView& x) const;

  private:
    const PackedTree& fitted_tree() const;
    std::vector<std::uint32_t> leaves(const MatrixView& x) const;
};

}  // namespace canopy
