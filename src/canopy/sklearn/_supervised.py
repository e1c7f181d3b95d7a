"""The supervised estimators: the exact decision tree, the histogram random forests and the
boosted forests, each a thin layer over its canopy._core counterpart."""

import numpy as np
from sklearn.base import ClassifierMixin, RegressorMixin
from sklearn.utils.validation import check_is_fitted

from canopy.sklearn._base import (
    CanopyEstimator,
    ClassifierOutputs,
    all_or_nothing,
    check_bool,
    check_float,
    check_int,
    check_max_features,
    check_seed,
)

# ---- Decision trees -----------------------------------------------------------------------------


class _DecisionTree(CanopyEstimator):
    _native_class = "DecisionTree"
    _task = ""

    def __init__(self, *, max_depth=None, min_samples_split=2, min_samples_leaf=1, random_state=None):
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.random_state = random_state

    def fit(self, X, y, sample_weight=None):
        """Grow the tree on every row and every feature.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training rows, any numeric dtype; NaN and infinity are refused.
        y : array-like of shape (n_samples,)
            Targets: class labels of any kind for the classifier, numbers for the regressor.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative row weights; None weighs every row 1.

        Returns
        -------
        self : object
            The fitted estimator.
        """
        with all_or_nothing(self):
            native = self._make_native(
                max_depth=check_int(self, "max_depth", 1, allow_none=True),
                task=self._task,
                random_state=check_seed(self),
                min_samples_split=check_int(self, "min_samples_split", 2),
                min_samples_leaf=check_int(self, "min_samples_leaf", 1),
            )
            X, y, w = self._validate_fit(X, y, sample_weight, classifier=self._task == "classification")
            native.fit(X, y, w)
            self._native = native
        return self

    def get_depth(self):
        """Depth of the tree: edges on the longest path from the root to a leaf.

        Returns
        -------
        depth : int
        """
        check_is_fitted(self)
        return self._native.get_depth()

    def get_n_leaves(self):
        """Number of leaves of the tree.

        Returns
        -------
        n_leaves : int
        """
        check_is_fitted(self)
        return self._native.get_n_leaves()


class DecisionTreeClassifier(ClassifierOutputs, ClassifierMixin, _DecisionTree):
    """A classification tree grown with the exact split search (Gini impurity).

    Parameters
    ----------
    max_depth : int or None, default=None
        Largest depth of a leaf (the root has depth 0); None grows until leaves are pure or
        too small to split.
    min_samples_split : int, default=2
        Fewest rows a node needs to be split.
    min_samples_leaf : int, default=1
        Fewest rows each child of a split must keep.
    random_state : int, numpy.random.Generator, RandomState or None, default=None
        Seed of the feature order searched at each node; it only matters when features tie.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The sorted labels seen in fit; predictions are taken from it.
    n_classes_ : int
        Number of classes.
    n_features_in_ : int
        Number of columns seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when X had string column names.

    Examples
    --------
    >>> from sklearn.datasets import load_iris
    >>> from canopy.sklearn import DecisionTreeClassifier
    >>> X, y = load_iris(return_X_y=True, as_frame=True)
    >>> tree = DecisionTreeClassifier(max_depth=3, random_state=0).fit(X, y)
    >>> tree.predict(X.iloc[:2])
    array([0, 0])
    >>> tree.predict_proba(X.iloc[:1]).shape
    (1, 3)
    """

    _task = "classification"

    def _native_proba(self, X):
        return self._native.predict_proba(X)


class DecisionTreeRegressor(RegressorMixin, _DecisionTree):
    """A regression tree grown with the exact split search (weighted variance).

    Parameters
    ----------
    max_depth : int or None, default=None
        Largest depth of a leaf (the root has depth 0); None grows until leaves are pure or
        too small to split.
    min_samples_split : int, default=2
        Fewest rows a node needs to be split.
    min_samples_leaf : int, default=1
        Fewest rows each child of a split must keep.
    random_state : int, numpy.random.Generator, RandomState or None, default=None
        Seed of the feature order searched at each node; it only matters when features tie.

    Attributes
    ----------
    n_features_in_ : int
        Number of columns seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when X had string column names.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from canopy.sklearn import DecisionTreeRegressor
    >>> X, y = load_diabetes(return_X_y=True)
    >>> tree = DecisionTreeRegressor(max_depth=4, random_state=0).fit(X, y)
    >>> tree.predict(X[:3]).shape
    (3,)
    """

    _task = "regression"

    def predict(self, X):
        """Predicted values: the weighted mean target of the leaf each row reaches.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to predict.

        Returns
        -------
        y : ndarray of shape (n_samples,)
        """
        X = self._validate_X(X)
        return self._native.predict(X)


