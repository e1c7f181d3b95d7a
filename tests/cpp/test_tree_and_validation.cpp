#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/errors.hpp"
#include "engine/forest.hpp"
#include "engine/tree.hpp"
#include "engine/validation.hpp"

namespace canopy {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FormatFloat, ShortestPositionalText) {
    EXPECT_EQ(format_float(-2.0), "-2");
    EXPECT_EQ(format_float(-0.5), "-0.5");
    EXPECT_EQ(format_float(0.1), "0.1");
    EXPECT_EQ(format_float(1e20), "100000000000000000000");
    EXPECT_EQ(format_float(1.5e-7), "0.00000015");
    EXPECT_EQ(format_float(kNaN), "NaN");
    EXPECT_EQ(format_float(kInf), "inf");
    EXPECT_EQ(format_float(-kInf), "-inf");
    EXPECT_EQ(format_float(-1e-300).substr(0, 8), "-0.00000");
    EXPECT_EQ(format_float(std::numeric_limits<double>::max()).size(), 309u);
}

TEST(ClassIndex, TruncatesTowardZeroAndSaturates) {
    EXPECT_EQ(class_index(2.9), 2u);
    EXPECT_EQ(class_index(1.9), 1u);
    EXPECT_EQ(class_index(-1.0), 0u);
    EXPECT_EQ(class_index(-3.0), 0u);
    EXPECT_EQ(class_index(kNaN), 0u);
    EXPECT_EQ(class_index(1e30), std::numeric_limits<std::uint64_t>::max());
}

// Root splitting feature 1 at 0.5: left leaf (regression) and right leaf (classification).
Tree two_leaf_tree() {
    Tree t;
    const auto root = t.add_node();
    const auto l = t.add_node();
    const auto r = t.add_node();
    t.set_split(root, 1, 0.5, l, r);
    t.nodes[l].value = -1.0;
    const ClassCount counts[] = {{0, 1.0}, {1, 3.0}, {5, 4.0}};
    t.set_leaf_counts(r, counts);
    t.nodes[r].value = 5.0;
    return t;
}

// The leaf the packed walk reaches for one row.
std::uint32_t leaf_of(const PackedTree& tree, std::span<const double> row) {
    const MatrixView one{row.data(), 1, row.size(), static_cast<std::ptrdiff_t>(row.size()), 1};
    std::uint32_t leaf = 0;
    tree.find_leaves(one, 0, 1, &leaf);
    return leaf;
}

TEST(Tree, WalkComparesLessOrEqualAndSendsNaNRight) {
    const PackedTree t = PackedTree::pack(two_leaf_tree());
    const double at[] = {9.0, 0.5};
    const double above[] = {9.0, 0.6};
    const double nan_row[] = {9.0, kNaN};
    const double minus_inf[] = {9.0, -kInf};
    EXPECT_EQ(leaf_of(t, at), 1u);
    EXPECT_EQ(leaf_of(t, above), 2u);
    EXPECT_EQ(leaf_of(t, nan_row), 2u);
    EXPECT_EQ(leaf_of(t, minus_inf), 1u);
    const double short_row[] = {9.0};
    EXPECT_THROW(leaf_of(t, short_row), InternalError);
    EXPECT_EQ(t.depth(), 1u);
    EXPECT_EQ(t.n_leaves(), 2u);
    EXPECT_EQ(t.values, (std::vector<double>{0.0, -1.0, 5.0}));
}

TEST(Tree, ProbabilitiesDropClassesBeyondTheVector) {
    const Tree tree = two_leaf_tree();
    const auto proba = [&](std::size_t n_classes, std::uint32_t leaf) {
        std::vector<double> p(n_classes, 0.0);
        PackedTree::pack(tree, n_classes).add_proba(leaf, p.data());
        return p;
    };
    EXPECT_EQ(proba(2, 2), (std::vector<double>{1.0 / 8.0, 3.0 / 8.0}));
    EXPECT_EQ(proba(6, 2).back(), 0.5);
    EXPECT_EQ(proba(9, 2)[5], 0.5);                         // as a run of the leaf's classes
    EXPECT_EQ(proba(3, 1), (std::vector<double>(3, 0.0)));  // regression leaf
}

