#include "engine/histogram.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {

namespace {

constexpr std::size_t kMaxBins = 256;

// Columns at least this long are sorted by radix: below it a comparison sort is as fast.
constexpr std::size_t kRadixSortFrom = 1024;

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// An unsigned key that orders like the value: the sign bit set for positive values, every
// bit flipped for negative ones. The one tie of values with different keys, -0.0 before
// 0.0, is left to quantile_edges, which reads zeros in column order.
std::uint64_t order_key(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    return (bits & kSignBit) != 0 ? ~bits : bits | kSignBit;
}

double key_value(std::uint64_t key) {
    return std::bit_cast<double>((key & kSignBit) != 0 ? key & ~kSignBit : ~key);
}

// The column in ascending order. Long columns go through a least-significant-digit radix
// sort on order_key, a byte per pass, skipping the bytes every key shares: several times
// faster than std::sort on a quantile binning's 10^5 values, whose comparisons are a coin
// toss for the branch predictor.
std::vector<double> sorted_values(const std::vector<double>& column) {
    const std::size_t n = column.size();
    if (n < kRadixSortFrom) {
        std::vector<double> sorted = column;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
    std::vector<std::uint64_t> keys(n);
    std::array<std::array<std::size_t, 256>, 8> counts{};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = order_key(column[i]);
        keys[i] = k;
        for (unsigned d = 0; d < 8; ++d) ++counts[d][(k >> (8 * d)) & 0xFF];
    }
    {
        std::vector<std::uint64_t> moved(n);  // released before the result is allocated
        for (unsigned d = 0; d < 8; ++d) {
            std::array<std::size_t, 256>& at = counts[d];
            if (at[(keys[0] >> (8 * d)) & 0xFF] == n) continue;  // one digit for all: in order
            std::size_t start = 0;
            for (std::size_t& c : at) start += std::exchange(c, start);
            for (std::uint64_t k : keys) moved[at[(k >> (8 * d)) & 0xFF]++] = k;
            keys.swap(moved);
        }
    }
    std::vector<double> sorted(n);
    for (std::size_t i = 0; i < n; ++i) sorted[i] = key_value(keys[i]);
    return sorted;
}

// Quantile edges of one column: the values at sorted positions floor(i * n / B) for
// i = 1 .. B-1, repeats skipped, then +infinity. `sorted` is the column in ascending order;
// among equal values only 0.0 and -0.0 differ, and for them the column order decides (as a
// stable sort would), so `column` is read to tell which zero sits at a position.
std::vector<double> quantile_edges(const std::vector<double>& sorted,
                                   const std::vector<double>& column) {
    const std::size_t n = sorted.size();
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 0 || sorted[i] != sorted[i - 1]) ++distinct;
    }
    std::vector<double> edges;
    std::vector<double> zeros;  // the column's zeros in row order, filled on first need
    std::size_t first_zero = 0;
    if (distinct >= 2) {
        const std::size_t bins = std::min(distinct, kMaxBins);
        edges.reserve(bins);
        for (std::size_t i = 1; i < bins; ++i) {
            // i < 256 and n < 2^32, so the product cannot overflow.
            const std::size_t q = std::min(n - 1, i * n / bins);
            double v = sorted[q];
            if (v == 0.0) {
                if (zeros.empty()) {
                    for (double c : column) {
                        if (c == 0.0) zeros.push_back(c);
                    }
                    first_zero = static_cast<std::size_t>(
                        std::lower_bound(sorted.begin(), sorted.end(), 0.0) - sorted.begin());
                }
                v = zeros[q - first_zero];
            }
            if (edges.empty() || v > edges.back()) edges.push_back(v);
        }
    }
    edges.push_back(std::numeric_limits<double>::infinity());
    return edges;
}

// Smallest b with v <= edges[b] (a value equal to an edge belongs to the bin it closes),
// found without data-dependent branches. The last edge is +infinity, so b < edges.size()
// for every non-NaN v.
std::uint8_t lower_bound_code(const std::vector<double>& edges, double v) {
    const double* base = edges.data();
    std::size_t len = edges.size();
    while (len > 1) {
        const std::size_t half = len / 2;
        base = base[half] < v ? base + half : base;
        len -= half;
    }
    return static_cast<std::uint8_t>((base - edges.data()) + (*base < v ? 1 : 0));
}

}  // namespace

HistogramData HistogramData::build(const MatrixView& x, std::size_t n_samples,
                                   std::size_t n_features) {
    if (n_samples > x.rows || n_features > x.cols) {
        fail_internal("binning asked for more rows or columns than the matrix has");
    }
    HistogramData h;
    h.n_rows = n_samples;
    h.bin_codes.resize(n_features);
    h.bin_edges.resize(n_features);
    h.n_bins.resize(n_features);
    // Features are independent, so they can be binned on any worker in any order.
    parallel_for(n_features, [&](std::size_t f) {
        std::vector<double> column(n_samples);
        for (std::size_t r = 0; r < n_samples; ++r) {
            const double v = x(r, f);
            // NaN has no place in an ascending order; callers reject it before binning.
            if (std::isnan(v)) fail_internal("cannot bin a NaN value");
            column[r] = v;
        }
        const std::vector<double> sorted = sorted_values(column);
        poll_interrupt();
        std::vector<double> edges = quantile_edges(sorted, column);
        std::vector<std::uint8_t> codes(n_samples);
        for (std::size_t r = 0; r < n_samples; ++r) codes[r] = lower_bound_code(edges, column[r]);
        h.n_bins[f] = edges.size();
        h.bin_edges[f] = std::move(edges);
        h.bin_codes[f] = std::move(codes);
    });
    return h;
}

}  // namespace canopy
