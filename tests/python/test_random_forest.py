import math
import os
import struct
import subprocess
import sys
import re
import textwrap

import numpy as np
import pytest

from canopy import PanicException, RandomForestClassifier, RandomForestRegressor


def make_data(n=300, m=6, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.3, size=n)
    labels = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)
    return x, y, labels


def bits(values):
    """The exact bit patterns of a list of floats (NaN-safe comparison)."""
    return struct.pack(f"{len(values)}d", *values)


# ---- Surfaces ------------------------------------------------------------------------------


def test_signatures_docs_and_fresh_state():
    assert RandomForestRegressor.__text_signature__ == (
        "(n_estimators=50, max_depth=None, max_features=None, bootstrap=True, "
        "random_state=None, min_samples_split=2, min_samples_leaf=1)"
    )
    assert RandomForestClassifier.__text_signature__ == (
        "(n_estimators=100, max_depth=None, max_features=None, bootstrap=True, "
        "random_state=None, min_samples_split=2, min_samples_leaf=1)"
    )
    for cls, methods in (
        (RandomForestRegressor, ["fit", "predict", "get_info"]),
        (RandomForestClassifier, ["fit", "predict", "predict_proba", "score", "get_info"]),
    ):
        assert cls.__module__ == "builtins"
        for name in methods:
            assert getattr(cls, name).__text_signature__ is not None
    assert RandomForestRegressor.fit.__text_signature__ == "($self, x, y, sample_weight=None)"
    assert RandomForestClassifier.score.__text_signature__ == "($self, x, y)"
    assert not hasattr(RandomForestRegressor, "score")

    r, c = RandomForestRegressor(), RandomForestClassifier()
    assert r.get_info() == {"n_estimators": 50, "is_fitted": 0}
    assert c.get_info() == {"n_estimators": 100, "n_classes": 0, "is_fitted": 0}
    assert type(r.get_info()["is_fitted"]) is int
    assert (r.is_fitted, c.is_fitted, c.classes_, c.n_classes) == (False, False, None, 0)
    with pytest.raises(AttributeError):
        r.n_estimators = 3


def test_fitted_properties_and_info():
    x, y, labels = make_data()
    r = RandomForestRegressor(n_estimators=7, random_state=0)
    r.fit(x, y)
    assert r.n_estimators == 7 and r.is_fitted
    assert r.get_info() == {"n_estimators": 7, "is_fitted": 1}
    c = RandomForestClassifier(5, random_state=0)
    c.fit(x, labels)
    assert c.get_info() == {"n_estimators": 5, "n_classes": 3, "is_fitted": 1}
    assert c.classes_ == [0, 1, 2] and c.n_classes == 3
    classes = c.classes_
    classes.append(9)  # a new list each time
    assert c.classes_ == [0, 1, 2]


def test_argument_errors_come_first():
    with pytest.raises(OverflowError):
        RandomForestRegressor(n_estimators=-1)
    with pytest.raises(TypeError, match="n_estimators"):
        RandomForestRegressor(n_estimators=2.0)
    with pytest.raises(TypeError, match="bootstrap"):
        RandomForestClassifier(bootstrap=1)
    with pytest.raises(TypeError, match="max_features"):
        RandomForestClassifier(max_features=0.5)
    r = RandomForestRegressor()
    # Argument conversion precedes the fitted check.
    with pytest.raises(TypeError, match="x"):
        r.predict([[1.0]])
    with pytest.raises(TypeError, match="x"):
        r.predict(np.zeros((2, 2), dtype=np.float32))
    with pytest.raises(TypeError, match="y"):
        RandomForestClassifier().fit(np.zeros((2, 2)), np.zeros((2, 1)))


# ---- Messages ------------------------------------------------------------------------------


def test_unfitted_messages():
    x = np.zeros((2, 2))
    with pytest.raises(ValueError, match="^RandomForestRegressor has not been fitted$"):
        RandomForestRegressor().predict(x)
    c = RandomForestClassifier()
    for call in (c.predict, c.predict_proba, lambda a: c.score(a, np.zeros(2))):
        with pytest.raises(ValueError, match="^RandomForestClassifier has not been fitted$"):
            call(x)