TEST(CreateLeaf, RegressionAndClassification) {
    const std::vector<double> y = {1.0, 1.5, 2.0, 2.9, -3.0};
    const std::vector<double> w = {1.0, 3.0, 0.0, 1.0, 2.0};
    Tree t;
    const RowIndex rows[] = {0, 1, 1, 2};  // row 1 twice
    create_leaf(t, t.add_node(), y, w, rows, false);
    EXPECT_EQ(t.nodes[0].value, (1.0 + 4.5 + 4.5 + 0.0) / 7.0);
    EXPECT_EQ(t.nodes[0].n_samples, 4u);
    EXPECT_FALSE(t.nodes[0].has_counts);

    const RowIndex all[] = {0, 1, 2, 3, 4};
    const auto id = t.add_node();
    create_leaf(t, id, y, w, all, true);
    const auto counts = t.class_counts(t.nodes[id]);
    ASSERT_EQ(counts.size(), 3u);  // classes 0 (from -3), 1 (1.0, 1.5), 2 (2.0, 2.9)
    EXPECT_EQ(counts[0].cls, 0u);
    EXPECT_EQ(counts[0].weight, 2.0);
    EXPECT_EQ(counts[2].weight, 1.0);
    EXPECT_EQ(t.nodes[id].value, 1.0);  // class 1 holds weight 4

    // Empty and weightless leaves.
    const auto empty = t.add_node();
    create_leaf(t, empty, y, w, {}, true);
    EXPECT_EQ(t.nodes[empty].value, 0.0);
    EXPECT_TRUE(t.nodes[empty].has_counts);
    EXPECT_EQ(t.nodes[empty].counts_size, 0u);
    const RowIndex weightless[] = {2};
    const auto zero = t.add_node();
    create_leaf(t, zero, y, w, weightless, false);
    EXPECT_EQ(t.nodes[zero].value, 0.0);
    const auto zero_c = t.add_node();
    create_leaf(t, zero_c, y, w, weightless, true);
    int calls = 0;  // counts summing to 0 give no probabilities
    for_each_leaf_probability(t, t.nodes[zero_c], [&](std::uint64_t, double) { ++calls; });
    EXPECT_EQ(calls, 0);
}

MatrixView view_of(const std::vector<double>& data, std::size_t rows, std::size_t cols) {
    return {data.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
}

TEST(Validation, FiniteChecksReportTheFirstBadValue) {
    std::vector<double> x = {1, 2, 3, kInf, 5, kNaN};  // 3 x 2
    std::vector<double> y = {0, kNaN, 1};
    EXPECT_EQ(*validate_finite(view_of(x, 3, 2), {y.data(), 3, 1}),
              "X contains non-finite value at row 1, column 1 (inf). Impute or drop missing "
              "values before fitting.");
    x[3] = 4.0;
    x[5] = 6.0;
    EXPECT_EQ(*validate_finite(view_of(x, 3, 2), {y.data(), 3, 1}),
              "y contains non-finite value at index 1 (NaN).");
    y[1] = -kInf;
    EXPECT_EQ(*validate_finite(view_of(x, 3, 2), {y.data(), 3, 1}),
              "y contains non-finite value at index 1 (-inf).");
    y[1] = 0.0;
    EXPECT_FALSE(validate_finite(view_of(x, 3, 2), {y.data(), 3, 1}).has_value());
    // Column-major strides are scanned in row-major order.
    std::vector<double> f = {1, kNaN, kNaN, 1};  // 2 x 2 Fortran: (0,1) and (1,0) are NaN
    MatrixView fortran{f.data(), 2, 2, 1, 2};
    EXPECT_EQ(validate_finite(fortran, {y.data(), 0, 1})->substr(0, 45),
              "X contains non-finite value at row 0, column ");
    EXPECT_NE(validate_finite(fortran, {y.data(), 0, 1})->find("column 1 (NaN)"), std::string::npos);
}

TEST(Validation, WeightChecks) {
    std::vector<double> w = {1.0, -0.5, kNaN};
    EXPECT_EQ(*validate_weights({w.data(), 3, 1}, 4),
              "sample_weight length (3) does not match number of samples (4)");
    EXPECT_EQ(*validate_weights({w.data(), 3, 1}, 3),
              "sample_weight[1] = -0.5 is not a non-negative finite number");
    w = {0.0, -0.0, 2.0};
    EXPECT_FALSE(validate_weights({w.data(), 3, 1}, 3).has_value());
    w = {0.0, -1e-300, 2.0};
    EXPECT_TRUE(validate_weights({w.data(), 3, 1}, 3).has_value());
    w = {-2.0};
    EXPECT_EQ(*validate_weights({w.data(), 1, 1}, 1),
              "sample_weight[0] = -2 is not a non-negative finite number");
}

TEST(Validation, PrepareSupervisedRejectsShortTargetsAndCopiesStridedInput) {
    std::vector<double> x = {1, 2, 3, 4, 5, 6};
    std::vector<double> y = {7, 0, 8, 0, 9, 0};
    EXPECT_THROW(prepare_supervised(view_of(x, 3, 2), {y.data(), 2, 1}, std::nullopt), UserError);
    const auto in = prepare_supervised(view_of(x, 3, 2), {y.data(), 3, 2}, std::nullopt);
    EXPECT_EQ(in.y, (std::vector<double>{7, 8, 9}));
    EXPECT_EQ(in.weight, (std::vector<double>{1, 1, 1}));
    std::vector<double> w = {1.0, 2.0};
    EXPECT_THROW(prepare_supervised(view_of(x, 3, 2), {y.data(), 3, 2},
                                    VectorView{w.data(), 2, 1}),
                 UserError);
}

}  // namespace
}  // namespace canopy