# ---- Random forests -----------------------------------------------------------------------------


class _RandomForest(CanopyEstimator):
    def __init__(
        self,
        *,
        n_estimators,
        max_depth=None,
        max_features=None,
        bootstrap=True,
        random_state=None,
        min_samples_split=2,
        min_samples_leaf=1,
        n_jobs=None,
        verbose=0,
    ):
        self.n_estimators = n_estimators
        self.max_depth = max_depth
        self.max_features = max_features
        self.bootstrap = bootstrap
        self.random_state = random_state
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.n_jobs = n_jobs
        self.verbose = verbose

    def fit(self, X, y, sample_weight=None):
        """Grow the forest: one histogram tree per bootstrap sample, in parallel.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training rows, any numeric dtype; NaN and infinity are refused.
        y : array-like of shape (n_samples,)
            Targets: class labels of any kind for the classifier, numbers for the regressor.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative row weights; None weighs every row 1.

        Returns
        -------
        self : object
            The fitted estimator.
        """
        with all_or_nothing(self):
            native = self._make_native(**self._native_params())
            X, y, w = self._validate_fit(X, y, sample_weight, classifier=isinstance(self, ClassifierMixin))
            self._fit_native(native, X, y, w, "trees")
        return self

    def _native_params(self):
        """The checked parameters as the native constructor's keywords."""
        return dict(
            n_estimators=check_int(self, "n_estimators", 1),
            max_depth=check_int(self, "max_depth", 1, allow_none=True),
            max_features=check_max_features(self),
            bootstrap=check_bool(self, "bootstrap"),
            random_state=check_seed(self),
            min_samples_split=check_int(self, "min_samples_split", 2),
            min_samples_leaf=check_int(self, "min_samples_leaf", 1),
        )


_FOREST_PARAMS = """n_estimators : int, default={n_estimators}
        Number of trees.
    max_depth : int or None, default=None
        Largest depth of a leaf; None grows until leaves are pure or too small to split.
    max_features : {{"sqrt", "log2"}}, int, float or None, default=None
        Features drawn as candidates at each node: a count, a fraction of the features, the
        square root or the base-2 logarithm of their number, or None for all of them.
    bootstrap : bool, default=True
        Grow each tree on a bootstrap sample (True) or on every row once (False).
    random_state : int, numpy.random.Generator, RandomState or None, default=None
        Seed of the whole forest. A fixed seed gives the same trees for any ``n_jobs``.
    min_samples_split : int, default=2
        Fewest rows a node needs to be split.
    min_samples_leaf : int, default=1
        Fewest rows each child of a split must keep.
    n_jobs : int or None, default=None
        Workers used by each call: None or -1 for every core of the pool, or a positive
        count. Results are identical for any value.
    verbose : int, default=0
        0 is silent; 1 or more shows a progress bar over the trees during ``fit`` (tqdm when
        installed, otherwise a line on stderr)."""


class RandomForestClassifier(ClassifierOutputs, ClassifierMixin, _RandomForest):
    __doc__ = f"""A bagged forest of classification trees grown with the histogram split search.

    Probabilities are the mean of the trees' leaf class distributions.

    Parameters
    ----------
    {_FOREST_PARAMS.format(n_estimators=100)}

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The sorted labels seen in fit; predictions are taken from it.
    n_classes_ : int
        Number of classes.
    n_features_in_ : int
        Number of columns seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when X had string column names.

    Examples
    --------
    >>> from sklearn.datasets import load_breast_cancer
    >>> from canopy.sklearn import RandomForestClassifier
    >>> X, y = load_breast_cancer(return_X_y=True)
    >>> forest = RandomForestClassifier(n_estimators=50, random_state=0).fit(X, y)
    >>> forest.predict_proba(X[:2]).shape
    (2, 2)
    >>> bool(forest.score(X, y) > 0.95)
    True
    """

    _native_class = "RandomForestClassifier"

    def __init__(
        self,
        *,
        n_estimators=100,
        max_depth=None,
        max_features=None,
        bootstrap=True,
        random_state=None,
        min_samples_split=2,
        min_samples_leaf=1,
        n_jobs=None,
        verbose=0,
    ):
        super().__init__(
            n_estimators=n_estimators,
            max_depth=max_depth,
            max_features=max_features,
            bootstrap=bootstrap,
            random_state=random_state,
            min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf,
            n_jobs=n_jobs,
            verbose=verbose,
        )


