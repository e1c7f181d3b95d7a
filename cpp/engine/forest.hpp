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
    // Class probabilities. With a few classes the leaves share a handful of distinct
    // probability vectors (a pure leaf's is one of the unit vectors), so node i's vector is
    // row prob_tag[i] of prob_table (rows of n_classes; row 0 all zeros). The tags, two
    // bytes a node, stay in cache where a per-leaf run would not. Otherwise leaf i's run is
    // probs[prob_begin[i] .. prob_begin[i + 1]).
    std::size_t table_classes = 0;
    std::vector<std::uint16_t> prob_tag;
    std::vector<double> prob_table;
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

    // acc[c] += probability of class c at the leaf (classes kept by pack only). Absent
    // classes may add +0.0, which changes no accumulator that holds no -0.0.
    void add_proba(std::uint32_t leaf, double* acc) const {
        if (table_classes != 0) {
            const double* p = prob_table.data() + std::size_t{prob_tag[leaf]} * table_classes;
            for (std::size_t c = 0; c < table_classes; ++c) acc[c] += p[c];
            return;
        }
        for (std::uint32_t e = prob_begin[leaf]; e < prob_begin[leaf + 1]; ++e) {
            acc[probs[e].column] += probs[e].p;
        }
    }
};

}  // namespace canopy
