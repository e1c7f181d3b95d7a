// Module initialisation of canopy._core: the exception type and the seven classes.
#include "python_array/binding.hpp"

NB_MODULE(_core, m) {
    using namespace canopy::pyarray;
    m.doc() =
        "The canopy estimators with NumPy arrays in and out.\n\n"
        "Inputs: any numeric array; float64 of any strides is read in place, other dtypes are "
        "converted once. The array owning the memory cannot be resized during a call; writing "
        "into it from another thread meanwhile is the caller's race.\n"
        "Outputs: NumPy arrays (float64 results, uint64 class indices and counts).\n"
        "Threads: the interpreter lock is released during native work. Reading calls on one "
        "object run concurrently with identical results; fit (and proximity_sparse) waits for "
        "them and they for it.\n"
        "Keyword-only per call: n_jobs (None: the object's n_jobs, -1: the whole pool, k: at "
        "most k workers; results never depend on it) and, on fits, progress: a callable "
        "(done, total) over trees or rounds, called on the calling thread. Ctrl-C stops a long "
        "call with KeyboardInterrupt and leaves the object as it was.";
    register_errors(m);
    bind_decision_tree(m);
    bind_random_forest_regressor(m);
    bind_random_forest_classifier(m);
    bind_canopy_regressor(m);
    bind_canopy_classifier(m);
    bind_random_forest_unsupervised(m);
    bind_tree_shap(m);
}
