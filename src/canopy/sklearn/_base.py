"""What every canopy.sklearn estimator shares: parameter checks at fit, input validation at
the boundary, progress reporting, and pickling through the native estimator's state."""

import numbers
import sys
from contextlib import contextmanager

import numpy as np
from sklearn.base import BaseEstimator
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from canopy import _core

# ---- Parameters ---------------------------------------------------------------------------------


def _fail(est, name, wanted, value):
    raise ValueError(f"{type(est).__name__}: {name} must be {wanted}, got {value!r}")


def _is_int(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def check_int(est, name, low, *, allow_none=False):
    """The integer parameter `name` of `est`, at least `low` (or None when allowed)."""
    value = getattr(est, name)
    if value is None and allow_none:
        return None
    if _is_int(value) and value >= low:
        return int(value)
    _fail(est, name, f"an integer >= {low}" + (" or None" if allow_none else ""), value)


def check_float(est, name, low, high, *, low_open=True, high_open=True):
    """The real parameter `name` of `est`, inside the given interval."""
    value = getattr(est, name)
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        above = value > low if low_open else value >= low
        below = value < high if high_open else value <= high
        if above and below:
            return float(value)
    interval = f"{'(' if low_open else '['}{low}, {high}{')' if high_open else ']'}"
    _fail(est, name, f"a number in {interval}", value)


def check_bool(est, name):
    value = getattr(est, name)
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    _fail(est, name, "True or False", value)


def check_seed(est, name="random_state"):
    """random_state as the native seed: None (fresh entropy on every fit), an integer in
    [0, 2**64) used as given, or a NumPy RandomState/Generator from which a seed is drawn."""
    value = getattr(est, name)
    if value is None:
        return None
    if _is_int(value):
        if 0 <= value < 2**64:
            return int(value)
    elif isinstance(value, np.random.Generator):
        return int(value.integers(2**63))
    elif isinstance(value, np.random.RandomState):
        return int(check_random_state(value).randint(np.iinfo(np.int32).max))
    _fail(est, name, "None, an integer in [0, 2**64) or a NumPy random generator", value)


def check_max_features(est, name="max_features"):
    """max_features in the native text form: None (every feature), "sqrt", "log2", a count
    (int >= 1) or a fraction of the features (float in (0, 1])."""
    value = getattr(est, name)
    if value is None or value in ("sqrt", "log2"):
        return value
    if _is_int(value) and value >= 1:
        # The native text reads numbers up to 1 as fractions: one feature is any tiny share.
        return "1e-300" if value == 1 else str(int(value))
    if isinstance(value, numbers.Real) and not isinstance(value, bool) and 0.0 < value <= 1.0:
        return repr(float(value))
    _fail(est, name, 'None, "sqrt", "log2", an integer >= 1 or a float in (0, 1]', value)


def check_n_jobs(est):
    value = est.n_jobs
    if value is None or (_is_int(value) and (value == -1 or value >= 1)):
        return None if value is None else int(value)
    _fail(est, "n_jobs", "None, -1 (every core) or a positive number of workers", value)


def check_verbose(est):
    value = est.verbose
    if (_is_int(value) and value >= 0) or isinstance(value, bool):
        return int(value)
    _fail(est, "verbose", "an integer >= 0", value)


# ---- Progress -----------------------------------------------------------------------------------


class _Progress:
    """The native progress callback behind verbose=1: a tqdm bar when tqdm is installed,
    otherwise one line on stderr rewritten in place."""

    def __init__(self, desc, unit):
        self.desc = desc
        self.unit = unit
        self.bar = None
        self.line = False

    def __call__(self, done, total):
        if self.bar is None and not self.line:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                self.line = True
            else:
                self.bar = tqdm(total=total, desc=self.desc, unit=self.unit, leave=True)
        if self.bar is not None:
            self.bar.update(done - self.bar.n)
        else:
            sys.stderr.write(f"\r{self.desc}: {done}/{total} {self.unit}")
            sys.stderr.flush()

    def close(self):
        if self.bar is not None:
            self.bar.close()
        elif self.line:
            sys.stderr.write("\n")
            sys.stderr.flush()


@contextmanager
def progress(est, unit):
    """The progress argument of a native fit: None when verbose is 0."""
    if not check_verbose(est):
        yield None
        return
    reporter = _Progress(f"{type(est).__name__}.fit", unit)
    try:
        yield reporter
    finally:
        reporter.close()


# ---- The native estimator and its state ---------------------------------------------------------


def export_state(native):
    """The native estimator's configuration and fitted state as bytes (canopy's versioned
    state format, docs/state_format.md)."""
    return native.export_state()


def load_state(native_class, blob):
    """A native estimator rebuilt from export_state's bytes (ValueError for bytes that are
    not an intact state of that class)."""
    return native_class.load_state(blob)


class CanopyEstimator(BaseEstimator):
    """The base of every canopy.sklearn estimator. The fitted native estimator lives in
    `_native` (a canopy._core object); pickling, deep copies and joblib carry it as the
    bytes of its exported state, so a copy predicts bit-identically."""

    _native_class = ""  # the canopy._core class name

    def __getstate__(self):
        # A copy: object.__getstate__ hands back the instance's own __dict__, which must keep
        # its native estimator.
        state = dict(super().__getstate__())
        native = state.pop("_native", None)
        if native is not None:
            state["_native_state"] = export_state(native)
        return state

    def __setstate__(self, state):
        state = dict(state)
        blob = state.pop("_native_state", None)
        super().__setstate__(state)
        if blob is not None:
            self._native = load_state(getattr(_core, self._native_class), blob)

    def _make_native(self, **kwargs):
        return getattr(_core, self._native_class)(**kwargs)

    def _validate_fit(self, X, y, sample_weight, *, classifier):
        """Validated float64 X, y and weights; a classifier's y becomes indices into the new
        classes_."""
        X, y = validate_data(self, X, y, dtype=np.float64, y_numeric=not classifier)
        if classifier:
            check_classification_targets(y)
            self.classes_, y = np.unique(y, return_inverse=True)
            self.n_classes_ = len(self.classes_)
        y = np.asarray(y, dtype=np.float64)
        if sample_weight is not None:
            sample_weight = _check_sample_weight(sample_weight, X, dtype=np.float64)
        return X, y, sample_weight

    def _validate_X(self, X):
        """X for a fitted model: float64 and as many columns as at fit."""
        check_is_fitted(self)
        return validate_data(self, X, dtype=np.float64, reset=False)

    def _fit_native(self, native, X, y, sample_weight, unit):
        """Fits the new native estimator with n_jobs and progress, and keeps it."""
        n_jobs = check_n_jobs(self)
        with progress(self, unit) as report:
            native.fit(X, y, sample_weight, n_jobs=n_jobs, progress=report)
        self._native = native
        return self


@contextmanager
def all_or_nothing(est):
    """A fit that fails (bad input, Ctrl-C, an exception from a progress bar) leaves the
    estimator exactly as it was: its fitted attributes and native model agree."""
    before = dict(est.__dict__)
    try:
        yield
    except BaseException:
        est.__dict__.clear()
        est.__dict__.update(before)
        raise


class ClassifierOutputs:
    """predict and predict_proba of a classifier whose native estimator predicts class
    indices 0..k-1: columns follow classes_, and predict returns the original labels."""

    def _native_proba(self, X):
        return self._native.predict_proba(X, n_jobs=self.n_jobs)

    def predict_proba(self, X):
        """Class probabilities.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to predict.

        Returns
        -------
        proba : ndarray of shape (n_samples, n_classes)
            One column per entry of ``classes_``, in that order.
        """
        return self._native_proba(self._validate_X(X))

    def predict(self, X):
        """Predicted class labels: the class of largest probability (the first on ties).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to predict.

        Returns
        -------
        y : ndarray of shape (n_samples,)
            Labels from ``classes_``.
        """
        proba = self.predict_proba(X)
        return self.classes_.take(np.argmax(proba, axis=1))
