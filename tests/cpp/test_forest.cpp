#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/errors.hpp"
#include "engine/exact_split.hpp"
#include "engine/forest.hpp"
#include "engine/rng.hpp"

namespace canopy {
namespace {

// A random classification tree over 5 features, grown by the exact search.
Tree random_tree(std::uint64_t seed, Matrix& x, std::vector<double>& y) {
    Pcg64 g = Pcg64::seed_from_u64(seed);
    x = Matrix(300, 5);
    y.assign(300, 0.0);
    std::vector<double> w(300, 1.0);
    std::vector<RowIndex> rows(300);
    for (std::size_t i = 0; i < 300; ++i) {
        for (std::size_t c = 0; c < 5; ++c) x(i, c) = static_cast<double>(g.index_u64(20));
        y[i] = static_cast<double>(g.index_u64(4));
        rows[i] = static_cast<RowIndex>(i);
    }
    TreeParams params;
    params.is_classification = true;
    return build_node_exact(x.view(), y, w, rows, params, g);
}

// The descent and the leaf probabilities written out plainly on the grown tree.
std::size_t reference_leaf(const Tree& tree, std::span<const double> row) {
    std::size_t id = 0;
    while (!tree.nodes[id].is_leaf()) {
        const TreeNode& n = tree.nodes[id];
        id = row[n.feature] <= n.threshold ? n.left : n.right;
    }
    return id;
}

std::vector<double> reference_proba(const Tree& tree, std::size_t leaf, std::size_t n_classes) {
    std::vector<double> p(n_classes, 0.0);
    for_each_leaf_probability(tree, tree.nodes[leaf], [&](std::uint64_t cls, double q) {
        if (cls < n_classes) p[cls] = q;
    });
    return p;
}

TEST(PackedTree, LeavesAndProbabilitiesMatchTheGrownTree) {
    Matrix x;
    std::vector<double> y;
    const Tree tree = random_tree(5, x, y);
    ASSERT_GT(tree.nodes.size(), 20u);
    // Class 3 dropped; with 3 classes the probabilities are a table of distinct vectors, with
    // 9 they are runs per leaf.
    const PackedTree packed = PackedTree::pack(tree, 3);
    const PackedTree wide = PackedTree::pack(tree, 9);
    ASSERT_EQ(packed.table_classes, 3u);
    ASSERT_EQ(wide.table_classes, 0u);
    Matrix probe(257, 5);
    Pcg64 g = Pcg64::seed_from_u64(9);
    for (double& v : probe.values) {
        v = g.index_u64(10) == 0 ? std::numeric_limits<double>::quiet_NaN()
                                 : static_cast<double>(g.index_u64(22)) - 1.0;
    }
    std::vector<std::uint32_t> leaf(probe.rows);
    packed.find_leaves(probe.view(), 0, probe.rows, leaf.data());
    for (std::size_t r = 0; r < probe.rows; ++r) {
        ASSERT_EQ(leaf[r], reference_leaf(tree, probe.row(r))) << r;
        EXPECT_EQ(packed.values[leaf[r]], tree.nodes[leaf[r]].value);
        std::vector<double> p(3, 0.0);
        packed.add_proba(leaf[r], p.data());
        EXPECT_EQ(p, reference_proba(tree, leaf[r], 3));
        std::vector<double> q(9, 0.0);
        wide.add_proba(leaf[r], q.data());
        EXPECT_EQ(q, reference_proba(tree, leaf[r], 9));
    }
    // An offset range writes from leaf[0].
    std::vector<std::uint32_t> part(5);
    packed.find_leaves(probe.view(), 100, 105, part.data());
    EXPECT_EQ(part, std::vector<std::uint32_t>(leaf.begin() + 100, leaf.begin() + 105));
    // Covers are the grown nodes' counts; shape as the grown tree has it.
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        EXPECT_EQ(packed.cover[i], tree.nodes[i].n_samples);
        EXPECT_EQ(packed.is_leaf(i), tree.nodes[i].is_leaf());
    }
    EXPECT_EQ(packed.cover[0], 300u);
}

TEST(Forest, SumsRunTreeByTreeInOrder) {
    Matrix x;
    std::vector<double> y;
    Forest forest;
    forest.n_classes = 3;
    std::vector<Tree> grown;
    for (std::uint64_t seed : {11, 12, 13}) {
        grown.push_back(random_tree(seed, x, y));
        forest.trees.push_back(PackedTree::pack(grown.back(), 3));
    }
    // 600 rows: several walk batches; the sums start from the caller's accumulators.
    Matrix probe(600, 5);
    for (std::size_t i = 0; i < probe.values.size(); ++i)
        probe.values[i] = double(i * 7 % 23) - 1.5;
    std::vector<double> sum(600, -0.0), proba(600 * 3, 0.0);
    forest.add_values(probe.view(), 0, 600, sum.data());
    forest.add_probabilities(probe.view(), 0, 600, proba.data());
    for (std::size_t r = 0; r < 600; ++r) {
        double expected = -0.0;
        std::vector<double> p(3, 0.0);
        for (const Tree& t : grown) {
            const std::size_t leaf = reference_leaf(t, probe.row(r));
            expected += t.nodes[leaf].value;
            const auto q = reference_proba(t, leaf, 3);
            for (std::size_t c = 0; c < 3; ++c) p[c] += q[c];
        }
        ASSERT_EQ(sum[r], expected) << r;
        ASSERT_EQ(std::vector<double>(proba.begin() + r * 3, proba.begin() + r * 3 + 3), p) << r;
    }
}

TEST(PackedTree, ShortRowsAbortAndOnlyPreOrderTreesPack) {
    Matrix x;
    std::vector<double> y;
    const PackedTree packed = PackedTree::pack(random_tree(6, x, y));
    Matrix narrow(3, 1);
    std::vector<std::uint32_t> leaf(3);
    EXPECT_THROW(packed.find_leaves(narrow.view(), 0, 3, leaf.data()), InternalError);

    Tree swapped;  // left child stored after the right one
    for (int i = 0; i < 3; ++i) swapped.add_node();
    swapped.set_split(0, 0, 0.5, 2, 1);
    EXPECT_THROW(PackedTree::pack(swapped), InternalError);
}

}  // namespace
}  // namespace canopy
