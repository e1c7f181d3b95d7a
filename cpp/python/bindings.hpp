// One factory per Python class; module initialisation registers them in order.
#pragma once

#include "python/call_frame.hpp"

namespace canopy::py {

PyTypeObject* make_decision_tree_type();
PyTypeObject* make_random_forest_regressor_type();
PyTypeObject* make_random_forest_classifier_type();
PyTypeObject* make_tree_shap_type();
PyTypeObject* make_canopy_type();
PyTypeObject* make_canopy_classifier_type();
PyTypeObject* make_canopy_regressor_type();
PyTypeObject* make_random_forest_unsupervised_type();

}  // namespace canopy::py
