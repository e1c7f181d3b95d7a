"""Requests refused before any work, leaving the estimator as it was: weights whose total
overflows, and counts whose storage no machine has."""

import os
import re

import numpy as np
import pytest

from canopy import (
    Canopy,
    CanopyClassifier,
    CanopyRegressor,
    DecisionTree,
    RandomForestClassifier,
    RandomForestRegressor,
    RandomForestUnsupervised,
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


HUGE = 2**40
TREES = f"n_estimators={HUGE} trees on "
ROUNDS = "n_estimators={} rounds of rf_n_estimators={} trees"
HUGE_REQUESTS = [
    (RandomForestRegressor, dict(n_estimators=HUGE), TREES + "50 rows"),
    (RandomForestClassifier, dict(n_estimators=HUGE), TREES + "50 rows"),
    (RandomForestUnsupervised, dict(n_estimators=HUGE), TREES + "100 stacked rows"),
    (CanopyRegressor, dict(n_estimators=HUGE), ROUNDS.format(HUGE, 2) + " on 50 rows"),
    (CanopyClassifier, dict(n_estimators=HUGE), ROUNDS.format(HUGE, 2) + " on 50 rows"),
    (Canopy, dict(n_estimators=HUGE, rf_n_estimators=0), ROUNDS.format(HUGE, 0) + " on 50 rows"),
    (Canopy, dict(n_estimators=1, rf_n_estimators=HUGE), ROUNDS.format(1, HUGE) + " on 50 rows"),
    (CanopyClassifier, dict(n_estimators=HUGE // 4, async_mode=True),
     ROUNDS.format(HUGE // 4, 2) + " for each of 3 classes on 50 rows"),
]


def refused(request):
    return re.escape(request) + (
        r": at least \d+ bytes are needed, more than the \d+ bytes of memory available$"
    )


@pytest.mark.parametrize("cls, kw, request_text", HUGE_REQUESTS)
def test_counts_whose_storage_cannot_be_had_fail_at_once(cls, kw, request_text):
    m = small(cls, **kw)
    y = np.arange(50.0) % 3 if "classes" in request_text else Y
    with pytest.raises(MemoryError, match=refused(request_text)):
        m.fit(X) if cls is RandomForestUnsupervised else m.fit(X, y)
    assert not (m.is_fitted_ if cls is RandomForestUnsupervised else m.is_fitted)


def test_embedding_components_beyond_the_rows_are_zeros_and_huge_requests_fail_at_once():
    m = RandomForestUnsupervised(n_estimators=5, random_state=0)
    m.fit(X[:8])
    full = m.transform(8)
    wide = m.transform(11)
    assert [row[:8] for row in wide] == full and all(row[8:] == [0.0] * 3 for row in wide)
    proximities = m.proximity_matrix()
    with pytest.raises(MemoryError, match=refused(f"n_components={HUGE} components of 8 rows")):
        m.transform(HUGE)
    with pytest.raises(MemoryError, match=refused(f"n_components={HUGE} components of 50 rows")):
        m.fit_transform(X, HUGE)
    assert m.n_samples_ == 8 and m.proximity_matrix() == proximities


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizers reserve more address space than the limit")
def test_millions_of_tiny_trees_are_counted_at_what_they_take(run_python):
    # Under a 2 GiB address-space limit, three million one-node trees need more than the
    # limit (their blocks and slots, not just their objects): refused at once, where the
    # fit used to run until the allocator failed and the interpreter was aborted.
    out = run_python(
        "import resource\n"
        "resource.setrlimit(resource.RLIMIT_AS, (2**31, 2**31))\n"
        "import numpy as np\n"
        "from canopy import CanopyClassifier, RandomForestRegressor\n"
        "x = np.arange(20.0).reshape(5, 4); y = np.array([0.0, 1, 0, 1, 0])\n"
        "for m in (CanopyClassifier(n_estimators=2, rf_n_estimators=3_000_000, rf_max_depth=2),\n"
        "          RandomForestRegressor(n_estimators=4_000_000, max_depth=1)):\n"
        "    try:\n"
        "        m.fit(x, y)\n"
        "        print('fitted')\n"
        "    except MemoryError as e:\n"
        "        print(str(e).split(':')[0])\n"
    )
    assert out.splitlines() == [
        "n_estimators=2 rounds of rf_n_estimators=3000000 trees on 5 rows",
        "n_estimators=4000000 trees on 5 rows",
    ]
