// RandomForestClassifier: bagged histogram trees over class indices.
#include "estimators/random_forest.hpp"
#include "python_array/binding.hpp"
#include "python_array/shap_values.hpp"
#include "python_array/state.hpp"

namespace canopy::pyarray {

namespace {

using Est = RandomForestClassifier;
using B = Box<Est>;

void init(B* self, std::uint64_t n_estimators, std::optional<std::uint64_t> max_depth,
          std::optional<std::string> max_features, bool bootstrap,
          std::optional<std::uint64_t> random_state, std::uint64_t min_samples_split,
          std::uint64_t min_samples_leaf, std::optional<std::int64_t> n_jobs) {
    resolve_n_jobs(n_jobs);
    new (self) B(Est(ForestConfig{n_estimators, max_depth, std::move(max_features), bootstrap,
                                  random_state, min_samples_split, min_samples_leaf}),
                 n_jobs);
}

ArrayOut<double> predict_proba(B& b, const MatrixArg& x, std::optional<std::int64_t> n_jobs) {
    return to_array(run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) {
        require_columns(e, x.view());
        Matrix out;
        out.rows = x.view().rows;
        out.cols = e.n_classes;
        out.values = e.predict_proba_flat(x.view());
        return out;
    }));
}

double score(B& b, const MatrixArg& x, const VectorArg& y, std::optional<std::int64_t> n_jobs) {
    return run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) {
        require_columns(e, x.view());
        return e.score(x.view(), y.view());
    });
}

}  // namespace

void bind_random_forest_classifier(nb::module_& m) {
    const ForestConfig d = Est::default_config();
    nb::class_<B>(m, "RandomForestClassifier",
                  "A bagged forest of histogram classification trees over class indices 0..k-1.")
        .def("__init__", &init, nb::arg("n_estimators") = d.n_estimators,
             nb::arg("max_depth") = d.max_depth, nb::arg("max_features") = d.max_features,
             nb::arg("bootstrap") = d.bootstrap, nb::arg("random_state") = d.random_state,
             nb::arg("min_samples_split") = d.min_samples_split,
             nb::arg("min_samples_leaf") = d.min_samples_leaf, nb::arg("n_jobs") = nb::none())
        .def("fit", &fit_forest<Est>, CANOPY_FOREST_FIT_ARGS,
             "Grows the forest, or with tree_range=(a, b) only its trees a..b-1 (a part for "
             "join; needs random_state).")
        .def_static("join", &join_parts<Est>, nb::arg("parts"), nb::rv_policy::take_ownership,
                    CANOPY_JOIN_DOC)
        .def("predict", &predict<Est>, nb::arg("x"), CANOPY_JOBS_ARG,
             "Class index of the largest mean probability per row, shape (n,).")
        .def("predict_proba", &predict_proba, nb::arg("x"), CANOPY_JOBS_ARG,
             "Mean class probabilities over the trees, shape (n, n_classes).")
        .def("shap_values", &shap_values<Est>, CANOPY_SHAP_ARGS)
        .def(CANOPY_TREE_ARRAYS)
        .def("score", &score, nb::arg("x"), nb::arg("y"), CANOPY_JOBS_ARG,
             "Share of rows whose predicted class index equals y's.")
        .def_prop_ro("n_estimators", property<Est>([](Est& e) { return e.config.n_estimators; }))
        .def_prop_ro("n_classes", property<Est>([](Est& e) { return e.n_classes; }))
        .def_prop_ro(
            "classes_", [](B& b) { return to_array(read(b, [](Est& e) { return e.classes; })); },
            nb::rv_policy::move, "Sorted class indices (uint64) of the last fit, else None.")
        .def_prop_ro("tree_range", &part_range<Est>,
                     "(a, b) for a part holding trees a..b-1 of its forest, else None.")
        .def_prop_ro("is_fitted", property<Est>([](Est& e) { return e.is_fitted; }))
        .def("export_state", &export_state<Est>, kExportStateDoc)
        .def_static("load_state", &load_state_object<Est>, nb::arg("data"),
                    nb::rv_policy::take_ownership, kLoadStateDoc);
}

}  // namespace canopy::pyarray
