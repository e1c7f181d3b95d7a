// What the two boosted classes share: their constructor arguments and predict_ci.
#pragma once

#include "estimators/boosting/config.hpp"
#include "estimators/boosting/regressor.hpp"
#include "python_array/binding.hpp"

namespace canopy::pyarray {

// The twelve boosting arguments before n_jobs, in the order of the constructors. The
// worker-pool request of canopy._rs is not passed on: here n_jobs caps each call instead.
inline BoostConfig boost_config(std::uint64_t n_estimators, double learning_rate,
                                std::uint64_t rf_n_estimators,
                                std::optional<std::uint64_t> rf_max_depth,
                                std::optional<std::string> rf_max_features, bool bootstrap,
                                std::optional<std::uint64_t> random_state,
                                std::uint64_t min_samples_split, std::uint64_t min_samples_leaf,
                                bool use_histogram, bool async_mode, double tol) {
    return BoostConfig{.n_estimators = n_estimators,
                       .learning_rate = learning_rate,
                       .rf_n_estimators = rf_n_estimators,
                       .rf_max_depth = rf_max_depth,
                       .rf_max_features = std::move(rf_max_features),
                       .bootstrap = bootstrap,
                       .random_state = random_state,
                       .min_samples_split = min_samples_split,
                       .min_samples_leaf = min_samples_leaf,
                       .use_histogram = use_histogram,
                       .async_mode = async_mode,
                       .tol = tol,
                       .n_jobs = std::nullopt};
}

#define CANOPY_BOOST_ARGS(d)                                                                      \
    nb::arg("n_estimators") = d.n_estimators, nb::arg("learning_rate") = d.learning_rate,         \
    nb::arg("rf_n_estimators") = d.rf_n_estimators, nb::arg("rf_max_depth") = d.rf_max_depth,     \
    nb::arg("rf_max_features") = d.rf_max_features, nb::arg("bootstrap") = d.bootstrap,           \
    nb::arg("random_state") = d.random_state, nb::arg("min_samples_split") = d.min_samples_split, \
    nb::arg("min_samples_leaf") = d.min_samples_leaf, nb::arg("use_histogram") = d.use_histogram, \
    nb::arg("async_mode") = d.async_mode, nb::arg("tol") = d.tol, nb::arg("n_jobs") = nb::none()

// predict_ci(x, alpha=0.05, *, n_jobs=None) -> (n, 2) float64 of (lower, upper)
template <class Est>
ArrayOut<double> predict_ci(Box<Est>& b, const MatrixArg& x, double alpha,
                            std::optional<std::int64_t> n_jobs) {
    return to_array(run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) {
        require_columns(e, x.view());
        return flatten(e.predict_ci(x.view(), alpha));
    }));
}

#define CANOPY_PREDICT_CI_ARGS \
    nb::arg("x"), nb::arg("alpha") = kDefaultIntervalAlpha, CANOPY_JOBS_ARG

}  // namespace canopy::pyarray
