"""Ctrl-C during long calls: the call stops, the estimator keeps its previous model, and the
worker pool serves the next call with the same results as before. Each interrupted call
would run for seconds."""

import signal
from contextlib import contextmanager

import numpy as np
import pytest

import canopy


def data(n, m=8, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = x[:, 0] + np.sin(3 * x[:, 1]) + 0.3 * rng.normal(size=n)
    return x, y, (y > np.median(y)).astype(float), np.digitize(y, [-0.5, 0.5]).astype(float)


BIG = data(300_000)
SMALL = data(300, seed=1)


@contextmanager
def interrupted_on_third_tick():
    """A timer signal every 30 ms whose handler raises KeyboardInterrupt on its third tick.
    A call that runs the handlers while it works sees the ticks one by one and is stopped by
    the third. A call that does not sees its ticks merged into one when it returns, and then
    ends normally: pytest.raises fails. The earlier ticks also check that a handler that
    returns lets the call go on."""
    ticks = []

    def tick(signum, frame):
        ticks.append(signum)
        if len(ticks) == 3:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, tick)
    signal.setitimer(signal.ITIMER_REAL, 0.03, 0.03)
    try:
        with pytest.raises(KeyboardInterrupt):
            yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


BOOST = dict(n_estimators=20, rf_n_estimators=5, rf_max_depth=8, random_state=0)

# name: (make the estimator, fit it on (x, y, binary, three classes) rows, what it predicts)
FITS = {
    "DecisionTree": (
        lambda: canopy.DecisionTree(task="regression", random_state=0),
        lambda m, d: m.fit(d[0], d[1]),
        lambda m: m.predict(SMALL[0]),
    ),
    "RandomForestRegressor": (
        lambda: canopy.RandomForestRegressor(n_estimators=10, random_state=0),
        lambda m, d: m.fit(d[0], d[1]),
        lambda m: m.predict(SMALL[0]),
    ),
    "RandomForestClassifier": (
        lambda: canopy.RandomForestClassifier(n_estimators=10, random_state=0),
        lambda m, d: m.fit(d[0], d[3]),
        lambda m: m.predict_proba(SMALL[0]),
    ),
    "CanopyRegressor": (
        lambda: canopy.CanopyRegressor(**BOOST),
        lambda m, d: m.fit(d[0][:50_000], d[1][:50_000]),
        lambda m: m.predict_ci(SMALL[0]),
    ),
    "CanopyRegressor-async": (
        lambda: canopy.CanopyRegressor(**BOOST, async_mode=True, tol=1e-12),
        lambda m, d: m.fit(d[0][:50_000], d[1][:50_000]),
        lambda m: m.trees_used,
    ),
    "CanopyClassifier": (
        lambda: canopy.CanopyClassifier(**BOOST),
        lambda m, d: m.fit(d[0][:50_000], d[2][:50_000]),
        lambda m: m.predict_ci(SMALL[0]),
    ),
    "Canopy-3-classes-async": (
        lambda: canopy.Canopy(**BOOST, task="classification", async_mode=True, tol=1e-12),
        lambda m, d: m.fit(d[0][:50_000], d[3][:50_000]),
        lambda m: m.predict_proba(SMALL[0]),
    ),
    "RandomForestUnsupervised": (
        lambda: canopy.RandomForestUnsupervised(n_estimators=100, random_state=0),
        lambda m, d: m.fit(d[0][:20_000]),
        lambda m: m.outlier_scores(False),
    ),
    "RandomForestUnsupervised-fit_transform": (
        lambda: canopy.RandomForestUnsupervised(n_estimators=100, random_state=0),
        lambda m, d: m.fit_transform(d[0][:20_000], 2),
        lambda m: m.transform(2),
    ),
}


@pytest.mark.parametrize("name", FITS)
def test_interrupted_fit_keeps_the_previous_model(name):
    make, fit, predict = FITS[name]
    model = make()
    fit(model, SMALL)
    before = predict(model)
    with interrupted_on_third_tick():
        fit(model, BIG)
    assert predict(model) == before
    assert pooled_fit() == POOLED


def pooled_fit():
    forest = canopy.RandomForestClassifier(n_estimators=8, random_state=0)
    forest.fit(SMALL[0], SMALL[3])
    return forest.predict_proba(SMALL[0])


POOLED = pooled_fit()  # what the pool gives before any interrupt


def test_interrupted_queries_leave_the_model_and_its_cached_neighbours():
    x, y = BIG[0], BIG[1]
    forest = canopy.RandomForestRegressor(n_estimators=20, random_state=0)
    forest.fit(x[:10_000], y[:10_000])
    predicted = forest.predict(SMALL[0])
    many_rows = np.vstack([x, x])
    with interrupted_on_third_tick():
        forest.predict(many_rows)
    assert forest.predict(SMALL[0]) == predicted

    # Shallow trees make large leaves, so each query below works for about a second, well
    # past the third tick. A query that ends before its third tick is interrupted only on
    # return, after it has stored its result, as any Python call would be.
    unsupervised = canopy.RandomForestUnsupervised(n_estimators=100, max_depth=5, random_state=0)
    unsupervised.fit(x[:3000])
    neighbours = unsupervised.proximity_sparse(3)
    scores = unsupervised.outlier_scores(True)  # from the cached neighbour lists
    for call in (
        lambda: unsupervised.proximity_matrix(True),
        lambda: unsupervised.proximity_sparse(500),
        lambda: unsupervised.transform(10),
    ):
        with interrupted_on_third_tick():
            call()
    assert unsupervised.outlier_scores(True) == scores
    assert unsupervised.proximity_sparse(3) == neighbours

    # Seconds per row: 2^20 coalitions, each a walk of a deep tree.
    xw, yw = data(20_000, 20, seed=2)[:2]
    tree = canopy.DecisionTree(task="regression", max_depth=10, random_state=0)
    tree.fit(xw, yw)
    with interrupted_on_third_tick():
        canopy.TreeSHAP(tree, xw[:200], "regression").explain(xw[:2])
    assert pooled_fit() == POOLED


def test_failed_embedding_keeps_the_previous_model():
    # fit_transform fits aside: a failure (or an interrupt) while embedding keeps the old model.
    model = canopy.RandomForestUnsupervised(n_estimators=5, random_state=0)
    model.fit(SMALL[0])
    scores = model.outlier_scores(False)
    with pytest.raises((canopy.PanicException, ValueError, MemoryError)):
        model.fit_transform(BIG[0][:50], 2**62)
    assert model.outlier_scores(False) == scores
