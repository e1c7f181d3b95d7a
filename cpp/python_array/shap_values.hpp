// shap_values(x, *, background=None, n_jobs=None, progress=None) of the supervised classes:
// Shapley attributions of the whole model as (values (n, features, outputs), expected
// value (outputs,)).
#pragma once

#include <nanobind/stl/optional.h>

#include <optional>

#include "estimators/model_shap.hpp"
#include "python_array/binding.hpp"

namespace canopy::pyarray {

template <class Est>
nb::tuple shap_values(Box<Est>& b, const MatrixArg& x, const std::optional<MatrixArg>& background,
                      std::optional<std::int64_t> n_jobs, nb::object progress) {
    Attributions a = run<Access::Shared>(b, CallOptions{n_jobs, progress}, [&](Est& e) {
        std::optional<MatrixView> bg;
        if (background) bg = background->view();
        return explain_model(explained_model(e), x.view(), bg);
    });
    auto values = to_array(std::move(a.values), {a.rows, a.features, a.outputs});
    return nb::make_tuple(values, to_array(std::move(a.expected)));
}

// tree_arrays() -> (start (outputs,), [dict of arrays per tree]): the model as flat trees.
template <class Est>
nb::tuple tree_arrays(Box<Est>& b) {
    struct Flat {
        std::vector<double> start;
        std::vector<FlatTree> trees;
    };
    Flat flat = read(b, [](Est& e) {
        const ExplainedModel model = explained_model(e);
        return Flat{model.start, flat_trees(model)};
    });
    const std::size_t outputs = flat.start.size();
    nb::list trees;
    for (FlatTree& t : flat.trees) {
        const std::size_t n = t.cover.size();
        nb::dict d;
        d["children_left"] = to_array(std::move(t.children_left), {n});
        d["children_right"] = to_array(std::move(t.children_right), {n});
        d["feature"] = to_array(std::move(t.feature), {n});
        d["threshold"] = to_array(std::move(t.threshold), {n});
        d["value"] = to_array(std::move(t.value), {n, outputs});
        d["cover"] = to_array(std::move(t.cover), {n});
        trees.append(d);
    }
    return nb::make_tuple(to_array(std::move(flat.start)), trees);
}

inline constexpr const char* kTreeArraysDoc =
    "The model as flat trees: (start (outputs,), one dict per tree of arrays children_left, "
    "children_right, feature (-1 at leaves), threshold, value (nodes, outputs) and cover). "
    "The raw output is start plus the sum over trees of the value of the leaf each reaches "
    "(left when x[feature] <= threshold, NaN right).";

inline constexpr const char* kShapValuesDoc =
    "Shapley attributions of the model's output (raw scores for boosted models) and the "
    "expected value: (values (n, features, outputs), expected (outputs,)). Branch weights "
    "come from the training covers, or from the background rows when given.";

#define CANOPY_SHAP_ARGS                                                                           \
    nb::arg("x"), nb::kw_only(), nb::arg("background") = nb::none(),                               \
                                 nb::arg("n_jobs") = nb::none(), nb::arg("progress") = nb::none(), \
                                 kShapValuesDoc
#define CANOPY_TREE_ARRAYS "tree_arrays", &tree_arrays<Est>, kTreeArraysDoc

}  // namespace canopy::pyarray
