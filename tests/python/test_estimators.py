"""What the supervised estimators share: exact messages for bad input, a failed fit that
leaves the previous model as it was, and the same bits from any memory layout."""

import json

import numpy as np
import pytest

from canopy import (
    Canopy, CanopyClassifier, CanopyRegressor, DecisionTree, RandomForestClassifier,
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
    "forest-classification": (lambda: RandomForestClassifier(5, max_features="0.5", random_state=4), LABELS),
    "boosted-regression": (lambda: CanopyRegressor(random_state=2, **BOOST), Y),
    "boosted-classification": (lambda: CanopyClassifier(random_state=2, **BOOST), LABELS),
    "canopy": (lambda: Canopy(task="regression", random_state=2, **BOOST), Y),
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
    cls = "CanopyRegressor" if name == "canopy" else type(model).__name__
    with pytest.raises(ValueError, match=f"^{cls} has not been fitted$"):
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
    for x, y, w in zip(layouts(X), layouts(target) + [target], layouts(W) + [W]):
        model = make()
        model.fit(x, y, w)
        results.add(state(model, x))
    assert len(results) == 1


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
