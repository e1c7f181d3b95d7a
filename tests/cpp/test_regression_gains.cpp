#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/regression_gains.hpp"
#include "engine/rng.hpp"

namespace canopy {
namespace {

// A node of unit weights as the search gathers it: entries' y, each feature's codes, the
// bins' sums in list order and the boundaries' prefix sums in bin order.
struct Node {
    double W = 0.0, S1 = 0.0, S2 = 0.0, V = 0.0;
    std::unique_ptr<RegBoundaries> bounds = std::make_unique<RegBoundaries>();
};

Node gather(const std::vector<double>& y, std::size_t features, std::size_t bins, Pcg64& g) {
    Node node;
    const std::size_t n = y.size();
    for (double v : y) {
        node.S1 += v;
        node.S2 += v * v;
    }
    node.W = static_cast<double>(n);
    const double mean = node.S1 / node.W;
    node.V = node.S2 / node.W - mean * mean;
    RegBoundaries& c = *node.bounds;
    for (std::size_t f = 0; f < features && c.size + bins <= RegBoundaries::kCapacity; ++f) {
        std::vector<double> s1(bins, 0.0), s2(bins, 0.0);
        std::vector<std::size_t> count(bins, 0);
        for (double v : y) {
            const std::size_t b = g.index_u64(bins);
            s1[b] += v;
            s2[b] += v * v;
            ++count[b];
        }
        double l1 = 0.0, l2 = 0.0;
        std::size_t nl = 0;
        for (std::size_t b = 0; b + 1 < bins; ++b) {
            l1 += s1[b];
            l2 += s2[b];
            nl += count[b];
            if (count[b] == 0 || nl == 0 || nl == n) continue;
            c.wl[c.size] = static_cast<double>(nl);
            c.s1l[c.size] = l1;
            c.s2l[c.size] = l2;
            ++c.size;
        }
    }
    return node;
}

// Both forms on copies of the node: the same largest gain to the bit, the same first
// boundary holding it, and every gain the estimate left out below it.
::testing::AssertionResult same_choice(const Node& node, double beat) {
    auto every = std::make_unique<RegBoundaries>(*node.bounds);
    auto counted = std::make_unique<RegBoundaries>(*node.bounds);
    const double top = regression_gains(*every, node.W, node.S1, node.S2, node.V, beat);
    const double got = count_regression_gains(*counted, node.W, node.S1, node.S2, node.V, beat);
    if (std::bit_cast<std::uint64_t>(top) != std::bit_cast<std::uint64_t>(got)) {
        return ::testing::AssertionFailure() << "largest gain " << got << " instead of " << top;
    }
    for (std::size_t i = 0; i < every->size; ++i) {
        const double want = every->gain[i];
        const double have = counted->gain[i];
        if (std::bit_cast<std::uint64_t>(want) == std::bit_cast<std::uint64_t>(have)) continue;
        if (have == -INFINITY && !(want >= top)) continue;
        return ::testing::AssertionFailure()
               << "boundary " << i << " of " << every->size << ": " << have << " for " << want
               << " (largest " << top << ")";
    }
    if (top > beat && first_holding(every->gain.data(), top) !=
                          first_holding(counted->gain.data(), top)) {
        return ::testing::AssertionFailure() << "another first boundary holds the largest";
    }
    return ::testing::AssertionSuccess();
}

TEST(RegressionGains, EstimatedBoundsPickTheExactSplit) {
    Pcg64 g = Pcg64::seed_from_u64(77);
    const auto uniform = [&] { return static_cast<double>(g.next_u64() >> 11) * 0x1p-53; };
    // Targets that make the estimate's bound work: centred, far from zero with a tiny
    // spread (the sums cancel), a few repeated values (exact ties), huge and tiny scales,
    // and constants (every gain zero).
    const std::vector<std::function<double(std::size_t)>> targets = {
        [&](std::size_t) { return uniform() * 2.0 - 1.0; },
        [&](std::size_t) { return 1e6 + uniform() * 1e-3; },
        [&](std::size_t) { return static_cast<double>(g.index_u64(3)); },
        [&](std::size_t) { return (uniform() - 0.5) * 1e140; },
        [&](std::size_t) { return uniform() * 1e-150; },
        [&](std::size_t i) { return i % 2 == 0 ? 5.0 : 5.0 + 0x1p-40; },
        [&](std::size_t) { return 3.25; },
    };
    std::size_t estimated = 0;
    for (std::size_t round = 0; round < 600; ++round) {
        for (std::size_t t = 0; t < targets.size(); ++t) {
            const std::size_t n = 2 + g.index_u64(round % 3 == 0 ? 300 : 40);
            std::vector<double> y(n);
            for (std::size_t i = 0; i < n; ++i) y[i] = targets[t](i);
            const std::size_t bins = 2 + g.index_u64(round % 2 == 0 ? 254 : 12);
            const Node node = gather(y, 1 + g.index_u64(4), bins, g);
            estimated += node.bounds->size > 16;
            for (double beat : {0.0, node.V * 0.5}) {
                ASSERT_TRUE(same_choice(node, beat))
                    << "target " << t << " round " << round << " n " << n << " beat " << beat;
            }
        }
    }
    EXPECT_GT(estimated, 1000u);  // most nodes went through the estimate
}

TEST(RegressionGains, RepeatedBestBoundaryKeepsTheFirst) {
    // The same boundary at several places, the best among many: the first of them wins.
    Pcg64 g = Pcg64::seed_from_u64(3);
    std::vector<double> y(60);
    for (double& v : y) v = static_cast<double>(g.next_u64() >> 11) * 0x1p-53;
    Node node = gather(y, 4, 40, g);
    RegBoundaries& c = *node.bounds;
    ASSERT_GT(c.size, 40u);
    auto every = std::make_unique<RegBoundaries>(c);
    const double top = regression_gains(*every, node.W, node.S1, node.S2, node.V, 0.0);
    const std::size_t best = first_holding(every->gain.data(), top);
    std::size_t first = best;
    for (std::size_t at : {c.size - 1, c.size / 2, std::size_t{20}}) {
        c.wl[at] = c.wl[best];
        c.s1l[at] = c.s1l[best];
        c.s2l[at] = c.s2l[best];
        first = std::min(first, at);
    }
    EXPECT_TRUE(same_choice(node, 0.0));
    auto counted = std::make_unique<RegBoundaries>(c);
    EXPECT_EQ(count_regression_gains(*counted, node.W, node.S1, node.S2, node.V, 0.0), top);
    EXPECT_EQ(first_holding(counted->gain.data(), top), first);
}

}  // namespace
}  // namespace canopy
