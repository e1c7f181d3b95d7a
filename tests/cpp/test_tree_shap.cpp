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
                   std::size_t n_classes, std::size_t n_features = 8) {
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
    const std::size_t f = std::uniform_int_distribution<std::size_t>(0, n_features - 1)(gen);
    const double threshold = std::normal_distribution<double>(0.0, 1.0)(gen);
    const auto l = grow(t, gen, depth + 1, max_depth, n_classes, n_features);
    const auto r = grow(t, gen, depth + 1, max_depth, n_classes, n_features);
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
        return reference_value(t, row[n.feature] <= n.threshold ? n.left : n.right, row, mask, f,
                               c);
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

// |a - b| within `rel` of the larger attribution of either vector: entries that cancel out
// are only accurate relative to the row's scale, whichever way they are computed.
void expect_close(const std::vector<double>& a, const std::vector<double>& b, double rel,
                  const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    double scale = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i)
        scale = std::max({scale, std::fabs(a[i]), std::fabs(b[i])});
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_LE(std::fabs(a[i] - b[i]), rel * scale) << what << " feature " << i;
    }
}

// Attributions of every output of one row by the polynomial algorithm, output-major.
Attributions path_explain(const PathShapTree& paths, const std::vector<double>& row,
                          std::size_t n_features, std::size_t n_outputs) {
    std::vector<double> phi(n_features * paths.n_outputs(), 0.0);
    PathShapWorkspace ws;
    paths.add_attributions(row.data(), phi.data(), ws);
    Attributions out(n_outputs, std::vector<double>(n_features));
    for (std::size_t c = 0; c < n_outputs; ++c) {
        for (std::size_t f = 0; f < n_features; ++f) out[c][f] = phi[f * paths.n_outputs() + c];
    }
    return out;
}

TEST(PathShap, MatchesEnumerationOnRandomTrees) {
    // Deeper trees than above, so features repeat along paths; background rows unrelated to
    // the covers, so branch weights do not add up to 1, some are 0 (subtrees no background
    // row reaches) and some nodes have cover 0; one, three and six outputs.
    std::mt19937_64 gen(11);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t n_classes = std::array<std::size_t, 3>{0, 3, 6}[trial % 3];
        std::mt19937_64 tree_gen(100 + trial);
        Tree t;
        grow(t, tree_gen, 0, std::size_t(2 + trial % 11), n_classes);
        count_cover(t, random_matrix(gen, 40, 8));
        const Matrix background = random_matrix(gen, 5 + trial, 8);
        const TreeShap shap(fitted(t, n_classes > 0, n_classes), background.view(),
                            n_classes > 0 ? "classification" : "regression");
        const PathShapTree paths = path_shap_tree(shap.root);
        const Matrix x = random_matrix(gen, 4, 8);
        const auto enumerated = shap.explain(x.view());
        const auto features = collect_tree_features(shap.root);
        for (std::size_t r = 0; r < x.rows; ++r) {
            const Attributions phi = path_explain(paths, row_of(x, r), 8, shap.n_outputs);
            for (std::size_t c = 0; c < shap.n_outputs; ++c) {
                const std::string what =
                    "trial " + std::to_string(trial) + " row " + std::to_string(r);
                expect_close(phi[c], enumerated[r][c], 1e-12, what);
                const double empty = evaluate_coalition(row_of(x, r), 0, features, shap.root, c);
                EXPECT_NEAR(paths.expected()[c], empty, 1e-12 * std::max(1.0, std::fabs(empty)))
                    << what;
            }
        }
    }
}

