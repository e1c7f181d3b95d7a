"""Type stubs of canopy.sklearn."""

from typing import Any, Literal, Self

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import csr_matrix
from sklearn.base import (
    BaseEstimator,
    ClassifierMixin,
    OutlierMixin,
    RegressorMixin,
    TransformerMixin,
)

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

_Seed = int | np.random.Generator | np.random.RandomState | None
_MaxFeatures = Literal["sqrt", "log2"] | int | float | None
_Floats = NDArray[np.float64]

class _CanopyEstimator(BaseEstimator):
    n_features_in_: int
    feature_names_in_: NDArray[np.object_]

class _Classifier(ClassifierMixin, _CanopyEstimator):
    classes_: NDArray[Any]
    n_classes_: int
    def predict(self, X: ArrayLike) -> NDArray[Any]: ...
    def predict_proba(self, X: ArrayLike) -> _Floats: ...

class _DecisionTree(_CanopyEstimator):
    max_depth: int | None
    min_samples_split: int
    min_samples_leaf: int
    random_state: _Seed
    def __init__(
        self,
        *,
        max_depth: int | None = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        random_state: _Seed = None,
    ) -> None: ...
    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self: ...
    def get_depth(self) -> int: ...
    def get_n_leaves(self) -> int: ...

class DecisionTreeClassifier(_Classifier, _DecisionTree): ...

class DecisionTreeRegressor(RegressorMixin, _DecisionTree):
    def predict(self, X: ArrayLike) -> _Floats: ...

class _RandomForest(_CanopyEstimator):
    n_estimators: int
    max_depth: int | None
    max_features: _MaxFeatures
    bootstrap: bool
    random_state: _Seed
    min_samples_split: int
    min_samples_leaf: int
    n_jobs: int | None
    verbose: int
    def __init__(
        self,
        *,
        n_estimators: int,
        max_depth: int | None = None,
        max_features: _MaxFeatures = None,
        bootstrap: bool = True,
        random_state: _Seed = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        n_jobs: int | None = None,
        verbose: int = 0,
    ) -> None: ...
    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self: ...

class RandomForestClassifier(_Classifier, _RandomForest):
    def __init__(
        self,
        *,
        n_estimators: int = 100,
        max_depth: int | None = None,
        max_features: _MaxFeatures = None,
        bootstrap: bool = True,
        random_state: _Seed = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        n_jobs: int | None = None,
        verbose: int = 0,
    ) -> None: ...

class RandomForestRegressor(RegressorMixin, _RandomForest):
    def __init__(
        self,
        *,
        n_estimators: int = 50,
        max_depth: int | None = None,
        max_features: _MaxFeatures = None,
        bootstrap: bool = True,
        random_state: _Seed = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        n_jobs: int | None = None,
        verbose: int = 0,
    ) -> None: ...
    def predict(self, X: ArrayLike) -> _Floats: ...

class _Boosted(_CanopyEstimator):
    n_estimators: int
    learning_rate: float
    rf_n_estimators: int
    rf_max_depth: int | None
    rf_max_features: _MaxFeatures
    bootstrap: bool
    random_state: _Seed
    min_samples_split: int
    min_samples_leaf: int
    use_histogram: bool
    async_mode: bool
    tol: float
    n_jobs: int | None
    verbose: int
    def __init__(
        self,
        *,
        n_estimators: int = 20,
        learning_rate: float = 0.1,
        rf_n_estimators: int = 20,
        rf_max_depth: int | None = None,
        rf_max_features: _MaxFeatures = None,
        bootstrap: bool = True,
        random_state: _Seed = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        use_histogram: bool = True,
        async_mode: bool = False,
        tol: float = 1e-4,
        n_jobs: int | None = None,
        verbose: int = 0,
    ) -> None: ...
    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self: ...
    @property
    def feature_importances_(self) -> _Floats: ...
    def predict_interval(self, X: ArrayLike, alpha: float = 0.05) -> _Floats: ...

class CanopyRegressor(RegressorMixin, _Boosted):
    conformal_fraction: float
    def __init__(
        self,
        *,
        n_estimators: int = 20,
        learning_rate: float = 0.1,
        rf_n_estimators: int = 20,
        rf_max_depth: int | None = None,
        rf_max_features: _MaxFeatures = None,
        bootstrap: bool = True,
        random_state: _Seed = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        use_histogram: bool = True,
        async_mode: bool = False,
        tol: float = 1e-4,
        n_jobs: int | None = None,
        verbose: int = 0,
        conformal_fraction: float = 0.2,
    ) -> None: ...
    @property
    def conformal_quantile_(self) -> float: ...
    def predict(self, X: ArrayLike) -> _Floats: ...

class CanopyClassifier(_Classifier, _Boosted): ...

class UnsupervisedForest(OutlierMixin, TransformerMixin, _CanopyEstimator):
    n_estimators: int
    max_depth: int | None
    max_features: _MaxFeatures
    random_state: _Seed
    min_samples_split: int
    min_samples_leaf: int
    contamination: float
    n_components: int
    n_jobs: int | None
    verbose: int
    offset_: float
    embedding_: _Floats
    feature_importances_: _Floats
    def __init__(
        self,
        *,
        n_estimators: int = 100,
        max_depth: int | None = None,
        max_features: _MaxFeatures = None,
        random_state: _Seed = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        contamination: float = 0.1,
        n_components: int = 2,
        n_jobs: int | None = None,
        verbose: int = 0,
    ) -> None: ...
    def fit(self, X: ArrayLike, y: None = None) -> Self: ...
    def score_samples(self, X: ArrayLike) -> _Floats: ...
    def decision_function(self, X: ArrayLike) -> _Floats: ...
    def predict(self, X: ArrayLike) -> NDArray[np.int_]: ...
    def transform(self, X: ArrayLike) -> _Floats: ...
    def proximities(self, X: ArrayLike | None = None) -> _Floats: ...
    def proximity_graph(self, n_neighbors: int = 10) -> csr_matrix: ...

_Explained = (
    DecisionTreeRegressor
    | DecisionTreeClassifier
    | RandomForestRegressor
    | RandomForestClassifier
    | CanopyRegressor
    | CanopyClassifier
)

def shap_values(
    estimator: _Explained, X: ArrayLike, *, background: ArrayLike | None = None
) -> tuple[_Floats, float | _Floats]: ...

class TreeExplainer(TransformerMixin, BaseEstimator):
    estimator: _Explained | None
    background: Literal["data", "cover"]
    estimator_: _Explained
    expected_value_: float | _Floats
    n_features_in_: int
    feature_names_in_: NDArray[np.object_]
    def __init__(
        self, estimator: _Explained | None = None, *, background: Literal["data", "cover"] = "data"
    ) -> None: ...
    def __sklearn_tags__(self) -> Any: ...
    def fit(self, X: ArrayLike, y: ArrayLike | None = None) -> Self: ...
    def shap_values(self, X: ArrayLike) -> _Floats: ...
    def transform(self, X: ArrayLike) -> _Floats: ...
