#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/hist_split.hpp"
#include "engine/histogram.hpp"
#include "engine/rng.hpp"

namespace canopy {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ForestPlan, BootstrapTasksDrawIndicesThenSeed) {
    Pcg64 master = Pcg64::seed_from_u64(42);
    const auto tasks = draw_tree_tasks(master, 3, 10, true);
    ASSERT_EQ(tasks.size(), 3u);
    EXPECT_EQ(tasks[0].sample_indices, (std::vector<RowIndex>{2, 2, 7, 5, 5, 8, 2, 9, 4, 3}));
    EXPECT_EQ(tasks[0].seed, 1647681208787125256ULL);
    for (std::size_t t = 0; t < 3; ++t) EXPECT_EQ(tasks[t].tree_index, t);

    // The second tree continues from the same generator: its draws follow the first seed.
    Pcg64 replay = Pcg64::seed_from_u64(42);
    for (int i = 0; i < 10; ++i) replay.index_u64(10);
    replay.next_u64();
    for (RowIndex i : tasks[1].sample_indices) EXPECT_EQ(i, replay.index_u64(10));
    EXPECT_EQ(tasks[1].seed, replay.next_u64());
}

TEST(ForestPlan, WithoutBootstrapOnlySeedsAreDrawn) {
    Pcg64 master = Pcg64::seed_from_u64(9);
    Pcg64 replay = Pcg64::seed_from_u64(9);
    const auto tasks = draw_tree_tasks(master, 2, 4, false);
    for (const TreeTask& t : tasks) {
        EXPECT_EQ(t.sample_indices, (std::vector<RowIndex>{0, 1, 2, 3}));
        EXPECT_EQ(t.seed, replay.next_u64());
    }
    // Zero rows: empty samples, seeds still drawn.
    const auto empty = draw_tree_tasks(master, 2, 0, true);
    EXPECT_TRUE(empty[1].sample_indices.empty());
    EXPECT_EQ(empty[0].seed, replay.next_u64());
}

TEST(ForestPlan, ResolveMaxFeatures) {
    const auto r = [](const char* text, std::size_t n) {
        return resolve_max_features(std::optional<std::string>(text), n);
    };
    EXPECT_EQ(resolve_max_features(std::nullopt, 10), 10u);
    // Named rules, case-sensitive.
    EXPECT_EQ(r("sqrt", 10), 3u);
    EXPECT_EQ(r("sqrt", 16), 4u);
    EXPECT_EQ(r("sqrt", 0), 1u);
    EXPECT_EQ(r("log2", 10), 3u);
    EXPECT_EQ(r("log2", 8), 3u);
    EXPECT_EQ(r("log2", 1), 1u);
    EXPECT_EQ(r("log2", 0), 1u);
    for (const char* other : {"auto", "SQRT", "Log2", "", " 3", "3 ", "1e", ".", "0x10", "1_0",
                              "++1", "+-1", "infinite", "in", "e5", "1.2.3", "1e+", "nan1"}) {
        EXPECT_EQ(r(other, 10), 10u) << '"' << other << '"';
    }
    // Fractions of the feature count, at least one.
    EXPECT_EQ(r("0.5", 7), 3u);
    EXPECT_EQ(r("0.3", 10), 3u);
    EXPECT_EQ(r(".5", 10), 5u);
    EXPECT_EQ(r("1", 10), 10u);
    EXPECT_EQ(r("1.0", 10), 10u);
    EXPECT_EQ(r("1e0", 10), 10u);
    EXPECT_EQ(r("+0.01", 10), 1u);
    EXPECT_EQ(r("0", 10), 1u);
    EXPECT_EQ(r("-2", 10), 1u);
    EXPECT_EQ(r("-inf", 10), 1u);
    EXPECT_EQ(r("1e-400", 10), 1u);  // underflows to 0
    // Counts above one: truncated, saturating; NaN gives 0.
    EXPECT_EQ(r("3", 10), 3u);
    EXPECT_EQ(r("2.9", 10), 2u);
    EXPECT_EQ(r("5.", 10), 5u);
    EXPECT_EQ(r("25E-1", 10), 2u);
    EXPECT_EQ(r("1e3", 10), 1000u);
    EXPECT_EQ(r("nan", 10), 0u);
    EXPECT_EQ(r("NaN", 10), 0u);
    EXPECT_EQ(r("-nan", 10), 0u);
    EXPECT_EQ(r("inf", 10), kMax);
    EXPECT_EQ(r("+Infinity", 10), kMax);
    EXPECT_EQ(r("INF", 10), kMax);
    EXPECT_EQ(r("1e400", 10), kMax);  // overflows to infinity
    EXPECT_EQ(r("1e19", 10), 10000000000000000000ULL);
    EXPECT_EQ(r("1e20", 10), kMax);
}

