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

// (The walk of a fitted tree is compared with the grown tree in test_forest.cpp, whose
// answers the Python tests pin down.)

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

    // An empty leaf: value 0, no counts.
    const auto empty = t.add_node();
    create_leaf(t, empty, y, w, {}, true);
    EXPECT_EQ(t.nodes[empty].value, 0.0);
    EXPECT_TRUE(t.nodes[empty].has_counts);
    EXPECT_EQ(t.nodes[empty].counts_size, 0u);
}

TEST(Validation, FirstBadValueInRowOrderAndTinyNegativeWeights) {
    // (The messages themselves are pinned through every estimator's fit from Python.)
    std::vector<double> f = {1, kNaN, kNaN, 1};  // 2 x 2 Fortran: (0,1) and (1,0) are NaN
    const MatrixView fortran{f.data(), 2, 2, 1, 2};
    EXPECT_NE(validate_finite(fortran, {f.data(), 0, 1})->find("row 0, column 1 (NaN)"),
              std::string::npos);
    std::vector<double> w = {0.0, -0.0, 2.0};
    EXPECT_FALSE(validate_weights({w.data(), 3, 1}, 3).has_value());
    w = {0.0, -1e-300, 2.0};
    EXPECT_TRUE(validate_weights({w.data(), 3, 1}, 3).has_value());
    w = {-2.0};
    EXPECT_EQ(*validate_weights({w.data(), 1, 1}, 1),
              "sample_weight[0] = -2 is not a non-negative finite number");
    w = {1e308, 1e308};
    EXPECT_EQ(*validate_weights({w.data(), 2, 1}, 2),
              "sample_weight total is not finite (the weights sum to inf); scale the weights down");
}

TEST(Validation, ClassesMustBeExactlyZeroToKMinusOne) {
    EXPECT_FALSE(validate_classes({}).has_value());
    EXPECT_FALSE(validate_classes({0, 1, 2}).has_value());
    const std::string expected =
        "y must hold the class labels 0, 1, ..., k-1, each at least once; "
        "after truncation toward zero it holds ";
    EXPECT_EQ(*validate_classes({1}), expected + "1 class: [1]");
    std::vector<std::uint64_t> many(25);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = i + 1;
    EXPECT_EQ(*validate_classes(many),
              expected + "25 classes: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, ..., 25]");
}

}  // namespace
}  // namespace canopy
