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

// ---- Building trees by hand ------------------------------------------------------------------

Matrix matrix(std::size_t rows, std::size_t cols, std::vector<double> values) {
    Matrix m(rows, cols);
    m.values = std::move(values);
    return m;
}

DecisionTree fitted(Tree tree, bool classification, std::size_t n_classes = 0) {
    const char* task = classification ? "classification" : "regression";
    DecisionTree dt(DecisionTreeConfig{{}, "entropy", task, {}, 2, 1});
    dt.root = std::move(tree);
    if (classification) {
        dt.classes = std::vector<std::uint64_t>(n_classes);
        std::iota(dt.classes->begin(), dt.classes->end(), std::uint64_t{0});
    }
    dt.is_fitted = true;
    return dt;
}

// Sets every node's n_samples to the number of rows of x that reach it.
void count_cover(Tree& tree, const Matrix& x) {
    for (TreeNode& n : tree.nodes) n.n_samples = 0;
    for (std::size_t r = 0; r < x.rows; ++r) {
        std::size_t id = 0;
        for (;;) {
            TreeNode& n = tree.nodes[id];
            ++n.n_samples;
            if (n.is_leaf()) break;
            id = x(r, n.feature) <= n.threshold ? n.left : n.right;
        }
    }
}

// Single split on `feature` at `threshold`, leaves carrying the two values.
Tree stump(std::size_t feature, double threshold, double left, double right) {
    Tree t;
    const auto root = t.add_node();
    const auto l = t.add_node();
    const auto r = t.add_node();
    t.set_split(root, feature, threshold, l, r);
    t.nodes[l].value = left;
    t.nodes[r].value = right;
    return t;
}

struct RandomTree {
    std::mt19937_64 gen;
    std::size_t n_features;
    std::size_t max_depth;
    std::size_t n_classes;  // 0: regression leaves

    std::uint32_t grow(Tree& t, std::size_t depth) {
        const auto id = t.add_node();
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        if (depth == max_depth || (depth > 0 && unit(gen) < 0.2)) {
            t.nodes[id].value = std::normal_distribution<double>(0.0, 5.0)(gen);
            if (n_classes > 0) {
                std::vector<ClassCount> counts;
                // Class n_classes is beyond the explainer's outputs and must be dropped.
                for (std::uint64_t c = 0; c <= n_classes; ++c) {
                    if (unit(gen) < 0.7) counts.push_back({c, std::floor(unit(gen) * 6.0)});
                }
                t.set_leaf_counts(id, counts);
            }
            return id;
        }
        const std::size_t f = std::uniform_int_distribution<std::size_t>(0, n_features - 1)(gen);
        const double threshold = std::normal_distribution<double>(0.0, 1.0)(gen);
        const auto l = grow(t, depth + 1);
        const auto r = grow(t, depth + 1);
        t.set_split(id, f, threshold, l, r);
        return id;
    }
};

Matrix random_matrix(std::mt19937_64& gen, std::size_t rows, std::size_t cols) {
    Matrix m(rows, cols);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (double& v : m.values) v = normal(gen);
    return m;
}

// ---- The definition, written out plainly (recursive; small trees only) -----------------------

void reference_features(const ShapTree& t, std::size_t id, std::vector<std::size_t>& out) {
    const ShapNode& n = t.nodes[id];
    if (n.is_leaf()) return;
    if (std::find(out.begin(), out.end(), n.feature) == out.end()) out.push_back(n.feature);
    reference_features(t, n.left, out);
    reference_features(t, n.right, out);
}

double reference_value(const ShapTree& t, std::size_t id, const std::vector<double>& row,
                       std::uint64_t mask, const std::vector<std::size_t>& features,
                       std::size_t c) {
    const ShapNode& n = t.nodes[id];
    if (n.is_leaf()) return t.values[id * t.n_slots + std::min(c, t.n_slots - 1)];
    const auto k = static_cast<std::size_t>(
        std::find(features.begin(), features.end(), n.feature) - features.begin());
    if ((mask >> k) & 1) {
        return reference_value(t, row[n.feature] <= n.threshold ? n.left : n.right, row, mask,
                               features, c);
    }
    const double wl = n.cover == 0 ? 0.5 : double(n.left_count) / double(n.cover);
    const double wr = n.cover == 0 ? 0.5 : double(n.right_count) / double(n.cover);
    return wl * reference_value(t, n.left, row, mask, features, c) +
           wr * reference_value(t, n.right, row, mask, features, c);
}

