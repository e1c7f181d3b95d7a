import numpy as np
import pytest

from canopy import RandomForestUnsupervised


def blobs(n=60, p=4, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=4.0, size=(3, p))
    return centres[rng.integers(0, 3, size=n)] + rng.normal(size=(n, p))


@pytest.fixture(scope="module")
def fitted():
    x = blobs()
    model = RandomForestUnsupervised(n_estimators=40, random_state=7)
    model.fit(x)
    return model, x


def test_nan_is_rejected_infinities_pass_and_the_model_survives(fitted):
    model, x = fitted
    before = model.proximity_matrix()
    bad = x.copy()
    bad[5, 2] = np.nan
    with pytest.raises(ValueError) as err:
        model.fit(bad)
    assert str(err.value) == (
        "X contains NaN at row 5, column 2. Impute or drop missing values before fitting."
    )
    assert model.n_samples_ == len(x) and model.proximity_matrix() == before
    bad[5, 2] = -np.inf
    fresh = RandomForestUnsupervised(n_estimators=3)
    fresh.fit(bad)
    assert (fresh.n_features_, fresh.n_samples_) == (4, len(x))


# ---- proximities ------------------------------------------------------------------------------


def test_proximities_and_neighbour_counts(fitted):
    # The values themselves are checked against the pair-by-pair definition in C++.
    model, x = fitted
    p_all = np.array(model.proximity_matrix(use_oob=False))
    assert np.array_equal(p_all, p_all.T) and np.all(np.diag(p_all) == 1.0)
    # Without the out-of-bag rule the training rows are new rows like any other.
    assert model.predict_proximity(x) == model.proximity_matrix(use_oob=False)

    default = model.proximity_sparse()
    assert model.proximity_sparse(k=0) == default == model.proximity_sparse(k=1)
    assert all(len(row) <= 1 for row in default)
    assert model.proximity_sparse(k=len(x) - 1) == model.proximity_sparse(k=10**9)
    with_default = RandomForestUnsupervised(n_estimators=10, random_state=1, n_neighbors=3)
    with_default.fit(x)
    assert with_default.proximity_sparse() == with_default.proximity_sparse(3)
    one = RandomForestUnsupervised(n_estimators=5, random_state=1)
    one.fit(x[:1])
    assert one.proximity_sparse() == [[]]


def test_models_without_trees_or_rows():
    x = blobs(10, 2)
    empty_forest = RandomForestUnsupervised(n_estimators=0, random_state=0)
    empty_forest.fit(x)
    assert empty_forest.is_fitted_
    assert np.all(np.array(empty_forest.proximity_matrix()) == 0.0)
    assert np.all(np.isnan(empty_forest.predict_proximity(x[:2])))
    assert empty_forest.transform(3) == [[0.0] * 3] * 10
    assert empty_forest.outlier_scores() == [0.0] * 10
    imp = empty_forest.feature_importances()
    assert len(imp) == 2 and all(np.isnan(imp))

    no_rows = RandomForestUnsupervised(n_estimators=4, random_state=0)
    no_rows.fit(np.zeros((0, 3)))
    assert no_rows.n_samples_ == 0 and no_rows.n_features_ == 3
    assert no_rows.proximity_matrix() == [] and no_rows.transform() == []
    for call in (no_rows.outlier_scores, lambda: no_rows.predict_outlier_scores(x[:, :1])):
        with pytest.raises(ValueError, match="need at least one training row"):
            call()


# ---- outliers ---------------------------------------------------------------------------------


def test_outlier_scores_cap_and_sparse_source():
    x = blobs(60, 4)
    model = RandomForestUnsupervised(n_estimators=40, random_state=7)
    model.fit(x)
    dense = model.outlier_scores()
    assert len(dense) == len(x) and max(dense) <= 20.0
    assert model.outlier_scores(use_sparse=True) == dense  # nothing stored yet
    model.proximity_sparse(k=3)
    assert model.outlier_scores(use_sparse=True) != dense
    model.fit(x)  # a new fit discards the stored neighbour lists
    assert model.outlier_scores(use_sparse=True) == dense


