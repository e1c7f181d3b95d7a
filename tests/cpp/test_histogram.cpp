#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "engine/errors.hpp"
#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "engine/views.hpp"

namespace canopy {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

MatrixView column_view(const std::vector<double>& v) {
    return MatrixView{v.data(), v.size(), 1, 1, 1};
}

std::vector<int> codes_of(const HistogramData& h, std::size_t f) {
    return {h.bin_codes[f].begin(), h.bin_codes[f].end()};
}

TEST(Histogram, ConstantColumnsAndNoRowsHaveOneBin) {
    const std::vector<double> constant(7, 3.5);
    const HistogramData h = HistogramData::build(column_view(constant), 7, 1);
    EXPECT_EQ(h.bin_edges[0], std::vector<double>{kInf});
    EXPECT_EQ(codes_of(h, 0), std::vector<int>(7, 0));
    const HistogramData e = HistogramData::build(MatrixView{nullptr, 0, 3, 3, 1}, 0, 3);
    EXPECT_EQ(e.n_bins, std::vector<std::size_t>(3, 1));
    EXPECT_TRUE(e.bin_codes[2].empty());
}

TEST(Histogram, TwoValuesEitherWay) {
    // floor(5 / 2) = 2: the sorted value there is the lower value, which becomes an edge.
    const std::vector<double> low_first{1.0, 4.0, 1.0, 4.0, 1.0};
    const HistogramData a = HistogramData::build(column_view(low_first), 5, 1);
    EXPECT_EQ(a.bin_edges[0], (std::vector<double>{1.0, kInf}));
    EXPECT_EQ(codes_of(a, 0), (std::vector<int>{0, 1, 0, 1, 0}));

    // Here the upper value sits at position 2: it closes the first bin and every code is 0.
    const std::vector<double> high_first{4.0, 1.0, 4.0, 4.0, 1.0};
    const HistogramData b = HistogramData::build(column_view(high_first), 5, 1);
    EXPECT_EQ(b.bin_edges[0], (std::vector<double>{4.0, kInf}));
    EXPECT_EQ(b.n_bins[0], 2u);
    EXPECT_EQ(codes_of(b, 0), std::vector<int>(5, 0));
}

TEST(Histogram, ThousandDistinctValues) {
    std::vector<double> v(1000);
    std::iota(v.begin(), v.end(), 0.0);
    Pcg64 g = Pcg64::seed_from_u64(5);
    g.shuffle(std::span<double>(v));
    const HistogramData h = HistogramData::build(column_view(v), 1000, 1);
    ASSERT_EQ(h.n_bins[0], 256u);
    for (std::size_t i = 1; i < 256; ++i) {
        EXPECT_EQ(h.bin_edges[0][i - 1], static_cast<double>(i * 1000 / 256));
    }
    EXPECT_EQ(h.bin_edges[0].back(), kInf);
    const auto [lo, hi] = std::minmax_element(h.bin_codes[0].begin(), h.bin_codes[0].end());
    EXPECT_EQ(*lo, 0);
    EXPECT_EQ(*hi, 255);
}

TEST(Histogram, DominantValueSkipsRepeatedQuantiles) {
    std::vector<double> v(90, 0.0);
    for (int i = 1; i <= 10; ++i) v.push_back(i);
    const HistogramData h = HistogramData::build(column_view(v), v.size(), 1);
    // u = 11, so B = 11; positions floor(i * 100 / 11) = 9, 18, ..., 90 hold 0.0 except the last.
    EXPECT_EQ(h.bin_edges[0], (std::vector<double>{0.0, 1.0, kInf}));
    EXPECT_EQ(h.bin_codes[0][0], 0);
    EXPECT_EQ(h.bin_codes[0][90], 1);  // 1.0 equals an edge: it belongs to the bin it closes
    EXPECT_EQ(h.bin_codes[0][91], 2);
    EXPECT_EQ(h.bin_codes[0][99], 2);
}

TEST(Histogram, InfinitiesAndStridedLayout) {
    // Column-major storage of a 4 x 2 matrix: column 0 then column 1.
    const std::vector<double> cm{-kInf, 2.0, kInf, 2.0, 5.0, 6.0, 7.0, 8.0};
    const MatrixView fortran{cm.data(), 4, 2, 1, 4};
    const HistogramData h = HistogramData::build(fortran, 4, 2);
    EXPECT_EQ(h.bin_edges[0], (std::vector<double>{2.0, kInf}));
    EXPECT_EQ(codes_of(h, 0), (std::vector<int>{0, 0, 1, 0}));
    EXPECT_EQ(h.bin_edges[1], (std::vector<double>{6.0, 7.0, 8.0, kInf}));
    EXPECT_EQ(codes_of(h, 1), (std::vector<int>{0, 0, 1, 2}));
}

TEST(Histogram, CodesAreLowerBoundsOnRandomColumns) {
    Pcg64 g = Pcg64::seed_from_u64(8);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 1 + g.index_u64(3000);
        const std::uint64_t levels = 1 + g.index_u64(trial % 2 ? 20 : 5000);
        std::vector<double> v(n);
        for (double& e : v) e = static_cast<double>(g.index_u64(levels)) - 3.0;
        const HistogramData h = HistogramData::build(column_view(v), n, 1);
        const auto& edges = h.bin_edges[0];
        ASSERT_EQ(h.n_bins[0], edges.size());
        ASSERT_LE(edges.size(), 256u);
        for (std::size_t b = 1; b < edges.size(); ++b) ASSERT_LT(edges[b - 1], edges[b]);
        for (std::size_t r = 0; r < n; ++r) {
            const auto expected = static_cast<std::size_t>(
                std::count_if(edges.begin(), edges.end(), [&](double e) { return e < v[r]; }));
            ASSERT_EQ(h.bin_codes[0][r], expected);
        }
    }
}