std::vector<double> reference_explain(std::size_t n_features, const ShapTree& t,
                                      const std::vector<double>& row, std::size_t c) {
    std::vector<double> phi(n_features, 0.0);
    std::vector<std::size_t> f;
    reference_features(t, 0, f);
    const std::size_t m = f.size();
    if (m == 0) return phi;
    std::vector<double> fact(m + 1, 1.0);
    for (std::size_t i = 1; i <= m; ++i) fact[i] = fact[i - 1] * double(i);
    std::vector<double> v(std::size_t{1} << m);
    for (std::uint64_t mask = 0; mask < v.size(); ++mask) {
        v[mask] = reference_value(t, 0, row, mask, f, c);
    }
    for (std::size_t k = 0; k < m; ++k) {
        double sum = 0.0;
        for (std::uint64_t s = 0; s < v.size(); ++s) {
            if ((s >> k) & 1) continue;
            const int size = std::popcount(s);
            const double weight = fact[size] * fact[m - size - 1] / fact[m];
            sum += weight * (v[s | (std::uint64_t{1} << k)] - v[s]);
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

// A chain that splits on features 0 .. m-1 in turn, always continuing to the right.
Tree chain(std::size_t m) {
    Tree t;
    std::uint32_t parent = t.add_node();
    for (std::size_t f = 0; f < m; ++f) {
        const auto l = t.add_node();
        t.nodes[l].value = double(f + 1);
        const auto r = t.add_node();
        t.set_split(parent, f, 0.0, l, r);
        parent = r;
    }
    t.nodes[parent].value = -1.0;
    return t;
}

// ---- Tests -------------------------------------------------------------------------------------

TEST(TreeShap, SingleSplitWorkedExample) {
    // Three training rows go left (value 10), one goes right (value 20).
    Tree t = stump(2, 0.5, 10.0, 20.0);
    const Matrix x = matrix(4, 3, {1, 9, 0.0, 2, 8, 0.2, 3, 7, 0.4, 4, 6, 0.9});
    count_cover(t, x);
    const TreeShap shap(fitted(t, false), x.view(), "regression");
    EXPECT_EQ(shap.n_features, 3u);
    EXPECT_EQ(shap.n_outputs, 1u);
    EXPECT_EQ(shap.root.nodes[0].left_count, 3u);
    EXPECT_EQ(shap.root.nodes[0].right_count, 1u);
    EXPECT_EQ(shap.root.nodes[0].cover, 4u);

    const Matrix rows = matrix(2, 3, {-5, 100, 0.7, 5, -100, 0.1});
    const auto out = shap.explain(rows.view());
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (std::vector<std::vector<double>>{{0.0, 0.0, 7.5}}));
    EXPECT_EQ(out[1], (std::vector<std::vector<double>>{{0.0, 0.0, -2.5}}));

    // The empty coalition averages the leaves by background share; the full one follows the row.
    const std::vector<std::size_t> f{2};
    EXPECT_EQ(evaluate_coalition(row_of(rows, 0), 0, f, shap.root, 0), 12.5);
    EXPECT_EQ(evaluate_coalition(row_of(rows, 0), 1, f, shap.root, 0), 20.0);
}

TEST(TreeShap, SingleLeafAndEmptyInputs) {
    Tree t;
    t.add_node();
    t.nodes[0].value = 4.0;
    const Matrix x = matrix(3, 2, {1, 2, 3, 4, 5, 6});
    count_cover(t, x);
    const TreeShap shap(fitted(t, false), x.view(), "regression");
    EXPECT_TRUE(collect_tree_features(shap.root).empty());
    // A leaf needs no column of the row at all.
    const Matrix narrow(2, 0);
    for (const auto& row : shap.explain(narrow.view())) {
        EXPECT_EQ(row, (std::vector<std::vector<double>>{{0.0, 0.0}}));
    }
    EXPECT_TRUE(shap.explain(Matrix(0, 2).view()).empty());

    // A classification fit over an empty label set has no outputs: one empty list per row.
    DecisionTree empty = fitted(t, true, 0);
    const TreeShap none(empty, x.view(), "classification");
    EXPECT_EQ(none.n_outputs, 0u);
    EXPECT_EQ(none.explain(x.view()), (std::vector<std::vector<std::vector<double>>>(3)));
}

TEST(TreeShap, FeatureListInFirstAppearanceOrder) {
    // root f3 -> (f1 -> (f3, f0), f2); pre-order meets 3, 1, 3, 0, 2.
    Tree t;
    std::vector<std::uint32_t> id(11);
    for (auto& i : id) i = t.add_node();
    t.set_split(id[0], 3, 0.0, id[1], id[8]);
    t.set_split(id[1], 1, 0.0, id[2], id[5]);
    t.set_split(id[2], 3, -1.0, id[3], id[4]);
    t.set_split(id[5], 0, 0.0, id[6], id[7]);
    t.set_split(id[8], 2, 0.0, id[9], id[10]);
    const ShapTree s = build_shap_tree(t, Matrix(0, 4), 1, false);
    EXPECT_EQ(collect_tree_features(s), (std::vector<std::size_t>{3, 1, 0, 2}));
}

TEST(TreeShap, MatchesDefinitionOnRandomTrees) {
    // Background rows unrelated to the covers (weights need not sum to 1), regression and
    // classification leaves (outputs are walked in groups, so 3 and 6 classes), trees up to
    // eight features: every value must be bit-identical.
    std::mt19937_64 gen(7);
    for (int trial = 0; trial < 48; ++trial) {
        const std::size_t n_classes = std::array<std::size_t, 3>{0, 3, 6}[trial % 3];
        RandomTree grower{std::mt19937_64(trial), 8, std::size_t(2 + trial % 6), n_classes};
        Tree t;
        grower.grow(t, 0);
        const Matrix train = random_matrix(gen, 30, 8);
        count_cover(t, train);
        const Matrix background = random_matrix(gen, 17 + trial, 8);
        const TreeShap shap(fitted(t, n_classes > 0, n_classes), background.view(),
                            n_classes > 0 ? "classification" : "regression");
        const Matrix x = random_matrix(gen, 5, 8);
        const auto out = shap.explain(x.view());
        for (std::size_t r = 0; r < x.rows; ++r) {
            ASSERT_EQ(out[r].size(), shap.n_outputs);
            for (std::size_t c = 0; c < shap.n_outputs; ++c) {
                EXPECT_EQ(out[r][c], reference_explain(8, shap.root, row_of(x, r), c))
                    << "trial " << trial << " row " << r << " output " << c;
                EXPECT_EQ(explain_single_class(8, shap.root, row_of(x, r), c), out[r][c]);
            }
        }
        // Single coalitions take the walk rather than the shared subtree tables.
        std::vector<std::size_t> f;
        reference_features(shap.root, 0, f);
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
    Tree t = chain(m);
    for (std::uint32_t id = 0; id < t.nodes.size(); ++id) {
        if (!t.nodes[id].is_leaf()) continue;
        const std::vector<ClassCount> counts{{id % 3, 1.0 + id % 5}, {(id + 1) % 3, 2.0}};
        std::vector<ClassCount> sorted = counts;
        std::sort(sorted.begin(), sorted.end(), [](auto a, auto b) { return a.cls < b.cls; });
        t.set_leaf_counts(id, sorted);
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

TEST(TreeShap, AttributionsAddUpToPredictionMinusBackgroundMean) {
    std::mt19937_64 gen(11);
    for (int trial = 0; trial < 20; ++trial) {
        RandomTree grower{std::mt19937_64(100 + trial), 10, std::size_t(3 + trial % 7), 0};
        Tree t;
        grower.grow(t, 0);
        const Matrix train = random_matrix(gen, 200, 10);
        count_cover(t, train);
        const TreeShap shap(fitted(t, false), train.view(), "regression");
        double mean = 0.0;
        for (std::size_t r = 0; r < train.rows; ++r) {
            mean += t.nodes[find_leaf(t, train.row(r))].value;
        }
        mean /= double(train.rows);
        const Matrix x = random_matrix(gen, 10, 10);
        const auto out = shap.explain(x.view());
        const auto features = collect_tree_features(shap.root);
        for (std::size_t r = 0; r < x.rows; ++r) {
            const double prediction = t.nodes[find_leaf(t, x.row(r))].value;
            EXPECT_NEAR(sum(out[r][0]), prediction - mean, 1e-9);
            for (std::size_t f = 0; f < 10; ++f) {
                if (std::find(features.begin(), features.end(), f) == features.end()) {
                    EXPECT_EQ(out[r][0][f], 0.0);
                }
            }
        }
    }
}

TEST(TreeShap, ClassProbabilitiesFromCounts) {
    // Leaf counts {0: 1, 1: 3, 5: 4}: with three outputs class 5 is dropped but still counts
    // in the total; the other leaf has counts summing to 0 and gives zeros.
    Tree t = stump(0, 0.0, 0.0, 0.0);
    const std::vector<ClassCount> left{{0, 1.0}, {1, 3.0}, {5, 4.0}};
    const std::vector<ClassCount> right{{2, 0.0}};
    t.set_leaf_counts(1, left);
    t.set_leaf_counts(2, right);
    const Matrix x = matrix(4, 1, {-1, -2, 1, 2});
    count_cover(t, x);
    const TreeShap shap(fitted(t, true, 3), x.view(), "classification");
    EXPECT_EQ(shap.root.values, (std::vector<double>{0, 0, 0, 0.125, 0.375, 0, 0, 0, 0}));
    const auto out = shap.explain(matrix(1, 1, {-3}).view());
    EXPECT_EQ(out[0], (std::vector<std::vector<double>>{{0.0625}, {0.1875}, {0.0}}));
}

TEST(TreeShap, ZeroCoverSplitsEvenly) {
    Tree t = stump(0, 0.0, 10.0, 20.0);  // covers left at 0
    const Matrix x = matrix(3, 1, {-1, -1, 1});
    const TreeShap shap(fitted(t, false), x.view(), "regression");
    EXPECT_EQ(shap.root.nodes[0].left_count, 2u);
    EXPECT_EQ(evaluate_coalition(row_of(x, 2), 0, std::vector<std::size_t>{0}, shap.root, 0), 15.0);
    EXPECT_EQ(shap.explain(x.view())[2][0], std::vector<double>{5.0});
}

TEST(TreeShap, ShortRowsAbort) {
    Tree t = stump(2, 0.0, 1.0, 2.0);
    const Matrix x3 = matrix(2, 3, {0, 0, -1, 0, 0, 1});
    const Matrix x2 = matrix(2, 2, {0, 0, 0, 0});
    count_cover(t, x3);
    EXPECT_THROW(TreeShap(fitted(t, false), x2.view(), "regression"), InternalError);
    const TreeShap shap(fitted(t, false), x3.view(), "regression");
    EXPECT_THROW(shap.explain(x2.view()), InternalError);
    // Wider rows are fine: the column count is not compared.
    EXPECT_EQ(shap.explain(matrix(1, 4, {0, 0, 1, 0}).view())[0][0],
              (std::vector<double>{0, 0, 0.5}));

    // Without background rows nothing is read at construction, but a split beyond the
    // attribution vector is caught when a row is explained.
    const TreeShap empty_bg(fitted(t, false), Matrix(0, 2).view(), "regression");
    EXPECT_THROW(empty_bg.explain(x3.view()), InternalError);
    EXPECT_TRUE(empty_bg.explain(Matrix(0, 3).view()).empty());
}

TEST(TreeShap, FeatureCountBound) {
    const Tree over = chain(kMaxShapFeatures + 1);
    const Matrix x(1, kMaxShapFeatures + 1);
    const TreeShap shap(fitted(over, false), x.view(), "regression");
    try {
        shap.explain(x.view());
        FAIL() << "an oversized tree was enumerated";
    } catch (const UserError& e) {
        EXPECT_STREQ(e.what(),
                     "TreeSHAP cannot explain a tree that splits on 23 distinct features: exact "
                     "enumeration is limited to 22 features (2^22 coalitions)");
    }
    // Nothing is enumerated for an empty input.
    EXPECT_TRUE(shap.explain(Matrix(0, 23).view()).empty());

    // At the limit the enumeration runs and still adds up.
    Tree at = chain(kMaxShapFeatures);
    Matrix bg(8, kMaxShapFeatures);
    std::mt19937_64 gen(1);
    for (double& v : bg.values) v = std::normal_distribution<double>(0.0, 1.0)(gen);
    count_cover(at, bg);
    const TreeShap limit(fitted(at, false), bg.view(), "regression");
    Matrix row(1, kMaxShapFeatures);
    for (double& v : row.values) v = 1.0;  // right at every split: reaches the -1 leaf
    double mean = 0.0;
    for (std::size_t r = 0; r < bg.rows; ++r) mean += at.nodes[find_leaf(at, bg.row(r))].value;
    mean /= double(bg.rows);
    EXPECT_NEAR(sum(limit.explain(row.view())[0][0]), -1.0 - mean, 1e-9);
}

TEST(TreeShap, VeryDeepTreeNeedsNoMachineStack) {
    // 150,000 splits alternating between two features: recursion per level would overflow.
    const std::size_t depth = 150000;
    Tree t;
    std::uint32_t parent = t.add_node();
    for (std::size_t d = 0; d < depth; ++d) {
        const auto l = t.add_node();
        t.nodes[l].value = double(d % 7);
        const auto r = t.add_node();
        t.set_split(parent, d % 2, -double(d), l, r);
        parent = r;
    }
    t.nodes[parent].value = 100.0;
    const Matrix bg = matrix(3, 2, {0, 0, -1e9, 5, 5, -1e9});
    count_cover(t, bg);
    const TreeShap shap(fitted(t, false), bg.view(), "regression");
    const auto out = shap.explain(matrix(1, 2, {1, 1}).view());
    double mean = 0.0;
    for (std::size_t r = 0; r < bg.rows; ++r) mean += t.nodes[find_leaf(t, bg.row(r))].value;
    mean /= 3.0;
    EXPECT_NEAR(sum(out[0][0]), 100.0 - mean, 1e-9);
}

TEST(TreeShap, MalformedTreeIsRejected) {
    Tree t = stump(0, 0.0, 1.0, 2.0);
    t.nodes[1].left = 0;  // a child pointing back at the root would loop forever
    t.nodes[1].right = 2;
    EXPECT_THROW(build_shap_tree(t, Matrix(0, 1), 1, false), InternalError);
}

}  // namespace
}  // namespace canopy
