// Gradient boosting for classification (logistic or softmax Newton steps) whose rounds each
// fit a random forest, with Wilson intervals for two classes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/views.hpp"
#include "estimators/boosting/config.hpp"
#include "estimators/boosting/inner_forest.hpp"
#include "estimators/boosting/regressor.hpp"

namespace canopy {

struct CanopyClassifier {
    BoostConfig config;
    std::vector<double> init_scores;
    std::vector<Forest> forests;  // round-major: round m, output k at m * n_outputs + k
    std::vector<std::uint64_t> trees_used;
    std::size_t n_classes = 0;
    std::size_t n_features = 0;  // columns of the last fit's x
    bool is_fitted = false;

    // Requests the worker pool size from n_jobs.
    explicit CanopyClassifier(BoostConfig config);

    // Two classes: logistic Newton steps on one raw score. Any other count: one forest per
    // class per round against the softmax, class c's update visible to class c + 1 in the
    // same round. An empty training set is rejected (UserError) like any bad input: nothing
    // changes.
    void fit(const MatrixView& x, const VectorView& y,
             const std::optional<VectorView>& sample_weight);
    std::vector<std::vector<double>> predict_proba(const MatrixView& x) const;
    // Class index as a float. Two classes: 1.0 when P(class 1) > 0.5. Otherwise the highest
    // index among the largest probabilities; a row whose probabilities are NaN (raw scores
    // that overflowed) predicts NaN rather than an arbitrary class.
    std::vector<double> predict(const MatrixView& x) const;
    // Wilson score interval around P(class 1), the trees of all forests counted as trials.
    std::vector<Interval> predict_ci(const MatrixView& x, double alpha) const;
    std::vector<double> feature_importances() const;

    std::size_t n_outputs() const { return init_scores.size(); }
    void require_fitted() const;
};

// Raw score matrix, one row per row of x and n_outputs columns: init_scores plus, forest
// group by forest group (one group per round), learning_rate * forest_predict.
std::vector<std::vector<double>> get_raw_predictions(const std::vector<Forest>& forests,
                                                     std::span<const double> init_scores,
                                                     const MatrixView& x, std::size_t n_outputs,
                                                     double learning_rate);

// Max ignoring NaN, exponentials of the differences, normalised by their sum in index order.
std::vector<double> softmax(std::span<const double> z);
// The same into out (out.size() == z.size()); z and out must not overlap.
void softmax_into(std::span<const double> z, std::span<double> out);

// Logistic function 1 / (1 + exp(-v)).
double sigmoid(double v);

// Wilson score interval for probability p over n_trials at the level alpha (critical values
// 2.576, 1.96, 1.645, 1.28), clipped to [0, 1].
Interval wilson_interval(double p, double n_trials, double alpha);

}  // namespace canopy