class RandomForestRegressor(RegressorMixin, _RandomForest):
    __doc__ = f"""A bagged forest of regression trees grown with the histogram split search.

    Predictions are the mean of the trees' leaf values.

    Parameters
    ----------
    {_FOREST_PARAMS.format(n_estimators=50)}

    Attributes
    ----------
    n_features_in_ : int
        Number of columns seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when X had string column names.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from canopy.sklearn import RandomForestRegressor
    >>> X, y = load_diabetes(return_X_y=True)
    >>> forest = RandomForestRegressor(n_estimators=20, random_state=0).fit(X, y)
    >>> forest.predict(X[:3]).shape
    (3,)
    """

    _native_class = "RandomForestRegressor"

    def __init__(
        self,
        *,
        n_estimators=50,
        max_depth=None,
        max_features=None,
        bootstrap=True,
        random_state=None,
        min_samples_split=2,
        min_samples_leaf=1,
        n_jobs=None,
        verbose=0,
    ):
        super().__init__(
            n_estimators=n_estimators,
            max_depth=max_depth,
            max_features=max_features,
            bootstrap=bootstrap,
            random_state=random_state,
            min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf,
            n_jobs=n_jobs,
            verbose=verbose,
        )

    def predict(self, X):
        """Predicted values: the mean of the trees' leaf values.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to predict.

        Returns
        -------
        y : ndarray of shape (n_samples,)
        """
        X = self._validate_X(X)
        return self._native.predict(X, n_jobs=self.n_jobs)


# ---- Boosted forests ----------------------------------------------------------------------------


class _Boosted(CanopyEstimator):
    def __init__(
        self,
        *,
        n_estimators=20,
        learning_rate=0.1,
        rf_n_estimators=20,
        rf_max_depth=None,
        rf_max_features=None,
        bootstrap=True,
        random_state=None,
        min_samples_split=2,
        min_samples_leaf=1,
        use_histogram=True,
        async_mode=False,
        tol=1e-4,
        n_jobs=None,
        verbose=0,
    ):
        self.n_estimators = n_estimators
        self.learning_rate = learning_rate
        self.rf_n_estimators = rf_n_estimators
        self.rf_max_depth = rf_max_depth
        self.rf_max_features = rf_max_features
        self.bootstrap = bootstrap
        self.random_state = random_state
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.use_histogram = use_histogram
        self.async_mode = async_mode
        self.tol = tol
        self.n_jobs = n_jobs
        self.verbose = verbose

    def _native_args(self):
        return dict(
            n_estimators=check_int(self, "n_estimators", 1),
            learning_rate=check_float(self, "learning_rate", 0.0, np.inf),
            rf_n_estimators=check_int(self, "rf_n_estimators", 1),
            rf_max_depth=check_int(self, "rf_max_depth", 1, allow_none=True),
            rf_max_features=check_max_features(self, "rf_max_features"),
            bootstrap=check_bool(self, "bootstrap"),
            random_state=check_seed(self),
            min_samples_split=check_int(self, "min_samples_split", 2),
            min_samples_leaf=check_int(self, "min_samples_leaf", 1),
            use_histogram=check_bool(self, "use_histogram"),
            async_mode=check_bool(self, "async_mode"),
            tol=check_float(self, "tol", 0.0, np.inf, low_open=False),
        )

    def fit(self, X, y, sample_weight=None):
        """Run the boosting rounds, each fitting a random forest to the current residuals.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training rows, any numeric dtype; NaN and infinity are refused.
        y : array-like of shape (n_samples,)
            Targets: class labels of any kind for the classifier, numbers for the regressor.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative row weights; None weighs every row 1.

        Returns
        -------
        self : object
            The fitted estimator.
        """
        with all_or_nothing(self):
            native = self._make_native(**self._native_args())
            X, y, w = self._validate_fit(X, y, sample_weight, classifier=isinstance(self, ClassifierMixin))
            self._fit_native(native, X, y, w, "rounds")
        return self

    @property
    def feature_importances_(self):
        """Split-count importances: each feature's share of the samples reaching the splits
        on it, over every tree of every round (they sum to 1)."""
        check_is_fitted(self)
        return self._native.feature_importances(n_jobs=self.n_jobs)

    @staticmethod
    def _check_alpha(alpha):
        if not (isinstance(alpha, (int, float, np.floating)) and 0.0 < alpha < 1.0):
            raise ValueError(f"alpha must be a number in (0, 1), got {alpha!r}")
        return float(alpha)


