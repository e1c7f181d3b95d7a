"""Shapley attributions of whole models (canopy._core shap_values, canopy.sklearn), the
polynomial algorithm behind TreeSHAP beyond the enumeration limit, and agreement with the
shap package. The algorithm itself is checked against the definition in
tests/cpp/test_tree_shap.cpp."""

import numpy as np
import pytest

import canopy.sklearn as cs
from canopy import _core, _rs

rng = np.random.default_rng(3)
X = rng.normal(size=(400, 6))
Y = 2.0 * X[:, 0] + np.sin(3.0 * X[:, 1]) + X[:, 2] * X[:, 3] + rng.normal(scale=0.3, size=400)
LABELS3 = np.digitize(Y, np.quantile(Y, [1 / 3, 2 / 3]))
ROWS = rng.normal(size=(60, 6))
BOOST = dict(n_estimators=6, rf_n_estimators=4, random_state=0)


def softmax(z):
    e = np.exp(z - z.max(axis=1, keepdims=True))
    return e / e.sum(axis=1, keepdims=True)


# Every kind of model, with the output its attributions add up to (raw scores for boosting).
MODELS = {
    "tree-regressor": (cs.DecisionTreeRegressor(max_depth=6, random_state=0), Y, lambda m, x: m.predict(x)),
    "tree-classifier": (cs.DecisionTreeClassifier(max_depth=5, random_state=0), LABELS3, lambda m, x: m.predict_proba(x)),
    "forest-regressor": (cs.RandomForestRegressor(n_estimators=15, random_state=0), Y, lambda m, x: m.predict(x)),
    "forest-classifier": (cs.RandomForestClassifier(n_estimators=15, random_state=0), LABELS3, lambda m, x: m.predict_proba(x)),
    "boosted-regressor": (cs.CanopyRegressor(**BOOST), Y, lambda m, x: m.predict(x)),
    "boosted-binary": (cs.CanopyClassifier(**BOOST), Y > 0, lambda m, x: np.log(m.predict_proba(x)[:, 1] / m.predict_proba(x)[:, 0])),
    "boosted-3-classes": (cs.CanopyClassifier(**BOOST), LABELS3, None),  # softmax of the raw scores
}


@pytest.fixture(scope="module", params=list(MODELS))
def fitted(request):
    model, y, output = MODELS[request.param]
    return model.fit(X, y), output


def test_attributions_add_up_to_the_model_output(fitted):
    model, output = fitted
    for background in (None, X[:80]):
        phi, expected = cs.shap_values(model, ROWS, background=background)
        outputs = 1 if np.ndim(expected) == 0 else len(expected)
        assert phi.shape == ((60, 6) if outputs == 1 else (60, 6, outputs))
        total = phi.sum(axis=1) + expected
        if output is None:
            np.testing.assert_allclose(softmax(total), model.predict_proba(ROWS), rtol=0, atol=1e-12)
        else:
            np.testing.assert_allclose(total, output(model, ROWS), rtol=0, atol=1e-9)
        # Background shares weigh the branches: the empty coalition is the mean output over
        # the background rows (raw scores and probabilities are sums over trees).
        if background is not None and output is not None:
            np.testing.assert_allclose(expected, output(model, background).mean(axis=0), rtol=0, atol=1e-12)


def test_results_do_not_depend_on_the_worker_count():
    forest = _core.RandomForestClassifier(n_estimators=12, random_state=1)
    forest.fit(X, LABELS3.astype(float))
    boosted = _core.CanopyRegressor(n_estimators=5, rf_n_estimators=3, random_state=1)
    boosted.fit(X, Y)
    for model in (forest, boosted):
        one = model.shap_values(ROWS, n_jobs=1)
        two = model.shap_values(ROWS, n_jobs=2, background=X)
        assert np.array_equal(one[0], model.shap_values(ROWS, n_jobs=2)[0])
        assert np.array_equal(one[1], model.shap_values(ROWS, n_jobs=2)[1])
        assert np.array_equal(two[0], model.shap_values(ROWS, n_jobs=1, background=X)[0])


def test_decision_tree_matches_the_enumeration():
    # Against its own training rows, a decision tree's covers are the background counts, so
    # the whole-model attributions are TreeSHAP's enumerated ones up to rounding.
    for task, y in (("regression", Y), ("classification", LABELS3.astype(float))):
        tree = _core.DecisionTree(task=task, max_depth=7, random_state=0)
        tree.fit(X, y)
        enumerated = _core.TreeSHAP(tree, X, task).explain(ROWS).transpose(0, 2, 1)
        for background in (None, X):
            phi = tree.shap_values(ROWS, background=background)[0]
            np.testing.assert_allclose(phi, enumerated, rtol=0, atol=1e-12 * np.abs(enumerated).max())


