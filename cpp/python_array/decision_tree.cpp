// DecisionTree: one exact tree. Its fit and predictions run on the calling thread alone.
#include "estimators/decision_tree.hpp"

#include "python_array/binding.hpp"
#include "python_array/shap_values.hpp"
#include "python_array/state.hpp"

namespace canopy::pyarray {

namespace {

using Est = DecisionTree;
using B = Box<Est>;

void init(B* self, std::optional<std::uint64_t> max_depth, std::string criterion, std::string task,
          std::optional<std::uint64_t> random_state, std::uint64_t min_samples_split,
          std::uint64_t min_samples_leaf) {
    if (task != "classification" && task != "regression") {
        throw std::invalid_argument("task must be 'classification' or 'regression', got '" + task +
                                    "'");
    }
    new (self) B(Est(DecisionTreeConfig{max_depth, std::move(criterion), std::move(task),
                                        random_state, min_samples_split, min_samples_leaf}),
                 std::nullopt);
}

}  // namespace

void bind_decision_tree(nb::module_& m) {
    const DecisionTreeConfig d;
    nb::class_<B>(m, "DecisionTree", "A single classification or regression tree.")
        .def("__init__", &init, nb::arg("max_depth") = d.max_depth,
             nb::arg("criterion") = d.criterion, nb::arg("task") = d.task,
             nb::arg("random_state") = d.random_state,
             nb::arg("min_samples_split") = d.min_samples_split,
             nb::arg("min_samples_leaf") = d.min_samples_leaf)
        .def(
            "fit",
            [](B& b, const MatrixArg& x, const VectorArg& y, const std::optional<VectorArg>& w) {
                run<Access::Exclusive>(b, {},
                                       [&](Est& e) { e.fit(x.view(), y.view(), view_of(w)); });
            },
            nb::arg("x"), nb::arg("y"), nb::arg("sample_weight") = nb::none())
        .def(
            "predict",
            [](B& b, const MatrixArg& x) {
                return to_array(run<Access::Shared>(b, {}, [&](Est& e) {
                    require_columns(e, x.view());
                    return e.predict(x.view());
                }));
            },
            nb::arg("x"), "Leaf value per row, shape (n,).")
        .def(
            "predict_proba",
            [](B& b, const MatrixArg& x) {
                return to_array(run<Access::Shared>(b, {}, [&](Est& e) {
                    require_columns(e, x.view());
                    return flatten(e.predict_proba(x.view()), e.n_classes());
                }));
            },
            nb::arg("x"), "Class probabilities, shape (n, len(classes_)).")
        .def("shap_values", &shap_values<Est>, CANOPY_SHAP_ARGS)
        .def(CANOPY_TREE_ARRAYS)
        .def("get_depth", [](B& b) { return read(b, [](Est& e) { return e.get_depth(); }); })
        .def("get_n_leaves", [](B& b) { return read(b, [](Est& e) { return e.get_n_leaves(); }); })
        .def_prop_ro(
            "classes_", [](B& b) { return to_array(read(b, [](Est& e) { return e.classes; })); },
            nb::rv_policy::move,
            "Sorted class indices (uint64) of the last classification fit, else None.")
        .def_prop_ro("is_fitted", [](B& b) { return read(b, [](Est& e) { return e.is_fitted; }); })
        .def("export_state", &export_state<Est>, kExportStateDoc)
        .def_static("load_state", &load_state_object<Est>, nb::arg("data"),
                    nb::rv_policy::take_ownership, kLoadStateDoc);
}

}  // namespace canopy::pyarray