def dependent(n, rng):
    z = rng.normal(size=n)
    return np.column_stack([z, z + 0.1 * rng.normal(size=n), rng.normal(size=n)])


# Rows that break the dependence between the first two columns.
OFF_STRUCTURE = np.array([[2.0, -2.0, 0.0], [-1.5, 1.5, 0.5], [1.0, -1.0, 0.0]])


def test_planted_outliers_score_high():
    rng = np.random.default_rng(5)
    x = dependent(150, rng)
    x[:3] = OFF_STRUCTURE
    model = RandomForestUnsupervised(n_estimators=60, random_state=2)
    model.fit(x)
    scores = np.array(model.outlier_scores())
    assert scores[:3].min() > np.percentile(scores[3:], 90)


def test_new_rows_are_scored_on_the_training_scale():
    rng = np.random.default_rng(1)
    model = RandomForestUnsupervised(n_estimators=80, random_state=1)
    model.fit(dependent(300, rng))
    ordinary = np.array(model.predict_outlier_scores(dependent(100, rng)))
    off = model.predict_outlier_scores(OFF_STRUCTURE)
    # Ordinary rows sit where the training rows sit, around 0 and well below the cap ...
    assert abs(np.median(ordinary)) < 1.5
    assert ordinary.max() < 15.0
    # ... while rows the forest has never seen anything like reach it.
    assert off == [20.0, 20.0, 20.0]


def test_new_row_scores_follow_a_refit_and_not_the_thread_count():
    from canopy import _core

    rng = np.random.default_rng(4)
    a, b, x_new = dependent(1500, rng), rng.normal(size=(1500, 3)), dependent(60, rng)
    model = RandomForestUnsupervised(n_estimators=30, random_state=3)
    model.fit(a)
    first = model.predict_outlier_scores(x_new)
    assert model.predict_outlier_scores(x_new[::-1].copy()) == first[::-1]
    model.fit(b)  # same shape, other structure: the training side must be rebuilt
    fresh = RandomForestUnsupervised(n_estimators=30, random_state=3)
    fresh.fit(b)
    assert model.predict_outlier_scores(x_new) == fresh.predict_outlier_scores(x_new) != first

    core = _core.RandomForestUnsupervised(n_estimators=30, random_state=3)
    core.fit(a)
    for n_jobs in (1, 2, 1):
        assert core.predict_outlier_scores(x_new, n_jobs=n_jobs).tolist() == first
        assert core.outlier_scores(n_jobs=n_jobs).tolist() == fresh_scores(a)


def fresh_scores(x):
    model = RandomForestUnsupervised(n_estimators=30, random_state=3)
    model.fit(x)
    return model.outlier_scores()


# ---- embedding and importances ----------------------------------------------------------------


def test_embedding(fitted):
    model, x = fitted
    emb = model.transform()
    assert len(emb) == len(x) and all(len(row) == 2 for row in emb)
    assert model.transform() == emb and model.transform(0) == [[] for _ in x]
    again = RandomForestUnsupervised(n_estimators=40, random_state=7)
    assert again.fit_transform(x) == emb
    assert again.fit_transform(x, n_components=3) == model.transform(3)


def test_importances_normalised_or_raw():
    rng = np.random.default_rng(3)
    z = rng.normal(size=(150, 1))
    x = np.hstack([z, z + 0.05 * rng.normal(size=(150, 1)), rng.normal(size=(150, 1))])
    model = RandomForestUnsupervised(n_estimators=40, random_state=1)
    model.fit(x)
    imp = model.feature_importances()
    assert model.feature_importances() == imp  # the shuffles are seeded, not drawn afresh
    assert all(v >= 0.0 for v in imp) and abs(sum(imp) - 1.0) < 1e-12
    # The two dependent columns carry the structure the forest detects.
    assert imp[0] + imp[1] > imp[2]

    stumps = RandomForestUnsupervised(n_estimators=10, max_depth=0, random_state=1)
    stumps.fit(x)
    assert stumps.feature_importances() == [0.0, 0.0, 0.0]  # raw values, nothing to share
