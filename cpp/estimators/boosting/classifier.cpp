#include "estimators/boosting/classifier.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/hist_split.hpp"
#include "engine/histogram.hpp"
#include "engine/row_blocks.hpp"
#include "engine/thread_pool.hpp"
#include "engine/validation.hpp"
#include "estimators/boosting/export.hpp"

namespace canopy {

namespace {

constexpr double kProbLow = 1e-5;
constexpr double kProbHigh = 0.99999;

double clamp_prob(double p) { return std::clamp(p, kProbLow, kProbHigh); }

// Everything one boosting fit shares between its forests.
struct RoundContext {
    const MatrixView& x;
    const TreeParams& params;
    const BoostConfig& config;
    const HistogramData* hist;
    std::size_t min_trees;
    Pcg64& rng;
};

struct RoundFit {
    Forest forest;
    std::vector<double> predictions;
};

RoundFit fit_one_rf(const RoundContext& ctx, std::span<const double> targets,
                    std::span<const double> weights) {
    const auto n_trees = static_cast<std::size_t>(ctx.config.rf_n_estimators);
    RoundFit out;
    if (!ctx.config.async_mode) {
        out.forest = fit_internal_rf_binned(ctx.x, targets, weights, n_trees, ctx.params,
                                            ctx.config.bootstrap, ctx.rng, ctx.hist);
        out.predictions = forest_predict_rows(out.forest, ctx.x);
    } else {
        StreamedForest s = fit_internal_rf_streaming_binned(
            ctx.x, targets, weights, n_trees, ctx.params, ctx.config.bootstrap, ctx.rng,
            ctx.hist, ctx.min_trees, true, ctx.config.tol);
        out.forest = std::move(s.forest);
        out.predictions = std::move(s.train_predictions);
    }
    return out;
}

struct ClassifierModel {
    std::vector<double> init_scores;
    std::vector<Forest> forests;
    std::vector<std::uint64_t> trees_used;
};

ClassifierModel fit_binary(const RoundContext& ctx, std::span<const double> y,
                           std::span<const double> w, double w_total) {
    const std::size_t n = y.size();
    double wy = 0.0;
    for (std::size_t i = 0; i < n; ++i) wy += w[i] * y[i];
    const double p_bar = clamp_prob(w_total > 0.0 ? wy / w_total : 0.5);

    ClassifierModel m;
    m.init_scores = {std::log(p_bar / (1.0 - p_bar))};
    std::vector<double> f(n, m.init_scores[0]);
    std::vector<double> targets(n), weights(n);
    for (std::uint64_t round = 0; round < ctx.config.n_estimators; ++round) {
        poll_interrupt();
        for (std::size_t i = 0; i < n; ++i) {
            const double p = clamp_prob(1.0 / (std::exp(-f[i]) + 1.0));
            const double h = p * (1.0 - p);
            targets[i] = (y[i] - p) / h;
            weights[i] = h * w[i];
        }
        RoundFit r = fit_one_rf(ctx, targets, weights);
        m.trees_used.push_back(r.forest.size());
        for (std::size_t i = 0; i < n; ++i) {
            f[i] = f[i] + ctx.config.learning_rate * r.predictions[i];
        }
        m.forests.push_back(std::move(r.forest));
        progress_step();
    }
    return m;
}

ClassifierModel fit_multiclass(const RoundContext& ctx, std::span<const std::uint64_t> cls,
                               std::span<const double> w, double w_total, std::size_t k) {
    const std::size_t n = cls.size();
    ClassifierModel m;
    m.init_scores.assign(k, std::log(kProbLow));
    if (w_total > 0.0) {
        for (std::size_t c = 0; c < k; ++c) {
            double s = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                if (cls[i] == c) s += w[i];
            }
            m.init_scores[c] = std::log(clamp_prob(s / w_total));
        }
    }
    // Raw scores, row-major n x k.
    std::vector<double> f(n * k);
    for (std::size_t i = 0; i < n; ++i)
        std::copy(m.init_scores.begin(), m.init_scores.end(), f.begin() + i * k);
    std::vector<double> targets(n), weights(n), p(k);
    for (std::uint64_t round = 0; round < ctx.config.n_estimators; ++round) {
        for (std::size_t c = 0; c < k; ++c) {
            poll_interrupt();
            for (std::size_t i = 0; i < n; ++i) {
                softmax_into({f.data() + i * k, k}, p);
                const double q = clamp_prob(p[c]);
                const double h = q * (1.0 - q);
                const double t = cls[i] == c ? 1.0 : 0.0;
                targets[i] = (t - q) / h;
                weights[i] = h * w[i];
            }
            RoundFit r = fit_one_rf(ctx, targets, weights);
            if (c == 0) m.trees_used.push_back(r.forest.size());
            for (std::size_t i = 0; i < n; ++i) {
                f[i * k + c] = f[i * k + c] + ctx.config.learning_rate * r.predictions[i];
            }
            m.forests.push_back(std::move(r.forest));
        }
        progress_step();
    }
    return m;
}

}  // namespace