TEST(ForestPlan, TreeParamsStoreOnlyRealSubsampling) {
    const auto p = [](const char* text) {
        return make_tree_params(5, std::optional<std::string>(text), 10, 3, 2, true);
    };
    EXPECT_EQ(p("sqrt").max_features, std::optional<std::uint64_t>(3));
    EXPECT_EQ(p("nan").max_features, std::optional<std::uint64_t>(0));
    EXPECT_FALSE(p("10").max_features.has_value());
    EXPECT_FALSE(p("inf").max_features.has_value());
    EXPECT_FALSE(p("bogus").max_features.has_value());
    const TreeParams q = p("0.2");
    EXPECT_EQ(q.max_features, std::optional<std::uint64_t>(2));
    EXPECT_EQ(q.max_depth, std::optional<std::uint64_t>(5));
    EXPECT_EQ(q.min_samples_split, 3u);
    EXPECT_EQ(q.min_samples_leaf, 2u);
    EXPECT_TRUE(q.is_classification);
}

struct Data {
    Matrix x;
    std::vector<double> y, w;
    HistogramData hist;
};

Data random_data(std::uint64_t seed, std::size_t n, std::size_t m, bool classification) {
    Pcg64 g = Pcg64::seed_from_u64(seed);
    Data d;
    d.x = Matrix(n, m);
    for (double& v : d.x.values) v = static_cast<double>(g.index_u64(50)) / 8.0;
    for (std::size_t r = 0; r < n; ++r) {
        d.y.push_back(classification ? static_cast<double>(g.index_u64(3))
                                     : static_cast<double>(g.index_u64(1000)) / 3.0);
        d.w.push_back(static_cast<double>(1 + g.index_u64(4)) / 2.0);
    }
    d.hist = HistogramData::build(d.x.view(), n, m);
    return d;
}

bool same_tree(const Tree& a, const Tree& b) {
    if (a.nodes.size() != b.nodes.size() || a.counts.size() != b.counts.size()) return false;
    for (std::size_t i = 0; i < a.nodes.size(); ++i) {
        const TreeNode& p = a.nodes[i];
        const TreeNode& q = b.nodes[i];
        if (p.feature != q.feature || p.left != q.left || p.right != q.right ||
            p.n_samples != q.n_samples ||
            std::bit_cast<std::uint64_t>(p.threshold) !=
                std::bit_cast<std::uint64_t>(q.threshold) ||
            std::bit_cast<std::uint64_t>(p.value) != std::bit_cast<std::uint64_t>(q.value)) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.counts.size(); ++i) {
        if (a.counts[i].cls != b.counts[i].cls ||
            std::bit_cast<std::uint64_t>(a.counts[i].weight) !=
                std::bit_cast<std::uint64_t>(b.counts[i].weight)) {
            return false;
        }
    }
    return true;
}

