import math
import re
import struct

import numpy as np
import pytest

from canopy import RandomForestClassifier, RandomForestRegressor


def make_data(n=300, m=6, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.3, size=n)
    labels = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)
    return x, y, labels


def bits(values):
    """The exact bit patterns of a list of floats (NaN-safe comparison)."""
    return struct.pack(f"{len(values)}d", *values)


def test_fitted_properties_and_info():
    x, y, labels = make_data()
    r = RandomForestRegressor(n_estimators=7, random_state=0)
    assert r.fit(x, y) is None and r.get_info() == {"n_estimators": 7, "is_fitted": 1}
    c = RandomForestClassifier(5, random_state=0)
    c.fit(x, labels)
    assert c.get_info() == {"n_estimators": 5, "n_classes": 3, "is_fitted": 1}
    c.classes_.append(9)  # a new list each time
    assert c.classes_ == [0, 1, 2] and c.n_classes == 3


def test_thresholds_are_bin_edges_and_equal_values_go_left():
    # Values 0..3 give edges 1, 2, 3: the split between {0, 1} and {2, 3} sits at 1.0, not
    # at a midpoint, so 1.5 already goes right.
    x = np.array([[0.0], [1.0], [2.0], [3.0]])
    y = np.array([0.0, 0.0, 1.0, 1.0])
    m = RandomForestRegressor(n_estimators=1, bootstrap=False, random_state=0)
    m.fit(x, y)
    assert m.predict(np.array([[0.5], [1.0], [1.5], [np.nan], [-np.inf]])) == [
        0.0, 0.0, 1.0, 1.0, 0.0,
    ]


def test_zero_trees_and_empty_inputs():
    x, y, labels = make_data(n=40)
    r = RandomForestRegressor(n_estimators=0)
    r.fit(x, y)
    assert all(math.isnan(v) for v in r.predict(x[:5]))
    c = RandomForestClassifier(n_estimators=0)
    c.fit(x, labels)
    assert c.n_classes == 3 and c.is_fitted
    proba = c.predict_proba(x[:4])
    assert all(len(row) == 3 and all(math.isnan(p) for p in row) for row in proba)
    # Rows holding NaN (only a forest without trees has them) are predicted as NaN, and a
    # NaN prediction matches no label.
    assert all(math.isnan(v) for v in c.predict(x[:4]))
    assert c.score(x[:4], np.zeros(4)) == 0.0

    empty = np.zeros((0, 3))
    r = RandomForestRegressor(n_estimators=2, random_state=0)
    r.fit(empty, np.zeros(0))
    assert r.predict(empty) == [] and r.predict(np.ones((2, 3))) == [0.0, 0.0]
    c = RandomForestClassifier(n_estimators=2, random_state=0)
    c.fit(empty, np.zeros(0))
    assert c.classes_ == [] and c.predict_proba(np.ones((1, 3))) == [[]]
    assert c.predict(np.ones((1, 3))) == [0.0]


def test_classifier_tie_rule_single_class_and_label_quirks():
    # Two identical rows with different labels end in one leaf: [0.5, 0.5] -> 1.0.
    x = np.zeros((2, 1))
    c = RandomForestClassifier(n_estimators=3, bootstrap=False, random_state=0)
    c.fit(x, np.array([0.0, 1.0]))
    assert c.predict_proba(x) == [[0.5, 0.5], [0.5, 0.5]]
    assert c.predict(x) == [1.0, 1.0]

    # Labels must be exactly the class indices 0 .. k-1; a failed fit keeps the model.
    x, _, labels = make_data(n=60)
    c.fit(x, labels)
    before = c.predict_proba(x)
    expected = ("y must hold the class labels 0, 1, ..., k-1, each at least once; after "
                "truncation toward zero it holds ")
    for bad, found in [(labels + 1.0, "3 classes: [1, 2, 3]"), (np.full(60, 4.0), "1 class: [4]"),
                       (labels * 2.0, "3 classes: [0, 2, 4]")]:
        with pytest.raises(ValueError, match="^" + re.escape(expected + found) + "$"):
            c.fit(x, bad)
    assert c.classes_ == [0, 1, 2] and c.predict_proba(x) == before

    # Negative and fractional labels truncate toward zero.
    trunc = RandomForestClassifier(n_estimators=2, random_state=0)
    trunc.fit(x[:3], np.array([-1.0, 0.4, 1.0]))
    assert trunc.classes_ == [0, 1]


def test_probabilities_predictions_and_score_agree():
    x, _, labels = make_data(n=400)
    c = RandomForestClassifier(n_estimators=15, max_features="sqrt", random_state=5)
    c.fit(x, labels)
    proba = c.predict_proba(x)
    predicted = c.predict(x)
    for row, p in zip(proba, predicted):
        assert abs(sum(row) - 1.0) < 1e-12
        best = max(row)
        assert p == float(max(i for i, v in enumerate(row) if v == best))
    accuracy = c.score(x, labels)
    assert accuracy == sum(p == t for p, t in zip(predicted, labels)) / len(labels)
    assert accuracy > 0.9  # training rows are mostly in their trees' bags
    # Matches are counted over the rows given, divided by the length of y.
    longer = np.concatenate([np.array(predicted[:10]), [7.0] * 10])
    assert c.score(x[:10], longer) == 0.5
    assert c.score(x[:10], longer[:4]) == 1.0
    assert math.isnan(c.score(x[:10], np.zeros(0)))


def test_regression_means_and_weights():
    x, y, _ = make_data(n=200)
    m = RandomForestRegressor(n_estimators=10, random_state=2)
    m.fit(x, y)
    p = np.array(m.predict(x))
    assert p.min() >= y.min() and p.max() <= y.max()
    assert np.corrcoef(p, y)[0, 1] > 0.9

    # Weights: all zero -> every leaf has value 0.0.
    m.fit(x, y, sample_weight=np.zeros(200))
    assert m.predict(x[:5]) == [0.0] * 5
    # Only two rows carry weight: a split needs weight on both sides, so the tree separates
    # those two and nothing else, and every row gets one of their targets.
    w = np.zeros(200)
    w[:2] = 1.0
    m = RandomForestRegressor(n_estimators=1, bootstrap=False, random_state=0)
    m.fit(x, y, sample_weight=w)
    assert set(m.predict(x)) == {y[0], y[1]}


def test_max_features_texts_and_seeds():
    x, y, _ = make_data(n=150, m=6)
    q = x[:20]

    def fit(seed=11, **kw):
        m = RandomForestRegressor(n_estimators=6, random_state=seed, **kw)
        m.fit(x, y)
        return bits(m.predict(q))

    everything = fit()
    assert fit() == everything != fit(seed=12)
    # Texts that resolve to all features are exactly "no subsampling" (no draws either).
    assert fit(max_features="auto") == fit(max_features="inf") == everything
    assert fit(max_features="sqrt") != everything
    assert fit(max_features="0.5") == fit(max_features="3") == fit(max_features="3.9")
    # "nan" resolves to 0 candidates: every tree is one leaf, so every row gets the same value.
    flat = RandomForestRegressor(n_estimators=4, max_features="nan", random_state=1)
    flat.fit(x, y)
    assert len(set(flat.predict(q))) == 1
