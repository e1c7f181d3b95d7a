"""scikit-learn estimators over canopy's native trees and forests.

Every class here follows scikit-learn's conventions: array-likes in (lists, pandas and
polars DataFrames, any numeric dtype), NumPy arrays out, any class labels, ``fit`` returning
``self``, ``get_params``/``set_params``/``clone``, pickling and joblib, ``n_jobs`` and
``verbose``. Importing this module imports scikit-learn; ``import canopy`` does not.
"""

from canopy.sklearn._explain import TreeExplainer, shap_values
from canopy.sklearn._supervised import (
    CanopyClassifier,
    CanopyRegressor,
    DecisionTreeClassifier,
    DecisionTreeRegressor,
    RandomForestClassifier,
    RandomForestRegressor,
)
from canopy.sklearn._unsupervised import UnsupervisedForest

__all__ = [
    "DecisionTreeClassifier",
    "DecisionTreeRegressor",
    "RandomForestClassifier",
    "RandomForestRegressor",
    "CanopyClassifier",
    "CanopyRegressor",
    "UnsupervisedForest",
    "TreeExplainer",
    "shap_values",
]
