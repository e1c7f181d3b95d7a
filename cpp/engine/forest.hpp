// The fitted forest every estimator holds, and the one walk every query goes through.
//
// A grown tree (engine/tree.hpp) is packed once, on the worker that grew it, into the
// layout below; from then on predictions, class probabilities, leaf identities,
// importances, explanations and exports all read the packed trees, and rows reach their
// leaves only through PackedTree::find_leaves. A change of the node layout is made here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

// 16 bytes a node, in the grown tree's pre-order: node ids are those of the grown tree and
// the left child of node i is node i + 1. A leaf tests column 0 against NaN and goes
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

struct PackedTree {
    std::vector<PackedNode> nodes;
    // By node id: the leaf's value (0.0 for internal nodes), and the node's cover: the
    // training index entries that reached it, bootstrap repeats included.
    std::vector<double> values;
    std::vector<std::uint64_t> cover;
    // Class probabilities of the classes below n_classes (none for regression trees). With
    // a few classes the leaves share a handful of distinct probability vectors (a pure
    // leaf's is one of the unit vectors), so node i's vector is row prob_tag[i] of
    // prob_table (rows of n_classes; row 0 all zeros). The tags, two bytes a node, stay in
    // cache where a per-leaf run would not. Otherwise leaf i's run is
    // probs[prob_begin[i] .. prob_begin[i + 1]).
    std::size_t n_classes = 0;
    std::size_t table_classes = 0;
    std::vector<std::uint16_t> prob_tag;
    std::vector<double> prob_table;
    std::vector<std::uint32_t> prob_begin;
    std::vector<ClassProbability> probs;
    std::size_t min_row_length = 0;  // 1 + the largest tested feature; 0 for a single leaf

    // Packs a tree grown by the split searches (pre-order; anything else aborts). With
    // n_classes > 0 each classification leaf also keeps its probabilities of the classes
    // below n_classes (weight over total weight; nothing for a weightless leaf).
    static PackedTree pack(const Tree& tree, std::size_t n_classes = 0);

    std::size_t size() const { return nodes.size(); }
    bool is_leaf(std::size_t id) const { return nodes[id].right == id; }
    std::size_t depth() const;  // edges on the longest root-to-leaf path; 0 when empty
    std::size_t n_leaves() const;

    // The walk every query uses. Leaf ids of rows [begin, end) of a row-contiguous view
    // into leaf[0 .. end - begin). Values <= threshold go left and NaN goes right; a row too
    // short for a tested feature aborts the call.
    void find_leaves(const MatrixView& rows, std::size_t begin, std::size_t end,
                     std::uint32_t* leaf) const;

    // acc[c] += probability of class c at the leaf, c < n_classes. Absent classes may add
    // +0.0, which changes no accumulator that holds no -0.0. Nothing for regression trees.
    void add_proba(std::uint32_t leaf, double* acc) const {
        if (table_classes != 0) {
            const double* p = prob_table.data() + std::size_t{prob_tag[leaf]} * table_classes;
            for (std::size_t c = 0; c < table_classes; ++c) acc[c] += p[c];
            return;
        }
        if (prob_begin.empty()) return;
        for (std::uint32_t e = prob_begin[leaf]; e < prob_begin[leaf + 1]; ++e) {
            acc[probs[e].column] += probs[e].p;
        }
    }
};

// A fitted forest: its trees in tree order, each with the per-node data every consumer
// reads (leaf values, covers, class probabilities). A DecisionTree is a forest of one; a
// boosted estimator holds one per round and output.
struct Forest {
    std::vector<PackedTree> trees;
    std::size_t n_classes = 0;  // probability columns of every tree; 0 for regression

    std::size_t size() const { return trees.size(); }
    bool empty() const { return trees.empty(); }
    // The fewest values a row needs for every tree's walk: 1 + the largest tested feature.
    std::size_t min_row_length() const;

    // Leaf ids of rows [begin, end) in tree t (rows contiguous), into leaf[0 .. end - begin).
    void leaves(std::size_t t, const MatrixView& rows, std::size_t begin, std::size_t end,
                std::uint32_t* leaf) const {
        trees[t].find_leaves(rows, begin, end, leaf);
    }
    // acc[r - begin] += the leaf value of row r, tree after tree in tree order.
    void add_values(const MatrixView& rows, std::size_t begin, std::size_t end, double* acc) const;
    // acc[(r - begin) * n_classes + c] += the leaf's probability of class c, tree after
    // tree in tree order.
    void add_probabilities(const MatrixView& rows, std::size_t begin, std::size_t end,
                           double* acc) const;
};

// UserError "<what> has <cols> columns but the model splits on feature <needed - 1>" when
// rows of `cols` values are shorter than `needed` (a min_row_length): for callers that refuse
// short rows as bad input before any walk.
void require_row_length(std::size_t needed, std::size_t cols, const char* what);

}  // namespace canopy