TEST(ForestPlan, GatheredSampleGrowsTheSameTreeAsTheIndexList) {
    // Gathering only renumbers the rows; sums run in the same order, so the tree is the one
    // grown directly on the original rows with the sample as index list.
    for (bool classification : {false, true}) {
        const Data d = random_data(classification ? 1 : 2, 200, 4, classification);
        Pcg64 master = Pcg64::seed_from_u64(5);
        const auto tasks = draw_tree_tasks(master, 1, 200, true);
        TreeParams params;
        params.is_classification = classification;
        params.max_features = 2;
        Pcg64 a = Pcg64::seed_from_u64(tasks[0].seed);
        Pcg64 b = Pcg64::seed_from_u64(tasks[0].seed);
        const Tree gathered = build_tree_on_bootstrap(d.x.view(), d.y, d.w,
                                                      tasks[0].sample_indices, params, a, d.hist);
        const Tree direct =
            build_node(d.x.view(), d.y, d.w, tasks[0].sample_indices, params, b, d.hist);
        EXPECT_GT(gathered.nodes.size(), 20u);
        EXPECT_TRUE(same_tree(gathered, direct));
        EXPECT_EQ(gathered.root().n_samples, 200u);
    }
}

TEST(ForestPlan, RepeatedRowCountsOncePerRepetition) {
    Matrix x(3, 1);
    x(0, 0) = 0;
    x(1, 0) = 1;
    x(2, 0) = 2;
    const std::vector<double> y{1.0, 4.0, 10.0}, w{1.0, 1.0, 1.0};
    const HistogramData hist = HistogramData::build(x.view(), 3, 1);
    const std::vector<RowIndex> sample{1, 1, 1, 0};
    TreeParams params;
    params.max_depth = 0;
    Pcg64 rng = Pcg64::seed_from_u64(0);
    const Tree t = build_tree_on_bootstrap(x.view(), y, w, sample, params, rng, hist);
    EXPECT_EQ(t.root().n_samples, 4u);
    EXPECT_EQ(t.root().value, (4.0 + 4.0 + 4.0 + 1.0) / 4.0);
}

TEST(ForestPlan, StridedInputAndOrderedParallelGrowth) {
    const Data d = random_data(3, 150, 3, false);
    // The same matrix stored column-major.
    std::vector<double> cm(150 * 3);
    for (std::size_t r = 0; r < 150; ++r) {
        for (std::size_t c = 0; c < 3; ++c) cm[c * 150 + r] = d.x(r, c);
    }
    const MatrixView fortran{cm.data(), 150, 3, 1, 150};
    Pcg64 master = Pcg64::seed_from_u64(77);
    const auto tasks = draw_tree_tasks(master, 6, 150, true);
    TreeParams params;
    params.max_features = 1;
    const Forest forest = grow_forest(d.x.view(), d.y, d.w, tasks, params, &d.hist);
    const Forest strided = grow_forest(fortran, d.y, d.w, tasks, params, &d.hist);
    ASSERT_EQ(forest.size(), 6u);
    const auto same = [](const PackedTree& a, const PackedTree& b) {
        return a.size() == b.size() && a.cover == b.cover &&
               std::memcmp(a.nodes.data(), b.nodes.data(), a.size() * sizeof(PackedNode)) == 0 &&
               std::memcmp(a.values.data(), b.values.data(), a.size() * sizeof(double)) == 0;
    };
    for (std::size_t t = 0; t < tasks.size(); ++t) {
        // Each tree is the one its own task gives, whichever worker grew it.
        const PackedTree alone =
            PackedTree::pack(grow_tree(d.x.view(), d.y, d.w, tasks[t], params, &d.hist));
        EXPECT_TRUE(same(forest.trees[t], alone)) << "tree " << t;
        EXPECT_TRUE(same(strided.trees[t], alone)) << "tree " << t;
    }
    EXPECT_FALSE(same(forest.trees[0], forest.trees[1]));
}

TEST(ForestPlan, OutOfRangeSampleIsAnInternalError) {
    const Data d = random_data(4, 10, 2, false);
    const std::vector<RowIndex> sample{0, 10};
    TreeParams params;
    Pcg64 rng = Pcg64::seed_from_u64(0);
    EXPECT_THROW(build_tree_on_bootstrap(d.x.view(), d.y, d.w, sample, params, rng, d.hist),
                 InternalError);
    const std::vector<double> short_y(5, 0.0);
    const std::vector<RowIndex> ok{0, 6};
    EXPECT_THROW(build_tree_on_bootstrap(d.x.view(), short_y, d.w, ok, params, rng, d.hist),
                 InternalError);
}

}  // namespace
}  // namespace canopy