@pytest.mark.parametrize("cls", [RandomForestRegressor, RandomForestClassifier])
def test_validation_messages(cls):
    x = np.ones((5, 3))
    y = np.zeros(5)
    bad_x = x.copy()
    bad_x[3, 1] = np.nan
    bad_x[4, 0] = np.inf
    bad_y = y.copy()
    bad_y[2] = -np.inf
    m = cls(n_estimators=2)
    cases = [
        ((bad_x, bad_y), "X contains non-finite value at row 3, column 1 (NaN). "
                         "Impute or drop missing values before fitting."),
        ((x, bad_y), "y contains non-finite value at index 2 (-inf)."),
        ((x, y, np.array([1.0, -0.5])), "sample_weight length (2) does not match number of "
                                        "samples (5)"),
        ((x, y, np.array([1, 1, 0, -0.0, -0.5])), "sample_weight[4] = -0.5 is not a non-negative "
                                                  "finite number"),
        ((x, y, np.array([1, 1, 0, 1, -1e-300])), "sample_weight[4] = -0.000" + "0" * 296 + "1 is "
                                                  "not a non-negative finite number"),
        ((x, y[:4]), "y has 4 entries but x has 5 rows"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as info:
            m.fit(*args)
        assert str(info.value) == message
    assert not m.is_fitted


@pytest.mark.parametrize("cls", [RandomForestRegressor, RandomForestClassifier])
def test_failed_fit_keeps_previous_model(cls):
    x, y, labels = make_data()
    target = y if cls is RandomForestRegressor else labels
    m = cls(n_estimators=4, random_state=3)
    m.fit(x, target)
    before = m.predict(x)
    info = m.get_info()
    bad = x.copy()
    bad[0, 0] = np.nan
    with pytest.raises(ValueError):
        m.fit(bad, target)
    with pytest.raises(ValueError):
        m.fit(x[:, :2], target, sample_weight=np.ones(3))
    with pytest.raises(ValueError):
        m.fit(x, np.zeros(3))  # y shorter than x
    assert bits(m.predict(x)) == bits(before)
    assert m.get_info() == info
    if cls is RandomForestClassifier:
        assert m.classes_ == [0, 1, 2]


def test_short_prediction_row_is_an_internal_error():
    x, y, _ = make_data()
    m = RandomForestRegressor(n_estimators=3, random_state=0)
    assert m.fit(x, y) is None
    with pytest.raises(PanicException):
        m.predict(x[:, :1])


# ---- Results -------------------------------------------------------------------------------


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


def test_zero_trees_give_nan_and_a_documented_classifier_choice():
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


def test_probabilities_and_predictions_agree():
    x, _, labels = make_data(n=400)
    c = RandomForestClassifier(n_estimators=15, max_features="sqrt", random_state=5)
    c.fit(x, labels)
    proba = c.predict_proba(x)
    predicted = c.predict(x)
    assert type(proba) is list and type(predicted) is list
    for row, p in zip(proba, predicted):
        assert abs(sum(row) - 1.0) < 1e-12
        best = max(row)
        assert p == float(max(i for i, v in enumerate(row) if v == best))
    accuracy = c.score(x, labels)
    assert accuracy == sum(p == t for p, t in zip(predicted, labels)) / len(labels)
    assert accuracy > 0.9  # training rows are mostly in their trees' bags


def test_score_lengths():
    x, _, labels = make_data(n=50)
    c = RandomForestClassifier(n_estimators=3, random_state=0)
    c.fit(x, labels)
    predicted = c.predict(x[:10])
    longer = np.concatenate([np.array(predicted), [7.0] * 10])
    assert c.score(x[:10], longer) == 0.5  # matches counted over 10, divided by 20
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


def test_max_features_texts():
    x, y, _ = make_data(n=150, m=6)
    q = x[:20]

    def fit(**kw):
        m = RandomForestRegressor(n_estimators=6, random_state=11, **kw)
        m.fit(x, y)
        return bits(m.predict(q))

    everything = fit()
    # Texts that resolve to all features are exactly "no subsampling".
    for text in ("auto", "SQRT", "", "1", "1.0", "6", "7.5", "inf", " 0.5"):
        assert fit(max_features=text) == everything, text
    assert fit(max_features="sqrt") != everything
    assert fit(max_features="0.5") == fit(max_features="3") == fit(max_features="3.9")
    # "nan" resolves to 0 candidates: every tree is one leaf, so every row gets the same value.
    flat = RandomForestRegressor(n_estimators=4, max_features="nan", random_state=1)
    flat.fit(x, y)
    assert len(set(flat.predict(q))) == 1


def test_empty_inputs():
    empty = np.zeros((0, 3))
    r = RandomForestRegressor(n_estimators=2, random_state=0)
    r.fit(empty, np.zeros(0))
    assert r.predict(empty) == [] and r.predict(np.ones((2, 3))) == [0.0, 0.0]
    c = RandomForestClassifier(n_estimators=2, random_state=0)
    c.fit(empty, np.zeros(0))
    assert c.classes_ == [] and c.predict_proba(np.ones((1, 3))) == [[]]
    assert c.predict(np.ones((1, 3))) == [0.0]


# ---- Layouts and reproducibility -------------------------------------------------------------


@pytest.mark.parametrize("cls", [RandomForestRegressor, RandomForestClassifier])
def test_layouts_give_identical_models(cls):
    x, y, labels = make_data(n=120)
    target = y if cls is RandomForestRegressor else labels
    w = np.linspace(0.5, 2.0, 120)

    def run(xf, yf, wf, xp):
        m = cls(n_estimators=5, max_features="0.5", random_state=4)
        m.fit(xf, yf, wf)
        out = m.predict(xp)
        if cls is RandomForestClassifier:
            out = out + [v for row in m.predict_proba(xp) for v in row]
        return bits(out)

    base = run(x, target, w, x)
    wide = np.zeros((240, 12))
    wide[::2, ::2] = x
    ty = np.zeros(240)
    ty[::2] = target
    tw = np.zeros(240)
    tw[::2] = w
    assert run(np.asfortranarray(x), target, w, np.asfortranarray(x)) == base
    assert run(wide[::2, ::2], ty[::2], tw[::2], wide[::2, ::2]) == base
    # Negative strides, rows and columns.
    rows_reversed = x[::-1].copy()
    cols_reversed = x[:, ::-1].copy()
    assert run(rows_reversed[::-1], target[::-1].copy()[::-1], w, cols_reversed[:, ::-1]) == base


def test_same_seed_same_forest_different_seed_different_forest():
    x, y, labels = make_data()
    a = RandomForestRegressor(n_estimators=5, random_state=9)
    b = RandomForestRegressor(n_estimators=5, random_state=9)
    c = RandomForestRegressor(n_estimators=5, random_state=10)
    for m in (a, b, c):
        m.fit(x, y)
    assert bits(a.predict(x)) == bits(b.predict(x))
    assert bits(a.predict(x)) != bits(c.predict(x))
    # Refitting starts from a fresh master generator.
    a.fit(x, y)
    assert bits(a.predict(x)) == bits(b.predict(x))


REPRO_SCRIPT = textwrap.dedent(
    """
    import hashlib, struct, sys
    import numpy as np
    from canopy import RandomForestClassifier, RandomForestRegressor
    rng = np.random.default_rng(1)
    x = rng.normal(size=(1500, 8))
    y = x[:, 0] * 3 + np.sin(x[:, 1] * 2) + rng.normal(scale=0.4, size=1500)
    labels = (y > 0).astype(float) + (y > 2).astype(float)
    h = hashlib.sha256()
    for kw in ({}, {"max_features": "sqrt"}, {"bootstrap": False, "max_features": "0.5"}):
        r = RandomForestRegressor(n_estimators=24, random_state=5, **kw)
        r.fit(x, y)
        p = r.predict(x)
        h.update(struct.pack(f"{len(p)}d", *p))
        c = RandomForestClassifier(n_estimators=24, random_state=5, **kw)
        c.fit(x, labels)
        q = [v for row in c.predict_proba(x) for v in row]
        h.update(struct.pack(f"{len(q)}d", *q))
    # Enough rows for several prediction blocks, split differently for each thread count;
    # every row must come out as it does alone.
    big = np.tile(x, (23, 1))
    assert r.predict(big) == p * 23
    assert [v for row in c.predict_proba(big) for v in row] == q * 23
    print(h.hexdigest())
    """
)


def test_bit_identical_across_thread_counts():
    digests = set()
    for threads in ("1", "2", "4"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run(
            [sys.executable, "-c", REPRO_SCRIPT], env=env, capture_output=True, text=True,
            check=True,
        )
        digests.add(out.stdout.strip())
    assert len(digests) == 1
