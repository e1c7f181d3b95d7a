// Fitted trees re-laid for prediction. Every estimator predicts through this one layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

// 16 bytes a node, in the source tree's pre-order: node ids are those of the source tree
// and the left child of node i is node i + 1. A leaf tests column 0 against NaN and goes
// "right" to itself, so a walk needs no leaf test inside its loop.
struct PackedNode {
    double threshold;
    std::uint32_t feature;
    std::uint32_t right;
};

struct ClassProbability {
    std::uint32_t column;
    double p;  // the leaf's class weight over its total weight
};

// Whether the tree is stored the way the split searches store it (what pack requires).
bool is_preorder(const Tree& tree);

struct PackedTree {
    std::vector<PackedNode> nodes;
    std::vector<double> values;  // by node id: the leaf's value (0.0 for internal nodes)
    // With class probabilities: leaf i's run is probs[prob_begin[i] .. prob_begin[i + 1]).
    std::vector<std::uint32_t> prob_begin;
    std::vector<ClassProbability> probs;
    std::size_t min_row_length = 0;  // 1 + the largest tested feature; 0 for a single leaf

    // Packs a tree grown by the split searches (pre-order; anything else aborts). With
    // n_classes > 0 each classification leaf also keeps its probabilities of the classes
    // below n_classes, the same terms traverse_proba gives.
    static PackedTree pack(const Tree& tree, std::size_t n_classes = 0);

    // Leaf ids of rows [begin, end) of a row-contiguous view. Values <= threshold go left
    // and NaN goes right; a row too short for a tested feature aborts the call.
    void find_leaves(const MatrixView& rows, std::size_t begin, std::size_t end,
                     std::uint32_t* leaf) const;

    // acc[c] += probability of class c at the leaf (classes kept by pack only).
    void add_proba(std::uint32_t leaf, double* acc) const {
        for (std::uint32_t e = prob_begin[leaf]; e < prob_begin[leaf + 1]; ++e) {
            acc[probs[e].column] += probs[e].p;
        }
    }
};

}  // namespace canopy
