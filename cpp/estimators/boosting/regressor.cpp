#include "estimators/boosting/regressor.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/hist_split.hpp"
#include "engine/histogram.hpp"
#include "engine/row_blocks.hpp"
#include "engine/storage.hpp"
#include "engine/thread_pool.hpp"
#include "engine/validation.hpp"
#include "estimators/boosting/export.hpp"

namespace canopy {

namespace {

double weighted_mean(std::span<const double> t, std::span<const double> w) {
    double wt = 0.0;
    double ws = 0.0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        wt += w[i] * t[i];
        ws += w[i];
    }
    return ws > 0.0 ? wt / ws : 0.0;
}

std::size_t min_streaming_trees(std::uint64_t rf_n_estimators) {
    return static_cast<std::size_t>(std::max<std::uint64_t>(rf_n_estimators / 2, 3));
}

}  // namespace

void require_boosting_storage(const BoostConfig& config, std::size_t forests_per_round,
                              std::size_t n_rows) {
    if (config.n_estimators == 0 || forests_per_round == 0) return;
    const std::uint64_t trees =
        config.async_mode ? std::min<std::uint64_t>(config.rf_n_estimators,
                                                    min_streaming_trees(config.rf_n_estimators))
                          : config.rf_n_estimators;
    // Every round keeps its forests and its tree count; one forest's tasks exist at a time.
    const std::uint64_t forest = bytes_add(sizeof(Forest), bytes_mul(trees, packed_tree_bytes()));
    const std::uint64_t round =
        bytes_add(bytes_mul(forests_per_round, forest), sizeof(std::uint64_t));
    const std::uint64_t bytes = bytes_add(bytes_mul(config.n_estimators, round),
                                          forest_fit_bytes(config.rf_n_estimators, n_rows, 0));
    std::string request = "n_estimators=" + std::to_string(config.n_estimators) +
                          " rounds of rf_n_estimators=" + std::to_string(config.rf_n_estimators) +
                          " trees";
    if (forests_per_round > 1) {
        request += " for each of " + std::to_string(forests_per_round) + " classes";
    }
    require_storage(request + " on " + std::to_string(n_rows) + " rows", bytes);
}

double clamp_conformal_fraction(double f) {
    if (f < 0.1) return 0.1;
    if (f > 0.5) return 0.5;
    return f;
}

std::size_t calibration_size(double fraction, std::size_t n_rows) {
    const double v = fraction * static_cast<double>(n_rows);
    if (!(v >= 1.0)) return 0;  // also NaN
    return std::min(static_cast<std::size_t>(v), n_rows);
}

std::size_t conformal_index(std::size_t n_cal) {
    const double n = static_cast<double>(n_cal);
    const double v = (1.0 / n + 1.0) * 0.95 * n;
    const auto rank = static_cast<std::size_t>(std::ceil(v));
    return std::min(rank, n_cal - 1);
}

double conformal_alpha_scale(double alpha) {
    if (std::fabs(alpha - 0.05) < 1e-6) return 1.0;
    if (std::isnan(alpha) || alpha <= 0.01) return 1.3142857142857143;  // 2.576 / 1.96
    if (alpha <= 0.05) return 1.0;
    if (alpha <= 0.1) return 0.8392857142857143;  // 1.645 / 1.96
    return 0.653061224489796;                     // 1.28 / 1.96
}

CanopyRegressor::CanopyRegressor(BoostConfig c, double fraction)
    : config(std::move(c)), conformal_fraction(clamp_conformal_fraction(fraction)) {
    set_thread_pool(config.n_jobs);
}

void CanopyRegressor::require_fitted() const {
    if (!is_fitted) fail_user("CanopyRegressor has not been fitted");
}

BoostedRegression boost_regression(const MatrixView& x, std::span<const double> targets,
                                   std::span<const double> weights, double start,
                                   const TreeParams& params, const BoostConfig& config,
                                   Pcg64& rng) {
    const std::size_t m = x.rows;
    std::optional<HistogramData> hist;
    if (config.use_histogram && config.n_estimators > 0) {
        hist = HistogramData::build(x, x.rows, x.cols);
        add_row_records(*hist, params);
    }
    const HistogramData* bins = hist ? &*hist : nullptr;
    const std::size_t n_trees = static_cast<std::size_t>(config.rf_n_estimators);

    BoostedRegression out;
    out.forests.reserve(static_cast<std::size_t>(config.n_estimators));
    std::vector<double> f(m, start);
    std::vector<double> residual(m);
    for (std::uint64_t r = 0; r < config.n_estimators; ++r) {
        poll_interrupt();
        for (std::size_t i = 0; i < m; ++i) residual[i] = targets[i] - f[i];
        Forest forest;
        std::vector<double> u;
        if (!config.async_mode) {
            forest = fit_internal_rf_binned(x, residual, weights, n_trees, params, config.bootstrap,
                                            rng, bins);
            u = forest_predict_rows(forest, x);
        } else {
            StreamedForest s = fit_internal_rf_streaming_binned(
                x, residual, weights, n_trees, params, config.bootstrap, rng, bins,
                min_streaming_trees(config.rf_n_estimators), false, config.tol);
            forest = std::move(s.forest);
            u = std::move(s.train_predictions);
        }
        out.trees_used.push_back(forest.size());
        for (std::size_t i = 0; i < m; ++i) f[i] = f[i] + config.learning_rate * u[i];
        out.forests.push_back(std::move(forest));
        progress_step();
    }
    return out;
}

