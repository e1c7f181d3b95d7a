"""The unsupervised forest with scikit-learn's outlier-detection surface, an embedding and
proximities as arrays."""

import numbers

import numpy as np
from scipy import sparse
from sklearn.base import OutlierMixin, TransformerMixin
from sklearn.utils.validation import check_is_fitted, validate_data

from canopy.sklearn._base import (
    CanopyEstimator,
    all_or_nothing,
    check_int,
    check_max_features,
    check_n_jobs,
    check_seed,
    progress,
)

class UnsupervisedForest(OutlierMixin, TransformerMixin, CanopyEstimator):
    """Breiman's unsupervised random forest: a forest trained to tell the rows from a copy
    whose columns are shuffled independently, and what its leaves say about the rows.

    Rows that share leaves are near each other. From these proximities come outlier scores
    (the surface of scikit-learn's ``IsolationForest``: ``score_samples``,
    ``decision_function``, ``predict`` giving -1 for outliers and 1 for inliers), a
    multidimensional-scaling embedding (``embedding_`` for the training rows, ``transform``
    for any rows) and permutation feature importances.

    The forest learns how the features depend on each other: where they are independent the
    shuffled copy looks like the data, and every row scores alike. The embedding needs the
    dense proximities of the training rows, whose memory grows with the square of the number
    of rows; with ``n_components=0`` nothing of that size is formed, and the outlier surface
    and ``proximity_graph`` serve hundreds of thousands of rows.

    Parameters
    ----------
    n_estimators : int, default=100
        Number of trees.
    max_depth : int or None, default=None
        Largest depth of a leaf; None grows until leaves are pure or too small to split.
    max_features : {"sqrt", "log2"}, int, float or None, default=None
        Candidate features at each node (see ``RandomForestRegressor``).
    random_state : int, numpy.random.Generator, RandomState or None, default=None
        Seed of the synthetic copy, the forest and the permutation importances.
    min_samples_split : int, default=2
        Fewest rows a node needs to be split.
    min_samples_leaf : int, default=1
        Fewest rows each child of a split must keep.
    contamination : float, default=0.1
        Expected share of outliers among the training rows, in (0, 0.5]: ``offset_`` is that
        quantile of the training rows' ``score_samples``.
    n_components : int, default=2
        Dimensions of the embedding (0 for none, and no dense proximities in ``fit``).
    n_jobs : int or None, default=None
        Workers used by each call: None or -1 for every core of the pool, or a positive
        count. Results are identical for any value.
    verbose : int, default=0
        0 is silent; 1 or more shows a progress bar over the trees during ``fit``.

    Attributes
    ----------
    offset_ : float
        ``decision_function`` is ``score_samples`` minus ``offset_``.
    embedding_ : ndarray of shape (n_samples, n_components)
        Classical multidimensional scaling of the out-of-bag proximities of the training
        rows.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Out-of-bag accuracy lost (real against synthetic) when a feature is shuffled,
        normalised to sum to 1.
    n_features_in_ : int
        Number of columns seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when X had string column names.

    Examples
    --------
    >>> import numpy as np
    >>> from canopy.sklearn import UnsupervisedForest
    >>> t = np.random.default_rng(0).normal(size=200)
    >>> X = np.column_stack([t, -t, t + 0.1 * np.sin(7 * t)])  # rows near a line
    >>> forest = UnsupervisedForest(contamination=0.01, random_state=0).fit(X)
    >>> forest.predict([[0.5, -0.5, 0.5], [2.0, 2.0, 2.0]])  # on the line, far off it
    array([ 1, -1])
    >>> forest.transform(X[:5]).shape
    (5, 2)
    """

    _native_class = "RandomForestUnsupervised"

    def __init__(
        self,
        *,
        n_estimators=100,
        max_depth=None,
        max_features=None,
        random_state=None,
        min_samples_split=2,
        min_samples_leaf=1,
        contamination=0.1,
        n_components=2,
        n_jobs=None,
        verbose=0,
    ):
        self.n_estimators = n_estimators
        self.max_depth = max_depth
        self.max_features = max_features
        self.random_state = random_state
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.contamination = contamination
        self.n_components = n_components
        self.n_jobs = n_jobs
        self.verbose = verbose

    def _check_contamination(self):
        c = self.contamination
        if isinstance(c, numbers.Real) and not isinstance(c, bool) and 0.0 < c <= 0.5:
            return float(c)
        raise ValueError(
            f"{type(self).__name__}: contamination must be a number in (0, 0.5], got {c!r}"
        )

    def fit(self, X, y=None):
        """Grow the forest on the rows against their column-shuffled copy, then compute the
        embedding, the importances and the outlier threshold.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training rows, any numeric dtype; NaN and infinity are refused.
        y : None
            Ignored.

        Returns
        -------
        self : object
            The fitted estimator.
        """
        with all_or_nothing(self):
            native = self._make_native(**self._native_params())
            n_components, contamination, n_jobs = self._fit_params()
            X = validate_data(self, X, dtype=np.float64)
            with progress(self, "trees") as report:
                native.fit(X, n_jobs=n_jobs, progress=report)
            self._finish_fit(native, X, n_components, contamination, n_jobs)
        return self

    def _native_params(self):
        """The checked parameters as the native constructor's keywords."""
        return dict(
            n_estimators=check_int(self, "n_estimators", 1),
            max_depth=check_int(self, "max_depth", 1, allow_none=True),
            max_features=check_max_features(self),
            random_state=check_seed(self),
            min_samples_split=check_int(self, "min_samples_split", 2),
            min_samples_leaf=check_int(self, "min_samples_leaf", 1),
        )

    def _fit_params(self):
        """The checked parameters the fit uses beyond the forest's."""
        return check_int(self, "n_components", 0), self._check_contamination(), check_n_jobs(self)

    def _finish_fit(self, native, X, n_components, contamination, n_jobs):
        """Keeps the grown forest, then computes what needs all its trees: the embedding, the
        importances and the outlier threshold."""
        self._native = native
        self._fit_embedding(n_components, n_jobs)
        self.feature_importances_ = native.feature_importances(n_jobs=n_jobs)
        scores = self._score_samples(X)
        self.offset_ = float(np.percentile(scores, 100.0 * contamination))

    def _fit_embedding(self, n_components, n_jobs):
        """embedding_, and what transform needs to place new rows on the same axes."""
        native = self._native
        if n_components == 0:
            self.embedding_ = np.empty((native.n_samples_, 0))
            self._axes = None
            return
        self.embedding_ = native.transform(n_components, n_jobs=n_jobs)
        # Classical scaling of proximities P: the embedding is sqrt|lambda| e for the
        # eigenpairs (lambda, e) of B = J P J / 2 (J centres rows and columns). A new row
        # with proximities q to the training rows is centred the same way, b = J q / 2
        # against the training means, and lands at (e . b) / (sign(lambda) sqrt|lambda|):
        # a training row put back gives its own coordinates.
        p = native.proximity_matrix(True, n_jobs=n_jobs)
        self._row_means = p.mean(axis=1)
        self._grand_mean = float(self._row_means.mean())
        scale = np.sqrt((self.embedding_**2).sum(axis=0))
        found = scale > 0
        vectors = np.zeros_like(self.embedding_)
        vectors[:, found] = self.embedding_[:, found] / scale[found]
        centred_p = self._centre(p)
        eigenvalues = np.einsum("ic,ic->c", vectors, centred_p @ vectors)
        self._axes = vectors
        with np.errstate(divide="ignore"):
            self._axis_scale = np.where(found, 1.0 / (np.sign(eigenvalues) * scale), 0.0)
        self._axis_scale[~np.isfinite(self._axis_scale)] = 0.0

    def _centre(self, q):
        """Double centring of proximities q (rows x training rows), halved."""
        return 0.5 * (q - self._row_means - q.mean(axis=1, keepdims=True) + self._grand_mean)

    def _score_samples(self, X):
        return -self._native.predict_outlier_scores(X, n_jobs=self.n_jobs)

    def score_samples(self, X):
        """Opposite of the outlier score of each row: the lower, the more abnormal.

        The outlier score of a row is the number of training rows over the sum of its squared
        proximities to them, standardised against the training rows and capped at 20.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to score.

        Returns
        -------
        scores : ndarray of shape (n_samples,)
        """
        return self._score_samples(self._validate_X(X))

    def decision_function(self, X):
        """``score_samples`` shifted by ``offset_``: negative for outliers.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to score.

        Returns
        -------
        scores : ndarray of shape (n_samples,)
        """
        return self.score_samples(X) - self.offset_

    def predict(self, X):
        """-1 for outliers and 1 for inliers.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to label.

        Returns
        -------
        labels : ndarray of shape (n_samples,)
        """
        return np.where(self.decision_function(X) < 0, -1, 1)

    def transform(self, X):
        """Coordinates of rows on the axes of ``embedding_``.

        Each row is placed from its proximities to the training rows over all trees; a
        training row lands near, not exactly on, its point in ``embedding_`` (which uses
        out-of-bag proximities).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to place.

        Returns
        -------
        coordinates : ndarray of shape (n_samples, n_components)
        """
        X = self._validate_X(X)
        if self._axes is None:  # no embedding was asked for
            return np.empty((X.shape[0], 0))
        q = self._native.predict_proximity(X, n_jobs=self.n_jobs)
        # Each row's sums in an order of its own: a BLAS product may sum a row differently
        # depending on how many rows come with it, and a row must land on the same point
        # whether it is placed alone, in a batch or in a partition of a Dask array.
        placed = np.einsum("ij,jk->ik", self._centre(q), self._axes, optimize=False)
        return placed * self._axis_scale

    def proximities(self, X=None):
        """Forest proximities as an array: the share of trees in which two rows share a leaf.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features) or None, default=None
            None: the training rows against each other, counting only the trees for which
            both rows were out of bag. Otherwise these rows against the training rows, over
            all trees.

        Returns
        -------
        proximities : ndarray of shape (n_samples, n_training_samples)

        Examples
        --------
        >>> from sklearn.datasets import load_iris
        >>> from canopy.sklearn import UnsupervisedForest
        >>> X = load_iris().data
        >>> forest = UnsupervisedForest(n_estimators=20, random_state=0).fit(X)
        >>> forest.proximities().shape, forest.proximities(X[:3]).shape
        ((150, 150), (3, 150))
        """
        if X is None:
            check_is_fitted(self)
            return self._native.proximity_matrix(True, n_jobs=self.n_jobs)
        return self._native.predict_proximity(self._validate_X(X), n_jobs=self.n_jobs)

    def proximity_graph(self, n_neighbors=10):
        """The ``n_neighbors`` largest out-of-bag proximities of each training row.

        Parameters
        ----------
        n_neighbors : int, default=10
            Neighbours kept per row (the row itself excluded).

        Returns
        -------
        graph : scipy.sparse.csr_matrix of shape (n_training_samples, n_training_samples)
            Row i holds the proximities of row i's nearest neighbours.
        """
        check_is_fitted(self)
        if not (isinstance(n_neighbors, numbers.Integral) and n_neighbors >= 1):
            raise ValueError(f"n_neighbors must be an integer >= 1, got {n_neighbors!r}")
        indptr, indices, values = self._native.proximity_sparse(int(n_neighbors), n_jobs=self.n_jobs)
        n = len(indptr) - 1
        return sparse.csr_matrix((values, indices.astype(np.intp), indptr.astype(np.intp)), shape=(n, n))