double sigmoid(double v) { return 1.0 / (1.0 + std::exp(-v)); }

void softmax_into(std::span<const double> z, std::span<double> out) {
    if (z.empty()) return;
    double top = -std::numeric_limits<double>::infinity();
    for (double v : z) {
        if (v > top) top = v;  // NaN never wins
    }
    double sum = -0.0;
    for (std::size_t j = 0; j < z.size(); ++j) {
        out[j] = std::exp(z[j] - top);
        sum += out[j];
    }
    for (std::size_t j = 0; j < z.size(); ++j) out[j] /= sum;
}

std::vector<double> softmax(std::span<const double> z) {
    std::vector<double> e(z.size());
    softmax_into(z, e);
    return e;
}

Interval wilson_interval(double p, double n_trials, double alpha) {
    double z = 1.28;
    if (alpha <= 0.01) {
        z = 2.576;
    } else if (alpha <= 0.05) {
        z = 1.96;
    } else if (alpha <= 0.1) {
        z = 1.645;
    }
    const double z2 = z * z;
    const double n = n_trials;
    const double d = z2 / n + 1.0;
    const double centre = (p + z2 / (2.0 * n)) / d;
    const double half = z * std::sqrt(p * (1.0 - p) / n + z2 / (4.0 * n * n)) / d;
    double lower = centre - half;
    double upper = centre + half;
    if (lower < 0.0) lower = 0.0;
    if (upper > 1.0) upper = 1.0;
    return {lower, upper};
}

CanopyClassifier::CanopyClassifier(BoostConfig c) : config(std::move(c)) {
    set_thread_pool(config.n_jobs);
}

void CanopyClassifier::require_fitted() const {
    if (!is_fitted) fail_user("CanopyClassifier has not been fitted");
}

void CanopyClassifier::fit(const MatrixView& x, const VectorView& y,
                           const std::optional<VectorView>& sample_weight) {
    const SupervisedInput in = prepare_supervised(x, y, sample_weight);
    if (x.rows == 0) fail_user("x has no rows; at least one row is needed to fit");
    const std::size_t n = x.rows;
    double w_total = -0.0;
    for (double v : in.weight) w_total += v;

    const TreeParams params =
        make_tree_params(config.rf_max_depth, config.rf_max_features, x.cols,
                         config.min_samples_split, config.min_samples_leaf, false);
    Pcg64 rng = seed_rng(config.random_state);

    std::vector<std::uint64_t> cls(n);
    for (std::size_t i = 0; i < n; ++i) cls[i] = class_index(in.y[i]);
    const std::vector<std::uint64_t> distinct =
        sorted_classes(n, [&](std::size_t i) { return in.y[i]; });
    // The binary procedure reads the labels as 0/1 targets, the multiclass one as columns.
    if (auto message = validate_classes(distinct)) fail_user(*message);
    const std::size_t k = distinct.size();
    require_boosting_storage(config, k == 2 ? 1 : k, n);

    const Matrix owned = to_row_major(x);
    std::optional<HistogramData> hist;
    if (config.use_histogram && config.n_estimators > 0) {
        hist = HistogramData::build(owned.view(), owned.rows, owned.cols);
        add_row_records(*hist, params);
    }
    const MatrixView xv = owned.view();
    const RoundContext ctx{
        xv,
        params,
        config,
        hist ? &*hist : nullptr,
        static_cast<std::size_t>(std::max<std::uint64_t>(config.rf_n_estimators / 2, 3)),
        rng};
    Progress progress(config.n_estimators);
    ClassifierModel model = k == 2 ? fit_binary(ctx, in.y, in.weight, w_total)
                                   : fit_multiclass(ctx, cls, in.weight, w_total, k);
    progress.complete();

    n_classes = k;
    init_scores = std::move(model.init_scores);
    forests = std::move(model.forests);
    trees_used = std::move(model.trees_used);
    n_features = x.cols;
    is_fitted = true;
}

