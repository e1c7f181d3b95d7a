"""Shapley attributions of canopy.sklearn models as arrays."""

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin, clone
from sklearn.exceptions import NotFittedError
from sklearn.utils.validation import check_is_fitted, validate_data

from canopy import _core
from canopy.sklearn._supervised import DecisionTreeClassifier, DecisionTreeRegressor


def _tree_shap(model, background):
    task = "classification" if isinstance(model, DecisionTreeClassifier) else "regression"
    return _core.TreeSHAP(model._native, background, task)


# How each kind of model is explained: a function (fitted model, background rows) -> an
# object whose explain(X) gives attributions of shape (n, n_outputs, n_features). Whole-model
# attributions of the forests are further entries of this table.
_EXPLAINERS = {
    DecisionTreeClassifier: _tree_shap,
    DecisionTreeRegressor: _tree_shap,
}


def _is_fitted(model):
    if model is None:
        return False
    try:
        check_is_fitted(model)
    except NotFittedError:
        return False
    return True


class TreeExplainer(TransformerMixin, BaseEstimator):
    """Exact Shapley attributions of a canopy decision tree, against background rows.

    A feature outside a coalition is averaged out by following both branches of its splits in
    proportion to the background rows that go each way. For each row (and class), the
    attributions add up to the model's output for the row minus ``expected_value_``.

    Parameters
    ----------
    estimator : DecisionTreeRegressor or DecisionTreeClassifier, default=None
        The model to explain. A fitted model is explained as it is; an unfitted one (and
        None, a ``DecisionTreeRegressor()``) is cloned and fitted on the rows given to
        ``fit``.

    Attributes
    ----------
    estimator_ : estimator
        The explained model.
    expected_value_ : float or ndarray of shape (n_classes,)
        Output for the empty coalition: the background-weighted mean leaf output (per class
        for a classifier).
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

    def __init__(self, estimator=None):
        self.estimator = estimator

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.required = not _is_fitted(self.estimator)
        return tags

    # The native explainer is rebuilt from the model and the background rows (deterministic)
    # rather than carried through pickles.
    def __getstate__(self):
        state = dict(super().__getstate__())  # not the instance's own __dict__
        state.pop("_explainer", None)
        return state

    def __setstate__(self, state):
        super().__setstate__(state)
        if "_background" in state:
            self._explainer = _EXPLAINERS[type(self.estimator_)](self.estimator_, self._background)

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
        explain = _EXPLAINERS.get(type(model))
        if explain is None:
            names = ", ".join(sorted(cls.__name__ for cls in _EXPLAINERS))
            raise TypeError(f"TreeExplainer explains {names}; got {type(model).__name__}")
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
        self._background = X
        self._explainer = explain(model, X)
        first = X[:1]
        output = model.predict_proba(first) if hasattr(model, "classes_") else model.predict(first)[:, None]
        base = output[0] - self._explainer.explain(first)[0].sum(axis=1)
        self.expected_value_ = base if hasattr(model, "classes_") else float(base[0])
        return self

    def shap_values(self, X):
        """Attributions of every feature to every row's output.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to explain.

        Returns
        -------
        phi : ndarray of shape (n_samples, n_features) or (n_samples, n_features, n_classes)
            The second shape for a classifier: one attribution per class.

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
        phi = self._explainer.explain(X).transpose(0, 2, 1)
        return phi if hasattr(self.estimator_, "classes_") else phi[:, :, 0]

    def transform(self, X):
        """The attributions as features: ``shap_values`` with the classes side by side.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to explain.

        Returns
        -------
        phi : ndarray of shape (n_samples, n_features * n_outputs)
            Feature-major: feature j's attributions to every class, then feature j + 1's.
        """
        phi = self.shap_values(X)
        return phi.reshape(len(phi), -1)
