#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/rng.hpp"
#include "engine/row_blocks.hpp"
#include "estimators/boosting/canopy.hpp"
#include "estimators/boosting/classifier.hpp"
#include "estimators/boosting/export.hpp"
#include "estimators/boosting/inner_forest.hpp"
#include "estimators/boosting/regressor.hpp"
#include "same_tree.hpp"

namespace canopy {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Tree leaf_tree(double value, std::size_t n_samples = 1) {
    Tree t;
    const auto id = t.add_node();
    t.nodes[id].value = value;
    t.nodes[id].n_samples = n_samples;
    return t;
}

// Root on `root_feature` (<= 0.5) whose left child splits on `left_feature` (<= -1) into
// leaves 1 and 2; the right child is leaf 3. Stored in pre-order.
Tree small_tree(std::size_t root_feature, std::size_t left_feature) {
    Tree t;
    for (int i = 0; i < 5; ++i) t.add_node();
    t.set_split(0, root_feature, 0.5, 1, 4);
    t.set_split(1, left_feature, -1.0, 2, 3);
    t.nodes[0].n_samples = 10;
    t.nodes[1].n_samples = 6;
    t.nodes[2].value = 1.0;
    t.nodes[3].value = 2.0;
    t.nodes[4].value = 3.0;
    return t;
}

Forest forest_of(std::initializer_list<Tree> trees) {
    Forest f;
    for (const Tree& t : trees) f.trees.push_back(PackedTree::pack(t));
    return f;
}

bool same_trees(const Forest& a, const Forest& b) {
    return std::equal(
        a.trees.begin(), a.trees.end(), b.trees.begin(), b.trees.end(),
        [](const PackedTree& p, const PackedTree& q) { return bool(same_tree(p, q)); });
}

struct ForestData {
    Matrix x;
    std::vector<double> y, w;
    TreeParams params;

