#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/errors.hpp"
#include "engine/exact_split.hpp"
#include "engine/packed_tree.hpp"
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

TEST(PackedTree, LeavesAndProbabilitiesMatchTheCheckedWalk) {
    Matrix x;
    std::vector<double> y;
    const Tree tree = random_tree(5, x, y);
    ASSERT_GT(tree.nodes.size(), 20u);
    ASSERT_TRUE(is_preorder(tree));
    // Class 3 dropped, as traverse_proba does; with 3 classes the probabilities are a table
    // of distinct vectors, with 9 they are runs per leaf.
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
        ASSERT_EQ(leaf[r], find_leaf(tree, probe.row(r))) << r;
        EXPECT_EQ(packed.values[leaf[r]], tree.nodes[leaf[r]].value);
        std::vector<double> p(3, 0.0);
        packed.add_proba(leaf[r], p.data());
        EXPECT_EQ(p, traverse_proba(tree, probe.row(r), 3));
        std::vector<double> q(9, 0.0);
        wide.add_proba(leaf[r], q.data());
        EXPECT_EQ(q, traverse_proba(tree, probe.row(r), 9));
    }
    // An offset range writes from leaf[0].
    std::vector<std::uint32_t> part(5);
    packed.find_leaves(probe.view(), 100, 105, part.data());
    EXPECT_EQ(part, std::vector<std::uint32_t>(leaf.begin() + 100, leaf.begin() + 105));
}

TEST(PackedTree, ShortRowsAbortAndSingleLeavesNeedNoColumns) {
    Matrix x;
    std::vector<double> y;
    const PackedTree packed = PackedTree::pack(random_tree(6, x, y));
    Matrix narrow(3, 1);
    std::vector<std::uint32_t> leaf(3);
    EXPECT_THROW(packed.find_leaves(narrow.view(), 0, 3, leaf.data()), InternalError);

    Tree single;
    const std::vector<double> yy{2.5};
    const std::vector<double> ww{1.0};
    const RowIndex one[] = {0};
    create_leaf(single, single.add_node(), yy, ww, one, false);
    const PackedTree p = PackedTree::pack(single);
    Matrix empty_rows(3, 0);
    p.find_leaves(empty_rows.view(), 0, 3, leaf.data());
    EXPECT_EQ(leaf, std::vector<std::uint32_t>(3, 0));
    EXPECT_EQ(p.values[0], 2.5);

    Tree swapped;  // left child stored after the right one
    for (int i = 0; i < 3; ++i) swapped.add_node();
    swapped.set_split(0, 0, 0.5, 2, 1);
    EXPECT_FALSE(is_preorder(swapped));
    EXPECT_THROW(PackedTree::pack(swapped), InternalError);
}

}  // namespace
}  // namespace canopy