// The edges as the definition reads them: the values at positions floor(i * n / B) of the
// column sorted stably (so that among zeros the column order decides which sign sits where),
// repeats skipped, then +infinity.
std::vector<double> edges_by_stable_sort(const std::vector<double>& v) {
    std::vector<double> sorted = v;
    std::stable_sort(sorted.begin(), sorted.end());
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        distinct += i == 0 || sorted[i] != sorted[i - 1];
    }
    std::vector<double> edges;
    const std::size_t bins = std::min<std::size_t>(distinct, 256);
    for (std::size_t i = 1; distinct >= 2 && i < bins; ++i) {
        const double e = sorted[std::min(sorted.size() - 1, i * sorted.size() / bins)];
        if (edges.empty() || e > edges.back()) edges.push_back(e);
    }
    edges.push_back(kInf);
    return edges;
}

TEST(Histogram, EdgesOfLongAndShortColumnsAreThoseOfAStableSort) {
    // Both signs of zero, infinities, subnormals, the extremes and values of every scale,
    // drawn with repeats: long columns are sorted by the bits of their values, short ones by
    // comparison, and the edges (the sign of a zero edge included) must not tell them apart.
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double big = std::numeric_limits<double>::max();
    const std::vector<double> pool{0.0,  -0.0,  kInf, -kInf, tiny,        -tiny,       1e-310,
                                   big,  -big,  1.0,  -1.0,  0.5,         -2.5,        3e-5,
                                   -7e8, 1e300, -0.0, 0.0,   1.0 + 1e-15, 1.0 - 1e-16, 42.0};
    Pcg64 g = Pcg64::seed_from_u64(11);
    for (int trial = 0; trial < 30; ++trial) {
        const std::size_t n = trial % 3 == 0 ? 1 + g.index_u64(1000) : 1000 + g.index_u64(4000);
        std::vector<double> v(n);
        for (double& e : v) {
            // Half the trials add many distinct values, so that quantiles fall between repeats.
            const bool spread = trial % 2 == 0 && g.index_u64(2) == 0;
            e = spread ? static_cast<double>(g.index_u64(1000)) / 7.0 - 50.0
                       : pool[g.index_u64(pool.size())];
        }
        const HistogramData h = HistogramData::build(column_view(v), n, 1);
        const std::vector<double> expected = edges_by_stable_sort(v);
        ASSERT_EQ(h.bin_edges[0].size(), expected.size()) << "trial " << trial;
        for (std::size_t b = 0; b < expected.size(); ++b) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(h.bin_edges[0][b]),
                      std::bit_cast<std::uint64_t>(expected[b]))
                << "trial " << trial << " edge " << b;
        }
        for (std::size_t r = 0; r < n; ++r) {
            const auto below =
                std::count_if(expected.begin(), expected.end(), [&](double e) { return e < v[r]; });
            ASSERT_EQ(h.bin_codes[0][r], below);
        }
    }
}

TEST(Histogram, NaNIsRefused) {
    const std::vector<double> v{1.0, std::nan(""), 2.0};
    EXPECT_THROW(HistogramData::build(column_view(v), 3, 1), InternalError);
}

}  // namespace
}  // namespace canopy