_BOOST_PARAMS = """n_estimators : int, default=20
        Boosting rounds.
    learning_rate : float, default=0.1
        Shrinkage of each round's forest.
    rf_n_estimators : int, default=20
        Trees of each round's forest.
    rf_max_depth : int or None, default=None
        Depth limit of those trees.
    rf_max_features : {"sqrt", "log2"}, int, float or None, default=None
        Candidate features at each node of those trees (see ``RandomForestRegressor``).
    bootstrap : bool, default=True
        Bootstrap samples for the trees of each round.
    random_state : int, numpy.random.Generator, RandomState or None, default=None
        Seed of the whole fit. A fixed seed gives the same model for any ``n_jobs`` (unless
        ``async_mode``).
    min_samples_split : int, default=2
        Fewest rows a node needs to be split.
    min_samples_leaf : int, default=1
        Fewest rows each child of a split must keep.
    use_histogram : bool, default=True
        Histogram split search (True) or exact search (False) in the round forests.
    async_mode : bool, default=False
        Stream each round's trees and stop a round early once its prediction is stable
        within ``tol``; faster, but not reproducible across thread counts.
    tol : float, default=1e-4
        Stability threshold of ``async_mode``.
    n_jobs : int or None, default=None
        Workers used by each call: None or -1 for every core of the pool, or a positive
        count.
    verbose : int, default=0
        0 is silent; 1 or more shows a progress bar over the rounds during ``fit``."""


class CanopyRegressor(RegressorMixin, _Boosted):
    __doc__ = f"""Gradient boosting for squared error whose every round fits a random forest,
    with split-conformal prediction intervals.

    ``fit`` first holds out ``conformal_fraction`` of the rows, calibrates the interval
    half-width on them, then refits on every row.

    Parameters
    ----------
    {_BOOST_PARAMS}
    conformal_fraction : float, default=0.2
        Share of rows held out for calibration, in [0.1, 0.5].

    Attributes
    ----------
    conformal_quantile_ : float
        Half-width of the 95% intervals.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Split-count importances.
    n_features_in_ : int
        Number of columns seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when X had string column names.

    Examples
    --------
    >>> from sklearn.datasets import load_diabetes
    >>> from canopy.sklearn import CanopyRegressor
    >>> X, y = load_diabetes(return_X_y=True)
    >>> model = CanopyRegressor(n_estimators=10, rf_n_estimators=10, random_state=0).fit(X, y)
    >>> model.predict_interval(X[:3], alpha=0.1).shape
    (3, 2)
    """

    _native_class = "CanopyRegressor"

    def __init__(
        self,
        *,
        n_estimators=20,
        learning_rate=0.1,
        rf_n_estimators=20,
        rf_max_depth=None,
        rf_max_features=None,
        bootstrap=True,
        random_state=None,
        min_samples_split=2,
        min_samples_leaf=1,
        use_histogram=True,
        async_mode=False,
        tol=1e-4,
        n_jobs=None,
        verbose=0,
        conformal_fraction=0.2,
    ):
        super().__init__(
            n_estimators=n_estimators,
            learning_rate=learning_rate,
            rf_n_estimators=rf_n_estimators,
            rf_max_depth=rf_max_depth,
            rf_max_features=rf_max_features,
            bootstrap=bootstrap,
            random_state=random_state,
            min_samples_split=min_samples_split,
            min_samples_leaf=min_samples_leaf,
            use_histogram=use_histogram,
            async_mode=async_mode,
            tol=tol,
            n_jobs=n_jobs,
            verbose=verbose,
        )
        self.conformal_fraction = conformal_fraction

    def _native_args(self):
        args = super()._native_args()
        args["conformal_fraction"] = check_float(
            self, "conformal_fraction", 0.1, 0.5, low_open=False, high_open=False
        )
        return args

    @property
    def conformal_quantile_(self):
        """Half-width of the 95% prediction intervals, calibrated during fit."""
        check_is_fitted(self)
        return self._native.conformal_quantile

    def predict(self, X):
        """Predicted values: the start value plus every round's scaled forest prediction.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to predict.

        Returns
        -------
        y : ndarray of shape (n_samples,)
        """
        X = self._validate_X(X)
        return self._native.predict(X, n_jobs=self.n_jobs)

    def predict_interval(self, X, alpha=0.05):
        """Split-conformal prediction intervals, centred on ``predict``.

        The half-width is calibrated for alpha=0.05 and rescaled by a ratio of normal
        quantiles for the other levels. alpha is taken at the level 0.01, 0.05, 0.1 or 0.2:
        the smallest of them at least alpha, or 0.2 above it.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to predict.
        alpha : float, default=0.05
            Miscoverage level in (0, 1): the intervals aim at 1 - alpha coverage.

        Returns
        -------
        intervals : ndarray of shape (n_samples, 2)
            Lower and upper bound of each row.

        Examples
        --------
        >>> import numpy as np
        >>> from canopy.sklearn import CanopyRegressor
        >>> X = np.arange(200.0).reshape(100, 2)
        >>> model = CanopyRegressor(n_estimators=5, random_state=0).fit(X, X[:, 0])
        >>> lower, upper = model.predict_interval(X[:1]).T
        >>> bool(lower[0] <= model.predict(X[:1])[0] <= upper[0])
        True
        """
        alpha = self._check_alpha(alpha)
        X = self._validate_X(X)
        return self._native.predict_ci(X, alpha, n_jobs=self.n_jobs)


