// RandomForestUnsupervised: real rows against a column-shuffled copy; proximities, outlier
// scores, an embedding and permutation importances as arrays.
#include "estimators/unsupervised/forest.hpp"
#include "python_array/binding.hpp"
#include "python_array/state.hpp"

namespace canopy::pyarray {

namespace {

using Est = RandomForestUnsupervised;
using B = Box<Est>;

void init(B* self, std::uint64_t n_estimators, std::optional<std::uint64_t> max_depth,
          std::optional<std::string> max_features, std::optional<std::uint64_t> random_state,
          std::uint64_t min_samples_split, std::uint64_t min_samples_leaf,
          std::optional<std::int64_t> n_jobs, std::optional<std::uint64_t> n_neighbors) {
    resolve_n_jobs(n_jobs);
    // n_jobs caps calls here; it is not the worker-pool request of canopy._rs.
    new (self) B(Est(UnsupervisedConfig{n_estimators, max_depth, std::move(max_features),
                                        random_state, min_samples_split, min_samples_leaf,
                                        std::nullopt, n_neighbors.value_or(0)}),
                 n_jobs);
}

// Neighbour lists in compressed sparse row form: row i's neighbours are
// indices[indptr[i]:indptr[i + 1]], by decreasing proximity.
struct Csr {
    std::vector<std::uint64_t> indptr;
    std::vector<std::uint64_t> indices;
    std::vector<double> values;
};

Csr to_csr(const std::vector<SparseProximityRow>& rows) {
    Csr out;
    out.indptr.reserve(rows.size() + 1);
    out.indptr.push_back(0);
    for (const SparseProximityRow& row : rows) {
        for (const auto& [j, p] : row) {
            out.indices.push_back(j);
            out.values.push_back(p);
        }
        out.indptr.push_back(out.indices.size());
    }
    return out;
}

void fit(B& b, const MatrixArg& x, const RangeArg& tree_range, std::optional<std::int64_t> n_jobs,
         nb::object progress) {
    run<Access::Exclusive>(b, CallOptions{n_jobs, progress},
                           [&](Est& e) { e.fit(x.view(), tree_range_of(tree_range)); });
}

ArrayOut<double> fit_transform(B& b, const MatrixArg& x, std::uint64_t n_components,
                               std::optional<std::int64_t> n_jobs, nb::object progress) {
    return to_array(run<Access::Exclusive>(b, CallOptions{n_jobs, progress}, [&](Est& e) {
        return e.fit_transform(x.view(), n_components);
    }));
}

ArrayOut<double> proximity_matrix(B& b, bool use_oob, std::optional<std::int64_t> n_jobs) {
    return to_array(
        run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) { return e.proximity_matrix(use_oob); }));
}

// Exclusive: the lists are also kept for outlier_scores(use_sparse=True).
auto proximity_sparse(B& b, std::optional<std::uint64_t> k, std::optional<std::int64_t> n_jobs) {
    Csr csr = run<Access::Exclusive>(b, jobs(n_jobs),
                                     [&](Est& e) { return to_csr(e.proximity_sparse(k)); });
    return nb::make_tuple(to_array(std::move(csr.indptr)), to_array(std::move(csr.indices)),
                          to_array(std::move(csr.values)));
}

ArrayOut<double> predict_proximity(B& b, const MatrixArg& x_new,
                                   std::optional<std::int64_t> n_jobs) {
    return to_array(run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) {
        require_columns(e, x_new.view(), "x_new");
        return e.predict_proximity(x_new.view());
    }));
}

ArrayOut<double> outlier_scores(B& b, bool use_sparse, std::optional<std::int64_t> n_jobs) {
    return to_array(
        run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) { return e.outlier_scores(use_sparse); }));
}

ArrayOut<double> predict_outlier_scores(B& b, const MatrixArg& x_new,
                                        std::optional<std::int64_t> n_jobs) {
    return to_array(run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) {
        require_columns(e, x_new.view(), "x_new");
        return e.predict_outlier_scores(x_new.view());
    }));
}

