#include "engine/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {

namespace {

constexpr std::size_t kMaxBins = 256;

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
        std::vector<double> sorted = column;
        std::sort(sorted.begin(), sorted.end());
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
