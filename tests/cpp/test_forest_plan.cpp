#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <numeric>
#include <thread>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/hist_split.hpp"
#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "same_tree.hpp"

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

TEST(ForestPlan, ResolveMaxFeaturesAndTreeParams) {
    const auto r = [](const char* text, std::size_t n) {
        return resolve_max_features(std::optional<std::string>(text), n);
    };
    EXPECT_EQ(resolve_max_features(std::nullopt, 10), 10u);
    // Named rules (case-sensitive), at least one feature.
    EXPECT_EQ(r("sqrt", 10), 3u);
    EXPECT_EQ(r("sqrt", 0), 1u);
    EXPECT_EQ(r("log2", 10), 3u);
    EXPECT_EQ(r("log2", 1), 1u);
    // Any other text that is not a whole number in C's float syntax means every feature.
    for (const char* other : {"auto", "SQRT", "", " 3", "3 ", "1e", "0x10", "1_0", "in", "nan1"}) {
        EXPECT_EQ(r(other, 10), 10u) << '"' << other << '"';
    }
    // Up to 1: a fraction of the feature count, at least one; above: a count, truncated and
    // saturating; NaN gives 0.
    const std::pair<const char*, std::uint64_t> counts[] = {{"0.5", 5},
                                                            {".5", 5},
                                                            {"1", 10},
                                                            {"+0.01", 1},
                                                            {"-inf", 1},
                                                            {"2.9", 2},
                                                            {"25E-1", 2},
                                                            {"nan", 0},
                                                            {"+Infinity", kMax},
                                                            {"1e20", kMax},
                                                            {"1e19", 10000000000000000000ULL}};
    for (const auto& [text, count] : counts) EXPECT_EQ(r(text, 10), count) << '"' << text << '"';
    // Tree parameters keep only a real subsample.
    const auto p = [](const char* text) {
        return make_tree_params(5, std::optional<std::string>(text), 10, 3, 2, true);
    };
    EXPECT_EQ(p("nan").max_features, std::optional<std::uint64_t>(0));
    EXPECT_FALSE(p("10").max_features.has_value());
    EXPECT_FALSE(p("inf").max_features.has_value());
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
    for (std::size_t t = 0; t < tasks.size(); ++t) {
        // Each tree is the one its own task gives, whichever worker grew it.
        const PackedTree alone =
            PackedTree::pack(grow_tree(d.x.view(), d.y, d.w, tasks[t], params, &d.hist));
        EXPECT_TRUE(same_tree(forest.trees[t], alone)) << "tree " << t;
        EXPECT_TRUE(same_tree(strided.trees[t], alone)) << "tree " << t;
    }
    EXPECT_FALSE(same_tree(forest.trees[0], forest.trees[1]));
}

TEST(ForestPlan, CallersOnSeveralThreadsGetTheTreesOfALoneCall) {
    const Data d = random_data(6, 400, 4, true);
    TreeParams params;
    params.is_classification = true;
    params.max_features = 2;
    const auto tasks_for = [](std::uint64_t seed) {
        Pcg64 master = Pcg64::seed_from_u64(seed);
        return draw_tree_tasks(master, 8, 400, true);
    };
    constexpr std::size_t kCallers = 3;
    std::vector<Forest> grown(kCallers);
    std::vector<std::thread> callers;
    for (std::size_t c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            const HistogramData* hist = c == 1 ? nullptr : &d.hist;  // one exact, two binned
            grown[c] = grow_forest(d.x.view(), d.y, d.w, tasks_for(c), params, hist);
        });
    }
    for (auto& t : callers) t.join();
    for (std::size_t c = 0; c < kCallers; ++c) {
        const auto tasks = tasks_for(c);
        ASSERT_EQ(grown[c].size(), tasks.size());
        for (std::size_t t = 0; t < tasks.size(); ++t) {
            const PackedTree alone = PackedTree::pack(
                grow_tree(d.x.view(), d.y, d.w, tasks[t], params, c == 1 ? nullptr : &d.hist));
            EXPECT_TRUE(same_tree(grown[c].trees[t], alone)) << "caller " << c << " tree " << t;
        }
    }
}

TEST(ForestPlan, InterruptedGrowthStopsBetweenNodes) {
    // One deep exact tree on the calling thread and a forest on the pool; the check asks to
    // stop from the start, so each call ends at its first poll after one interval.
    const Data d = random_data(7, 3000, 4, false);
    std::atomic<bool> stop{true};
    Pcg64 master = Pcg64::seed_from_u64(3);
    const auto tasks = draw_tree_tasks(master, 40, 3000, true);
    TreeParams params;
    {
        const auto stop_set = [](void* s) { return static_cast<std::atomic<bool>*>(s)->load(); };
        const CallScope scope(CallHooks{stop_set, &stop});
        std::this_thread::sleep_for(kInterruptPollInterval * 2);
        EXPECT_THROW(grow_tree(d.x.view(), d.y, d.w, tasks[0], params, nullptr), Interrupted);
        EXPECT_THROW(grow_forest(d.x.view(), d.y, d.w, tasks, params, &d.hist), Interrupted);
    }
    const Forest forest = grow_forest(d.x.view(), d.y, d.w, tasks, params, &d.hist);
    EXPECT_TRUE(same_tree(forest.trees[5], PackedTree::pack(grow_tree(d.x.view(), d.y, d.w,
                                                                      tasks[5], params, &d.hist))));
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