class CanopyClassifier(ClassifierOutputs, ClassifierMixin, _Boosted):
    __doc__ = f"""Gradient boosting for classification whose every round fits random forests:
    logistic Newton steps for two classes, one forest per class and round against the
    softmax for more; Wilson intervals on the probability of the second class.

    Parameters
    ----------
    {_BOOST_PARAMS}

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The sorted labels seen in fit; predictions are taken from it.
    n_classes_ : int
        Number of classes.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Split-count importances.
    n_features_in_ : int
        Number of columns seen in fit.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when X had string column names.

    Examples
    --------
    >>> from sklearn.datasets import load_breast_cancer
    >>> from canopy.sklearn import CanopyClassifier
    >>> X, y = load_breast_cancer(return_X_y=True)
    >>> labels = ["malignant", "benign"]
    >>> model = CanopyClassifier(n_estimators=10, random_state=0)
    >>> model = model.fit(X, [labels[v] for v in y])
    >>> model.classes_.tolist()
    ['benign', 'malignant']
    >>> model.predict_interval(X[:2]).shape
    (2, 2)
    """

    _native_class = "CanopyClassifier"

    def predict_interval(self, X, alpha=0.05):
        """Wilson score intervals around the probability of ``classes_[1]`` (two classes
        only), counting every tree of every round as one trial.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to predict.
        alpha : float, default=0.05
            Miscoverage level in (0, 1), taken at the level 0.01, 0.05, 0.1 or 0.2: the
            smallest of them at least alpha, or 0.2 above it.

        Returns
        -------
        intervals : ndarray of shape (n_samples, 2)
            Lower and upper bound of each row, inside [0, 1].

        Examples
        --------
        >>> import numpy as np
        >>> from canopy.sklearn import CanopyClassifier
        >>> X = np.arange(100.0).reshape(50, 2)
        >>> model = CanopyClassifier(n_estimators=5, random_state=0).fit(X, X[:, 0] > 50)
        >>> lower, upper = model.predict_interval(X[-1:]).T
        >>> bool(0.0 <= lower[0] <= model.predict_proba(X[-1:])[0, 1] <= upper[0] <= 1.0)
        True
        """
        alpha = self._check_alpha(alpha)
        X = self._validate_X(X)
        if self.n_classes_ != 2:
            raise ValueError(
                f"predict_interval needs exactly two classes; this model has {self.n_classes_}"
            )
        return self._native.predict_ci(X, alpha, n_jobs=self.n_jobs)
