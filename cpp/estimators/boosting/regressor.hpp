// Gradient boosting for squared error whose rounds each fit a random forest, with
// split-conformal prediction intervals.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/rng.hpp"
#include "engine/views.hpp"
#include "estimators/boosting/config.hpp"
#include "estimators/boosting/inner_forest.hpp"

namespace canopy {

using Interval = std::array<double, 2>;  // lower, upper

// Share of the rows held out to calibrate the intervals when the caller names none.
inline constexpr double kDefaultConformalFraction = 0.2;
// Miscoverage level of predict_ci when the caller names none.
inline constexpr double kDefaultIntervalAlpha = 0.05;

struct CanopyRegressor {
    BoostConfig config;
    double conformal_fraction = kDefaultConformalFraction;  // clamped to [0.1, 0.5]; NaN passes
    std::vector<Forest> forests;
    std::vector<std::uint64_t> trees_used;
    double init_prediction = 0.0;
    double conformal_quantile = 0.0;
    std::size_t n_features = 0;  // columns of the last fit's x
    bool is_fitted = false;

    // Requests the worker pool size from n_jobs.
    CanopyRegressor(BoostConfig config, double conformal_fraction);

    // Fits on a shuffled training part, calibrates the interval half-width on the held-out
    // rows, then refits on all rows. Bad input raises UserError and changes nothing.
    // When the held-out part would have no rows (a handful of rows, or a NaN
    // conformal_fraction), conformal_quantile is +inf: without calibration rows no finite
    // width has the promised coverage, so the intervals are unbounded.
    void fit(const MatrixView& x, const VectorView& y,
             const std::optional<VectorView>& sample_weight);
    std::vector<double> predict(const MatrixView& x) const;
    // Symmetric intervals of half-width conformal_quantile, rescaled for alpha.
    std::vector<Interval> predict_ci(const MatrixView& x, double alpha) const;
    std::vector<double> feature_importances() const;

    void require_fitted() const;
};

// The clamp the constructor applies.
double clamp_conformal_fraction(double fraction);

// Number of held-out rows: conformal_fraction * n truncated; 0 when that is not a number.
std::size_t calibration_size(double conformal_fraction, std::size_t n_rows);
// Position, in the ascending calibration scores, of the stored quantile (n_cal >= 1).
std::size_t conformal_index(std::size_t n_cal);
// Factor that rescales the 95% half-width to the level alpha.
double conformal_alpha_scale(double alpha);

// The regression boosting loop over a training matrix (rows contiguous), from start value
// `start`, with the estimator's generator.
struct BoostedRegression {
    std::vector<Forest> forests;
    std::vector<std::uint64_t> trees_used;
};
BoostedRegression boost_regression(const MatrixView& x, std::span<const double> targets,
                                   std::span<const double> weights, double start,
                                   const TreeParams& params, const BoostConfig& config, Pcg64& rng);

// Fails with StorageError, before any work, when the model of n_estimators rounds of
// `forests_per_round` forests (each of rf_n_estimators trees, or at least the streaming
// minimum) on n_rows rows cannot fit in memory.
void require_boosting_storage(const BoostConfig& config, std::size_t forests_per_round,
                              std::size_t n_rows);

// start + sum over forests in order of learning_rate * forest_predict, for every row of x.
std::vector<double> boosted_sum(const std::vector<Forest>& forests, double start,
                                double learning_rate, const MatrixView& x);

}  // namespace canopy
