"""Type stubs of canopy._rs: float64 arrays in, Python lists, dicts and floats out."""

from typing import Any, Self, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "DecisionTree",
    "RandomForestRegressor",
    "RandomForestClassifier",
    "TreeSHAP",
    "Canopy",
    "CanopyClassifier",
    "CanopyRegressor",
    "RandomForestUnsupervised",
]

_Matrix = NDArray[np.float64]
_Vector = NDArray[np.float64]

class PanicException(BaseException): ...

@final
class DecisionTree:
    def __new__(
        cls,
        max_depth: int | None = None,
        criterion: str = "entropy",
        task: str = "classification",
        random_state: int | None = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
    ) -> Self: ...
    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None) -> None: ...
    def predict(self, x: _Matrix) -> list[float]: ...
    def predict_proba(self, x: _Matrix) -> list[list[float]]: ...
    def get_depth(self) -> int: ...
    def get_n_leaves(self) -> int: ...
    @property
    def classes_(self) -> list[int] | None: ...
    @property
    def is_fitted(self) -> bool: ...

@final
class RandomForestRegressor:
    def __new__(
        cls,
        n_estimators: int = 50,
        max_depth: int | None = None,
        max_features: str | None = None,
        bootstrap: bool = True,
        random_state: int | None = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
    ) -> Self: ...
    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None) -> None: ...
    def predict(self, x: _Matrix) -> list[float]: ...
    def get_info(self) -> dict[str, int]: ...
    @property
    def n_estimators(self) -> int: ...
    @property
    def is_fitted(self) -> bool: ...

@final
class RandomForestClassifier:
    def __new__(
        cls,
        n_estimators: int = 100,
        max_depth: int | None = None,
        max_features: str | None = None,
        bootstrap: bool = True,
        random_state: int | None = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
    ) -> Self: ...
    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None) -> None: ...
    def predict(self, x: _Matrix) -> list[float]: ...
    def predict_proba(self, x: _Matrix) -> list[list[float]]: ...
    def score(self, x: _Matrix, y: _Vector) -> float: ...
    def get_info(self) -> dict[str, int]: ...
    @property
    def n_estimators(self) -> int: ...
    @property
    def n_classes(self) -> int: ...
    @property
    def classes_(self) -> list[int] | None: ...
    @property
    def is_fitted(self) -> bool: ...

@final
class TreeSHAP:
    def __new__(cls, tree: DecisionTree, x_train: _Matrix, model_type: str) -> Self: ...
    def explain(self, x: _Matrix) -> list[list[list[float]]]: ...

class _Boosted:
    def fit(self, x: _Matrix, y: _Vector, sample_weight: _Vector | None = None) -> None: ...
    def predict(self, x: _Matrix) -> list[float]: ...
    def predict_ci(self, x: _Matrix, alpha: float = 0.05) -> list[list[float]]: ...
    def feature_importances(self) -> list[float]: ...
    @property
    def n_estimators(self) -> int: ...
    @property
    def is_fitted(self) -> bool: ...
    @property
    def trees_used(self) -> list[int]: ...

@final
class CanopyRegressor(_Boosted):
    def __new__(
        cls,
        n_estimators: int = 20,
        learning_rate: float = 0.1,
        rf_n_estimators: int = 20,
        rf_max_depth: int | None = None,
        rf_max_features: str | None = None,
        bootstrap: bool = True,
        random_state: int | None = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        use_histogram: bool = True,
        async_mode: bool = False,
        tol: float = 1e-4,
        n_jobs: int | None = None,
        conformal_fraction: float = 0.2,
    ) -> Self: ...
    def to_dict(self) -> dict[str, Any]: ...

@final
class CanopyClassifier(_Boosted):
    def __new__(
        cls,
        n_estimators: int = 20,
        learning_rate: float = 0.1,
        rf_n_estimators: int = 20,
        rf_max_depth: int | None = None,
        rf_max_features: str | None = None,
        bootstrap: bool = True,
        random_state: int | None = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        use_histogram: bool = True,
        async_mode: bool = False,
        tol: float = 1e-4,
        n_jobs: int | None = None,
    ) -> Self: ...
    def predict_proba(self, x: _Matrix) -> list[list[float]]: ...
    def to_dict(self) -> dict[str, Any]: ...
    @property
    def n_classes(self) -> int: ...

@final
class Canopy(_Boosted):
    def __new__(
        cls,
        n_estimators: int = 20,
        learning_rate: float = 0.1,
        rf_n_estimators: int = 20,
        rf_max_depth: int | None = None,
        rf_max_features: str | None = None,
        bootstrap: bool = True,
        random_state: int | None = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        task: str = "classification",
        use_histogram: bool = True,
        async_mode: bool = False,
        tol: float = 1e-4,
        n_jobs: int | None = None,
    ) -> Self: ...
    def predict_proba(self, x: _Matrix) -> list[list[float]]: ...

@final
class RandomForestUnsupervised:
    def __new__(
        cls,
        n_estimators: int = 500,
        max_depth: int | None = None,
        max_features: str | None = None,
        random_state: int | None = None,
        min_samples_split: int = 2,
        min_samples_leaf: int = 1,
        n_jobs: int | None = None,
        n_neighbors: int | None = None,
    ) -> Self: ...
    def fit(self, x: _Matrix) -> None: ...
    def proximity_matrix(self, use_oob: bool = True) -> list[list[float]]: ...
    def proximity_sparse(self, k: int | None = None) -> list[list[tuple[int, float]]]: ...
    def predict_proximity(self, x_new: _Matrix) -> list[list[float]]: ...
    def outlier_scores(self, use_sparse: bool = False) -> list[float]: ...
    def predict_outlier_scores(self, x_new: _Matrix) -> list[float]: ...
    def transform(self, n_components: int = 2) -> list[list[float]]: ...
    def fit_transform(self, x: _Matrix, n_components: int = 2) -> list[list[float]]: ...
    def feature_importances(self) -> list[float]: ...
    @property
    def n_estimators_(self) -> int: ...
    @property
    def is_fitted_(self) -> bool: ...
    @property
    def n_samples_(self) -> int: ...
    @property
    def n_features_(self) -> int: ...
