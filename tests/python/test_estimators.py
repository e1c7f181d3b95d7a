"""What the supervised estimators share: exact messages for bad input, a failed fit that
leaves the previous model as it was, and the same bits from any memory layout."""

import json
import textwrap

import numpy as np
import pytest

from canopy import (
    CanopyClassifier, CanopyRegressor, DecisionTree, RandomForestClassifier,
    RandomForestRegressor, RandomForestUnsupervised, TreeSHAP,
)

rng = np.random.default_rng(0)
X = rng.normal(size=(90, 4))
Y = 2.0 * X[:, 0] + np.sin(3.0 * X[:, 1]) + X[:, 2] * X[:, 3]
LABELS = np.digitize(Y, [-1.0, 1.0]).astype(np.float64)
W = np.linspace(0.5, 2.0, len(X))

BOOST = dict(n_estimators=3, rf_n_estimators=4, rf_max_depth=4, rf_max_features="0.5")
ESTIMATORS = {
    "tree-classification": (lambda: DecisionTree(random_state=1), LABELS),
    "tree-regression": (lambda: DecisionTree(task="regression", random_state=1), Y),
    "forest-regression": (lambda: RandomForestRegressor(5, max_features="0.5", random_state=4), Y),
    "forest-classification": (
        lambda: RandomForestClassifier(5, max_features="0.5", random_state=4), LABELS),
    "boosted-regression": (lambda: CanopyRegressor(random_state=2, **BOOST), Y),
    "boosted-classification": (lambda: CanopyClassifier(random_state=2, **BOOST), LABELS),
}


def state(model, x):
    """Everything a fitted model answers, as exact text (repr keeps every bit, NaN included)."""
    out = [model.predict(x)]
    for name in ("predict_proba", "predict_ci"):
        if hasattr(model, name):
            try:
                out.append(getattr(model, name)(x))
            except ValueError:  # not offered by this task
                pass
    for name in ("to_dict", "feature_importances", "get_depth", "get_n_leaves", "get_info"):
        if hasattr(model, name):
            out.append(getattr(model, name)())
    out += [getattr(model, name, None) for name in ("classes_", "n_classes", "trees_used")]
    return repr(out)


