"""
The canopy estimators with NumPy arrays in and out, the interpreter lock released during native work, per-call n_jobs and progress.
"""

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray
from typing_extensions import disjoint_base

# Inputs: any numeric array (float64 is read in place, other dtypes converted once).
_Matrix = NDArray[Any]
_Vector = NDArray[Any]
_Floats = NDArray[np.float64]
_Indices = NDArray[np.uint64]
_Progress = Callable[[int, int], object]

class _NbType(type): ...  # nanobind's metaclass


class PanicException(BaseException):
    """Raised when a native call is aborted by an internal error."""

@disjoint_base
class DecisionTree(metaclass=_NbType):
    """A single classification or regression tree."""

    def __init__(self, max_depth: int | None = None, criterion: str = 'entropy', task: str = 'classification', random_state: int | None = None, min_samples_split: int = 2, min_samples_leaf: int = 1) -> None: ...

    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None) -> None: ...

    def predict(self, x: _Matrix) -> _Floats:
        """Leaf value per row, shape (n,)."""

    def predict_proba(self, x: _Matrix) -> _Floats:
        """Class probabilities, shape (n, len(classes_))."""

    def shap_values(self, x: _Matrix, *, background: _Matrix | None = None, n_jobs: int | None = None, progress: _Progress | None = None) -> tuple[_Floats, _Floats]:
        """
        Shapley attributions of the model's output (raw scores for boosted models) and the expected value: (values (n, features, outputs), expected (outputs,)). Branch weights come from the training covers, or from the background rows when given.
        """

    def tree_arrays(self) -> tuple[_Floats, list[dict[str, NDArray[Any]]]]:
        """
        The model as flat trees: (start (outputs,), one dict per tree of arrays children_left, children_right, feature (-1 at leaves), threshold, value (nodes, outputs) and cover). The raw output is start plus the sum over trees of the value of the leaf each reaches (left when x[feature] <= threshold, NaN right).
        """

    def get_depth(self) -> int: ...

    def get_n_leaves(self) -> int: ...

    @property
    def classes_(self) -> _Indices | None:
        """Sorted class indices (uint64) of the last classification fit, else None."""

    @property
    def is_fitted(self) -> bool: ...

    def export_state(self) -> bytes:
        """
        The configuration and fitted state as bytes of the canopy state format; load_state rebuilds an object that gives bit-identical results.
        """

    @staticmethod
    def load_state(data: bytes) -> DecisionTree:
        """
        A new object from export_state's bytes. ValueError when the bytes are not a complete, intact state of this class (another class's, a newer format, truncated or corrupted).
        """

@disjoint_base
class RandomForestRegressor(metaclass=_NbType):
    """A bagged forest of histogram regression trees."""

    def __init__(self, n_estimators: int = 50, max_depth: int | None = None, max_features: str | None = None, bootstrap: bool = True, random_state: int | None = None, min_samples_split: int = 2, min_samples_leaf: int = 1, n_jobs: int | None = None) -> None: ...

    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None, *, tree_range: tuple[int, int] | None = None, n_jobs: int | None = None, progress: _Progress | None = None) -> None:
        """
        Grows the forest, or with tree_range=(a, b) only its trees a..b-1 (a part for join; needs random_state).
        """

    @staticmethod
    def join(parts: Sequence[RandomForestRegressor]) -> RandomForestRegressor:
        """
        The parts of one fit (each fitted with a tree_range, together covering every tree once), in tree order, joined into the estimator a whole fit makes. ValueError when the parts differ in parameters or data, or their ranges leave gaps or overlap.
        """

    def predict(self, x: _Matrix, *, n_jobs: int | None = None) -> _Floats:
        """Mean of the trees' leaf values per row, shape (n,)."""

    def shap_values(self, x: _Matrix, *, background: _Matrix | None = None, n_jobs: int | None = None, progress: _Progress | None = None) -> tuple[_Floats, _Floats]:
        """
        Shapley attributions of the model's output (raw scores for boosted models) and the expected value: (values (n, features, outputs), expected (outputs,)). Branch weights come from the training covers, or from the background rows when given.
        """

    def tree_arrays(self) -> tuple[_Floats, list[dict[str, NDArray[Any]]]]:
        """
        The model as flat trees: (start (outputs,), one dict per tree of arrays children_left, children_right, feature (-1 at leaves), threshold, value (nodes, outputs) and cover). The raw output is start plus the sum over trees of the value of the leaf each reaches (left when x[feature] <= threshold, NaN right).
        """

    @property
    def n_estimators(self) -> int: ...

    @property
    def tree_range(self) -> tuple[int, int] | None:
        """(a, b) for a part holding trees a..b-1 of its forest, else None."""

    @property
    def is_fitted(self) -> bool: ...

    def export_state(self) -> bytes:
        """
        The configuration and fitted state as bytes of the canopy state format; load_state rebuilds an object that gives bit-identical results.
        """

    @staticmethod
    def load_state(data: bytes) -> RandomForestRegressor:
        """
        A new object from export_state's bytes. ValueError when the bytes are not a complete, intact state of this class (another class's, a newer format, truncated or corrupted).
        """

