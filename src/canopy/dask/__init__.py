"""canopy's forests with their trees grown across a Dask cluster.

The classes here are those of :mod:`canopy.sklearn` whose ``fit`` spreads the trees over the
workers of a ``distributed.Client`` (the one passed to ``fit``, or the current default
client): the training data goes to every worker once, each task grows a contiguous range of
tree indices, and the client joins the parts in tree order. A forest depends only on
``random_state`` and the data, so the model is bit-identical to the same estimator fitted on
one machine with the same ``random_state``: same predictions, same state bytes. Inputs are
checked on the client, with the messages of a local fit, before any tree is grown; a task
lost with its worker is run again elsewhere by Dask and grows the same trees.

``predict`` and the other per-row methods accept Dask arrays and DataFrames as well and then
return lazy Dask collections computed partition by partition on the workers (the model is
sent to each worker once); NumPy and pandas input is answered locally as in
:mod:`canopy.sklearn`. Fitted models pickle like their :mod:`canopy.sklearn` counterparts.

Importing this module imports Dask and distributed (the ``dask`` extra); ``import canopy``
does not.
"""

import numpy as np
from sklearn.base import ClassifierMixin

from canopy import sklearn as _sk
from canopy.dask._cluster import as_local, fit_forest, is_dask_array, is_dask_frame, map_rows
from canopy.sklearn._base import all_or_nothing

__all__ = ["RandomForestClassifier", "RandomForestRegressor", "UnsupervisedForest"]

_CLIENT_PARAM = """client : distributed.Client or None, default=None
            The cluster to grow the trees on; None uses the current default client.
            ``X``, ``y`` and ``sample_weight`` may be Dask collections: they are computed
            into memory first (every tree needs every row)."""


def _doc(base, note, examples=""):
    """The docstring of the canopy.sklearn class `base` with `note` after its summary and
    `examples` for its own."""
    summary, _, rest = base.__doc__.partition("\n")
    body = rest.split("    Examples\n    --------")[0].rstrip()
    return f"{summary}\n\n    {note}\n{body}\n{examples}"


def _distributed(X):
    return is_dask_array(X) or is_dask_frame(X)


class _ForestOnCluster:
    """fit across the cluster for the two supervised forests."""

    def fit(self, X, y, sample_weight=None, *, client=None):
        with all_or_nothing(self):
            params = self._native_params()
            X, y, w = (as_local(a) for a in (X, y, sample_weight))
            X, y, w = self._validate_fit(X, y, w, classifier=isinstance(self, ClassifierMixin))
            self._native, self._fit_seconds = fit_forest(client, self._native_class, params, (X, y, w))
        return self


class RandomForestClassifier(_ForestOnCluster, _sk.RandomForestClassifier):
    __doc__ = _doc(
        _sk.RandomForestClassifier,
        "Its trees are grown on the workers of a Dask cluster (see :mod:`canopy.dask`).",
        """
    Examples
    --------
    >>> from distributed import Client, LocalCluster
    >>> from sklearn.datasets import load_breast_cancer
    >>> from canopy.dask import RandomForestClassifier
    >>> X, y = load_breast_cancer(return_X_y=True)
    >>> with LocalCluster(n_workers=2, processes=False) as cluster, Client(cluster):
    ...     forest = RandomForestClassifier(n_estimators=20, random_state=0).fit(X, y)
    >>> forest.predict_proba(X[:2]).shape
    (2, 2)
    """,
    )

    def fit(self, X, y, sample_weight=None, *, client=None):
        """Grow the forest on the cluster: each worker task grows a range of the trees.

        Parameters
        ----------
        X : array-like or Dask collection of shape (n_samples, n_features)
            Training rows, any numeric dtype; NaN and infinity are refused.
        y : array-like or Dask collection of shape (n_samples,)
            Class labels of any kind.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative row weights; None weighs every row 1.
        {client}

        Returns
        -------
        self : object
            The fitted estimator, identical to a local fit with the same random_state.
        """
        return super().fit(X, y, sample_weight, client=client)

    def predict_proba(self, X):
        """Class probabilities; lazily on the workers for Dask input.

        Parameters
        ----------
        X : array-like, Dask array or Dask DataFrame of shape (n_samples, n_features)
            The rows to predict.

        Returns
        -------
        proba : ndarray or Dask collection of shape (n_samples, n_classes)
            One column per entry of ``classes_``.
        """
        if _distributed(X):
            return map_rows(self, "predict_proba", X, np.float64, columns=list(self.classes_))
        return super().predict_proba(X)

    def predict(self, X):
        """Predicted class labels; lazily on the workers for Dask input.

        Parameters
        ----------
        X : array-like, Dask array or Dask DataFrame of shape (n_samples, n_features)
            The rows to predict.

        Returns
        -------
        y : ndarray or Dask collection of shape (n_samples,)
            Labels from ``classes_``.
        """
        if _distributed(X):
            return map_rows(self, "predict", X, self.classes_.dtype)
        return super().predict(X)


