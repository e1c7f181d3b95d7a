import numpy as np
import pytest
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from canopy import DecisionTree


def test_regression_has_no_probabilities():
    t = DecisionTree(task="regression")
    t.fit(np.zeros((2, 2)), np.array([1.0, 2.0]))
    assert t.classes_ is None
    with pytest.raises(ValueError, match="^predict_proba only available for classification$"):
        t.predict_proba(np.zeros((2, 2)))


def test_agrees_with_scikit_learn():
    # Same criterion and midpoints. Away from the leaves (and with continuous weights, so
    # that class counts do not tie) the trees are the same; at full depth, tiny nodes often
    # have several features giving the same partition, so only training predictions agree.
    rng = np.random.default_rng(7)
    x = rng.uniform(size=(400, 5))
    x_new = rng.uniform(size=(200, 5))
    w = rng.uniform(0.5, 2.0, size=400)
    y_reg = np.sin(6 * x[:, 0]) + x[:, 1] ** 2 + 0.1 * rng.normal(size=400)
    y_cls = ((x[:, 0] + x[:, 2] + 0.2 * rng.normal(size=400)) > 1.0).astype(np.float64)
    for depth, leaf, data in ((4, 1, x_new), (None, 1, x), (None, 3, x)):
        for weight in (None, w):
            ours = DecisionTree(task="regression", max_depth=depth, min_samples_leaf=leaf)
            ours.fit(x, y_reg, sample_weight=weight)
            theirs = DecisionTreeRegressor(max_depth=depth, min_samples_leaf=leaf)
            theirs.fit(x, y_reg, sample_weight=weight)
            np.testing.assert_allclose(ours.predict(data), theirs.predict(data), rtol=1e-12)
            assert ours.get_n_leaves() == theirs.get_n_leaves()
            assert ours.get_depth() == theirs.get_depth()
    # The criterion text is stored and ignored: the split rule is the Gini one.
    ours = DecisionTree(max_depth=4, criterion="entropy")
    ours.fit(x, y_cls, sample_weight=w)
    theirs = DecisionTreeClassifier(max_depth=4).fit(x, y_cls, sample_weight=w)
    np.testing.assert_allclose(ours.predict_proba(x_new), theirs.predict_proba(x_new), rtol=1e-12)


def test_class_rules():
    x = np.arange(6, dtype=np.float64).reshape(-1, 1)
    t = DecisionTree()
    t.fit(x, np.array([-1.0, -1.0, 1.0, 1.0, 1.0, -1.0]))
    assert t.classes_ == [0, 1]
    assert t.predict(x) == [0.0, 0.0, 1.0, 1.0, 1.0, 0.0]

    t.fit(x, np.array([1.0, 1.0, 1.0, 2.0, 2.0, 2.0]))
    assert t.classes_ == [1, 2]
    assert t.predict_proba(x) == [[1.0, 0.0]] * 3 + [[0.0, 0.0]] * 3

    # Truncation toward zero, and entries of y beyond the rows of x still count as classes.
    t.fit(x[:4], np.array([0.0, 1.9, 2.5, 0.2, 7.0]))
    assert t.classes_ == [0, 1, 2, 7]
    proba = t.predict_proba(x[:4])
    assert [round(sum(r), 12) for r in proba] == [1.0] * 4
    assert [r[3] for r in proba] == [0.0] * 4

    t.fit(x, np.full(6, 2.0))  # pure target: one leaf
    assert (t.get_depth(), t.get_n_leaves(), t.predict(x[:2])) == (0, 1, [2.0, 2.0])

    # Huge labels are class indices too.
    t.fit(x[:2], np.array([0.0, 1e18]))
    assert t.classes_ == [0, 10**18] and t.predict(x[:2]) == [0.0, 1e18]
