// Shapley values of a tree's path-dependent expectation, in polynomial time.
//
// The value of a coalition S for a row x is the tree's output when the features in S follow
// x and every other feature follows both branches of its splits, each branch weighted by a
// per-node branch weight (normally the share of the background rows that take it). For one
// leaf that value is a product over the d distinct features f on the leaf's path: o_f when
// f is in S (1 when x takes every branch of f's splits on the path, else 0), z_f otherwise
// (the product of f's branch weights on the path). The Shapley value of f in such a product
// game is
//
//     (o_f - z_f) * integral over t in [0, 1] of  prod_{j != f} (z_j (1 - t) + o_j t) dt,
//
// because the Shapley weight s! (d - s - 1)! / d! of a coalition of size s is the Beta
// integral of t^s (1 - t)^(d - s - 1). The integrand is a polynomial of degree d - 1, which a
// Gauss-Legendre rule of ceil(d / 2) points integrates exactly, and every term of the rule is
// non-negative. One walk per row carries prod_j (z_j (1 - t) + o_j t) at the rule's points
// down every path; the leaves that share a feature's state share its divisor, so their
// outputs times the product are summed first and each state costs one short sum over the
// points. The cost of a row is O(nodes * points * outputs), points at most half the depth:
// at most leaves times depth squared, never 2^d.
//
// Attributions of a tree that splits on a feature twice on one path, of branch weights that
// do not add up to 1, and of several outputs per leaf all follow from the same formula.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/forest.hpp"
#include "engine/views.hpp"

namespace canopy {

// One node of an explained tree, in pre-order: the left child of node i is node i + 1.
struct PathNode {
    double threshold = 0.0;
    double w_left = 0.0;  // weights of the branches a feature outside the coalition follows
    double w_right = 0.0;
    std::uint32_t feature = 0;
    std::uint32_t right = 0;  // a leaf's is its own id
};

// Scratch space of one thread's walks; reused across rows and trees.
class PathShapWorkspace {
  public:
    struct Element {
        double z;  // product of the feature's branch weights on the path
        double o;  // 1 when the row takes all of the feature's branches on the path, else 0
        std::uint32_t feature;
        std::uint32_t level;  // depth of the node below the split that set this state
    };
    struct Frame {
        std::uint32_t node;
        std::uint8_t stage;  // children visited so far
        bool goes_left;      // the branch the row takes
        bool changed;        // an element was added or updated for the current child
        std::int32_t slot;   // the element changed; -1 when one was appended
        Element saved;       // its value before the change
    };

    std::vector<Element> elements;
    std::vector<std::int32_t> slot_of;  // by feature: its element, or -1
    std::vector<double> products;       // per depth: prod_j (z_j (1 - t) + o_j t) per point
    std::vector<double> totals;         // per depth, output and point: sums over leaves below
    std::vector<double> shadows;        // per depth, output and point: the part of later states
    std::vector<double> coefficients;   // one per point, for rules of more than 10 points
    std::vector<Frame> frames;
};

class PathShapTree {
  public:
    // `nodes` in pre-order; `outputs` holds n_outputs values per node, read at the leaves.
    // Aborts when the nodes are not a pre-order tree.
    PathShapTree(std::vector<PathNode> nodes, std::vector<double> outputs, std::size_t n_outputs);

    std::size_t n_outputs() const { return n_outputs_; }
    std::size_t size() const { return nodes_.size(); }
    // 1 + the largest split feature; 0 for a tree that is a single leaf.
    std::size_t min_row_length() const { return min_row_length_; }
    // The value of the empty coalition per output: leaf outputs weighted by the products of
    // the branch weights on their paths.
    const std::vector<double>& expected() const { return expected_; }
    // Heap bytes held, for sizing batches of trees.
    std::size_t bytes() const;

    // phi[f * n_outputs + c] += the attribution of feature f to output c for `row`, which
    // must hold at least min_row_length() values.
    void add_attributions(const double* row, double* phi, PathShapWorkspace& ws) const;

  private:
    // The walk with `kPoints` points fixed at compile time (0: as many as the rule has), for
    // one output (kSingle) or several.
    template <bool kSingle>
    void walk_points(const double* row, double* phi, PathShapWorkspace& ws) const;
    template <std::size_t kPoints, bool kSingle>
    void walk(const double* row, double* phi, PathShapWorkspace& ws) const;

    std::vector<PathNode> nodes_;
    std::vector<double> outputs_;
    std::size_t n_outputs_;
    std::size_t min_row_length_ = 0;
    std::size_t depth_ = 0;     // edges on the longest path
    std::size_t distinct_ = 0;  // most distinct features on one path
    std::vector<double> t_;     // the rule's points in (0, 1)
    std::vector<double> one_minus_t_;
    std::vector<double> weight_;       // the rule's weights
    std::vector<double> cold_weight_;  // weight / (1 - t)
    std::vector<double> expected_;
};

// Branch weights from the covers: each child's share of its parent's cover (0.5 each below
// a node of cover 0).
std::vector<PathNode> path_nodes_from_cover(const PackedTree& tree);

// Branch weights from background rows (rows contiguous, at least min_row_length columns):
// each child's share of the background rows that reach its parent; below a node that no
// background row reaches, the covers' shares.
std::vector<PathNode> path_nodes_from_background(const PackedTree& tree, const MatrixView& rows);

// Leaf outputs, one per node: the leaf values.
std::vector<double> path_leaf_values(const PackedTree& tree);
// Leaf outputs, n_classes per node: the class probabilities (zeros for a regression tree).
std::vector<double> path_leaf_probabilities(const PackedTree& tree, std::size_t n_classes);

// Gauss-Legendre rule of n points on [0, 1]: points in increasing order and their weights.
void gauss_legendre_unit(std::size_t n, std::vector<double>& points, std::vector<double>& weights,
                         std::vector<double>& one_minus_points);

}  // namespace canopy