class RandomForestRegressor(_ForestOnCluster, _sk.RandomForestRegressor):
    __doc__ = _doc(
        _sk.RandomForestRegressor,
        "Its trees are grown on the workers of a Dask cluster (see :mod:`canopy.dask`).",
    )

    def fit(self, X, y, sample_weight=None, *, client=None):
        """Grow the forest on the cluster: each worker task grows a range of the trees.

        Parameters
        ----------
        X : array-like or Dask collection of shape (n_samples, n_features)
            Training rows, any numeric dtype; NaN and infinity are refused.
        y : array-like or Dask collection of shape (n_samples,)
            Numeric targets.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative row weights; None weighs every row 1.
        {client}

        Returns
        -------
        self : object
            The fitted estimator, identical to a local fit with the same random_state.
        """
        return super().fit(X, y, sample_weight, client=client)

    def predict(self, X):
        """Predicted values; lazily on the workers for Dask input.

        Parameters
        ----------
        X : array-like, Dask array or Dask DataFrame of shape (n_samples, n_features)
            The rows to predict.

        Returns
        -------
        y : ndarray or Dask collection of shape (n_samples,)
        """
        if _distributed(X):
            return map_rows(self, "predict", X, np.float64)
        return super().predict(X)


class UnsupervisedForest(_sk.UnsupervisedForest):
    __doc__ = _doc(
        _sk.UnsupervisedForest,
        "Its trees are grown on the workers of a Dask cluster (see :mod:`canopy.dask`); the\n"
        "    embedding, the importances and the outlier threshold, which need every tree, are\n"
        "    computed on the client after the trees are joined.",
    )

    def fit(self, X, y=None, *, client=None):
        """Grow the forest on the cluster, then compute the embedding, the importances and
        the outlier threshold on the client.

        Parameters
        ----------
        X : array-like or Dask collection of shape (n_samples, n_features)
            Training rows, any numeric dtype; NaN and infinity are refused.
        y : None
            Ignored.
        {client}

        Returns
        -------
        self : object
            The fitted estimator, identical to a local fit with the same random_state.
        """
        from sklearn.utils.validation import validate_data

        with all_or_nothing(self):
            params = self._native_params()
            n_components, contamination, n_jobs = self._fit_params()
            X = validate_data(self, as_local(X), dtype=np.float64)
            native, self._fit_seconds = fit_forest(client, self._native_class, params, (X,))
            self._finish_fit(native, X, n_components, contamination, n_jobs)
        return self

    def _rows(self, method, X, dtype, columns=None):
        if _distributed(X):
            return map_rows(self, method, X, dtype, columns)
        return getattr(super(), method)(X)

    def score_samples(self, X):
        """Opposite of the outlier score of each row; lazily on the workers for Dask input.

        Parameters
        ----------
        X : array-like, Dask array or Dask DataFrame of shape (n_samples, n_features)
            The rows to score.

        Returns
        -------
        scores : ndarray or Dask collection of shape (n_samples,)
        """
        return self._rows("score_samples", X, np.float64)

    def decision_function(self, X):
        """``score_samples`` shifted by ``offset_``; lazily on the workers for Dask input.

        Parameters
        ----------
        X : array-like, Dask array or Dask DataFrame of shape (n_samples, n_features)
            The rows to score.

        Returns
        -------
        scores : ndarray or Dask collection of shape (n_samples,)
        """
        return self._rows("decision_function", X, np.float64)

    def predict(self, X):
        """-1 for outliers and 1 for inliers; lazily on the workers for Dask input.

        Parameters
        ----------
        X : array-like, Dask array or Dask DataFrame of shape (n_samples, n_features)
            The rows to label.

        Returns
        -------
        labels : ndarray or Dask collection of shape (n_samples,)
        """
        return self._rows("predict", X, np.int64)

    def transform(self, X):
        """Coordinates of rows on the axes of ``embedding_``; lazily on the workers for Dask
        input.

        Parameters
        ----------
        X : array-like, Dask array or Dask DataFrame of shape (n_samples, n_features)
            The rows to place.

        Returns
        -------
        coordinates : ndarray or Dask collection of shape (n_samples, n_components)
        """
        return self._rows("transform", X, np.float64, list(range(self.embedding_.shape[1])))


for _cls in (RandomForestClassifier, RandomForestRegressor, UnsupervisedForest):
    _cls.fit.__doc__ = _cls.fit.__doc__.replace("{client}", _CLIENT_PARAM)
del _cls
