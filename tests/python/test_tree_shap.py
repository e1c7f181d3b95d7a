"""TreeSHAP: exact Shapley attributions of a fitted DecisionTree against background rows."""

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


def background_mean(values):
    return np.mean(np.asarray(values), axis=0)


# ---- The single-split example ------------------------------------------------------------------

# Only column 2 varies; three rows go left (target 10), one goes right (target 20).
SMALL_X = np.array([[0.0, 1.0, 0.0], [0.0, 1.0, 0.1], [0.0, 1.0, 0.2], [0.0, 1.0, 1.0]])
SMALL_Y = np.array([10.0, 10.0, 10.0, 20.0])


def test_single_split_example():
    tree = DecisionTree(task="regression", max_depth=1)
    tree.fit(SMALL_X, SMALL_Y)
    shap = TreeSHAP(tree, SMALL_X, "regression")
    out = shap.explain(np.array([[5.0, -3.0, 0.9], [0.0, 0.0, 0.0]]))
    assert type(out) is list and type(out[0]) is list and type(out[0][0]) is list
    assert out == [[[0.0, 0.0, 7.5]], [[0.0, 0.0, -2.5]]]
    assert type(out[0][0][2]) is float


def test_model_type_is_matched_exactly():
    tree = DecisionTree(task="regression", max_depth=1)
    tree.fit(SMALL_X, SMALL_Y)
    rows = SMALL_X[[0, 3]]
    # A regression tree has no class counts: two all-zero vectors per row.
    assert TreeSHAP(tree, SMALL_X, "classification").explain(rows) == [[[0.0] * 3] * 2] * 2
    expected = [[[0.0, 0.0, -2.5]], [[0.0, 0.0, 7.5]]]
    for other in ("regression", "Classification", "classification ", ""):
        assert TreeSHAP(tree, SMALL_X, other).explain(rows) == expected


# ---- Invariants on fitted trees ----------------------------------------------------------------


def test_regression_attributions_add_up():
    tree = fit("regression", max_depth=5)
    shap = TreeSHAP(tree, X, "regression")
    rows = rng.normal(size=(30, 5))
    out = shap.explain(rows)
    assert len(out) == 30 and all(len(r) == 1 and len(r[0]) == 5 for r in out)
    base = float(np.mean(tree.predict(X)))
    for row, pred in zip(out, tree.predict(rows)):
        assert math.isclose(sum(row[0]), pred - base, abs_tol=1e-9)


def test_three_class_attributions():
    tree = fit("classification", max_depth=4)
    assert tree.classes_ == [0, 1, 2]
    shap = TreeSHAP(tree, X, "classification")
    rows = rng.normal(size=(20, 5))
    out = np.array(shap.explain(rows))
    assert out.shape == (20, 3, 5)
    base = background_mean(tree.predict_proba(X))
    np.testing.assert_allclose(out.sum(axis=2), np.array(tree.predict_proba(rows)) - base, atol=1e-9)
    # Class probabilities sum to one everywhere, so each feature's attributions cancel out.
    np.testing.assert_allclose(out.sum(axis=1), 0.0, atol=1e-9)


def test_unused_features_get_zero():
    x = X.copy()
    x[:, 1] = 7.0  # constant: can never be split on
    tree = fit("regression", x=x, max_depth=6)
    out = np.array(TreeSHAP(tree, x, "regression").explain(x[:10]))
    assert np.all(out[:, :, 1] == 0.0)


def test_single_leaf_tree_explains_zeros():
    tree = fit("classification", y=np.ones(len(X)))
    assert tree.get_n_leaves() == 1
    out = TreeSHAP(tree, X, "classification").explain(X[:3])
    assert out == [[[0.0] * 5]] * 3


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


# ---- Inputs ------------------------------------------------------------------------------------


def test_empty_input_gives_empty_list():
    shap = TreeSHAP(fit("regression", max_depth=3), X, "regression")
    assert shap.explain(np.empty((0, 5))) == []
    assert shap.explain(np.empty((0, 0))) == []


def test_explainer_keeps_its_own_copies():
    tree = fit("regression", max_depth=4)
    background = X.copy()
    shap = TreeSHAP(tree, background, "regression")
    before = shap.explain(X[:10])
    tree.fit(X[:, ::-1].copy(), -Y_REG)
    background[:] = 0.0
    assert shap.explain(X[:10]) == before