// The same values by another road, in extended precision: leaf by leaf, the Shapley values
// of the product game of the leaf's path, with the factorial weights and the elementary
// symmetric polynomials of the other features' (z, o) written out.
void add_leaf_games(const ShapTree& t, std::size_t id, const std::vector<double>& row,
                    std::vector<std::pair<std::size_t, std::array<long double, 2>>>& path,
                    std::vector<long double>& phi) {
    const ShapNode& n = t.nodes[id];
    if (n.is_leaf()) {
        const std::size_t d = path.size();
        std::vector<long double> fact(d + 1, 1.0L);
        for (std::size_t i = 1; i <= d; ++i) fact[i] = fact[i - 1] * (long double)i;
        for (std::size_t i = 0; i < d; ++i) {
            std::vector<long double> e(d, 0.0L);  // e[k]: coalitions of k others
            e[0] = 1.0L;
            for (std::size_t j = 0; j < d; ++j) {
                if (j == i) continue;
                const auto [z, o] = path[j].second;
                for (std::size_t k = d - 1; k > 0; --k) e[k] = e[k] * z + e[k - 1] * o;
                e[0] *= z;
            }
            long double game = 0.0L;
            for (std::size_t k = 0; k < d; ++k) game += fact[k] * fact[d - 1 - k] / fact[d] * e[k];
            const auto [z, o] = path[i].second;
            phi[path[i].first] += (o - z) * game * (long double)t.values[id * t.n_slots];
        }
        return;
    }
    for (const bool left : {true, false}) {
        const long double w = n.cover == 0 ? 0.5L
                                           : (long double)(left ? n.left_count : n.right_count) /
                                                 (long double)n.cover;
        const long double o = (row[n.feature] <= n.threshold) == left ? 1.0L : 0.0L;
        auto it = std::find_if(path.begin(), path.end(),
                               [&](const auto& e) { return e.first == n.feature; });
        const bool added = it == path.end();
        if (added) it = path.insert(path.end(), {n.feature, {1.0L, 1.0L}});
        const auto saved = it->second;
        it->second = {saved[0] * w, saved[1] * o};
        const std::size_t at = std::size_t(it - path.begin());
        add_leaf_games(t, left ? n.left : n.right, row, path, phi);
        if (added) path.pop_back(); else path[at].second = saved;
    }
}

TEST(PathShap, ExplainBeyondTheEnumerationLimit) {
    // Random trees on 40 features split on more distinct features than can be enumerated:
    // explain takes the polynomial algorithm. (At 22 features the enumeration's own sums of
    // 2^21 differences drift by about 1e-11; the path games above do not.)
    std::mt19937_64 gen(5);
    for (int trial = 0; trial < 4; ++trial) {
        std::mt19937_64 tree_gen(200 + trial);
        Tree t;
        grow(t, tree_gen, 0, 10, 0, 40);
        const Matrix bg = random_matrix(gen, 50, 40);
        count_cover(t, random_matrix(gen, 70, 40));
        const TreeShap shap = regression_shap(t, bg);
        ASSERT_GT(collect_tree_features(shap.root).size(), kMaxShapFeatures);
        const Matrix x = random_matrix(gen, 3, 40);
        const auto out = shap.explain(x.view());
        for (std::size_t r = 0; r < x.rows; ++r) {
            std::vector<std::pair<std::size_t, std::array<long double, 2>>> path;
            std::vector<long double> exact(40, 0.0L);
            add_leaf_games(shap.root, 0, row_of(x, r), path, exact);
            expect_close(out[r][0], std::vector<double>(exact.begin(), exact.end()), 1e-13,
                         "trial " + std::to_string(trial) + " row " + std::to_string(r));
        }
    }
}

TEST(PathShap, GaussLegendreRuleIsExact) {
    // n points integrate t^k over [0, 1] exactly for k <= 2n - 1.
    std::vector<double> t, w, omt;
    for (std::size_t n = 1; n <= 40; ++n) {
        gauss_legendre_unit(n, t, w, omt);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(t[i] > 0.0 && t[i] < 1.0 && (i == 0 || t[i] > t[i - 1]));
            EXPECT_NEAR(omt[i], 1.0 - t[i], 2.5e-16);
        }
        for (std::size_t k = 0; k <= 2 * n - 1; ++k) {
            double integral = 0.0;
            for (std::size_t i = 0; i < n; ++i) integral += w[i] * std::pow(t[i], double(k));
            EXPECT_NEAR(integral, 1.0 / double(k + 1), 1e-14) << "n " << n << " k " << k;
        }
    }
}

TEST(TreeShap, VeryDeepTreeNeedsNoMachineStack) {
    // 150,000 splits alternating between two features (enumerated) or cycling through 30
    // (polynomial algorithm): recursion per level would overflow.
    for (const std::size_t cycle : {std::size_t{2}, std::size_t{30}}) {
        Tree t = chain(150000, cycle, 1.0);
        Matrix bg(3, cycle);
        for (std::size_t c = 0; c < cycle; ++c) {
            bg(1, c) = c == 0 ? -1e9 : 5.0;
            bg(2, c) = c == 1 ? -1e9 : 5.0;
        }
        count_cover(t, bg);
        Matrix x(1, cycle);
        std::fill(x.values.begin(), x.values.end(), 1.0);
        const auto out = regression_shap(t, bg).explain(x.view());
        EXPECT_NEAR(sum(out[0][0]), -1.0 - leaf_mean(t, bg), 1e-9) << cycle << " features";
    }
}

}  // namespace
}  // namespace canopy
