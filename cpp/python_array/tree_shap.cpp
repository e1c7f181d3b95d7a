// TreeSHAP: exact Shapley attributions for a fitted DecisionTree of this module.
#include "estimators/tree_shap.hpp"

#include "engine/errors.hpp"
#include "python_array/binding.hpp"
#include "python_array/state.hpp"

namespace canopy::pyarray {

namespace {

using Est = TreeShap;
using B = Box<Est>;

// Copies the tree under its shared lock (a tree in the middle of a fit is waited for).
void init(B* self, Box<DecisionTree>& tree, const MatrixArg& x_train, std::string model_type) {
    Est made = run<Access::Shared>(tree, CallOptions{}, [&](DecisionTree& t) {
        require_columns(t, x_train.view(), "x_train");
        return Est(t, x_train.view(), std::move(model_type));
    });
    new (self) B(std::move(made), std::nullopt);
}

// One row per explained row, n_outputs attribution vectors of n_features values each.
struct Attributions {
    std::vector<double> values;
    std::size_t rows = 0;
    std::size_t outputs = 0;
    std::size_t features = 0;
};

ArrayOut<double> explain(B& b, const MatrixArg& x) {
    Attributions a = run<Access::Shared>(b, CallOptions{}, [&](Est& e) {
        require_columns(e.tree, x.view());
        const auto rows = e.explain(x.view());
        Attributions out;
        out.rows = rows.size();
        out.outputs = e.n_outputs;
        out.features = e.n_features;
        out.values.reserve(checked_mul(checked_mul(out.rows, out.outputs), out.features));
        for (const auto& row : rows) {
            if (row.size() != out.outputs) fail_internal("explanation has the wrong outputs");
            for (const auto& phi : row) {
                if (phi.size() != out.features) fail_internal("explanation has the wrong width");
                out.values.insert(out.values.end(), phi.begin(), phi.end());
            }
        }
        return out;
    });
    return to_array(std::move(a.values), {a.rows, a.outputs, a.features});
}

}  // namespace

void bind_tree_shap(nb::module_& m) {
    nb::class_<B>(m, "TreeSHAP",
                  "Exact Shapley attributions of a fitted DecisionTree against background rows.")
        .def("__init__", &init, nb::arg("tree"), nb::arg("x_train"), nb::arg("model_type"))
        .def("explain", &explain, nb::arg("x"),
             "Attributions, shape (n, n_outputs, n_features); n_outputs is 1 for regression.")
        .def_prop_ro("n_outputs", property<Est>([](Est& e) { return e.n_outputs; }))
        .def_prop_ro("n_features", property<Est>([](Est& e) { return e.n_features; }))
        .def("export_state", &export_state<Est>, kExportStateDoc)
        .def_static("load_state", &load_state_object<Est>, nb::arg("data"),
                    nb::rv_policy::take_ownership, kLoadStateDoc);
}

}  // namespace canopy::pyarray
