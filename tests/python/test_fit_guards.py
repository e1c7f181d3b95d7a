"""Requests refused before any work, leaving the estimator as it was."""

import numpy as np
import pytest

from canopy import (
    Canopy,
    CanopyClassifier,
    CanopyRegressor,
    DecisionTree,
    RandomForestClassifier,
    RandomForestRegressor,
)

rng = np.random.default_rng(3)
X = rng.normal(size=(50, 3))
Y = (X[:, 0] > 0).astype(np.float64)
BOOSTED = (CanopyRegressor, CanopyClassifier, Canopy)
SUPERVISED = (DecisionTree, RandomForestRegressor, RandomForestClassifier) + BOOSTED


def small(cls, **kw):
    if cls is DecisionTree:
        return cls(random_state=0)
    args = dict(n_estimators=2, rf_n_estimators=2) if cls in BOOSTED else dict(n_estimators=3)
    return cls(random_state=0, **{**args, **kw})


@pytest.mark.parametrize("cls", SUPERVISED, ids=lambda c: c.__name__)
def test_weights_whose_total_overflows_are_refused(cls):
    m = small(cls)
    m.fit(X, Y)
    before = m.predict(X)
    with pytest.raises(ValueError) as err:
        m.fit(X, Y, np.full(50, 1e307))  # each weight passes, their sum is infinite
    assert str(err.value) == (
        "sample_weight total is not finite (the weights sum to inf); scale the weights down"
    )
    assert m.predict(X) == before
    m.fit(X, Y, np.full(50, 1e305))
    assert not np.isnan(m.predict(X)).any()