def test_tree_shap_explains_trees_beyond_the_enumeration_limit():
    # A full-depth tree on 30 noisy columns splits on more than 22 distinct features; it used
    # to be refused and is now explained by the polynomial algorithm.
    x = rng.normal(size=(600, 30))
    y = x @ rng.normal(size=30) + rng.normal(size=600)
    tree = _rs.DecisionTree(task="regression", random_state=0)
    tree.fit(x, y)
    rows = x[:5] + 0.1
    phi = np.array(_rs.TreeSHAP(tree, x, "regression").explain(rows))[:, 0, :]
    assert np.count_nonzero(np.abs(phi).sum(axis=0)) > 22
    base = np.mean(tree.predict(x))
    np.testing.assert_allclose(phi.sum(axis=1), np.array(tree.predict(rows)) - base, rtol=0, atol=1e-9)
    core = _core.DecisionTree(task="regression", random_state=0)
    core.fit(x, y)
    np.testing.assert_allclose(phi, core.shap_values(rows)[0][:, :, 0], rtol=0, atol=1e-12 * np.abs(phi).max())


def test_refusals():
    forest = cs.RandomForestRegressor(n_estimators=3, random_state=0).fit(X, Y)
    with pytest.raises(ValueError, match="^RandomForestRegressor has not been fitted$"):
        _core.RandomForestRegressor().shap_values(ROWS)
    with pytest.raises(ValueError, match="^background has no rows$"):
        forest._native.shap_values(ROWS, background=X[:0])
    with pytest.raises(ValueError, match="^x has 2 columns but the model splits on feature"):
        forest._native.shap_values(ROWS[:, :2])
    with pytest.raises(ValueError, match="X has 5 features"):
        cs.shap_values(forest, ROWS[:, :5])
    with pytest.raises(TypeError, match="^shap_values explains CanopyClassifier, .*; got UnsupervisedForest$"):
        cs.shap_values(cs.UnsupervisedForest(n_estimators=3).fit(X), ROWS)
    with pytest.raises(ValueError, match='background must be "data" or "cover"'):
        cs.TreeExplainer(forest, background="rows").fit(X)


def test_explainer_of_a_forest():
    forest = cs.RandomForestClassifier(n_estimators=10, random_state=0).fit(X, LABELS3)
    by_cover = cs.TreeExplainer(forest, background="cover").fit(X)
    phi, expected = cs.shap_values(forest, ROWS)
    assert np.array_equal(by_cover.shap_values(ROWS), phi) and np.array_equal(by_cover.expected_value_, expected)
    by_data = cs.TreeExplainer(forest).fit(X[:100])
    assert np.array_equal(by_data.shap_values(ROWS), cs.shap_values(forest, ROWS, background=X[:100])[0])
    assert by_data.transform(ROWS).shape == (60, 18)


# ---- The shap package ---------------------------------------------------------------------------


def shap_model(native):
    """A canopy._core model in shap's custom tree format: covers as node sample weights, NaN
    to the right, as canopy's walk sends it."""
    start, trees = native.tree_arrays()
    return {
        "base_offset": start,
        "trees": [
            {
                "children_left": t["children_left"],
                "children_right": t["children_right"],
                "children_default": t["children_right"],
                "features": t["feature"],
                "thresholds": np.nan_to_num(t["threshold"]),
                "values": t["value"],
                "node_sample_weight": t["cover"],
            }
            for t in trees
        ],
    }


@pytest.mark.parametrize("name", ["forest-regressor", "forest-classifier", "boosted-3-classes"])
def test_agrees_with_the_shap_package(name):
    shap = pytest.importorskip("shap")
    model, y, _ = MODELS[name]
    native = model.fit(X, y)._native
    explainer = shap.TreeExplainer(shap_model(native), feature_perturbation="tree_path_dependent")
    theirs = np.asarray(explainer.shap_values(ROWS)).reshape(60, 6, -1)
    ours, expected = native.shap_values(ROWS)
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-9 * np.abs(ours).max())
    np.testing.assert_allclose(expected, np.ravel(explainer.expected_value), rtol=1e-9)
