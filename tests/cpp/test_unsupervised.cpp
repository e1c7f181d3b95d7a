#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <vector>

#include "engine/errors.hpp"
#include "engine/rng.hpp"
#include "estimators/unsupervised/forest.hpp"
#include "estimators/unsupervised/mds.hpp"
#include "estimators/unsupervised/outliers.hpp"
#include "estimators/unsupervised/proximity.hpp"

namespace canopy {
namespace {

// ---- Hand-built forests ----------------------------------------------------------------------

// A random pre-order tree over `n_features` columns with thresholds in [0, 1); some branches
// stop early so leaves sit at different depths.
std::uint32_t grow_random(Tree& tree, std::size_t depth, std::size_t n_features, Pcg64& rng) {
    const std::uint32_t id = tree.add_node();
    if (depth == 0 || rng.index_u64(5) == 0) {
        tree.nodes[id].value = static_cast<double>(rng.index_u64(2));
        return id;
    }
    const std::size_t feature = rng.index_u64(n_features);
    const double threshold = static_cast<double>(rng.index_u64(1000)) / 1000.0;
    const std::uint32_t left = grow_random(tree, depth - 1, n_features, rng);
    const std::uint32_t right = grow_random(tree, depth - 1, n_features, rng);
    tree.set_split(id, feature, threshold, left, right);
    return id;
}

Tree one_split(std::size_t feature) {
    Tree tree;
    for (int i = 0; i < 3; ++i) tree.add_node();
    tree.set_split(0, feature, 0.5, 1, 2);
    return tree;
}

// `levels` splits on column 0 in pre-order, each sending rows with x0 <= 0.5 further left.
std::uint32_t left_chain(Tree& tree, int levels) {
    const std::uint32_t id = tree.add_node();
    if (levels > 0) {
        const std::uint32_t l = left_chain(tree, levels - 1);
        tree.set_split(id, 0, 0.5, l, tree.add_node());
    }
    return id;
}

RandomForestUnsupervised hand_model(Matrix x, std::vector<Tree> trees,
                                    std::vector<std::vector<RowIndex>> oob) {
    RandomForestUnsupervised m{UnsupervisedConfig{}};
    m.n_samples = x.rows;
    m.x_train = std::move(x);
    m.is_fitted = true;
    for (const Tree& t : trees) m.forest.trees.push_back(PackedTree::pack(t));
    m.oob_sets = std::move(oob);
    return m;
}

// A literal descent of a packed tree: the leaf's node id.
std::uint32_t reference_leaf(const PackedTree& tree, std::span<const double> row) {
    std::uint32_t id = 0;
    while (!tree.is_leaf(id)) {
        const PackedNode& n = tree.nodes[id];
        id = row[n.feature] <= n.threshold ? id + 1 : n.right;
    }
    return id;
}

// Random trees and out-of-bag sets, among them an empty set and a full one, so that every
// branch of the validity rule is exercised.
RandomForestUnsupervised random_forest(std::size_t n, std::size_t p, std::size_t n_trees,
                                       std::size_t depth, std::uint64_t seed) {
    Pcg64 rng = Pcg64::seed_from_u64(seed);
    Matrix x(n, p);
    for (double& v : x.values) v = static_cast<double>(rng.index_u64(1000)) / 1000.0;
    std::vector<Tree> trees;
    std::vector<std::vector<RowIndex>> oob_sets;
    for (std::size_t t = 0; t < n_trees; ++t) {
        trees.emplace_back();
        grow_random(trees.back(), depth, p, rng);
        std::vector<RowIndex> oob;
        for (RowIndex i = 0; i < n; ++i) {
            if (t == 0 ? false : t == 1 ? true : rng.index_u64(3) == 0) oob.push_back(i);
        }
        oob_sets.push_back(std::move(oob));
    }
    return hand_model(std::move(x), std::move(trees), std::move(oob_sets));
}

// ---- Pair-by-pair references -------------------------------------------------------------------

bool valid_pair(const std::set<RowIndex>& oob, std::size_t i, std::size_t j) {
    return !oob.empty() && (oob.count(RowIndex(i)) || oob.count(RowIndex(j)));
}

Matrix naive_proximity(const RandomForestUnsupervised& m, bool use_oob) {
    const std::size_t n = m.n_samples;
    std::vector<double> same(n * n, 0.0), valid(n * n, 0.0);
    for (std::size_t t = 0; t < m.forest.size(); ++t) {
        const std::set<RowIndex> oob(m.oob_sets[t].begin(), m.oob_sets[t].end());
        std::vector<std::uint32_t> leaf(n);
        for (std::size_t i = 0; i < n; ++i) {
            leaf[i] = reference_leaf(m.forest.trees[t], m.x_train->row(i));
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i; j < n; ++j) {  // each pair once (the benchmark times this)
                if (use_oob && !valid_pair(oob, i, j)) continue;
                for (std::size_t k : {i * n + j, j * n + i}) {
                    same[k] += leaf[i] == leaf[j];
                    valid[k] += 1.0;
                    if (i == j) break;
                }
            }
        }
    }
    Matrix out(n, n);
    for (std::size_t k = 0; k < n * n; ++k) out.values[k] = valid[k] > 0 ? same[k] / valid[k] : 0.0;
    return out;
}

// The neighbour lists exactly as described pair by pair, with groups visited in increasing
// leaf id and a row cut back to its k best (ties: earliest first) once it holds 2k + 1.
std::vector<SparseProximityRow> naive_sparse(const RandomForestUnsupervised& m, std::size_t k) {
    std::vector<SparseProximityRow> rows(m.n_samples);
    const auto cut = [](SparseProximityRow& row, std::size_t keep) {
        std::stable_sort(row.begin(), row.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        if (row.size() > keep) row.resize(keep);
    };
    for (std::size_t t = 0; t < m.forest.size(); ++t) {
        const std::set<RowIndex> oob(m.oob_sets[t].begin(), m.oob_sets[t].end());
        std::map<std::uint32_t, std::vector<std::size_t>> groups;
        for (std::size_t i = 0; i < m.n_samples; ++i)
            groups[reference_leaf(m.forest.trees[t], m.x_train->row(i))].push_back(i);
        for (const auto& [id, members] : groups) {
            for (std::size_t i : members) {
                for (std::size_t j : members) {
                    if (i == j || !valid_pair(oob, i, j)) continue;
                    auto it = std::find_if(rows[i].begin(), rows[i].end(),
                                           [&](const auto& p) { return p.first == j; });
                    if (it != rows[i].end()) {
                        it->second += 1.0;
                    } else {
                        rows[i].emplace_back(j, 1.0);
                    }
                    if (rows[i].size() > 2 * k) cut(rows[i], k);
                }
            }
        }
    }
    for (auto& row : rows) {
        for (auto& p : row) p.second /= static_cast<double>(m.forest.size());
        cut(row, k);
    }
    return rows;
}

// ---- Proximities --------------------------------------------------------------------------------

TEST(UnsupervisedProximity, CountingEqualsPairByPairDefinition) {
    struct Shape {
        std::size_t n, p, trees, depth;
    };
    // The last shape has more trees than a byte counts.
    for (const Shape s : {Shape{1, 2, 3, 3}, Shape{7, 3, 5, 2}, Shape{65, 4, 70, 6},
                          Shape{40, 2, 130, 0}, Shape{33, 5, 9, 12}}) {
        const auto m = random_forest(s.n, s.p, s.trees, s.depth, s.n * 31 + s.trees);
        for (bool use_oob : {true, false}) {
            const Matrix fast = m.proximity_matrix(use_oob);
            ASSERT_EQ(fast.rows, s.n);
            EXPECT_EQ(fast.values, naive_proximity(m, use_oob).values)
                << "n=" << s.n << " trees=" << s.trees << " use_oob=" << use_oob;
        }
        // New rows are compared in every tree: the training rows give the all-trees matrix.
        EXPECT_EQ(m.predict_proximity(m.x_train->view()).values, naive_proximity(m, false).values);
    }
    // Extra columns are never read; a row too short for a tested feature aborts.
    const auto m = random_forest(50, 3, 40, 5, 77);
    EXPECT_EQ(m.predict_proximity(Matrix(2, 5).view()).rows, 2u);
    EXPECT_THROW(m.predict_proximity(Matrix(1, 1).view()), InternalError);
}

TEST(UnsupervisedProximity, LeafIdsAreNodeIndicesAndNeverCollide) {
    // root: x0 <= 0.5 ? (x1 <= 0.5 ? node 2 : node 3) : node 4
    Tree tree;
    for (int i = 0; i < 5; ++i) tree.add_node();
    tree.set_split(0, 0, 0.5, 1, 4);
    tree.set_split(1, 1, 0.5, 2, 3);
    Matrix x(3, 2);
    x(1, 1) = 1.0;
    x(2, 0) = 1.0;
    const auto m = hand_model(x, {tree, Tree(one_split(0))}, {{0}, {0}});
    const LeafGroups g = group_rows_by_leaf(m.forest, 0, *m.x_train, true);
    EXPECT_EQ(g.sorted_ids, (std::vector<std::uint32_t>{2, 3, 4}));
    EXPECT_EQ(g.order, (std::vector<RowIndex>{0, 1, 2}));

    // 64 left turns and "right, then 64 left turns": heap numbers would both wrap to
    // 2^64 - 1 and the two rows would share a leaf; they are different leaves.
    Tree chain;
    const auto root = chain.add_node();
    const auto left = left_chain(chain, 63);
    chain.set_split(root, 1, 0.5, left, left_chain(chain, 64));
    Matrix deep(2, 2);
    deep(1, 1) = 1.0;
    auto d = hand_model(deep, {chain}, {{0, 1}});
    EXPECT_EQ(d.proximity_matrix(true)(0, 1), 0.0);
    EXPECT_EQ(d.predict_proximity(deep.view())(0, 1), 0.0);
    EXPECT_TRUE(d.proximity_sparse(1)[0].empty());
}

TEST(UnsupervisedSparse, MatchesReferenceAndStaysWithinBound) {
    // Shallow trees make leaves of dozens of rows, deeper ones leaves of a few.
    // Leaves of a hundred rows or more put many cuts, and pairs dropped and met again, in
    // one tree.
    struct Shape {
        std::size_t n, depth, trees;
    };
    for (const Shape s : {Shape{60, 1, 25}, Shape{60, 3, 25}, Shape{400, 2, 20}}) {
        for (std::size_t k : {1u, 2u, 5u, 13u, 40u}) {
            if (s.n == 60 && k > 5) continue;
            auto m = random_forest(s.n, 3, s.trees, s.depth, 11 + k);
            std::size_t peak = 0;
            const auto rows = sparse_proximity_rows(m.forest, m.oob_sets, *m.x_train, k, &peak);
            EXPECT_EQ(rows, naive_sparse(m, k))
                << "k=" << k << " n=" << s.n << " depth=" << s.depth;
            EXPECT_LE(peak, 2 * k + 1);
        }
    }
}

TEST(UnsupervisedSparse, FailureKeepsPreviousLists) {
    auto m = random_forest(6, 2, 10, 3, 3);
    m.config.n_neighbors = 0;  // clamped to 1
    EXPECT_EQ(m.proximity_sparse(std::nullopt), m.proximity_sparse(1));
    const auto kept = *m.sparse_proximity;
    m.x_train = Matrix(6, 0);  // every tested feature is now missing
    EXPECT_THROW(m.proximity_sparse(2), InternalError);
    EXPECT_EQ(*m.sparse_proximity, kept);
}

// ---- Outlier scores -----------------------------------------------------------------------------

TEST(UnsupervisedOutliers, RobustStandardisation) {
    EXPECT_EQ(standardise_outlier_scores(std::vector<double>{1, 2, 3, 10}),
              (std::vector<double>{-0.8, -0.4, 0.0, 2.8}));
    // Equal scores: no spread, so 1.0 is used and every score is 0.
    EXPECT_EQ(standardise_outlier_scores(std::vector<double>{4, 4, 4}),
              (std::vector<double>{0, 0, 0}));
    // Median 0: deviations capped at 0, spread 1, scores are the raw values up to the cap.
    EXPECT_EQ(standardise_outlier_scores(std::vector<double>{0, 0, 0, 7, 50}),
              (std::vector<double>{0, 0, 0, 7, 20}));
    // Even count: the upper middle value is the median, never an average.
    EXPECT_EQ(outlier_reference(std::vector<double>{1, 2, 6, 9}).median, 6.0);
    // Deviations are capped at five times the median: |100 - 1| counts as 5.
    EXPECT_EQ(outlier_reference(std::vector<double>{1, 1, 100}).spread, 5.0 / 3.0);
}

TEST(UnsupervisedOutliers, NewRowsAgainstLeaveSelfOutTrainingScores) {
    // A row that meets no training row in any leaf is scored at the cap. Here the training
    // raw scores are 5/4 for the out-of-bag rows 0 and 1 (every other row is a leaf-mate) and
    // 5/2 for the rest (only 0 and 1 are valid partners): median 2.5, spread 0.5; a new row
    // beside all five has raw score 5/5.
    const auto lone = hand_model(Matrix(5, 1), {one_split(0)}, {{0, 1}});  // all rows go left
    Matrix far(2, 1);
    far(0, 0) = 7.0;
    EXPECT_EQ(lone.predict_outlier_scores(far.view()), (std::vector<double>{20.0, -3.0}));
}

// Sum of squares of a dense row in increasing j, as the raw scores were first computed;
// `skip` leaves one term out.
double dense_square_sum(std::span<const double> row, std::size_t skip = SIZE_MAX) {
    double s = 0.0;
    for (std::size_t j = 0; j < row.size(); ++j) {
        if (j != skip) s += row[j] * row[j];
    }
    return s;
}

Matrix random_rows(std::size_t n, std::size_t p, std::uint64_t seed) {
    Pcg64 rng = Pcg64::seed_from_u64(seed);
    Matrix x(n, p);
    for (double& v : x.values) v = static_cast<double>(rng.index_u64(1000)) / 1000.0;
    return x;
}

// predict_outlier_scores from the pair-by-pair matrices: new rows' sums over their dense
// rows against the training rows' leave-self-out sums.
std::vector<double> dense_new_row_scores(const RandomForestUnsupervised& m, const Matrix& x_new) {
    const double n = static_cast<double>(m.n_samples);
    const auto raw = [n](double s) { return s > 0.0 ? n / s : std::numeric_limits<double>::max(); };
    const Matrix train = naive_proximity(m, true);
    std::vector<double> train_raw;
    for (std::size_t i = 0; i < m.n_samples; ++i) {
        train_raw.push_back(raw(dense_square_sum(train.row(i), i)));
    }
    const OutlierReference ref = outlier_reference(train_raw);
    const Matrix p = m.predict_proximity(x_new.view());
    std::vector<double> out;
    for (std::size_t r = 0; r < p.rows; ++r) {
        out.push_back(standardised_score(raw(dense_square_sum(p.row(r))), ref));
    }
    return out;
}

TEST(UnsupervisedOutliers, SquareSumsOverLeafMatesEqualDenseRowsToTheBit) {
    struct Shape {
        std::size_t n, p, trees, depth;
    };
    for (const Shape s :
         {Shape{1, 2, 3, 3}, Shape{7, 3, 5, 2}, Shape{65, 4, 70, 6}, Shape{40, 2, 130, 0},
          Shape{33, 5, 9, 12}, Shape{150, 3, 90, 4}, Shape{70, 3, 300, 3}}) {
        const auto m = random_forest(s.n, s.p, s.trees, s.depth, s.n * 17 + s.trees);
        const Matrix dense = naive_proximity(m, true);
        const SquareSums sums = proximity_square_sums(
            m.oob_sets, group_rows_by_leaf_oob_first(m.forest, m.oob_sets, *m.x_train), s.n);
        for (std::size_t i = 0; i < s.n; ++i) {
            ASSERT_EQ(sums.with_self[i], dense_square_sum(dense.row(i))) << "n=" << s.n;
            ASSERT_EQ(sums.without_self[i], dense_square_sum(dense.row(i), i)) << "n=" << s.n;
        }
        // New rows, among them the training rows themselves and rows off the unit square.
        Matrix x_new = random_rows(s.n + 20, s.p, s.trees);
        std::copy(m.x_train->values.begin(), m.x_train->values.end(), x_new.values.begin());
        x_new(s.n, 0) = 5.0;
        const Matrix p = m.predict_proximity(x_new.view());
        const std::vector<double> new_sums = new_row_square_sums(
            m.forest, group_rows_by_leaf_all(m.forest, *m.x_train, false), s.n, x_new.view());
        ASSERT_EQ(new_sums.size(), x_new.rows);
        for (std::size_t r = 0; r < x_new.rows; ++r) {
            ASSERT_EQ(new_sums[r], dense_square_sum(p.row(r))) << "n=" << s.n << " r=" << r;
        }
        // And the scores built on them.
        std::vector<double> raw;
        for (std::size_t i = 0; i < s.n; ++i) {
            const double sum = dense_square_sum(dense.row(i));
            raw.push_back(sum > 0.0 ? static_cast<double>(s.n) / sum : 0.0);
        }
        EXPECT_EQ(m.outlier_scores(false), standardise_outlier_scores(raw));
        EXPECT_EQ(m.predict_outlier_scores(x_new.view()), dense_new_row_scores(m, x_new));
    }
}

TEST(UnsupervisedOutliers, TrainingSideIsKeptUntilTheModelChanges) {
    const Matrix a = random_rows(90, 3, 1);
    Matrix b = random_rows(90, 3, 2);
    for (std::size_t i = 0; i < b.rows; ++i) b(i, 0) = b(i, 1);  // other structure, same shape
    const Matrix x_new = random_rows(30, 3, 3);
    UnsupervisedConfig config;
    config.n_estimators = 15;
    config.random_state = 4;
    RandomForestUnsupervised m(config);
    m.fit(a.view());
    const std::vector<double> first = m.predict_outlier_scores(x_new.view());
    EXPECT_EQ(first, dense_new_row_scores(m, x_new));
    EXPECT_EQ(m.predict_outlier_scores(x_new.view()), first);  // from the kept reference
    // The square sums kept with the reference serve the training rows' own scores.
    RandomForestUnsupervised fresh_a(config);
    fresh_a.fit(a.view());
    EXPECT_EQ(m.outlier_scores(false), fresh_a.outlier_scores(false));

    m.fit(b.view());
    RandomForestUnsupervised fresh(config);
    fresh.fit(b.view());
    // The training rows' scores first this time: nothing kept from the first model may
    // serve them, nor the reference built after them.
    EXPECT_EQ(m.outlier_scores(false), fresh.outlier_scores(false));
    const std::vector<double> refitted = m.predict_outlier_scores(x_new.view());
    EXPECT_EQ(refitted, fresh.predict_outlier_scores(x_new.view()));
    EXPECT_EQ(refitted, dense_new_row_scores(fresh, x_new));
    EXPECT_NE(refitted, first);
}

// ---- Embedding ----------------------------------------------------------------------------------

TEST(UnsupervisedEmbedding, CoordinatesCarryTheEigenvalues) {
    const auto m = random_forest(40, 3, 30, 4, 8);
    const Embedding e = mds_embedding(m.proximity_matrix(true), 3);
    std::size_t found = 0;
    for (std::size_t c = 0; c < 3; ++c) {
        double sq = 0.0;
        for (std::size_t i = 0; i < 40; ++i) sq += e.coordinates(i, c) * e.coordinates(i, c);
        const double lambda = e.found[c] ? std::abs(e.eigenvalues[c]) : 0.0;
        found += e.found[c];
        EXPECT_NEAR(sq, lambda, 1e-9 * std::max(1.0, lambda));
    }
    EXPECT_GE(found, 1u);
    EXPECT_EQ(m.transform(3).values, e.coordinates.values);

    // A known spectrum: P = I (4 x 4) double-centres to 1/2 (I - J/4), eigenvalue 1/2 for
    // every vector orthogonal to the ones; the alternating start vector is one of them.
    Matrix identity(4, 4);
    for (std::size_t i = 0; i < 4; ++i) identity(i, i) = 1.0;
    const Embedding id = mds_embedding(identity, 1);
    ASSERT_TRUE(id.found[0]);
    EXPECT_DOUBLE_EQ(id.eigenvalues[0], 0.5);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(id.coordinates(i, 0), std::sqrt(0.5) * (i % 2 == 0 ? 0.5 : -0.5));
    }
}

// ---- Importances --------------------------------------------------------------------------------

TEST(UnsupervisedImportances, OnlyTheSplitFeatureMatters) {
    // One tree calls a row real when x0 > 0.5. Its out-of-bag rows all look real in x0 and
    // the others partly do not, so shuffling x0 loses accuracy while x1 is never tested.
    Tree tree = one_split(0);
    tree.nodes[2].value = 1.0;
    Matrix x(40, 2);
    for (std::size_t i = 0; i < 40; ++i) {
        x(i, 0) = i < 30 ? 1.0 : 0.0;
        x(i, 1) = static_cast<double>(i);
    }
    std::vector<RowIndex> oob(20);
    std::iota(oob.begin(), oob.end(), RowIndex{0});
    auto m = hand_model(std::move(x), {tree, tree}, {oob, {}});
    m.config.random_state = 4;
    const auto imp = m.feature_importances();
    EXPECT_EQ(imp, (std::vector<double>{1.0, 0.0}));
    EXPECT_EQ(m.feature_importances(), imp);
}

// ---- Fit and fitted state -----------------------------------------------------------------------

TEST(UnsupervisedFit, TooManyRowsAreRefusedUnread) {
    RandomForestUnsupervised m{UnsupervisedConfig{}};
    const MatrixView huge{nullptr, kMaxRows / 2 + 1, 3, 3, 1};
    try {
        m.fit(huge);
        ADD_FAILURE() << "expected the row-count error";
    } catch (const UserError& e) {
        EXPECT_NE(std::string(e.what()).find("supports at most 2147483647 rows"),
                  std::string::npos);
    }
    EXPECT_FALSE(m.is_fitted);
}

TEST(UnsupervisedFit, DrawsFollowTheStatedOrderAndAFailedFitKeepsTheModel) {
    const std::size_t n = 6, p = 2, n_trees = 4;
    Matrix x(n, p);
    for (std::size_t i = 0; i < n; ++i) {
        x(i, 0) = static_cast<double>(i);
        x(i, 1) = static_cast<double>(i * i) - 4.0;
    }
    x(2, 1) = std::numeric_limits<double>::infinity();  // infinities pass
    RandomForestUnsupervised m{UnsupervisedConfig{}};
    m.config.n_estimators = n_trees;
    m.config.random_state = 42;
    m.fit(x.view());

    // Replay: one shuffle per column, then per tree 2n draws below 2n and the seed.
    Pcg64 g = Pcg64::seed_from_u64(42);
    std::vector<double> column(n);
    for (std::size_t j = 0; j < p; ++j) g.shuffle(std::span<double>(column));
    for (std::size_t t = 0; t < n_trees; ++t) {
        std::set<RowIndex> drawn;
        for (std::size_t d = 0; d < 2 * n; ++d) drawn.insert(RowIndex(g.index_u64(2 * n)));
        g.next_u64();
        std::vector<RowIndex> oob;
        for (RowIndex i = 0; i < n; ++i) {
            if (!drawn.count(i)) oob.push_back(i);
        }
        EXPECT_EQ(m.oob_sets[t], oob) << "tree " << t;
    }
    EXPECT_EQ(m.forest.size(), n_trees);
    EXPECT_EQ(m.x_train->values, x.values);

    // A NaN is refused and the fitted model, stored neighbour lists included, survives.
    const auto oob_before = m.oob_sets;
    m.proximity_sparse(2);
    Matrix bad(3, 2);
    bad(1, 1) = std::nan("");
    EXPECT_THROW(m.fit(bad.view()), UserError);
    EXPECT_EQ(m.n_samples, n);
    EXPECT_EQ(m.oob_sets, oob_before);
    EXPECT_TRUE(m.sparse_proximity.has_value());
}

// ---- Timing (run on request by bench_unsupervised.py; never part of the suite) ----------------

TEST(UnsupervisedTiming, DISABLED_DenseProximityAgainstPairLoop) {
    const char* rows_env = std::getenv("CANOPY_BENCH_ROWS");
    const char* trees_env = std::getenv("CANOPY_BENCH_TREES");
    const std::size_t n = rows_env ? std::stoul(rows_env) : 2000;
    const std::size_t n_trees = trees_env ? std::stoul(trees_env) : 500;
    Pcg64 rng = Pcg64::seed_from_u64(1);
    Matrix x(n, 10);
    for (double& v : x.values) v = static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53;
    RandomForestUnsupervised m{UnsupervisedConfig{}};
    m.config.n_estimators = n_trees;
    m.config.random_state = 0;
    m.fit(x.view());
    using clock = std::chrono::steady_clock;
    const auto t0 = clock::now();
    const Matrix fast = m.proximity_matrix(true);
    const auto t1 = clock::now();
    const Matrix naive = naive_proximity(m, true);
    const auto t2 = clock::now();
    EXPECT_EQ(fast.values, naive.values);
    std::printf("BENCH dense_proximity rows=%zu trees=%zu fast_s=%.4f naive_s=%.4f\n", n, n_trees,
                std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count());
}

}  // namespace
}  // namespace canopy
