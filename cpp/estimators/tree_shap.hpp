// Exact Shapley attributions for a fitted DecisionTree against a background matrix: every
// coalition of the features the tree splits on is evaluated, a feature outside the coalition
// being averaged out in proportion to the background rows that take each branch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/forest.hpp"
#include "engine/views.hpp"
#include "estimators/decision_tree.hpp"
#include "estimators/path_shap.hpp"

namespace canopy {

// Most distinct split features an explanation enumerates: the coalition table holds 2^M
// doubles, 32 MiB at this limit, and the work per row grows as 2^M. TreeShap::explain
// explains larger trees with the polynomial algorithm of estimators/path_shap.hpp.
inline constexpr std::size_t kMaxShapFeatures = 22;

// One node of the explanation tree; the ids and the pre-order are those of the explained tree.
struct ShapNode {
    std::size_t feature = 0;        // split column; 0 in a leaf
    double threshold = 0.0;         // 0.0 in a leaf
    std::uint64_t cover = 0;        // training index entries that reached the node
    std::uint64_t left_count = 0;   // background rows reaching the node with value <= threshold
    std::uint64_t right_count = 0;  // the other background rows reaching the node
    std::uint32_t left = kNoChild;
    std::uint32_t right = kNoChild;

    bool is_leaf() const { return left == kNoChild; }
};

struct ShapTree {
    std::vector<ShapNode> nodes;  // empty when the explained tree has no root
    // n_slots values per node: a leaf's outputs, zeros for internal nodes. n_slots is the
    // number of outputs (1 in regression mode), at least 1.
    std::vector<double> values;
    std::size_t n_slots = 1;

    bool empty() const { return nodes.empty(); }
    // Output c of node `id`; indices past the last output read the last one.
    double output(std::size_t id, std::size_t c) const;
};

// Copies the tree's structure, covers and leaf outputs and counts the background rows of
// x_train going each way at every internal node. Leaf outputs are class probabilities
// (classes at or beyond n_outputs dropped; zeros for a regression tree) when
// `classification`, else the leaf value. Aborts when x_train has rows and the tree splits on
// a column it does not have.
ShapTree build_shap_tree(const PackedTree& tree, const Matrix& x_train, std::size_t n_outputs,
                         bool classification);

// The distinct split features in order of first appearance in pre-order; bit k of a
// coalition mask stands for the k-th entry.
std::vector<std::size_t> collect_tree_features(const ShapTree& tree);

// The value of one coalition for output c: features in `mask` follow the row, the others
// average both branches with weights left_count/cover and right_count/cover (0.5 each when
// cover is 0). Needs at most kMaxShapFeatures features; aborts when the row is too short.
double evaluate_coalition(std::span<const double> row, std::uint64_t mask,
                          std::span<const std::size_t> features, const ShapTree& tree,
                          std::size_t c);

// The explanation tree for the polynomial algorithm, with the enumeration's branch weights
// (background count over cover, 0.5 each where cover is 0) and outputs.
PathShapTree path_shap_tree(const ShapTree& tree);

// Shapley values of output c for one row, one per feature 0 .. n_features-1.
std::vector<double> explain_single_class(std::size_t n_features, const ShapTree& tree,
                                         std::span<const double> row, std::size_t c);

struct TreeShap {
    DecisionTree tree;  // a copy: refits of the caller's tree do not reach the explainer
    std::string model_type;
    Matrix x_train;
    std::size_t n_features = 0;
    std::size_t n_outputs = 1;
    ShapTree root;

    // UserError "Tree must be fitted before creating TreeSHAP" for an unfitted tree.
    TreeShap(const DecisionTree& tree, const MatrixView& x_train, std::string model_type);

    bool is_classification() const { return model_type == "classification"; }

    // One entry per row of x, each holding n_outputs (classification) or one attribution
    // vector of n_features values. x may have any layout. Trees that split on more than
    // kMaxShapFeatures distinct features are explained by the polynomial algorithm, whose
    // values equal the enumeration's up to rounding.
    std::vector<std::vector<std::vector<double>>> explain(const MatrixView& x) const;

  private:
    std::vector<std::vector<std::vector<double>>> explain_by_paths(const MatrixView& x) const;
};

}  // namespace canopy
