#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "engine/rng.hpp"
#include "engine/shuffle_lanes.hpp"

namespace canopy {
namespace {

std::vector<std::uint64_t> some_seeds(std::size_t n) {
    std::vector<std::uint64_t> seeds;
    Pcg64 g = Pcg64::seed_from_u64(2024);
    for (std::size_t k = 0; k < n; ++k) seeds.push_back(g.next_u64());
    return seeds;
}

// Takes `count` prefixes from `shuffles` and checks each against the tree's own generator.
::testing::AssertionResult same_prefixes(NodeShuffles& shuffles, Pcg64& own, std::size_t m,
                                         std::size_t prefix, std::size_t count) {
    std::vector<std::size_t> got(m), want(m);
    for (std::size_t s = 0; s < count; ++s) {
        std::fill(got.begin(), got.end(), m);  // whatever the caller's list held before
        std::iota(want.begin(), want.end(), std::size_t{0});
        shuffles.shuffle_prefix(got, prefix);
        own.shuffle(std::span<std::size_t>(want));
        if (!std::equal(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(prefix),
                        got.begin())) {
            return ::testing::AssertionFailure() << "shuffle " << s << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(ShuffleLanes, EveryLaneGivesItsTreesPrefixesAcrossChunks) {
    if (!ShuffleGroup::supported()) GTEST_SKIP() << "no AVX-512 here";
    struct Case {
        std::size_t m, prefix, trees, shuffles;
    };
    // Shuffle counts reach well past the first chunk: a chunk holds 2,048 lists of two, 107
    // of twenty, 32 of 65 and 8 of 256. Prefixes of up to 16 are traced (odd ones fill half
    // a vector), longer ones replayed.
    for (const Case c : {Case{2, 1, 8, 9000}, Case{3, 2, 5, 3000}, Case{20, 4, 8, 700},
                         Case{20, 7, 6, 500}, Case{20, 20, 4, 400}, Case{65, 17, 8, 200},
                         Case{256, 16, 8, 40}}) {
        const std::vector<std::uint64_t> seeds = some_seeds(c.trees);
        auto group = std::make_shared<ShuffleGroup>(seeds, c.m, c.prefix);
        // The lanes are taken in turn, the last first, so that some find their chunks made
        // by others and some make them.
        std::vector<NodeShuffles> lanes;
        std::vector<Pcg64> own;
        for (std::size_t k = 0; k < c.trees; ++k) {
            lanes.emplace_back(group, k);
            own.push_back(Pcg64::seed_from_u64(seeds[k]));
        }
        for (std::size_t round = 0; round < 4; ++round) {
            for (std::size_t k = c.trees; k-- > 0;) {
                EXPECT_TRUE(same_prefixes(lanes[k], own[k], c.m, c.prefix,
                                          c.shuffles * (k + 1) / 4))
                    << "m " << c.m << " lane " << k << " round " << round;
            }
        }
    }
}

TEST(ShuffleLanes, TreesOfOneGroupOnSeveralThreads) {
    if (!ShuffleGroup::supported()) GTEST_SKIP() << "no AVX-512 here";
    const std::vector<std::uint64_t> seeds = some_seeds(8);
    auto group = std::make_shared<ShuffleGroup>(seeds, 20, 4);
    std::vector<int> ok(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < 8; ++k) {
        threads.emplace_back([&, k] {
            NodeShuffles lane(group, k);
            Pcg64 own = Pcg64::seed_from_u64(seeds[k]);
            ok[k] = same_prefixes(lane, own, 20, 4, 3000) ? 1 : 0;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ok, std::vector<int>(8, 1));
}

TEST(ShuffleLanes, ForestGroupsOnlyWhereTheyPay) {
    const bool lanes = ShuffleGroup::supported();
    // 19 trees: groups of 8, 8 and 3; the last is too small and its trees draw alone.
    ForestShuffles forest(some_seeds(19), 20, 4);
    std::weak_ptr<ShuffleGroup> first;
    std::vector<std::shared_ptr<ShuffleGroup>> held;
    for (std::size_t i = 0; i < 19; ++i) {
        std::shared_ptr<ShuffleGroup> g = forest.group_of(i);
        EXPECT_EQ(g != nullptr, lanes && i < 16) << "tree " << i;
        EXPECT_EQ(ForestShuffles::lane_of(i), i % 8);
        if (i == 0) first = g;
        if (i > 0 && i < 8) {
            EXPECT_EQ(g.get(), held.back().get());
        }
        if (i < 8) held.push_back(g);
    }
    // Once every tree of a group has asked, the trees alone keep it.
    held.clear();
    EXPECT_TRUE(first.expired());

    // No groups when every feature is searched, for lists longer than a byte's codes, or
    // without trees.
    EXPECT_EQ(ForestShuffles(some_seeds(8), 20, 20).group_of(0), nullptr);
    EXPECT_EQ(ForestShuffles(some_seeds(8), 257, 16).group_of(0), nullptr);
    EXPECT_EQ(ForestShuffles({}, 20, 4).group_of(0), nullptr);
}

TEST(ShuffleLanes, TheTreesOwnGeneratorWhenNotInAGroup) {
    Pcg64 a = Pcg64::seed_from_u64(5);
    Pcg64 b = Pcg64::seed_from_u64(5);
    NodeShuffles shuffles(a);
    EXPECT_TRUE(same_prefixes(shuffles, b, 20, 4, 50));
    EXPECT_EQ(a.next_u64(), b.next_u64());  // the generator advanced exactly as a shuffle does
}

}  // namespace
}  // namespace canopy
