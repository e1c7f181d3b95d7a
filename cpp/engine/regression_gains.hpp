// The variance-reduction gains of a regression node's candidate boundaries.
//
// A node's search gathers the boundaries of all its features, in search order, before
// computing any gain; the split is then the first boundary holding the largest gain. Each
// gain is V - (wl * vl + wr * vr) / W, five correctly rounded divisions per boundary, and
// those divisions are most of a search's arithmetic. Where the processor has AVX-512 and a
// node of unit weights has more than a few boundaries, a cheap estimate of every boundary
// comes first, with a proven bound on how far it can be from the exact value: only
// boundaries that might hold the largest gain get their exact gain, the others are known to
// fall short of it. The result is the same, to the bit, as computing every gain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace canopy {

// The prefix sums at a node's candidate boundaries, in search order: wl, s1l and s2l are
// the left side's weight, sum of w*y and sum of y*(w*y); bin and feature say where the
// boundary is, and the gains are written to `gain`. The search gathers the boundaries of
// all of a node's features before computing any gain: the gains then run in long vectorised
// stretches even where every feature has only a handful of boundaries, and the first
// strictly largest gain of this order is the one a feature-by-feature scan would pick.
struct RegBoundaries {
    static constexpr std::size_t kCapacity = 1024;  // two features' worth are always free
    std::array<double, kCapacity> wl, s1l, s2l, gain;
    std::array<std::uint32_t, kCapacity> bin;
    std::size_t size = 0;
    // Each feature's boundaries are a run: run k starts at boundary run_start[k] and
    // belongs to feature run_feature[k] (a feature without boundaries has no run).
    std::array<std::uint32_t, kCapacity> run_start, run_feature;
    std::size_t runs = 0;

    void clear() {
        size = 0;
        runs = 0;
    }
    // Ends the run of `feature`, whose boundaries were appended since size was `start`.
    void end_run(std::size_t start, std::uint32_t feature) {
        if (size == start) return;
        run_start[runs] = static_cast<std::uint32_t>(start);
        run_feature[runs] = feature;
        ++runs;
    }
    std::uint32_t feature_of(std::size_t i) const {
        std::size_t k = runs - 1;
        while (run_start[k] > i) --k;
        return run_feature[k];
    }
};

// The largest of gain[0 .. size) when it exceeds `beat`, else `beat`: what a scan in order
// that takes each strictly larger gain ends with (a gain that is not larger, NaN included,
// leaves it), without a branch per gain, in four lanes. `beat` is never below +0.0, and
// above it there are no signed zeros, so the lanes' largest is the scan's. That scan ends
// at the first boundary holding this gain (first_holding).
[[gnu::always_inline]] inline double largest_gain(const double* gain, std::size_t size,
                                                  double beat) {
    const auto larger = [](double g, double top) { return g > top ? g : top; };
    std::array<double, 4> lane{beat, beat, beat, beat};
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        for (std::size_t k = 0; k < 4; ++k) lane[k] = larger(gain[i + k], lane[k]);
    }
    for (; i < size; ++i) lane[0] = larger(gain[i], lane[0]);
    return larger(larger(lane[0], lane[1]), larger(lane[2], lane[3]));
}

// The first i with gain[i] == top, for a top that largest_gain found among them.
inline std::size_t first_holding(const double* gain, double top) {
    std::size_t i = 0;
    while (!(gain[i] == top)) ++i;
    return i;
}

// The gain of each boundary [0, c.size) of a node of weight W, sums S1 and S2 and variance
// V; returns the largest gain when it exceeds `beat`, else `beat`.
double regression_gains(RegBoundaries& c, double W, double S1, double S2, double V, double beat);

// The same for a node of unit weights (W its entry count, every wl and wr a count of at
// least one), except that gain[i] may be -infinity for a boundary whose exact gain is below
// the largest: the largest, and the first boundary holding it, are those of the exact gains.
double count_regression_gains(RegBoundaries& c, double W, double S1, double S2, double V,
                              double beat);

}  // namespace canopy
