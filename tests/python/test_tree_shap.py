"""TreeSHAP: exact Shapley attributions of a fitted DecisionTree against background rows.
The values are checked against the definition itself in tests/cpp/test_tree_shap.cpp."""

import math

import numpy as np
import pytest

from canopy import DecisionTree, PanicException, RandomForestRegressor, TreeSHAP

rng = np.random.default_rng(1)
X = rng.normal(size=(120, 5))
Y_REG = 3.0 * X[:, 0] - 2.0 * (X[:, 1] > 0) + X[:, 3] * X[:, 0]
Y_CLS = np.digitize(X[:, 0] + 0.5 * X[:, 2], [-0.5, 0.5]).astype(np.float64)  # labels 0, 1, 2


def fit(task, x=X, y=None, **kw):
    tree = DecisionTree(task=task, random_state=0, **kw)
    tree.fit(x, Y_REG if y is None and task == "regression" else (Y_CLS if y is None else y))
    return tree


# Only column 2 varies; three rows go left (target 10), one goes right (target 20).
SMALL_X = np.array([[0.0, 1.0, 0.0], [0.0, 1.0, 0.1], [0.0, 1.0, 0.2], [0.0, 1.0, 1.0]])
SMALL_Y = np.array([10.0, 10.0, 10.0, 20.0])


def test_single_split_example_and_model_type():
    tree = DecisionTree(task="regression", max_depth=1)
    tree.fit(SMALL_X, SMALL_Y)
    shap = TreeSHAP(tree, SMALL_X, "regression")
    out = shap.explain(np.array([[5.0, -3.0, 0.9], [0.0, 0.0, 0.0]]))
    assert out == [[[0.0, 0.0, 7.5]], [[0.0, 0.0, -2.5]]]
    assert type(out[0][0][2]) is float and shap.explain(np.empty((0, 0))) == []
    # Anything but the exact word "classification" explains the leaf values; a regression
    # tree has no class counts, so "classification" gives two all-zero vectors per row.
    rows = SMALL_X[[0, 3]]
    assert TreeSHAP(tree, SMALL_X, "classification").explain(rows) == [[[0.0] * 3] * 2] * 2
    expected = [[[0.0, 0.0, -2.5]], [[0.0, 0.0, 7.5]]]
    for other in ("Classification", "classification ", ""):
        assert TreeSHAP(tree, SMALL_X, other).explain(rows) == expected


def test_regression_attributions_add_up_and_skip_unused_features():
    x = X.copy()
    x[:, 1] = 7.0  # constant: can never be split on
    tree = fit("regression", x=x, max_depth=5)
    rows = rng.normal(size=(30, 5))
    out = np.array(TreeSHAP(tree, x, "regression").explain(rows))
    assert out.shape == (30, 1, 5) and np.all(out[:, :, 1] == 0.0)
    base = float(np.mean(tree.predict(x)))
    for row, pred in zip(out, tree.predict(rows)):
        assert math.isclose(sum(row[0]), pred - base, abs_tol=1e-9)


def test_three_class_attributions():
    tree = fit("classification", max_depth=4)
    assert tree.classes_ == [0, 1, 2]
    rows = rng.normal(size=(20, 5))
    out = np.array(TreeSHAP(tree, X, "classification").explain(rows))
    assert out.shape == (20, 3, 5)
    base = np.mean(np.asarray(tree.predict_proba(X)), axis=0)
    np.testing.assert_allclose(out.sum(axis=2), np.array(tree.predict_proba(rows)) - base, atol=1e-9)
    # Class probabilities sum to one everywhere, so each feature's attributions cancel out.
    np.testing.assert_allclose(out.sum(axis=1), 0.0, atol=1e-9)


def test_classes_beyond_the_count_are_dropped():
    # Labels {1, 2}: two outputs, class 2's probability falls outside them.
    y = (X[:, 0] > 0).astype(np.float64) + 1.0
    tree = fit("classification", y=y, max_depth=2)
    assert tree.classes_ == [1, 2]
    out = np.array(TreeSHAP(tree, X, "classification").explain(X[:15]))
    assert out.shape == (15, 2, 5)
    p1 = np.array([p[0] for p in tree.predict_proba(X)])
    np.testing.assert_allclose(out[:, 1, :].sum(axis=1), p1[:15] - p1.mean(), atol=1e-9)
    assert np.all(out[:, 0, :] == 0.0)  # class 0 never occurs


def test_explainer_keeps_its_own_copies():
    tree = fit("regression", max_depth=4)
    background = X.copy()
    shap = TreeSHAP(tree, background, "regression")
    before = shap.explain(X[:10])
    tree.fit(X[:, ::-1].copy(), -Y_REG)
    background[:] = 0.0
    assert shap.explain(X[:10]) == before


def test_arguments_and_short_rows():
    with pytest.raises(TypeError, match="tree"):
        TreeSHAP(RandomForestRegressor(), X, "regression")
    with pytest.raises(TypeError):  # no way to obtain an explainer that skipped construction
        TreeSHAP.__new__(TreeSHAP)
    with pytest.raises(ValueError, match="^Tree must be fitted before creating TreeSHAP$"):
        TreeSHAP(DecisionTree(), X, "classification")

    x = np.zeros((6, 4))
    x[:, 3] = [0, 1, 2, 3, 4, 5]
    tree = DecisionTree(task="regression", max_depth=1)
    tree.fit(x, x[:, 3])
    with pytest.raises(PanicException):
        TreeSHAP(tree, x[:, :3], "regression")
    shap = TreeSHAP(tree, x, "regression")
    with pytest.raises(PanicException):
        shap.explain(x[:, :3])
    out = shap.explain(np.hstack([x, x])[:1])
    assert len(out[0][0]) == 4 and out[0][0][3] == -1.5
