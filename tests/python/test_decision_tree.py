import numpy as np
import pytest
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from canopy import DecisionTree, PanicException

NOT_FITTED = "DecisionTree has not been fitted"


def blobs(n=200, m=4, seed=0, classes=3):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = (np.digitize(x[:, 0] + 0.5 * x[:, 1], [-0.5, 0.5]) % classes).astype(np.float64)
    return x, y


def test_unfitted_state_and_check_order():
    t = DecisionTree()
    assert (t.get_depth(), t.get_n_leaves(), t.classes_, t.is_fitted) == (0, 0, None, False)
    x = np.zeros((2, 2))
    with pytest.raises(ValueError, match=f"^{NOT_FITTED}$"):
        t.predict_proba(x)
    reg = DecisionTree(task="regression")
    with pytest.raises(ValueError, match=f"^{NOT_FITTED}$"):  # the fitted check comes first
        reg.predict_proba(x)
    reg.fit(x, np.array([1.0, 2.0]))
    assert reg.classes_ is None
    with pytest.raises(ValueError, match="^predict_proba only available for classification$"):
        reg.predict_proba(x)


def test_criterion_is_ignored():
    x, y = blobs()
    a = DecisionTree(criterion="gini", random_state=3)
    b = DecisionTree(criterion="anything", random_state=3)
    a.fit(x, y)
    b.fit(x, y)
    assert a.predict_proba(x) == b.predict_proba(x)


def test_validation_messages():
    t = DecisionTree(task="regression")
    x = np.ones((5, 3))
    y = np.ones(5)
    bad_x = x.copy()
    bad_x[3, 1] = np.nan
    bad_x[4, 0] = np.inf
    bad_y = y.copy()
    bad_y[2] = -np.inf
    with pytest.raises(ValueError) as e:
        t.fit(bad_x, bad_y)
    assert str(e.value) == (
        "X contains non-finite value at row 3, column 1 (NaN). "
        "Impute or drop missing values before fitting."
    )
    with pytest.raises(ValueError, match=r"^y contains non-finite value at index 2 \(-inf\)\.$"):
        t.fit(x, bad_y)
    with pytest.raises(ValueError) as e:
        t.fit(x, y, np.array([1.0, -1.0, 1.0]))
    assert str(e.value) == "sample_weight length (3) does not match number of samples (5)"
    with pytest.raises(ValueError) as e:
        t.fit(x, y, np.array([1.0, 0.0, -0.0, 2.0, -0.5]))
    assert str(e.value) == "sample_weight[4] = -0.5 is not a non-negative finite number"
    with pytest.raises(ValueError, match="y"):
        t.fit(x, y[:4])
    assert not t.is_fitted
    with pytest.raises(TypeError):
        t.fit(x.astype(np.float32), y)


def test_failed_fit_keeps_previous_model():
    x, y = blobs()
    t = DecisionTree(random_state=0)
    t.fit(x, y)
    before = (t.predict(x), t.predict_proba(x), t.classes_, t.get_depth(), t.get_n_leaves())
    bad = x.copy()
    bad[0, 0] = np.nan
    with pytest.raises(ValueError):
        t.fit(bad, y + 10)
    with pytest.raises(ValueError):
        t.fit(x, y + 10, sample_weight=np.full(len(y), np.nan))
    with pytest.raises(TypeError):
        t.fit(x, list(y))
    assert t.is_fitted
    assert (t.predict(x), t.predict_proba(x), t.classes_, t.get_depth(), t.get_n_leaves()) == before


def test_layouts_read_correctly():
    x, y = blobs(n=300, m=5, seed=4)
    ref = DecisionTree(random_state=1)
    ref.fit(x, y)
    expected = ref.predict_proba(x)

    fortran = DecisionTree(random_state=1)
    fortran.fit(np.asfortranarray(x), y)
    assert fortran.predict_proba(np.asfortranarray(x)) == expected

    # Rows two apart in memory, a strided y, and a column-sliced x.
    wide = np.zeros((600, 10))
    wide[::2, ::2] = x
    y_strided = np.repeat(y, 2)[::2]
    assert not y_strided.flags.c_contiguous
    strided = DecisionTree(random_state=1)
    strided.fit(wide[::2, ::2], y_strided)
    assert strided.predict_proba(wide[::2, ::2]) == expected
    assert strided.predict(x[:, ::-1][:, ::-1]) == ref.predict(x)


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
    ours = DecisionTree(max_depth=4)
    ours.fit(x, y_cls, sample_weight=w)
    theirs = DecisionTreeClassifier(max_depth=4).fit(x, y_cls, sample_weight=w)
    np.testing.assert_allclose(ours.predict_proba(x_new), theirs.predict_proba(x_new), rtol=1e-12)


def test_reproducible_with_seed():
    x, y = blobs(n=400, m=6, seed=2)
    x = np.round(x, 1)  # coarse values: many gain ties between features
    fits = []
    for _ in range(2):
        t = DecisionTree(random_state=123)
        t.fit(x, y)
        fits.append((t.predict_proba(x), t.get_depth(), t.get_n_leaves()))
    assert fits[0] == fits[1]


def test_class_rules():
    x = np.arange(6, dtype=np.float64).reshape(-1, 1)
    t = DecisionTree()
    t.fit(x, np.array([-1.0, -1.0, 1.0, 1.0, 1.0, -1.0]))
    assert t.classes_ == [0, 1]
    pred = t.predict(x)
    assert type(pred) is list and pred == [0.0, 0.0, 1.0, 1.0, 1.0, 0.0]
    assert all(type(v) is float for v in pred)

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


def test_prediction_rows():
    # Only column 2 varies, so every split tests it.
    x = np.zeros((50, 3))
    x[:, 2] = np.arange(50)
    y = (np.arange(50) >= 20).astype(np.float64)
    t = DecisionTree(random_state=0)
    t.fit(x, y)
    assert t.predict(np.zeros((0, 3))) == []
    assert t.predict_proba(np.zeros((0, 3))) == []
    wider = np.hstack([x, np.full((50, 2), 1e9)])
    assert t.predict(wider) == t.predict(x) == list(y)
    for call in (t.predict, t.predict_proba):
        with pytest.raises(PanicException):
            call(x[:, :2])


def test_overflowing_midpoint_stops_growth():
    # The midpoint of these values overflows to inf, so a split would send both rows left;
    # without a minimum leaf size that must end the growth, not repeat it.
    t = DecisionTree(task="regression", min_samples_leaf=0)
    t.fit(np.array([[1e308], [1.5e308]]), np.array([0.0, 1.0]))
    assert (t.get_depth(), t.get_n_leaves()) == (0, 1)
    assert t.predict(np.array([[1e308], [0.0]])) == [0.5, 0.5]


def test_deep_chain():
    # Alternating classes along one feature: each split peels off one row.
    n = 20_000
    x = np.arange(n, dtype=np.float64).reshape(-1, 1)
    y = (np.arange(n) % 2).astype(np.float64)
    t = DecisionTree(random_state=0)
    t.fit(x, y)
    assert t.get_depth() == n - 1
    assert t.get_n_leaves() == n
    probe = np.array([0, 1, n // 2, n - 2, n - 1])
    assert t.predict(x[probe]) == list(y[probe])