@pytest.mark.parametrize("name", ESTIMATORS)
def test_bad_input_has_exact_messages_and_keeps_the_model(name):
    make, target = ESTIMATORS[name]
    model = make()
    with pytest.raises(ValueError, match=f"^{type(model).__name__} has not been fitted$"):
        model.predict(X)
    x, y = np.ones((5, 3)), np.zeros(5)
    bad_x = x.copy()
    bad_x[3, 1], bad_x[4, 0] = np.nan, np.inf
    bad_y = y.copy()
    bad_y[2] = -np.inf
    cases = [
        ((bad_x, bad_y), "X contains non-finite value at row 3, column 1 (NaN). "
                         "Impute or drop missing values before fitting."),
        ((x, bad_y), "y contains non-finite value at index 2 (-inf)."),
        ((x, y[:4]), "y has 4 entries but x has 5 rows"),
        ((x, y, np.ones(2)), "sample_weight length (2) does not match number of samples (5)"),
        ((x, y, np.array([1, 1, 0, -0.0, -0.5])),
         "sample_weight[4] = -0.5 is not a non-negative finite number"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as info:
            model.fit(*args)
        assert str(info.value) == message
    assert not model.is_fitted

    model.fit(X, target, W)
    before = state(model, X)
    for args, _ in cases:
        with pytest.raises(ValueError):
            model.fit(*args)
    with pytest.raises(TypeError):
        model.fit(X, list(target))
    assert state(model, X) == before


def layouts(a):
    """The same values as C order, Fortran order, every second row and column of a larger
    array, and negative strides."""
    if a.ndim == 1:
        wide = np.zeros(2 * len(a))
        wide[::2] = a
        return [a, wide[::2], a[::-1].copy()[::-1]]
    wide = np.zeros((2 * a.shape[0], 2 * a.shape[1] + 1))
    wide[::2, 1::2] = a
    return [a, np.asfortranarray(a), wide[::2, 1::2], a[::-1, ::-1].copy()[::-1, ::-1]]


@pytest.mark.parametrize("name", ESTIMATORS)
def test_any_layout_gives_the_same_bits(name):
    make, target = ESTIMATORS[name]
    results = set()
    inputs = list(zip(layouts(X), layouts(target) + [target], layouts(W) + [W]))
    copies = [[a.copy() for a in arrays] for arrays in inputs]
    for x, y, w in inputs:
        model = make()
        model.fit(x, y, w)
        results.add(state(model, x))
    assert len(results) == 1
    assert all(np.array_equal(a, b) for i, c in zip(inputs, copies) for a, b in zip(i, c))


def test_unsupervised_and_explainer_read_any_layout():
    results = set()
    for x in layouts(X):
        model = RandomForestUnsupervised(n_estimators=8, max_features="sqrt", random_state=3)
        model.fit(x)
        tree = DecisionTree(max_depth=4, random_state=0)
        tree.fit(x, LABELS)
        explained = TreeSHAP(tree, x, "classification").explain(x[:10])
        answers = [model.proximity_matrix(), model.predict_outlier_scores(x[:7]), explained]
        results.add(json.dumps(answers))
    assert len(results) == 1


# Every estimator with a fixed random_state, in a fresh process whose pool has the given
# number of workers; MODE and TOL choose the boosted inner forests' streaming settings.
REPRO_SCRIPT = textwrap.dedent(
    """
    import json
    import numpy as np
    from canopy import *
    rng = np.random.default_rng(1)
    x = rng.normal(size=(1500, 8))
    y = x[:, 0] * 3 + np.sin(x[:, 1] * 2) + rng.normal(scale=0.4, size=1500)
    labels = (y > 0).astype(float) + (y > 2).astype(float)
    forests, unsupervised = [], []
    if MODE == "plain":
        for kw in ({}, {"max_features": "sqrt"}, {"bootstrap": False, "max_features": "0.5"}):
            for m, target in ((RandomForestRegressor(24, random_state=5, **kw), y),
                              (RandomForestClassifier(24, random_state=5, **kw), labels)):
                m.fit(x, target)
                answer = getattr(m, "predict_proba", m.predict)
                forests.append(answer(x))
                # Several prediction blocks, split differently for each thread count: every
                # row must come out as it does alone.
                assert answer(np.tile(x, (23, 1))) == forests[-1] * 23
        u = RandomForestUnsupervised(n_estimators=30, max_features="sqrt", random_state=5)
        u.fit(x[:70, :4] + np.outer(x[:70, 0], [0, 1, 0, 0]))
        unsupervised = [u.proximity_matrix(), u.proximity_matrix(use_oob=False),
                        u.predict_proximity(x[:5, :4]), u.proximity_sparse(4), u.outlier_scores(),
                        u.outlier_scores(use_sparse=True), u.predict_outlier_scores(x[:5, :4] * 2),
                        u.transform(2), u.feature_importances()]
    xb = x[:300, :4]
    yb = xb[:, 0] - 2 * xb[:, 1] ** 2 + rng.normal(size=300) * 0.1
    boosted = []
    for cls, target in ((CanopyRegressor, yb), (CanopyClassifier, (yb > -1).astype(float)),
                        (CanopyClassifier, np.digitize(yb, [-2.0, 0.0]).astype(float))):
        for hist in (True, False):
            m = cls(n_estimators=3, rf_n_estimators=10, rf_max_depth=6, random_state=5,
                    use_histogram=hist, async_mode=MODE == "async", tol=TOL, rf_max_features="0.5")
            m.fit(xb, target)
            boosted.append([m.to_dict(), m.predict(xb), m.trees_used])
    print(json.dumps([forests, unsupervised, boosted]))
    """
)


@pytest.fixture
def run_all(run_python):
    def run(threads, mode="plain", tol=1e-4):
        code = f"MODE, TOL = {mode!r}, {tol!r}\n" + REPRO_SCRIPT
        return run_python(code, env={"RAYON_NUM_THREADS": str(threads)})

    return run


def test_results_do_not_depend_on_the_thread_count(run_all):
    one = run_all(1)
    assert run_all(2) == one == run_all(4)
    assert all(m[2] == [10, 10, 10] for m in json.loads(one)[2])


def test_streaming_with_one_worker_repeats_and_stops_early(run_all):
    first = run_all(1, "async", 1e9)
    assert run_all(1, "async", 1e9) == first
    # A tolerance above any change stops once max(2, min_trees) = 5 trees are in.
    assert all(m[2] == [5, 5, 5] for m in json.loads(first)[2])
    for threads, tol in ((1, 0.0), (2, 1e9)):
        boosted = json.loads(run_all(threads, "async", tol))[2]
        assert all(5 <= k <= 10 for m in boosted for k in m[2])
