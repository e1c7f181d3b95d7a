// Shapley attributions of whole fitted models (estimators/path_shap.hpp for one tree): a
// decision tree, the random forests (the mean of their trees' attributions) and the boosted
// forests (start score plus the learning-rate-scaled sum over rounds of the inner forests'
// means, on the raw score scale). For every row and output, the attributions plus the
// expected value give the model's output for the row, up to rounding.
//
// Branch weights come from the trees' covers (the training rows, bootstrap repeats included,
// that reached each node) or from background rows given by the caller. Rows are spread over
// the worker pool; each row adds its trees in tree order, so results do not depend on the
// number of workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/forest.hpp"
#include "engine/views.hpp"
#include "estimators/boosting/classifier.hpp"
#include "estimators/boosting/regressor.hpp"
#include "estimators/decision_tree.hpp"
#include "estimators/random_forest.hpp"

namespace canopy {

struct Attributions {
    std::size_t rows = 0;
    std::size_t features = 0;  // columns of the explained rows
    std::size_t outputs = 0;
    std::vector<double> values;    // row-major (rows, features, outputs)
    std::vector<double> expected;  // per output: the output of the empty coalition
};

// A group of trees whose mean, times `scale`, adds to the model's outputs: to output `column`
// (leaf values), or to outputs 0 .. class_columns.size()-1 (leaf class probabilities, output
// j reading class class_columns[j]; a class at or beyond the forest's count reads 0).
struct TreeGroup {
    const Forest* forest = nullptr;
    double scale = 1.0;
    std::size_t column = 0;
    std::vector<std::size_t> class_columns;  // empty: leaf values
};

// outputs = start + sum over groups of scale * (sum of the group's trees) / (its tree count);
// a group without trees adds nothing.
struct ExplainedModel {
    std::vector<TreeGroup> groups;
    std::vector<double> start;  // one per output
};

// UserError when x or the background has fewer columns than a split needs, or the
// background has no rows.
Attributions explain_model(const ExplainedModel& model, const MatrixView& x,
                           const std::optional<MatrixView>& background);

// One tree of a model as parallel arrays over its nodes in pre-order: children -1 and feature
// -1 at leaves (threshold NaN); value holds, per node, what the tree adds to each output
// (leaf outputs times the group's scale over its tree count; zeros at internal nodes and in
// the outputs the tree does not add to); cover as stored. The model's outputs are its start
// plus the sum over trees of the value of the leaf reached (a row goes left when its value
// is at most the threshold, NaN right), up to rounding: the export peers' tree formats take.
struct FlatTree {
    std::vector<std::int64_t> children_left;
    std::vector<std::int64_t> children_right;
    std::vector<std::int64_t> feature;
    std::vector<double> threshold;
    std::vector<double> value;  // (nodes, outputs), row-major
    std::vector<double> cover;
};
std::vector<FlatTree> flat_trees(const ExplainedModel& model);

// The models of the estimators, valid while the estimator lives; UserError when unfitted.
// Classifiers have one output per class (probabilities), the boosted classifier one per raw
// score column (a single one for two classes).
ExplainedModel explained_model(const DecisionTree& tree);
ExplainedModel explained_model(const RandomForestRegressor& forest);
ExplainedModel explained_model(const RandomForestClassifier& forest);
ExplainedModel explained_model(const CanopyRegressor& boosted);
ExplainedModel explained_model(const CanopyClassifier& boosted);

}  // namespace canopy