std::vector<std::vector<double>> get_raw_predictions(const std::vector<Forest>& forests,
                                                     std::span<const double> init_scores,
                                                     const MatrixView& x, std::size_t n_outputs,
                                                     double learning_rate) {
    if (init_scores.size() < n_outputs) fail_internal("raw scores need one start value per output");
    const RowMajor rows(x);
    std::vector<std::vector<double>> raw(
        x.rows, std::vector<double>(init_scores.begin(), init_scores.begin() + n_outputs));
    if (n_outputs == 0 || forests.empty()) return raw;
    for_row_blocks(x.rows, [&](std::size_t begin, std::size_t end) {
        std::vector<double> sum(end - begin);
        // Forest j is round j / n_outputs, output j % n_outputs: in storage order, each
        // column receives its forests in round order.
        for (std::size_t j = 0; j < forests.size(); ++j) {
            poll_interrupt();
            const Forest& forest = forests[j];
            const std::size_t c = j % n_outputs;
            std::fill(sum.begin(), sum.end(), 0.0);
            forest.add_values(rows.view(), begin, end, sum.data());
            const double count = static_cast<double>(forest.size());
            for (std::size_t i = begin; i < end; ++i) {
                const double fp = forest.empty() ? 0.0 : sum[i - begin] / count;
                raw[i][c] = raw[i][c] + learning_rate * fp;
            }
        }
    });
    return raw;
}

std::vector<std::vector<double>> CanopyClassifier::predict_proba(const MatrixView& x) const {
    require_fitted();
    std::vector<std::vector<double>> raw =
        get_raw_predictions(forests, init_scores, x, n_outputs(), config.learning_rate);
    for (auto& row : raw) {
        if (n_classes == 2) {
            const double s = sigmoid(row[0]);
            row = {1.0 - s, s};
        } else {
            row = softmax(row);
        }
    }
    return raw;
}

std::vector<double> CanopyClassifier::predict(const MatrixView& x) const {
    require_fitted();
    const std::vector<std::vector<double>> raw =
        get_raw_predictions(forests, init_scores, x, n_outputs(), config.learning_rate);
    std::vector<double> out(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (n_classes == 2) {
            out[i] = sigmoid(raw[i][0]) > 0.5 ? 1.0 : 0.0;
            continue;
        }
        const std::vector<double> p = softmax(raw[i]);
        if (p.size() < 2) {
            out[i] = 0.0;
            continue;
        }
        if (std::any_of(p.begin(), p.end(), [](double v) { return std::isnan(v); })) {
            out[i] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        std::size_t best = 0;
        for (std::size_t j = 1; j < p.size(); ++j) {
            if (p[j] >= p[best]) best = j;
        }
        out[i] = static_cast<double>(best);
    }
    return out;
}

std::vector<Interval> CanopyClassifier::predict_ci(const MatrixView& x, double alpha) const {
    require_fitted();
    if (n_classes != 2) fail_user("predict_ci only supports binary classification");
    std::size_t total_trees = 0;
    for (const Forest& f : forests) total_trees += f.size();
    const auto proba = predict_proba(x);
    std::vector<Interval> out(proba.size());
    for (std::size_t i = 0; i < proba.size(); ++i) {
        out[i] = wilson_interval(proba[i][1], static_cast<double>(total_trees), alpha);
    }
    return out;
}

std::vector<double> CanopyClassifier::feature_importances() const {
    require_fitted();
    return compute_feature_importances(forests, n_features);
}

}  // namespace canopy
