// Module initialisation of canopy._core: the exception type and the seven classes.
#include "python_array/binding.hpp"

NB_MODULE(_core, m) {
    using namespace canopy::pyarray;
    m.doc() =
        "The canopy estimators with NumPy arrays in and out, the interpreter lock released "
        "during native work, per-call n_jobs and progress.";
    register_errors(m);
    bind_decision_tree(m);
    bind_random_forest_regressor(m);
    bind_random_forest_classifier(m);
    bind_canopy_regressor(m);
    bind_canopy_classifier(m);
    bind_random_forest_unsupervised(m);
    bind_tree_shap(m);
}