def test_any_memory_layout():
    tree = fit("classification", max_depth=4)
    rows = rng.normal(size=(12, 5))
    expected = TreeSHAP(tree, X, "classification").explain(rows)
    wide = np.zeros((2 * len(X), 10))
    wide[::2, ::2] = X
    wide_rows = np.zeros((24, 10))
    wide_rows[::2, ::2] = rows
    for background in (np.asfortranarray(X), wide[::2, ::2]):
        shap = TreeSHAP(tree, background, "classification")
        for x in (rows, np.asfortranarray(rows), wide_rows[::2, ::2]):
            assert shap.explain(x) == expected
        assert shap.explain(rows[::-1]) == expected[::-1]


def test_arguments_are_checked():
    tree = fit("regression", max_depth=2)
    for bad in (RandomForestRegressor(), None, [1.0], "tree"):
        with pytest.raises(TypeError, match="tree"):
            TreeSHAP(bad, X, "regression")
    with pytest.raises(TypeError, match="x_train"):
        TreeSHAP(tree, X.tolist(), "regression")
    with pytest.raises(TypeError, match="model_type"):
        TreeSHAP(tree, X, None)
    with pytest.raises(TypeError):
        TreeSHAP()
    # No way to obtain an explainer that skipped construction.
    for half_built in (lambda: TreeSHAP.__new__(TreeSHAP), lambda: object.__new__(TreeSHAP)):
        with pytest.raises(TypeError):
            half_built()
    with pytest.raises(TypeError, match="'x'"):
        TreeSHAP(tree, X, "regression").explain(X.astype(np.float32))
    with pytest.raises(ValueError, match="^Tree must be fitted before creating TreeSHAP$"):
        TreeSHAP(DecisionTree(), X, "classification")
    assert TreeSHAP(tree=tree, x_train=X, model_type="regression").explain(x=X[:1])


def test_signatures():
    assert TreeSHAP.__text_signature__ == "(tree, x_train, model_type)"
    # The header is the whole docstring: nothing is left once the signature is taken out.
    assert TreeSHAP.explain.__text_signature__ == "($self, x)"
    assert TreeSHAP.explain.__doc__ is None
    assert [m for m in dir(TreeSHAP) if not m.startswith("_")] == ["explain"]
    assert TreeSHAP.__module__ == "builtins"


def test_short_rows_panic_and_wide_rows_pass():
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
    # An empty background reads nothing; attributions then have no room for feature 3.
    empty = TreeSHAP(tree, np.empty((0, 2)), "regression")
    with pytest.raises(PanicException):
        empty.explain(x)


def test_feature_count_bound():
    # Row i is the only one with a 1 in column i, so every split isolates one row on its own
    # column: 24 rows need 23 splits on 23 distinct columns.
    x = np.eye(24)
    tree = DecisionTree(task="regression")
    tree.fit(x, np.arange(24.0))
    shap = TreeSHAP(tree, x, "regression")
    with pytest.raises(ValueError, match="splits on 23 distinct features.*limited to 22"):
        shap.explain(x[:1])


def test_agrees_with_shap_on_the_single_split_example():
    shap_lib = pytest.importorskip("shap")
    tree = DecisionTree(task="regression", max_depth=1)
    tree.fit(SMALL_X, SMALL_Y)
    model = {
        "trees": [
            {
                "children_left": np.array([1, -1, -1]),
                "children_right": np.array([2, -1, -1]),
                "children_default": np.array([1, -1, -1]),
                "features": np.array([2, -2, -2]),
                "thresholds": np.array([0.6, 0.0, 0.0]),
                "values": np.array([[12.5], [10.0], [20.0]]),
                "node_sample_weight": np.array([4.0, 3.0, 1.0]),
            }
        ]
    }
    rows = np.array([[0.0, 0.0, 0.59], [0.0, 0.0, 0.61], [1.0, 2.0, 3.0]])
    theirs = shap_lib.TreeExplainer(model, feature_perturbation="tree_path_dependent").shap_values(rows)
    ours = np.array(TreeSHAP(tree, SMALL_X, "regression").explain(rows))[:, 0, :]
    np.testing.assert_allclose(ours, theirs, atol=1e-12)