std::vector<double> boosted_sum(const std::vector<Forest>& forests, double start,
                                double learning_rate, const MatrixView& x) {
    const RowMajor rows(x);
    std::vector<double> pred(x.rows, start);
    if (forests.empty()) return pred;
    for_row_blocks(x.rows, [&](std::size_t begin, std::size_t end) {
        std::vector<double> sum(end - begin);
        for (const Forest& forest : forests) {
            poll_interrupt();
            std::fill(sum.begin(), sum.end(), 0.0);
            forest.add_values(rows.view(), begin, end, sum.data());
            // forest_predict of a forest without trees is 0.0.
            const double count = static_cast<double>(forest.size());
            for (std::size_t i = begin; i < end; ++i) {
                const double fp = forest.empty() ? 0.0 : sum[i - begin] / count;
                pred[i] = pred[i] + learning_rate * fp;
            }
        }
    });
    return pred;
}

void CanopyRegressor::fit(const MatrixView& x, const VectorView& y,
                          const std::optional<VectorView>& sample_weight) {
    const SupervisedInput in = prepare_supervised(x, y, sample_weight);
    if (x.rows == 0) fail_user("x has no rows; at least one row is needed to fit");
    const std::size_t n = x.rows;
    require_boosting_storage(config, 1, n);
    // Rounds of both stages.
    const std::uint64_t rounds = config.n_estimators;
    Progress progress(rounds > UINT64_MAX / 2 ? UINT64_MAX : 2 * rounds);
    const TreeParams params =
        make_tree_params(config.rf_max_depth, config.rf_max_features, x.cols,
                         config.min_samples_split, config.min_samples_leaf, false);

    // Stage one: boost on a shuffled training part, score the held-out rows.
    Pcg64 rng = seed_rng(config.random_state);
    std::vector<RowIndex> idx(n);
    std::iota(idx.begin(), idx.end(), RowIndex{0});
    rng.shuffle(std::span<RowIndex>(idx));
    const std::size_t n_cal = calibration_size(conformal_fraction, n);
    const std::size_t n_train = n - n_cal;

    Matrix train(n_train, x.cols);
    std::vector<double> train_y(n_train), train_w(n_train);
    for (std::size_t r = 0; r < n_train; ++r) {
        for (std::size_t c = 0; c < x.cols; ++c) train(r, c) = x(idx[r], c);
        train_y[r] = in.y[idx[r]];
        train_w[r] = in.weight[idx[r]];
    }
    const double train_start = weighted_mean(train_y, train_w);
    const BoostedRegression staged =
        boost_regression(train.view(), train_y, train_w, train_start, params, config, rng);

    double quantile = INFINITY;
    if (n_cal > 0) {
        Matrix cal(n_cal, x.cols);
        for (std::size_t r = 0; r < n_cal; ++r) {
            for (std::size_t c = 0; c < x.cols; ++c) cal(r, c) = x(idx[n_train + r], c);
        }
        const std::vector<double> pred =
            boosted_sum(staged.forests, train_start, config.learning_rate, cal.view());
        std::vector<double> scores(n_cal);
        for (std::size_t r = 0; r < n_cal; ++r) {
            scores[r] = std::fabs(in.y[idx[n_train + r]] - pred[r]);
        }
        std::sort(scores.begin(), scores.end());
        quantile = scores[conformal_index(n_cal)];
    }

    // Stage two: the stored model, on all rows with a freshly seeded generator.
    Pcg64 refit_rng = seed_rng(config.random_state);
    const Matrix all = to_row_major(x);
    const double start = weighted_mean(in.y, in.weight);
    BoostedRegression model =
        boost_regression(all.view(), in.y, in.weight, start, params, config, refit_rng);
    progress.complete();

    forests = std::move(model.forests);
    trees_used = std::move(model.trees_used);
    init_prediction = start;
    conformal_quantile = quantile;
    n_features = x.cols;
    is_fitted = true;
}

std::vector<double> CanopyRegressor::predict(const MatrixView& x) const {
    require_fitted();
    return boosted_sum(forests, init_prediction, config.learning_rate, x);
}

std::vector<Interval> CanopyRegressor::predict_ci(const MatrixView& x, double alpha) const {
    require_fitted();
    const std::vector<double> pred = predict(x);
    const double q = conformal_alpha_scale(alpha) * conformal_quantile;
    std::vector<Interval> out(pred.size());
    for (std::size_t i = 0; i < pred.size(); ++i) out[i] = {pred[i] - q, pred[i] + q};
    return out;
}

std::vector<double> CanopyRegressor::feature_importances() const {
    require_fitted();
    return compute_feature_importances(forests, n_features);
}

}  // namespace canopy