@disjoint_base
class RandomForestClassifier(metaclass=_NbType):
    """
    A bagged forest of histogram classification trees over class indices 0..k-1.
    """

    def __init__(self, n_estimators: int = 100, max_depth: int | None = None, max_features: str | None = None, bootstrap: bool = True, random_state: int | None = None, min_samples_split: int = 2, min_samples_leaf: int = 1, n_jobs: int | None = None) -> None: ...

    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None, *, tree_range: tuple[int, int] | None = None, n_jobs: int | None = None, progress: _Progress | None = None) -> None:
        """
        Grows the forest, or with tree_range=(a, b) only its trees a..b-1 (a part for join; needs random_state).
        """

    @staticmethod
    def join(parts: Sequence[RandomForestClassifier]) -> RandomForestClassifier:
        """
        The parts of one fit (each fitted with a tree_range, together covering every tree once), in tree order, joined into the estimator a whole fit makes. ValueError when the parts differ in parameters or data, or their ranges leave gaps or overlap.
        """

    def predict(self, x: _Matrix, *, n_jobs: int | None = None) -> _Floats:
        """Class index of the largest mean probability per row, shape (n,)."""

    def predict_proba(self, x: _Matrix, *, n_jobs: int | None = None) -> _Floats:
        """Mean class probabilities over the trees, shape (n, n_classes)."""

    def shap_values(self, x: _Matrix, *, background: _Matrix | None = None, n_jobs: int | None = None, progress: _Progress | None = None) -> tuple[_Floats, _Floats]:
        """
        Shapley attributions of the model's output (raw scores for boosted models) and the expected value: (values (n, features, outputs), expected (outputs,)). Branch weights come from the training covers, or from the background rows when given.
        """

    def tree_arrays(self) -> tuple[_Floats, list[dict[str, NDArray[Any]]]]:
        """
        The model as flat trees: (start (outputs,), one dict per tree of arrays children_left, children_right, feature (-1 at leaves), threshold, value (nodes, outputs) and cover). The raw output is start plus the sum over trees of the value of the leaf each reaches (left when x[feature] <= threshold, NaN right).
        """

    def score(self, x: _Matrix, y: _Vector, *, n_jobs: int | None = None) -> float:
        """Share of rows whose predicted class index equals y's."""

    @property
    def n_estimators(self) -> int: ...

    @property
    def n_classes(self) -> int: ...

    @property
    def classes_(self) -> _Indices | None:
        """Sorted class indices (uint64) of the last fit, else None."""

    @property
    def tree_range(self) -> tuple[int, int] | None:
        """(a, b) for a part holding trees a..b-1 of its forest, else None."""

    @property
    def is_fitted(self) -> bool: ...

    def export_state(self) -> bytes:
        """
        The configuration and fitted state as bytes of the canopy state format; load_state rebuilds an object that gives bit-identical results.
        """

    @staticmethod
    def load_state(data: bytes) -> RandomForestClassifier:
        """
        A new object from export_state's bytes. ValueError when the bytes are not a complete, intact state of this class (another class's, a newer format, truncated or corrupted).
        """

