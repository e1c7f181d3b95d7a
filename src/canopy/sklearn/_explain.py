"""Shapley attributions of canopy.sklearn models as arrays."""

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin, clone
from sklearn.exceptions import NotFittedError
from sklearn.utils.validation import check_is_fitted, validate_data

from canopy.sklearn._supervised import (
    CanopyClassifier,
    CanopyRegressor,
    DecisionTreeClassifier,
    DecisionTreeRegressor,
    RandomForestClassifier,
    RandomForestRegressor,
)

_EXPLAINED = (
    DecisionTreeClassifier,
    DecisionTreeRegressor,
    RandomForestClassifier,
    RandomForestRegressor,
    CanopyClassifier,
    CanopyRegressor,
)


def _is_fitted(model):
    if model is None:
        return False
    try:
        check_is_fitted(model)
    except NotFittedError:
        return False
    return True


def _check_model(model, caller):
    if not isinstance(model, _EXPLAINED):
        names = ", ".join(sorted(cls.__name__ for cls in _EXPLAINED))
        raise TypeError(f"{caller} explains {names}; got {type(model).__name__}")


def _explain(model, X, background):
    """Attributions and expected value of validated float64 rows, shaped for the model."""
    values, expected = model._native.shap_values(
        X, background=background, n_jobs=getattr(model, "n_jobs", None)
    )
    if values.shape[2] == 1:  # regressors and the two-class boosted classifier: one output
        return values[:, :, 0], float(expected[0])
    return values, expected


def shap_values(estimator, X, *, background=None):
    """Shapley attributions of a fitted canopy.sklearn model's output, and its expected value.

    Exact path-dependent TreeSHAP over every tree of the model: a feature outside a coalition
    follows both branches of its splits in proportion to the background (by default the
    training rows each tree was grown on, bootstrap repeats included). For each row (and
    output), the attributions plus the expected value equal the model's output: the
    prediction of a regressor, the class probabilities of a decision tree or random forest
    classifier, the raw scores of a ``CanopyClassifier`` (log-odds of ``classes_[1]`` for two
    classes, one softmax score per class otherwise). Rows are spread over ``n_jobs`` workers;
    the result does not depend on their number.

    Parameters
    ----------
    estimator : fitted DecisionTree*, RandomForest* or Canopy* estimator
        The model to explain.
    X : array-like of shape (n_samples, n_features)
        The rows to explain.
    background : array-like of shape (n_background, n_features), default=None
        Rows whose shares at each split weigh the branches instead of the training covers.

    Returns
    -------
    phi : ndarray of shape (n_samples, n_features) or (n_samples, n_features, n_outputs)
        The second shape for models of several outputs (classes).
    expected_value : float or ndarray of shape (n_outputs,)
        The output for the empty coalition.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from canopy.sklearn import RandomForestRegressor, shap_values
    >>> X, y = load_diabetes(return_X_y=True)
    >>> forest = RandomForestRegressor(n_estimators=20, random_state=0).fit(X, y)
    >>> phi, expected = shap_values(forest, X[:3])
    >>> phi.shape
    (3, 10)
    >>> bool(abs(phi[0].sum() + expected - forest.predict(X[:1])[0]) < 1e-9)
    True
    """
    _check_model(estimator, "shap_values")
    X = estimator._validate_X(X)
    if background is not None:
        background = estimator._validate_X(background)
    return _explain(estimator, X, background)


class TreeExplainer(TransformerMixin, BaseEstimator):
    """Exact Shapley attributions of a canopy tree model, against background rows.

    A feature outside a coalition is averaged out by following both branches of its splits in
    proportion to the background rows that go each way. For each row (and output), the
    attributions add up to the model's output for the row minus ``expected_value_``; the
    outputs are those of :func:`shap_values`.

    Parameters
    ----------
    estimator : estimator, default=None
        The model to explain: a DecisionTree*, RandomForest* or Canopy* estimator. A fitted
        model is explained as it is; an unfitted one (and None, a
        ``DecisionTreeRegressor()``) is cloned and fitted on the rows given to ``fit``.
    background : {"data", "cover"}, default="data"
        "data": the rows given to ``fit`` weigh the branches. "cover": the rows each tree was
        grown on (its covers, bootstrap repeats included); ``fit``'s rows then only fit an
        unfitted model.

    Attributes
    ----------
    estimator_ : estimator
        The explained model.
    expected_value_ : float or ndarray of shape (n_outputs,)
        Output for the empty coalition (per class for classifiers of several outputs).
    n_features_in_ : int
        Number of columns seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when X had string column names.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from canopy.sklearn import DecisionTreeRegressor, TreeExplainer
    >>> X, y = load_diabetes(return_X_y=True)
    >>> tree = DecisionTreeRegressor(max_depth=3, random_state=0).fit(X, y)
    >>> explainer = TreeExplainer(tree).fit(X)
    >>> phi = explainer.shap_values(X[:2])
    >>> phi.shape
    (2, 10)
    >>> bool(abs(phi[0].sum() + explainer.expected_value_ - tree.predict(X[:1])[0]) < 1e-9)
    True
    """

    def __init__(self, estimator=None, *, background="data"):
        self.estimator = estimator
        self.background = background

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.required = not _is_fitted(self.estimator)
        return tags

    def fit(self, X, y=None):
        """Take the background rows (and fit the model on them when it is not fitted).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Background rows, normally the model's training rows.
        y : array-like of shape (n_samples,), default=None
            Targets to fit an unfitted model on; ignored for a fitted model.

        Returns
        -------
        self : object
            The fitted explainer.
        """
        model = DecisionTreeRegressor() if self.estimator is None else self.estimator
        _check_model(model, "TreeExplainer")
        if self.background not in ("data", "cover"):
            raise ValueError(f'TreeExplainer: background must be "data" or "cover", got {self.background!r}')
        X = validate_data(self, X, dtype=np.float64)
        if not _is_fitted(model):
            if y is None:
                raise ValueError(
                    "TreeExplainer requires y to be passed, but the target y is None (the "
                    "estimator is not fitted, so fit fits it on X and y)"
                )
            model = clone(model).fit(X, y)
        elif model.n_features_in_ != X.shape[1]:
            raise ValueError(
                f"X has {X.shape[1]} features, but the explained model was fitted on "
                f"{model.n_features_in_}"
            )
        self.estimator_ = model
        self._background = X if self.background == "data" else None
        self.expected_value_ = _explain(model, X[:1], self._background)[1]
        return self

    def shap_values(self, X):
        """Attributions of every feature to every row's output.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to explain.

        Returns
        -------
        phi : ndarray of shape (n_samples, n_features) or (n_samples, n_features, n_outputs)
            The second shape for models of several outputs: one attribution per class.

        Examples
        --------
        >>> from sklearn.datasets import load_iris
        >>> from canopy.sklearn import DecisionTreeClassifier, TreeExplainer
        >>> X, y = load_iris(return_X_y=True)
        >>> explainer = TreeExplainer(DecisionTreeClassifier(max_depth=2, random_state=0))
        >>> explainer.fit(X, y).shap_values(X[:5]).shape
        (5, 4, 3)
        """
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, reset=False)
        return _explain(self.estimator_, X, self._background)[0]

    def transform(self, X):
        """The attributions as features: ``shap_values`` with the outputs side by side.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to explain.

        Returns
        -------
        phi : ndarray of shape (n_samples, n_features * n_outputs)
            Feature-major: feature j's attributions to every output, then feature j + 1's.
        """
        phi = self.shap_values(X)
        return phi.reshape(len(phi), -1)
