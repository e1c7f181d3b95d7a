// CanopyClassifier: boosting with logistic (two classes) or softmax Newton steps, one random
// forest per round and class, with Wilson intervals for two classes.
#include "estimators/boosting/classifier.hpp"
#include "python_array/boosting_common.hpp"
#include "python_array/shap_values.hpp"
#include "python_array/state.hpp"

namespace canopy::pyarray {

namespace {

using Est = CanopyClassifier;
using B = Box<Est>;

void init(B* self, std::uint64_t n_estimators, double learning_rate, std::uint64_t rf_n_estimators,
          std::optional<std::uint64_t> rf_max_depth, std::optional<std::string> rf_max_features,
          bool bootstrap, std::optional<std::uint64_t> random_state,
          std::uint64_t min_samples_split, std::uint64_t min_samples_leaf, bool use_histogram,
          bool async_mode, double tol, std::optional<std::int64_t> n_jobs) {
    resolve_n_jobs(n_jobs);
    new (self)
        B(Est(boost_config(n_estimators, learning_rate, rf_n_estimators, rf_max_depth,
                           std::move(rf_max_features), bootstrap, random_state, min_samples_split,
                           min_samples_leaf, use_histogram, async_mode, tol)),
          n_jobs);
}

ArrayOut<double> predict_proba(B& b, const MatrixArg& x, std::optional<std::int64_t> n_jobs) {
    return to_array(run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) {
        require_columns(e, x.view());
        return flatten(e.predict_proba(x.view()), e.n_classes);
    }));
}

}  // namespace

void bind_canopy_classifier(nb::module_& m) {
    const BoostConfig d;
    nb::class_<B>(m, "CanopyClassifier",
                  "Gradient boosting for class indices 0..k-1 whose rounds each fit a random "
                  "forest per class, with Wilson intervals for two classes.")
        .def("__init__", &init, CANOPY_BOOST_ARGS(d))
        .def("fit", &fit_supervised<Est>, CANOPY_FIT_ARGS, "Fits; progress counts rounds.")
        .def("predict", &predict<Est>, nb::arg("x"), CANOPY_JOBS_ARG,
             "Predicted class index per row, shape (n,).")
        .def("predict_proba", &predict_proba, nb::arg("x"), CANOPY_JOBS_ARG,
             "Class probabilities, shape (n, n_classes).")
        .def("shap_values", &shap_values<Est>, CANOPY_SHAP_ARGS)
        .def(CANOPY_TREE_ARRAYS)
        .def("predict_ci", &predict_ci<Est>, CANOPY_PREDICT_CI_ARGS,
             "Wilson intervals around P(class 1), shape (n, 2) (two classes only).")
        .def("feature_importances", &importances<Est>, CANOPY_JOBS_ARG,
             "Split-count importances, shape (features,).")
        .def_prop_ro("n_estimators", property<Est>([](Est& e) { return e.config.n_estimators; }))
        .def_prop_ro("n_classes", property<Est>([](Est& e) { return e.n_classes; }))
        .def_prop_ro("is_fitted", property<Est>([](Est& e) { return e.is_fitted; }))
        .def_prop_ro(
            "trees_used",
            [](B& b) { return to_array(read(b, [](Est& e) { return e.trees_used; })); },
            nb::rv_policy::move, "Trees kept in each round's first forest (uint64).")
        .def("export_state", &export_state<Est>, kExportStateDoc)
        .def_static("load_state", &load_state_object<Est>, nb::arg("data"),
                    nb::rv_policy::take_ownership, kLoadStateDoc);
}

}  // namespace canopy::pyarray
