#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/errors.hpp"
#include "estimators/tree_shap.hpp"

namespace canopy {
namespace {

using Attributions = std::vector<std::vector<double>>;

Matrix matrix(std::size_t rows, std::size_t cols, std::vector<double> values) {
    Matrix m(rows, cols);
    m.values = std::move(values);
    return m;
}

Matrix random_matrix(std::mt19937_64& gen, std::size_t rows, std::size_t cols) {
    Matrix m(rows, cols);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (double& v : m.values) v = normal(gen);
    return m;
}

DecisionTree fitted(Tree tree, bool classification, std::size_t n_classes = 0) {
    DecisionTree dt(DecisionTreeConfig{
        {}, "entropy", classification ? "classification" : "regression", {}, 2, 1});
    const std::size_t k = classification ? n_classes : 0;
    dt.forest.n_classes = k;
    dt.forest.trees.push_back(PackedTree::pack(tree, k));
    if (classification) {
        dt.classes = std::vector<std::uint64_t>(n_classes);
        std::iota(dt.classes->begin(), dt.classes->end(), std::uint64_t{0});
    }
    dt.is_fitted = true;
    return dt;
}

TreeShap regression_shap(const Tree& t, const Matrix& bg) {
    return TreeShap(fitted(t, false), bg.view(), "regression");
}

// Sets every node's n_samples to the number of rows of x that reach it.
void count_cover(Tree& tree, const Matrix& x) {
    for (TreeNode& n : tree.nodes) n.n_samples = 0;
    for (std::size_t r = 0; r < x.rows; ++r) {
        for (std::size_t id = 0;; id = x(r, tree.nodes[id].feature) <= tree.nodes[id].threshold
                                           ? tree.nodes[id].left
                                           : tree.nodes[id].right) {
            ++tree.nodes[id].n_samples;
            if (tree.nodes[id].is_leaf()) break;
        }
    }
}

double leaf_mean(const Tree& t, const Matrix& x) {
    double mean = 0.0;
    for (std::size_t r = 0; r < x.rows; ++r) {
        std::size_t id = 0;
        while (!t.nodes[id].is_leaf()) {
            const TreeNode& n = t.nodes[id];
            id = x(r, n.feature) <= n.threshold ? n.left : n.right;
        }
        mean += t.nodes[id].value;
    }
    return mean / double(x.rows);
}

Tree stump(std::size_t feature, double threshold, double left, double right) {
    Tree t;
    for (int i = 0; i < 3; ++i) t.add_node();
    t.set_split(0, feature, threshold, 1, 2);
    t.nodes[1].value = left;
    t.nodes[2].value = right;
    return t;
}

// Splits on feature d % cycle at threshold -step * d at depth d, always continuing to the
// right; the left leaves hold d + 1, the last leaf -1.
Tree chain(std::size_t depth, std::size_t cycle, double step = 0.0) {
    Tree t;
    std::uint32_t parent = t.add_node();
    for (std::size_t d = 0; d < depth; ++d) {
        const auto l = t.add_node();
        t.nodes[l].value = double(d + 1);
        const auto r = t.add_node();
        t.set_split(parent, d % cycle, -step * double(d), l, r);
        parent = r;
    }
    t.nodes[parent].value = -1.0;
    return t;
}

// Random pre-order tree; classification leaves also get counts for one class beyond the
// explainer's outputs, which must be dropped.
std::uint32_t grow(Tree& t, std::mt19937_64& gen, std::size_t depth, std::size_t max_depth,
                   std::size_t n_classes) {
    const auto id = t.add_node();
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    if (depth == max_depth || (depth > 0 && unit(gen) < 0.2)) {
        t.nodes[id].value = std::normal_distribution<double>(0.0, 5.0)(gen);
        if (n_classes > 0) {
            std::vector<ClassCount> counts;
            for (std::uint64_t c = 0; c <= n_classes; ++c) {
                if (unit(gen) < 0.7) counts.push_back({c, std::floor(unit(gen) * 6.0)});
            }
            t.set_leaf_counts(id, counts);
        }
        return id;
    }
    const std::size_t f = std::uniform_int_distribution<std::size_t>(0, 7)(gen);
    const double threshold = std::normal_distribution<double>(0.0, 1.0)(gen);
    const auto l = grow(t, gen, depth + 1, max_depth, n_classes);
    const auto r = grow(t, gen, depth + 1, max_depth, n_classes);
    t.set_split(id, f, threshold, l, r);
    return id;
}

// ---- The definition, written out plainly (recursive; small trees only) -----------------------

double reference_value(const ShapTree& t, std::size_t id, const std::vector<double>& row,
                       std::uint64_t mask, const std::vector<std::size_t>& f, std::size_t c) {
    const ShapNode& n = t.nodes[id];
    if (n.is_leaf()) return t.values[id * t.n_slots + std::min(c, t.n_slots - 1)];
    const auto k = std::size_t(std::find(f.begin(), f.end(), n.feature) - f.begin());
    if ((mask >> k) & 1) {
        return reference_value(t, row[n.feature] <= n.threshold ? n.left : n.right, row, mask, f, c);
    }
    const double wl = n.cover == 0 ? 0.5 : double(n.left_count) / double(n.cover);
    const double wr = n.cover == 0 ? 0.5 : double(n.right_count) / double(n.cover);
    return wl * reference_value(t, n.left, row, mask, f, c) +
           wr * reference_value(t, n.right, row, mask, f, c);
}

std::vector<double> reference_explain(const ShapTree& t, const std::vector<double>& row,
                                      std::size_t c) {
    std::vector<double> phi(8, 0.0);
    const auto f = collect_tree_features(t);  // its order is pinned by its own test
    const std::size_t m = f.size();
    std::vector<double> fact(m + 1, 1.0);
    for (std::size_t i = 1; i <= m; ++i) fact[i] = fact[i - 1] * double(i);
    for (std::size_t k = 0; k < m; ++k) {
        double sum = 0.0;
        for (std::uint64_t s = 0; s < (std::uint64_t{1} << m); ++s) {
            if ((s >> k) & 1) continue;
            const int size = std::popcount(s);
            sum += fact[size] * fact[m - size - 1] / fact[m] *
                   (reference_value(t, 0, row, s | (std::uint64_t{1} << k), f, c) -
                    reference_value(t, 0, row, s, f, c));
        }
        phi[f[k]] += sum;
    }
    return phi;
}

std::vector<double> row_of(const Matrix& x, std::size_t r) {
    const auto s = x.row(r);
    return {s.begin(), s.end()};
}

double sum(const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }

// ---- Tests -------------------------------------------------------------------------------------

// (Known attributions of fitted trees are checked from Python; the random trees below are
// compared with the definition.)
TEST(TreeShap, ZeroCoverSplitsEvenly) {
    // n_samples never set: each side weighs 1/2, whatever the background rows do.
    const Matrix z = matrix(3, 1, {-1, -1, 1});
    const TreeShap even = regression_shap(stump(0, 0.0, 10.0, 20.0), z);
    EXPECT_EQ(even.root.nodes[0].left_count, 2u);
    EXPECT_EQ(evaluate_coalition(row_of(z, 2), 0, std::vector<std::size_t>{0}, even.root, 0), 15.0);
    EXPECT_EQ(even.explain(z.view())[2][0], std::vector<double>{5.0});
}

TEST(TreeShap, SingleLeafAndEmptyInputs) {
    Tree t;
    t.add_node();
    const Matrix x = matrix(3, 2, {1, 2, 3, 4, 5, 6});
    // A leaf needs no column of the row at all.
    EXPECT_EQ(regression_shap(t, x).explain(Matrix(2, 0).view()),
              (std::vector<Attributions>(2, {{0.0, 0.0}})));
    // A classification fit over an empty label set has no outputs: one empty list per row.
    const TreeShap none(fitted(t, true, 0), x.view(), "classification");
    EXPECT_EQ(none.explain(x.view()), std::vector<Attributions>(3));
}

TEST(TreeShap, FeatureListInFirstAppearanceOrder) {
    // root f3 -> (f1 -> (f3, f0), f2); pre-order meets 3, 1, 3, 0, 2.
    Tree t;
    for (int i = 0; i < 11; ++i) t.add_node();
    t.set_split(0, 3, 0.0, 1, 8);
    t.set_split(1, 1, 0.0, 2, 5);
    t.set_split(2, 3, -1.0, 3, 4);
    t.set_split(5, 0, 0.0, 6, 7);
    t.set_split(8, 2, 0.0, 9, 10);
    EXPECT_EQ(collect_tree_features(build_shap_tree(PackedTree::pack(t), Matrix(0, 4), 1, false)),
              (std::vector<std::size_t>{3, 1, 0, 2}));
}

TEST(TreeShap, MatchesDefinitionOnRandomTrees) {
    // Background rows unrelated to the covers (weights need not sum to 1), regression and
    // classification leaves (outputs are walked in groups, so 3 and 6 classes), trees up to
    // eight features: every value must be bit-identical.
    std::mt19937_64 gen(7);
    for (int trial = 0; trial < 48; ++trial) {
        const std::size_t n_classes = std::array<std::size_t, 3>{0, 3, 6}[trial % 3];
        std::mt19937_64 tree_gen(trial);
        Tree t;
        grow(t, tree_gen, 0, std::size_t(2 + trial % 6), n_classes);
        count_cover(t, random_matrix(gen, 30, 8));
        const Matrix background = random_matrix(gen, 17 + trial, 8);
        const TreeShap shap(fitted(t, n_classes > 0, n_classes), background.view(),
                            n_classes > 0 ? "classification" : "regression");
        const Matrix x = random_matrix(gen, 5, 8);
        const auto out = shap.explain(x.view());
        for (std::size_t r = 0; r < x.rows; ++r) {
            ASSERT_EQ(out[r].size(), shap.n_outputs);
            for (std::size_t c = 0; c < shap.n_outputs; ++c) {
                EXPECT_EQ(out[r][c], reference_explain(shap.root, row_of(x, r), c))
                    << "trial " << trial << " row " << r << " output " << c;
                EXPECT_EQ(explain_single_class(8, shap.root, row_of(x, r), c), out[r][c]);
            }
        }
        // Single coalitions take the walk rather than the shared subtree tables.
        const auto f = collect_tree_features(shap.root);
        const auto row = row_of(x, 0);
        const std::size_t c = shap.n_outputs - 1;
        for (std::uint64_t mask = 0; mask < (std::uint64_t{1} << f.size()); ++mask) {
            ASSERT_EQ(evaluate_coalition(row, mask, f, shap.root, c),
                      reference_value(shap.root, 0, row, mask, f, c))
                << "trial " << trial << " mask " << mask;
        }
    }
}

TEST(TreeShap, WalkedAndTabulatedCoalitionsAgree) {
    // Twenty features and three outputs walked together exceed the table budget, so explain
    // walks every coalition; one output alone fits and is tabulated. Same bits either way.
    const std::size_t m = 20;
    Tree t = chain(m, m);
    for (std::uint32_t id = 0; id < t.nodes.size(); ++id) {
        if (!t.nodes[id].is_leaf()) continue;
        std::vector<ClassCount> counts{{id % 3, 1.0 + id % 5}, {(id + 1) % 3, 2.0}};
        std::sort(counts.begin(), counts.end(), [](auto a, auto b) { return a.cls < b.cls; });
        t.set_leaf_counts(id, counts);
    }
    std::mt19937_64 gen(9);
    const Matrix bg = random_matrix(gen, 50, m);
    count_cover(t, bg);
    const TreeShap shap(fitted(t, true, 3), bg.view(), "classification");
    const Matrix x = random_matrix(gen, 2, m);
    const auto out = shap.explain(x.view());
    for (std::size_t r = 0; r < x.rows; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            EXPECT_EQ(out[r][c], explain_single_class(m, shap.root, row_of(x, r), c));
        }
    }
}

TEST(TreeShap, FeatureCountBound) {
    const Matrix x(1, kMaxShapFeatures + 1);
    const TreeShap shap = regression_shap(chain(kMaxShapFeatures + 1, 100), x);
    try {
        shap.explain(x.view());
        FAIL() << "an oversized tree was enumerated";
    } catch (const UserError& e) {
        EXPECT_STREQ(e.what(),
                     "TreeSHAP cannot explain a tree that splits on 23 distinct features: exact "
                     "enumeration is limited to 22 features (2^22 coalitions)");
    }
    EXPECT_TRUE(shap.explain(Matrix(0, 23).view()).empty());

}

TEST(TreeShap, VeryDeepTreeNeedsNoMachineStack) {
    // 150,000 splits alternating between two features: recursion per level would overflow.
    Tree t = chain(150000, 2, 1.0);
    const Matrix bg = matrix(3, 2, {0, 0, -1e9, 5, 5, -1e9});
    count_cover(t, bg);
    const auto out = regression_shap(t, bg).explain(matrix(1, 2, {1, 1}).view());
    EXPECT_NEAR(sum(out[0][0]), -1.0 - leaf_mean(t, bg), 1e-9);
}

}  // namespace
}  // namespace canopy
