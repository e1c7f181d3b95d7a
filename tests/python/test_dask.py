"""canopy.dask: forests grown across the worker processes of a local Dask cluster are the
forests of a local fit, and their predictions on Dask collections are the local ones."""

import os
import signal
import threading
import time

import numpy as np
import pytest

# Under the sanitizers every worker process would load the instrumented build and the run
# would take many minutes; the range and join pieces it relies on are covered there by the
# C++ and canopy._core tests.
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("cluster tests do not run under the sanitizers", allow_module_level=True)

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

from canopy import sklearn as local  # noqa: E402
from canopy import dask as cd  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:
        yield c


def make_data(n=600, m=6, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, m))
    y = X[:, 0] + np.sin(2.0 * X[:, 1]) + rng.normal(scale=0.3, size=n)
    return X, y, np.where(y > 0.5, "high", np.where(y < -0.5, "low", "mid"))


def state(est):
    return est._native.export_state()


def key_name(key):
    return key if isinstance(key, str) else key[0]


def grown_on(client, fit):
    """Runs fit() and returns the workers that completed its tree-growing tasks."""
    with distributed.get_task_stream(client) as stream:
        fit()
    return [t["worker"] for t in stream.data if key_name(t["key"]).startswith("grow_part")]


CASES = [
    ("RandomForestClassifier", "labels", dict(n_estimators=9, max_features="sqrt")),
    ("RandomForestRegressor", "y", dict(n_estimators=9, bootstrap=False, max_features=0.5)),
    ("UnsupervisedForest", None, dict(n_estimators=9, max_depth=6)),
]


@pytest.mark.parametrize("name,target,params", CASES)
def test_cluster_fit_is_the_local_fit(client, name, target, params):
    X, y, labels = make_data()
    args = (X,) if target is None else (X, {"y": y, "labels": labels}[target])
    here = getattr(local, name)(random_state=7, **params).fit(*args)
    there = getattr(cd, name)(random_state=7, **params)
    workers = grown_on(client, lambda: there.fit(*args))
    # Both workers grew a range of the trees, and the joined model is the local one.
    assert sorted(set(workers)) == sorted(client.nthreads())
    assert state(there) == state(here)
    X_new = make_data(200, seed=1)[0]
    chunked = da.from_array(X_new, chunks=(45, 4))  # rows and columns split
    methods = {
        "RandomForestClassifier": ["predict", "predict_proba"],
        "RandomForestRegressor": ["predict"],
        "UnsupervisedForest": ["predict", "score_samples", "transform"],
    }[name]
    for method in methods:
        expected = getattr(here, method)(X_new)
        lazy = getattr(there, method)(chunked)
        assert isinstance(lazy, da.Array)
        got = lazy.compute()
        assert got.dtype == expected.dtype and got.shape == expected.shape
        assert got.tobytes() == expected.tobytes(), method


def test_predictions_on_dask_dataframes(client):
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    X, y, labels = make_data()
    frame = pd.DataFrame(X, columns=[f"f{i}" for i in range(X.shape[1])])
    forest = cd.RandomForestClassifier(n_estimators=5, random_state=1).fit(frame, labels)
    parts = dd.from_pandas(frame.iloc[::-1], npartitions=3, sort=False)
    proba = forest.predict_proba(parts).compute()
    assert list(proba.columns) == list(forest.classes_)
    assert (proba.index == frame.index[::-1]).all()
    assert proba.to_numpy().tobytes() == forest.predict_proba(frame.iloc[::-1]).tobytes()
    assert (forest.predict(parts).compute().to_numpy() == forest.predict(frame.iloc[::-1])).all()


def test_bad_input_fails_on_the_client_before_any_tree(client):
    X, y, _ = make_data(100)
    X_nan = X.copy()
    X_nan[3, 2] = np.nan
    w = np.ones(len(y))
    w[5] = -1.0
    for args in [(X_nan, y), (X, y, w)]:
        with pytest.raises(ValueError) as here:
            local.RandomForestRegressor(random_state=0).fit(*args)
        there = cd.RandomForestRegressor(random_state=0)
        with distributed.get_task_stream(client) as stream, pytest.raises(ValueError) as remote:
            there.fit(*args)
        assert str(remote.value) == str(here.value)
        assert stream.data == [] and not hasattr(there, "_native")


def test_worker_killed_mid_fit_gives_the_same_forest(client):
    X, y, _ = make_data(40_000, 8, seed=3)
    params = dict(n_estimators=24, random_state=5)
    expected = state(local.RandomForestRegressor(**params).fit(X, y))
    pids = client.run(os.getpid)
    forest = cd.RandomForestRegressor(**params)
    done = []
    with distributed.get_task_stream(client) as stream:
        fit = threading.Thread(target=lambda: done.append(forest.fit(X, y)))
        fit.start()
        victim, in_flight = None, set()
        while not in_flight and fit.is_alive():
            busy = {w: keys for w, keys in client.processing().items() if keys}
            if busy:
                # Killed at once, while it holds ranges (one or both, growing or waiting their
                # turn): they must be grown again on the other worker.
                victim, keys = next(iter(busy.items()))
                in_flight = {key_name(k) for k in keys}
                os.kill(pids[victim], signal.SIGKILL)
            else:
                time.sleep(0.02)
        assert in_flight, "the fit ended before any worker held a range of trees"
        fit.join(timeout=300)
    assert done, "the fit did not finish"
    finished_elsewhere = {key_name(t["key"]) for t in stream.data if t["worker"] != victim}
    # Every range the killed worker held was grown again on the other worker.
    assert in_flight <= finished_elsewhere
    assert state(forest) == expected
    client.wait_for_workers(2, timeout=60)  # the nanny restarts the worker for later tests


def test_import_canopy_does_not_import_dask(run_python):
    out = run_python("import sys, canopy, canopy.sklearn; print(any(m.split('.')[0] in ('dask', 'distributed') for m in sys.modules))")
    assert out.strip() == "False"