    ForestData(std::size_t rows, std::uint64_t seed, std::size_t depth)
        : x(rows, 4), y(rows), w(rows, 1.0) {
        Pcg64 g = Pcg64::seed_from_u64(seed);
        for (double& v : x.values) v = static_cast<double>(g.next_u64() % 1000) / 100.0;
        for (std::size_t i = 0; i < rows; ++i) y[i] = x(i, 0) * 2.0 - x(i, 2);
        params.max_depth = depth;
    }
    Forest plain(std::size_t n_trees, Pcg64& rng, bool hist) const {
        return fit_internal_rf(x.view(), y, w, n_trees, params, true, rng, hist);
    }
    StreamedForest streamed(std::size_t n_trees, Pcg64& rng, bool hist, std::size_t min_trees,
                            double tol) const {
        return fit_internal_rf_streaming(x.view(), y, w, n_trees, params, true, rng, hist,
                                         min_trees, false, tol);
    }
    // The training predictions are the kept forest's average.
    void expect_train_predictions(const StreamedForest& s) const {
        for (std::size_t i = 0; i < x.rows; ++i) {
            ASSERT_EQ(s.train_predictions[i], forest_predict(s.forest, x.row(i)));
        }
    }
};

// ---- Conformal calibration, Wilson intervals, softmax ---------------------------------------

TEST(Conformal, IndexScaleAndCalibrationSize) {
    const std::vector<std::pair<std::size_t, std::size_t>> index = {
        {1, 0}, {2, 1}, {20, 19}, {58, 57}, {59, 57}, {99, 95}, {100, 96}, {1000, 951}};
    for (auto [n_cal, i] : index) EXPECT_EQ(conformal_index(n_cal), i) << n_cal;

    // One branch per row of the critical-value table; 0.05 itself within 1e-6.
    const std::vector<std::pair<double, double>> scale = {
        {0.0500001, 1.0},           {0.0100001, 1.0},          {0.01, 1.3142857142857143},
        {kNaN, 1.3142857142857143}, {0.1, 0.8392857142857143}, {0.2, 0.653061224489796}};
    for (auto [alpha, s] : scale) EXPECT_EQ(conformal_alpha_scale(alpha), s) << alpha;

    // Truncates, and a NaN fraction gives no calibration rows.
    EXPECT_EQ(calibration_size(0.2, 14), 2u);
    EXPECT_EQ(calibration_size(0.5, 7), 3u);
    EXPECT_EQ(calibration_size(0.2, 4), 0u);
    EXPECT_EQ(calibration_size(kNaN, 1000), 0u);
    EXPECT_EQ(clamp_conformal_fraction(0.05), 0.1);
    EXPECT_EQ(clamp_conformal_fraction(0.9), 0.5);
    EXPECT_TRUE(std::isnan(clamp_conformal_fraction(kNaN)));
}

TEST(Wilson, CriticalValueRowsAndEdges) {
    // The exact values per alpha are checked from Python; here the rows' boundaries.
    const auto width = [](double alpha) {
        const Interval iv = wilson_interval(0.3, 50.0, alpha);
        return iv[1] - iv[0];
    };
    EXPECT_EQ(width(-3.0), width(0.01));
    EXPECT_EQ(width(0.02), width(0.05));
    EXPECT_EQ(width(0.06), width(0.1));
    EXPECT_EQ(width(kNaN), width(0.9));
    // At p = 1 and p = 0 the interval reaches the edge of [0, 1].
    EXPECT_EQ(wilson_interval(1.0, 400.0, 0.05)[1], 1.0);
    EXPECT_EQ(wilson_interval(0.0, 400.0, 0.05)[0], 0.0);
    const Interval none = wilson_interval(0.7, 0.0, 0.05);  // no trees
    EXPECT_TRUE(std::isnan(none[0]) && std::isnan(none[1]));
}

TEST(Softmax, ValuesAndOddRows) {
    // (Ordinary rows are checked through the multiclass model from Python.)
    const auto big = softmax(std::vector<double>{1000.0, 1000.0 + std::log(3.0)});
    EXPECT_NEAR(big[0], 0.25, 1e-12);
    EXPECT_EQ(softmax(std::vector<double>{-INFINITY, 0.0}), (std::vector<double>{0.0, 1.0}));
    EXPECT_TRUE(softmax(std::vector<double>{}).empty());
    // A NaN score poisons the sum: the whole row is NaN.
    for (double p : softmax(std::vector<double>{0.0, kNaN, 1.0})) EXPECT_TRUE(std::isnan(p));
    for (double p : softmax(std::vector<double>{INFINITY, 0.0})) EXPECT_TRUE(std::isnan(p));
}

// ---- Export and importances ----------------------------------------------------------------

TEST(Export, FlattenIsPreOrder) {
    ExportedTree flat;
    EXPECT_EQ(flatten_tree(PackedTree::pack(small_tree(3, 1)), flat), 0);
    EXPECT_EQ(flat.children_left, (std::vector<std::int64_t>{1, 2, -1, -1, -1}));
    EXPECT_EQ(flat.children_right, (std::vector<std::int64_t>{4, 3, -1, -1, -1}));
    EXPECT_EQ(flat.feature, (std::vector<std::int64_t>{3, 1, -1, -1, -1}));
    EXPECT_EQ(flat.threshold[0], 0.5);
    EXPECT_TRUE(std::isnan(flat.threshold[2]));
    EXPECT_EQ(flat.value, (std::vector<double>{0.0, 0.0, 1.0, 2.0, 3.0}));
    // A second tree into the same lists numbers its nodes after the first's.
    EXPECT_EQ(flatten_tree(PackedTree::pack(small_tree(0, 0)), flat), 5);
    EXPECT_EQ(flat.children_left[5], 6);
    EXPECT_EQ(flat.children_right[5], 9);
}

TEST(Importances, SamplesAtSplitsOfEveryFeatureNormalisedOverAllSplits) {
    const std::vector<Forest> forests = {
        forest_of({small_tree(1, 0)}),   // 10 rows on feature 1, 6 on feature 0
        forest_of({small_tree(4, 1)})};  // a later tree reaches feature 4
    EXPECT_EQ(compute_feature_importances(forests, 5),
              (std::vector<double>{6.0 / 32.0, 16.0 / 32.0, 0.0, 0.0, 10.0 / 32.0}));
    EXPECT_THROW(compute_feature_importances(forests, 4), InternalError);

    EXPECT_EQ(compute_feature_importances({forest_of({leaf_tree(1.0, 9), small_tree(2, 3)})}, 4),
              (std::vector<double>{0.0, 0.0, 10.0 / 16.0, 6.0 / 16.0}));
    EXPECT_EQ(compute_feature_importances({}, 3), (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_TRUE(compute_feature_importances(std::vector<Forest>(2), 0).empty());
}

// ---- Inner forests -------------------------------------------------------------------------

TEST(InnerForest, PredictAveragesInTreeOrder) {
    const std::vector<double> row{0.0, 0.0, 0.0};
    EXPECT_EQ(forest_predict(Forest{}, row), 0.0);
    const Forest forest = forest_of({leaf_tree(0.1), leaf_tree(0.2), small_tree(0, 1)});
    EXPECT_EQ(forest_predict(forest, row), ((0.1 + 0.2) + 2.0) / 3.0);  // row reaches 2.0

    Matrix x(700, 3);  // more than one batch of rows
    for (std::size_t i = 0; i < x.rows; ++i) {
        x(i, 0) = static_cast<double>(i % 3) - 1.0;
        x(i, 1) = i % 7 == 0 ? kNaN : static_cast<double>(i % 5) - 2.0;  // NaN goes right
    }
    const auto rows = forest_predict_rows(forest, x.view());
    for (std::size_t i = 0; i < x.rows; ++i) EXPECT_EQ(rows[i], forest_predict(forest, x.row(i)));
    EXPECT_EQ(forest_predict_rows(Forest{}, x.view()), std::vector<double>(700, 0.0));
    // Rows too short for a tested feature abort instead of reading past the row.
    EXPECT_THROW(forest_predict_rows(forest, Matrix(4, 1).view()), InternalError);
}

TEST(InnerForest, PlainFitIsReproducibleAndConsumesTheGeneratorLikeThePlan) {
    const ForestData d(60, 3, 4);
    for (bool hist : {false, true}) {
        Pcg64 a = Pcg64::seed_from_u64(7), b = Pcg64::seed_from_u64(7);
        Pcg64 plan = Pcg64::seed_from_u64(7);
        const Forest fa = d.plain(5, a, hist);
        EXPECT_EQ(fa.size(), 5u);
        EXPECT_TRUE(same_trees(fa, d.plain(5, b, hist)));
        draw_tree_tasks(plan, 5, 60, true);
        EXPECT_EQ(a.next_u64(), plan.next_u64());
        // The next round continues the stream: a second forest differs from the first.
        EXPECT_FALSE(same_trees(fa, d.plain(5, b, hist)));
    }
}

TEST(InnerForest, StreamingRunsTheTestOnlyFromMinTrees) {
    const ForestData d(50, 5, 3);
    // min_trees above n_trees: no stop test, all trees in tree-index order, same stream.
    Pcg64 plain_rng = Pcg64::seed_from_u64(11), stream_rng = Pcg64::seed_from_u64(11);
    const Forest plain = d.plain(6, plain_rng, false);
    const StreamedForest all = d.streamed(6, stream_rng, false, 7, 1e9);
    EXPECT_TRUE(same_trees(plain, all.forest));
    EXPECT_EQ(plain_rng.next_u64(), stream_rng.next_u64());
    d.expect_train_predictions(all);

    // A tolerance above any change stops at the first test, never before two trees.
    for (std::size_t min_trees : {0u, 2u, 5u}) {
        Pcg64 rng = Pcg64::seed_from_u64(1);
        const StreamedForest s = d.streamed(30, rng, true, min_trees, 1e9);
        EXPECT_GE(s.forest.trees.size(), std::max<std::size_t>(2, min_trees));
        EXPECT_LE(s.forest.trees.size(), 30u);
        d.expect_train_predictions(s);
    }
    // Constant targets settle every row under the tol <= 0 regression rule.
    Pcg64 rng = Pcg64::seed_from_u64(2);
    const std::vector<double> constant(d.x.rows, 4.0);
    const StreamedForest flat = fit_internal_rf_streaming(d.x.view(), constant, d.w, 25, d.params,
                                                          true, rng, false, 3, false, 0.0);
    EXPECT_GE(flat.forest.trees.size(), 3u);
    for (double p : flat.train_predictions) EXPECT_EQ(p, 4.0);

    // No trees, or one.
    const StreamedForest none = fit_internal_rf_streaming(d.x.view(), d.y, d.w, 0, TreeParams{},
                                                          true, rng, false, 3, true, 0.0);
    EXPECT_TRUE(none.forest.trees.empty());
    EXPECT_EQ(none.train_predictions, std::vector<double>(50, 0.0));
    EXPECT_EQ(d.streamed(1, rng, false, 0, 1e9).forest.trees.size(), 1u);
}

TEST(InnerForest, StreamingKeepsAnOrderedSubsetOfThePlainForest) {
    // Whatever the scheduling, the kept trees are trees of the plain forest drawn from the
    // same generator state, in increasing tree index.
    const ForestData d(80, 21, 5);
    Pcg64 plain_rng = Pcg64::seed_from_u64(5);
    const Forest plain = d.plain(24, plain_rng, true);
    for (int rep = 0; rep < 10; ++rep) {
        for (double tol : {0.05, 0.0}) {
            Pcg64 rng = Pcg64::seed_from_u64(5);
            const StreamedForest s = d.streamed(24, rng, true, 3, tol);
            ASSERT_GE(s.forest.trees.size(), 3u);
            std::size_t next = 0;
            for (const PackedTree& kept : s.forest.trees) {
                while (next < plain.trees.size() && !same_tree(kept, plain.trees[next])) ++next;
                ASSERT_LT(next++, plain.trees.size()) << "kept tree out of order or unknown";
            }
            d.expect_train_predictions(s);
        }
    }
}

TEST(StopTest, ToleranceAndNonPositiveTolRules) {
    // k = 2: previous means 2 and 2; the latest tree predicted 1 and 3, so each mean moved
    // by |p - previous| / k = 0.5.
    const std::vector<double> latest{1.0, 3.0}, mean{1.5, 2.5}, m2{0.5, 0.5};
    EXPECT_TRUE(streaming_should_stop(latest, mean, m2, 2, false, 0.6));
    EXPECT_FALSE(streaming_should_stop(latest, mean, m2, 2, false, 0.5));
    EXPECT_FALSE(streaming_should_stop(latest, mean, m2, 2, true, 0.5));
    EXPECT_TRUE(streaming_should_stop({}, {}, {}, 2, false, 1e-12));  // no rows: nothing moved

    // Regression, tol <= 0: means spread over [0, 9], half-width target 0.45; nine of ten
    // rows settled is enough, eight is not.
    const std::size_t n = 10;
    std::vector<double> spread(n), var(n, 0.0);
    std::iota(spread.begin(), spread.end(), 0.0);
    var[9] = 100.0;
    EXPECT_TRUE(streaming_should_stop(spread, spread, var, 4, false, 0.0));
    var[8] = 100.0;
    EXPECT_FALSE(streaming_should_stop(spread, spread, var, 4, false, 0.0));
    EXPECT_FALSE(streaming_should_stop({}, {}, {}, 4, false, 0.0));

    // Classification: far from 0.5 is decided once k is large enough; 0 never is.
    const std::vector<double> far(n, 3.0), zero(n, 0.0);
    EXPECT_TRUE(streaming_should_stop(far, far, zero, 20, true, -1.0));
    EXPECT_FALSE(streaming_should_stop(far, far, zero, 2, true, -1.0));
    EXPECT_FALSE(streaming_should_stop(zero, zero, zero, 1000, true, 0.0));
    EXPECT_FALSE(streaming_should_stop({}, {}, {}, 20, true, 0.0));
}

// ---- Classifier prediction on hand-built models ------------------------------------------

CanopyClassifier hand_model(std::vector<double> init, std::size_t n_classes) {
    CanopyClassifier c{BoostConfig{}};
    c.init_scores = std::move(init);
    c.n_classes = n_classes;
    c.is_fitted = true;
    return c;
}

TEST(ClassifierPredict, RawScoresAddForestsPerOutputInRoundOrder) {
    std::vector<Forest> forests;
    const double v[5] = {0.3, -0.7, 1.1, 0.05, 2.5};
    for (int j = 0; j < 5; ++j)
        forests.push_back(forest_of({leaf_tree(v[j]), leaf_tree(v[j] * 3.0)}));
    const std::vector<double> init{0.1, 0.2, 0.3};
    const auto raw = get_raw_predictions(forests, init, Matrix(2, 1).view(), 3, 0.25);
    auto fp = [&](int j) { return (v[j] + v[j] * 3.0) / 2.0; };
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[1],
              (std::vector<double>{(0.1 + 0.25 * fp(0)) + 0.25 * fp(3),
                                   (0.2 + 0.25 * fp(1)) + 0.25 * fp(4), 0.3 + 0.25 * fp(2)}));
}

// Row counts below one block, one past a block, and several blocks with a short last one,
// each with one worker and with two: every row must get exactly the sums a lone row gets,
// added forest by forest in storage order.
TEST(BoostedPredict, RowBlocksKeepEveryRowsOrderOfAdditions) {
    std::vector<Forest> forests;
    Pcg64 rng = Pcg64::seed_from_u64(41);
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        forests.push_back(ForestData(200, seed, 5).plain(3, rng, seed % 2 == 0));
    }
    forests.insert(forests.begin() + 4, Forest{});  // a forest without trees adds 0.0
    const std::vector<double> init{0.25, -1.5, 3.0};
    const double lr = 0.3;
    for (std::size_t n : {std::size_t{1}, std::size_t{7}, kMaxRowBlock + 1, 2 * kMaxRowBlock + 5}) {
        Matrix x(n, 4);
        Pcg64 g = Pcg64::seed_from_u64(n);
        for (double& v : x.values) {
            v = g.index_u64(50) == 0 ? kNaN : static_cast<double>(g.next_u64() % 1000) / 100.0;
        }
        for (std::size_t workers : {1, 2}) {
            const CallScope scope(CallHooks{nullptr, nullptr, workers});
            const std::vector<double> sum = boosted_sum(forests, init[1], lr, x.view());
            const auto raw = get_raw_predictions(forests, init, x.view(), 3, lr);
            ASSERT_EQ(sum.size(), n);
            ASSERT_EQ(raw.size(), n);
            for (std::size_t i = 0; i < n; ++i) {
                double expected = init[1];
                std::vector<double> columns = init;
                for (std::size_t j = 0; j < forests.size(); ++j) {
                    const double fp = forest_predict(forests[j], x.row(i));
                    expected = expected + lr * fp;
                    columns[j % 3] = columns[j % 3] + lr * fp;
                }
                ASSERT_EQ(sum[i], expected) << n << " rows, row " << i << ", " << workers;
                ASSERT_EQ(raw[i], columns) << n << " rows, row " << i << ", " << workers;
            }
        }
    }
}

TEST(ClassifierPredict, BinaryMulticlassAndOneClassRules) {
    const Matrix x(3, 2);
    const auto binary = hand_model({0.0}, 2);
    EXPECT_EQ(binary.predict_proba(x.view())[0], (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(binary.predict(x.view())[0], 0.0);
    EXPECT_EQ(hand_model({1e-9}, 2).predict(x.view())[0], 1.0);
    // Three equal scores: the highest index wins.
    const auto tied = hand_model({0.5, 0.5, 0.5}, 3);
    EXPECT_EQ(tied.predict(x.view())[2], 2.0);
    EXPECT_EQ(hand_model({0.5, 0.9, 0.5}, 3).predict(x.view())[0], 1.0);

    EXPECT_THROW(hand_model({std::log(0.99999)}, 1).predict_ci(x.view(), 0.05), UserError);

    // Overflowed scores give NaN probabilities; the prediction says so instead of guessing.
    const auto broken = hand_model({kNaN, 0.0, 1.0}, 3);
    EXPECT_TRUE(std::isnan(broken.predict(x.view())[0]));
    EXPECT_TRUE(std::isnan(broken.predict_proba(x.view())[0][2]));
    // No forests: N = 0 trials.
    const auto ci = binary.predict_ci(x.view(), 0.05);
    EXPECT_TRUE(std::isnan(ci[0][0]) && std::isnan(ci[0][1]));
}

}  // namespace
}  // namespace canopy