ArrayOut<double> transform(B& b, std::uint64_t n_components, std::optional<std::int64_t> n_jobs) {
    return to_array(
        run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) { return e.transform(n_components); }));
}

}  // namespace

void bind_random_forest_unsupervised(nb::module_& m) {
    const UnsupervisedConfig d;
    nb::class_<B>(m, "RandomForestUnsupervised",
                  "Breiman's unsupervised random forest: real rows against a column-shuffled "
                  "synthetic copy.")
        .def("__init__", &init, nb::arg("n_estimators") = d.n_estimators,
             nb::arg("max_depth") = d.max_depth, nb::arg("max_features") = d.max_features,
             nb::arg("random_state") = d.random_state,
             nb::arg("min_samples_split") = d.min_samples_split,
             nb::arg("min_samples_leaf") = d.min_samples_leaf, nb::arg("n_jobs") = nb::none(),
             nb::arg("n_neighbors") = nb::none())
        .def("fit", &fit, nb::arg("x"), nb::kw_only(), nb::arg("tree_range") = nb::none(),
             nb::arg("n_jobs") = nb::none(), nb::arg("progress") = nb::none(),
             "Fits; progress counts trees. With tree_range=(a, b) only trees a..b-1 and their "
             "out-of-bag sets (a part for join; needs random_state).")
        .def_static("join", &join_parts<Est>, nb::arg("parts"), nb::rv_policy::take_ownership,
                    CANOPY_JOIN_DOC)
        .def("proximity_matrix", &proximity_matrix, nb::arg("use_oob") = true, CANOPY_JOBS_ARG,
             "Proximities of the training rows, shape (n, n).")
        .def("proximity_sparse", &proximity_sparse, nb::arg("k") = nb::none(), CANOPY_JOBS_ARG,
             "Up to k neighbours per training row as (indptr, indices, values): row i's "
             "neighbours are indices[indptr[i]:indptr[i+1]] (uint64) with proximities "
             "values[...] (float64), by decreasing proximity.")
        .def("predict_proximity", &predict_proximity, nb::arg("x_new"), CANOPY_JOBS_ARG,
             "Proximities of new rows to the training rows, shape (n_new, n).")
        .def("outlier_scores", &outlier_scores, nb::arg("use_sparse") = false, CANOPY_JOBS_ARG,
             "Standardised outlier scores of the training rows, shape (n,).")
        .def("predict_outlier_scores", &predict_outlier_scores, nb::arg("x_new"), CANOPY_JOBS_ARG,
             "Outlier scores of new rows, shape (n_new,).")
        .def("transform", &transform, nb::arg("n_components") = 2, CANOPY_JOBS_ARG,
             "Multidimensional-scaling embedding of the training rows, shape (n, n_components).")
        .def("fit_transform", &fit_transform, nb::arg("x"), nb::arg("n_components") = 2,
             CANOPY_CALL_ARGS, "fit, then transform.")
        .def("feature_importances", &importances<Est>, CANOPY_JOBS_ARG,
             "Permutation importances, shape (features,).")
        .def_prop_ro("n_estimators_", property<Est>([](Est& e) { return e.config.n_estimators; }))
        .def_prop_ro("is_fitted_", property<Est>([](Est& e) { return e.is_fitted; }))
        .def_prop_ro("n_samples_", property<Est>([](Est& e) { return e.n_samples; }))
        .def_prop_ro("n_features_", property<Est>([](Est& e) { return e.n_features(); }))
        .def_prop_ro("tree_range", &part_range<Est>,
                     "(a, b) for a part holding trees a..b-1 of its forest, else None.")
        .def("export_state", &export_state<Est>, kExportStateDoc)
        .def_static("load_state", &load_state_object<Est>, nb::arg("data"),
                    nb::rv_policy::take_ownership, kLoadStateDoc);
}

}  // namespace canopy::pyarray
