// CanopyRegressor: boosting for squared error, one random forest per round, with
// split-conformal intervals.
#include "python_array/boosting_common.hpp"
#include "python_array/state.hpp"

namespace canopy::pyarray {

namespace {

using Est = CanopyRegressor;
using B = Box<Est>;

void init(B* self, std::uint64_t n_estimators, double learning_rate, std::uint64_t rf_n_estimators,
          std::optional<std::uint64_t> rf_max_depth, std::optional<std::string> rf_max_features,
          bool bootstrap, std::optional<std::uint64_t> random_state,
          std::uint64_t min_samples_split, std::uint64_t min_samples_leaf, bool use_histogram,
          bool async_mode, double tol, std::optional<std::int64_t> n_jobs,
          double conformal_fraction) {
    resolve_n_jobs(n_jobs);
    new (self)
        B(Est(boost_config(n_estimators, learning_rate, rf_n_estimators, rf_max_depth,
                           std::move(rf_max_features), bootstrap, random_state, min_samples_split,
                           min_samples_leaf, use_histogram, async_mode, tol),
              conformal_fraction),
          n_jobs);
}

}  // namespace

void bind_canopy_regressor(nb::module_& m) {
    const BoostConfig d;
    nb::class_<B>(m, "CanopyRegressor",
                  "Gradient boosting for squared error whose rounds each fit a random forest, "
                  "with split-conformal prediction intervals.")
        .def("__init__", &init, CANOPY_BOOST_ARGS(d),
             nb::arg("conformal_fraction") = kDefaultConformalFraction)
        .def("fit", &fit_supervised<Est>, CANOPY_FIT_ARGS,
             "Fits; progress counts the rounds of both stages (calibration and refit).")
        .def("predict", &predict<Est>, nb::arg("x"), CANOPY_JOBS_ARG, "Predictions, shape (n,).")
        .def("predict_ci", &predict_ci<Est>, CANOPY_PREDICT_CI_ARGS,
             "Split-conformal intervals, shape (n, 2): lower and upper bound per row.")
        .def("feature_importances", &importances<Est>, CANOPY_JOBS_ARG,
             "Split-count importances, shape (features,).")
        .def_prop_ro("n_estimators", property<Est>([](Est& e) { return e.config.n_estimators; }))
        .def_prop_ro("is_fitted", property<Est>([](Est& e) { return e.is_fitted; }))
        .def_prop_ro("conformal_quantile",
                     property<Est>([](Est& e) { return e.conformal_quantile; }),
                     "Half-width of the 95% intervals (0.0 before the first fit).")
        .def_prop_ro(
            "trees_used",
            [](B& b) { return to_array(read(b, [](Est& e) { return e.trees_used; })); },
            nb::rv_policy::move, "Trees kept in each round's forest (uint64).")
        .def("export_state", &export_state<Est>, kExportStateDoc)
        .def_static("load_state", &load_state_object<Est>, nb::arg("data"),
                    nb::rv_policy::take_ownership, kLoadStateDoc);
}

}  // namespace canopy::pyarray
