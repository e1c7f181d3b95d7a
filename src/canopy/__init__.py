"""Tree ensembles in native code: exact decision trees, histogram random forests,
boosted forests with prediction intervals, unsupervised forests and exact tree
explanations."""

from canopy._rs import (
    Canopy,
    CanopyClassifier,
    CanopyRegressor,
    DecisionTree,
    PanicException,
    RandomForestClassifier,
    RandomForestRegressor,
    RandomForestUnsupervised,
    TreeSHAP,
)

__all__ = [
    "DecisionTree",
    "RandomForestRegressor",
    "RandomForestClassifier",
    "TreeSHAP",
    "Canopy",
    "CanopyClassifier",
    "CanopyRegressor",
    "RandomForestUnsupervised",
    "PanicException",
]
