// The boosted models as plain arrays (flat pre-order trees grouped by round and output)
// and the split-count feature importances.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/forest.hpp"
#include "estimators/boosting/inner_forest.hpp"

namespace canopy {

// One tree as parallel arrays, one entry per node, ids in pre-order. Leaves have children
// and feature -1 and threshold NaN.
struct ExportedTree {
    std::vector<std::int64_t> children_left;
    std::vector<std::int64_t> children_right;
    std::vector<std::int64_t> feature;
    std::vector<double> threshold;
    std::vector<double> value;

    std::size_t size() const { return value.size(); }
};

// Appends the tree to `out` in pre-order and returns the root's id. The packed layout is
// already the export's order (left subtree first), so this is one pass over the nodes.
std::int64_t flatten_tree(const PackedTree& tree, ExportedTree& out);

// rounds[r][k] holds the flat trees of forest r * per_round + k. Empty when per_round is 0 or
// exceeds the number of forests; forests past the last full round are left out.
using ExportedRounds = std::vector<std::vector<std::vector<ExportedTree>>>;
ExportedRounds build_rounds(const std::vector<Forest>& forests, std::size_t per_round);

// Share of index entries (bootstrap repeats included) reaching nodes that split on each
// of the n_features features of the training data, over all forests and trees: every
// split counts, and the entries sum to 1 unless no node split (then all are 0).
std::vector<double> compute_feature_importances(const std::vector<Forest>& forests,
                                                std::size_t n_features);

}  // namespace canopy