@disjoint_base
class CanopyRegressor(metaclass=_NbType):
    """
    Gradient boosting for squared error whose rounds each fit a random forest, with split-conformal prediction intervals.
    """

    def __init__(self, n_estimators: int = 20, learning_rate: float = 0.1, rf_n_estimators: int = 20, rf_max_depth: int | None = None, rf_max_features: str | None = None, bootstrap: bool = True, random_state: int | None = None, min_samples_split: int = 2, min_samples_leaf: int = 1, use_histogram: bool = True, async_mode: bool = False, tol: float = 0.0001, n_jobs: int | None = None, conformal_fraction: float = 0.2) -> None: ...

    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None, *, n_jobs: int | None = None, progress: _Progress | None = None) -> None:
        """
        Fits; progress counts the rounds of both stages (calibration and refit).
        """

    def predict(self, x: _Matrix, *, n_jobs: int | None = None) -> _Floats:
        """Predictions, shape (n,)."""

    def shap_values(self, x: _Matrix, *, background: _Matrix | None = None, n_jobs: int | None = None, progress: _Progress | None = None) -> tuple[_Floats, _Floats]:
        """
        Shapley attributions of the model's output (raw scores for boosted models) and the expected value: (values (n, features, outputs), expected (outputs,)). Branch weights come from the training covers, or from the background rows when given.
        """

    def tree_arrays(self) -> tuple[_Floats, list[dict[str, NDArray[Any]]]]:
        """
        The model as flat trees: (start (outputs,), one dict per tree of arrays children_left, children_right, feature (-1 at leaves), threshold, value (nodes, outputs) and cover). The raw output is start plus the sum over trees of the value of the leaf each reaches (left when x[feature] <= threshold, NaN right).
        """

    def predict_ci(self, x: _Matrix, alpha: float = 0.05, *, n_jobs: int | None = None) -> _Floats:
        """
        Split-conformal intervals, shape (n, 2): lower and upper bound per row.
        """

    def feature_importances(self, *, n_jobs: int | None = None) -> _Floats:
        """Split-count importances, shape (features,)."""

    @property
    def n_estimators(self) -> int: ...

    @property
    def is_fitted(self) -> bool: ...

    @property
    def conformal_quantile(self) -> float:
        """Half-width of the 95% intervals (0.0 before the first fit)."""

    @property
    def trees_used(self) -> _Indices:
        """Trees kept in each round's forest (uint64)."""

    def export_state(self) -> bytes:
        """
        The configuration and fitted state as bytes of the canopy state format; load_state rebuilds an object that gives bit-identical results.
        """

    @staticmethod
    def load_state(data: bytes) -> CanopyRegressor:
        """
        A new object from export_state's bytes. ValueError when the bytes are not a complete, intact state of this class (another class's, a newer format, truncated or corrupted).
        """

@disjoint_base
class CanopyClassifier(metaclass=_NbType):
    """
    Gradient boosting for class indices 0..k-1 whose rounds each fit a random forest per class, with Wilson intervals for two classes.
    """

    def __init__(self, n_estimators: int = 20, learning_rate: float = 0.1, rf_n_estimators: int = 20, rf_max_depth: int | None = None, rf_max_features: str | None = None, bootstrap: bool = True, random_state: int | None = None, min_samples_split: int = 2, min_samples_leaf: int = 1, use_histogram: bool = True, async_mode: bool = False, tol: float = 0.0001, n_jobs: int | None = None) -> None: ...

    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None, *, n_jobs: int | None = None, progress: _Progress | None = None) -> None:
        """Fits; progress counts rounds."""

    def predict(self, x: _Matrix, *, n_jobs: int | None = None) -> _Floats:
        """Predicted class index per row, shape (n,)."""

    def predict_proba(self, x: _Matrix, *, n_jobs: int | None = None) -> _Floats:
        """Class probabilities, shape (n, n_classes)."""

    def shap_values(self, x: _Matrix, *, background: _Matrix | None = None, n_jobs: int | None = None, progress: _Progress | None = None) -> tuple[_Floats, _Floats]:
        """
        Shapley attributions of the model's output (raw scores for boosted models) and the expected value: (values (n, features, outputs), expected (outputs,)). Branch weights come from the training covers, or from the background rows when given.
        """

    def tree_arrays(self) -> tuple[_Floats, list[dict[str, NDArray[Any]]]]:
        """
        The model as flat trees: (start (outputs,), one dict per tree of arrays children_left, children_right, feature (-1 at leaves), threshold, value (nodes, outputs) and cover). The raw output is start plus the sum over trees of the value of the leaf each reaches (left when x[feature] <= threshold, NaN right).
        """

    def predict_ci(self, x: _Matrix, alpha: float = 0.05, *, n_jobs: int | None = None) -> _Floats:
        """Wilson intervals around P(class 1), shape (n, 2) (two classes only)."""

    def feature_importances(self, *, n_jobs: int | None = None) -> _Floats:
        """Split-count importances, shape (features,)."""

    @property
    def n_estimators(self) -> int: ...

    @property
    def n_classes(self) -> int: ...

    @property
    def is_fitted(self) -> bool: ...

    @property
    def trees_used(self) -> _Indices:
        """Trees kept in each round's first forest (uint64)."""

    def export_state(self) -> bytes:
        """
        The configuration and fitted state as bytes of the canopy state format; load_state rebuilds an object that gives bit-identical results.
        """

    @staticmethod
    def load_state(data: bytes) -> CanopyClassifier:
        """
        A new object from export_state's bytes. ValueError when the bytes are not a complete, intact state of this class (another class's, a newer format, truncated or corrupted).
        """

@disjoint_base
class RandomForestUnsupervised(metaclass=_NbType):
    """
    Breiman's unsupervised random forest: real rows against a column-shuffled synthetic copy.
    """

    def __init__(self, n_estimators: int = 500, max_depth: int | None = None, max_features: str | None = None, random_state: int | None = None, min_samples_split: int = 2, min_samples_leaf: int = 1, n_jobs: int | None = None, n_neighbors: int | None = None) -> None: ...

    def fit(self, x: _Matrix, *, tree_range: tuple[int, int] | None = None, n_jobs: int | None = None, progress: _Progress | None = None) -> None:
        """
        Fits; progress counts trees. With tree_range=(a, b) only trees a..b-1 and their out-of-bag sets (a part for join; needs random_state).
        """

    @staticmethod
    def join(parts: Sequence[RandomForestUnsupervised]) -> RandomForestUnsupervised:
        """
        The parts of one fit (each fitted with a tree_range, together covering every tree once), in tree order, joined into the estimator a whole fit makes. ValueError when the parts differ in parameters or data, or their ranges leave gaps or overlap.
        """

    def proximity_matrix(self, use_oob: bool = True, *, n_jobs: int | None = None) -> _Floats:
        """Proximities of the training rows, shape (n, n)."""

    def proximity_sparse(self, k: int | None = None, *, n_jobs: int | None = None) -> tuple:
        """
        Up to k neighbours per training row as (indptr, indices, values): row i's neighbours are indices[indptr[i]:indptr[i+1]] (uint64) with proximities values[...] (float64), by decreasing proximity.
        """

    def predict_proximity(self, x_new: _Matrix, *, n_jobs: int | None = None) -> _Floats:
        """Proximities of new rows to the training rows, shape (n_new, n)."""

    def outlier_scores(self, use_sparse: bool = False, *, n_jobs: int | None = None) -> _Floats:
        """Standardised outlier scores of the training rows, shape (n,)."""

    def predict_outlier_scores(self, x_new: _Matrix, *, n_jobs: int | None = None) -> _Floats:
        """Outlier scores of new rows, shape (n_new,)."""

    def transform(self, n_components: int = 2, *, n_jobs: int | None = None) -> _Floats:
        """
        Multidimensional-scaling embedding of the training rows, shape (n, n_components).
        """

    def fit_transform(self, x: _Matrix, n_components: int = 2, *, n_jobs: int | None = None, progress: _Progress | None = None) -> _Floats:
        """fit, then transform."""

    def feature_importances(self, *, n_jobs: int | None = None) -> _Floats:
        """Permutation importances, shape (features,)."""

    @property
    def n_estimators_(self) -> int: ...

    @property
    def is_fitted_(self) -> bool: ...

    @property
    def n_samples_(self) -> int: ...

    @property
    def n_features_(self) -> int: ...

    @property
    def tree_range(self) -> tuple[int, int] | None:
        """(a, b) for a part holding trees a..b-1 of its forest, else None."""

    def export_state(self) -> bytes:
        """
        The configuration and fitted state as bytes of the canopy state format; load_state rebuilds an object that gives bit-identical results.
        """

    @staticmethod
    def load_state(data: bytes) -> RandomForestUnsupervised:
        """
        A new object from export_state's bytes. ValueError when the bytes are not a complete, intact state of this class (another class's, a newer format, truncated or corrupted).
        """

@disjoint_base
class TreeSHAP(metaclass=_NbType):
    """
    Exact Shapley attributions of a fitted DecisionTree against background rows.
    """

    def __init__(self, tree: DecisionTree, x_train: _Matrix, model_type: str) -> None: ...

    def explain(self, x: _Matrix) -> _Floats:
        """
        Attributions, shape (n, n_outputs, n_features); n_outputs is 1 for regression.
        """

    @property
    def n_outputs(self) -> int: ...

    @property
    def n_features(self) -> int: ...

    def export_state(self) -> bytes:
        """
        The configuration and fitted state as bytes of the canopy state format; load_state rebuilds an object that gives bit-identical results.
        """

    @staticmethod
    def load_state(data: bytes) -> TreeSHAP:
        """
        A new object from export_state's bytes. ValueError when the bytes are not a complete, intact state of this class (another class's, a newer format, truncated or corrupted).
        """
