"""canopy._core: the same estimators as canopy._rs, with arrays in and out and the
interpreter lock released during native work."""

import signal
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from canopy import _core, _rs


def make_data(n=300, m=6, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.3, size=n)
    labels = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)
    return x, y, labels


def same(core_result, rs_result):
    """Bit-for-bit equality of an array with a (nested) list of canopy._rs, NaN included."""
    expected = np.asarray(rs_result, dtype=float)
    assert core_result.dtype == np.float64
    assert core_result.shape == expected.shape
    assert core_result.tobytes() == expected.tobytes()


def fitted_pair(name, y, **kwargs):
    x = make_data()[0]
    core, rs = getattr(_core, name)(**kwargs), getattr(_rs, name)(**kwargs)
    core.fit(x, y)
    rs.fit(x, y)
    return x, core, rs


# ---- Arrays out equal the lists of canopy._rs ---------------------------------------------------


def test_supervised_results_match_rs():
    _, y, labels = make_data()
    binary = (labels > 0).astype(float)
    boost = dict(n_estimators=4, rf_n_estimators=5, random_state=3)
    cases = [
        ("DecisionTree", labels, dict(max_depth=5, random_state=1)),
        ("DecisionTree", y, dict(task="regression", random_state=1)),
        ("RandomForestRegressor", y, dict(n_estimators=12, random_state=1)),
        ("RandomForestClassifier", labels, dict(n_estimators=12, random_state=1)),
        ("CanopyRegressor", y, boost),
        ("CanopyClassifier", binary, boost),
        ("CanopyClassifier", labels, boost),
    ]
    for name, target, kwargs in cases:
        x, core, rs = fitted_pair(name, target, **kwargs)
        same(core.predict(x), rs.predict(x))
        if hasattr(rs, "predict_proba") and kwargs.get("task") != "regression":
            same(core.predict_proba(x), rs.predict_proba(x))
        if name == "CanopyRegressor" or (name == "CanopyClassifier" and target is binary):
            same(core.predict_ci(x, alpha=0.1), rs.predict_ci(x, alpha=0.1))
        if name.startswith("Canopy"):
            same(core.feature_importances(), rs.feature_importances())
            assert core.trees_used.dtype == np.uint64
            assert core.trees_used.tolist() == rs.trees_used
        if getattr(rs, "classes_", None) is not None:
            assert core.classes_.dtype == np.uint64
            assert core.classes_.tolist() == rs.classes_
        elif hasattr(rs, "classes_"):
            assert core.classes_ is None


def test_unsupervised_and_explainer_results_match_rs():
    x = make_data(n=90)[0]
    core = _core.RandomForestUnsupervised(n_estimators=25, random_state=4)
    rs = _rs.RandomForestUnsupervised(n_estimators=25, random_state=4)
    core.fit(x[:70])
    rs.fit(x[:70])
    for use_oob in (True, False):
        same(core.proximity_matrix(use_oob=use_oob), rs.proximity_matrix(use_oob))
    same(core.predict_proximity(x[70:]), rs.predict_proximity(x[70:]))
    same(core.predict_outlier_scores(x[70:]), rs.predict_outlier_scores(x[70:]))
    same(core.transform(n_components=3), rs.transform(3))
    same(core.feature_importances(), rs.feature_importances())
    indptr, indices, values = core.proximity_sparse(k=6)
    lists = rs.proximity_sparse(6)
    assert indptr.dtype == indices.dtype == np.uint64 and indptr.tolist()[-1] == len(values)
    for i, row in enumerate(lists):
        lo, hi = indptr[i], indptr[i + 1]
        assert list(zip(indices[lo:hi].tolist(), values[lo:hi].tolist())) == [tuple(p) for p in row]
    same(core.outlier_scores(use_sparse=True), rs.outlier_scores(True))

    _, y, labels = make_data()
    for task, target in (("classification", labels), ("regression", y)):
        _, tree, rs_tree = fitted_pair("DecisionTree", target, task=task, max_depth=4, random_state=5)
        core_shap = _core.TreeSHAP(tree, x[:40], task)
        values = core_shap.explain(x[:9])
        assert values.shape == (9, 3 if task == "classification" else 1, x.shape[1])
        same(values, _rs.TreeSHAP(rs_tree, x[:40], task).explain(x[:9]))


# ---- Inputs ------------------------------------------------------------------------------------


def test_dtypes_and_layouts_give_the_float64_result():
    x, _, labels = make_data()
    x = np.round(x * 8) / 8  # exact in float32 as well
    model = _core.RandomForestClassifier(n_estimators=8, random_state=2)
    model.fit(x, labels)
    expected = model.predict_proba(x)
    converted = _core.RandomForestClassifier(n_estimators=8, random_state=2)
    converted.fit(np.asfortranarray(x.astype(np.float32)), labels.astype(np.int64),
                  sample_weight=np.ones(2 * len(labels))[::2])
    np.testing.assert_array_equal(converted.predict_proba(x), expected)

    wide = np.zeros((x.shape[0] * 2, x.shape[1] * 3))
    wide[::2, ::3] = x
    for layout, rows in ((np.asfortranarray(x), slice(None)), (wide[::2, ::3], slice(None)),
                         (x[::-1], slice(None, None, -1)), (x.astype(np.float32), slice(None)),
                         (x.astype(">f8"), slice(None))):
        np.testing.assert_array_equal(model.predict_proba(layout), expected[rows])
    assert model.predict(np.arange(12, dtype=np.int32).reshape(2, 6)).shape == (2,)
    with pytest.raises(TypeError):
        model.predict(x.tolist())
    with pytest.raises(ValueError, match="n_jobs"):
        model.predict(x, n_jobs=0)


def test_rows_too_short_for_the_model_are_a_value_error():
    # canopy._rs stops such rows with PanicException; here they are refused as bad input,
    # while wider rows read only the columns the trees test.
    x, y, labels = make_data(n=200)
    short, wide = x[:, :3], np.hstack([x, np.full((len(x), 2), np.nan)])
    boost = dict(n_estimators=2, rf_n_estimators=4, random_state=3)
    cases = [
        ("DecisionTree", labels, dict(random_state=1), ["predict", "predict_proba"]),
        ("RandomForestRegressor", y, dict(n_estimators=6, random_state=1), ["predict"]),
        ("RandomForestClassifier", labels, dict(n_estimators=6, random_state=1),
         ["predict", "predict_proba", "score"]),
        ("CanopyRegressor", y, boost, ["predict", "predict_ci"]),
        ("CanopyClassifier", (labels > 0).astype(float), boost,
         ["predict", "predict_proba", "predict_ci"]),
    ]
    for name, target, kwargs, methods in cases:
        model = getattr(_core, name)(**kwargs)
        model.fit(x, target)
        for method in methods:
            call = getattr(model, method)
            extra = (target,) if method == "score" else ()
            message = "^x has 3 columns but the model splits on feature 5$"
            with pytest.raises(ValueError, match=message):
                call(short, *extra)
            np.testing.assert_array_equal(call(wide, *extra), call(x, *extra))

    forest = _core.RandomForestUnsupervised(n_estimators=10, random_state=2)
    forest.fit(x)
    for method in ("predict_proximity", "predict_outlier_scores"):
        call = getattr(forest, method)
        with pytest.raises(ValueError, match="^x_new has 3 columns"):
            call(short[:5])
        np.testing.assert_array_equal(call(wide[:5]), call(x[:5]))

    tree = _core.DecisionTree(task="regression", random_state=1)
    tree.fit(x, y)
    with pytest.raises(ValueError, match="^x_train has 3 columns"):
        _core.TreeSHAP(tree, short, "regression")
    with pytest.raises(ValueError, match="^x has 3 columns"):
        _core.TreeSHAP(tree, x, "regression").explain(short)


def test_input_arrays_cannot_be_resized_during_a_call():
    x, y, _ = make_data(n=2000)
    owner = np.array(x)
    view = owner[:, :]
    outcomes = []

    def try_resize(done, total):
        for array in (owner, view):
            try:
                array.resize((4, 4), refcheck=False)
                outcomes.append("resized")
            except ValueError:
                outcomes.append("refused")

    _core.RandomForestRegressor(n_estimators=100, random_state=0).fit(view, y, progress=try_resize)
    assert outcomes and set(outcomes) == {"refused"}
    owner.resize((4, 4), refcheck=False)  # free again after the call


# ---- Threads, progress, Ctrl-C, n_jobs ---------------------------------------------------------


def test_concurrent_predictions_equal_lone_ones():
    x, _, labels = make_data(n=4000, m=10)
    model = _core.RandomForestClassifier(n_estimators=30, random_state=5)
    model.fit(x, labels)
    proba, pred = model.predict_proba(x), model.predict(x)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda i: (model.predict_proba(x), model.predict(x)), range(12)))
    for p, c in results:
        np.testing.assert_array_equal(p, proba)
        np.testing.assert_array_equal(c, pred)


def test_fit_concurrent_with_predictions_never_mixes_models():
    x, y, _ = make_data(n=3000, m=8)
    targets = (y, -y)
    model = _core.RandomForestRegressor(n_estimators=20, random_state=6)
    refs = []
    for t in targets:
        model.fit(x, t)
        refs.append(model.predict(x).tobytes())
    stop = threading.Event()
    seen = []

    def predict_forever():
        while not stop.is_set():
            seen.append(model.predict(x).tobytes())

    readers = [threading.Thread(target=predict_forever) for _ in range(2)]
    for r in readers:
        r.start()
    for i in range(6):
        model.fit(x, targets[i % 2])
    stop.set()
    for r in readers:
        r.join()
    assert seen and all(s in refs for s in seen)


def test_other_threads_run_during_a_long_fit():
    x, y, _ = make_data(n=20000, m=20)
    count = [0]
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            count[0] += 1

    samples, reports = [], []

    def progress(done, total):
        samples.append(count[0])
        reports.append((done, total))

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        _core.RandomForestRegressor(n_estimators=20, random_state=1).fit(x, y, progress=progress)
    finally:
        stop.set()
        thread.join()
    # The counter moves between any two reports made while the fit runs (the last report
    # comes right after the end of the fit).
    during = samples[:-1]
    assert len(during) >= 3 and all(a < b for a, b in zip(during, during[1:]))
    assert reports[-1] == (20, 20) and all(t == 20 for _, t in reports)
    assert [d for d, _ in reports] == sorted(d for d, _ in reports)


@pytest.mark.parametrize("name", ["RandomForestRegressor", "CanopyRegressor"])
def test_ctrl_c_stops_a_long_fit_and_keeps_the_model(name):
    x, y, _ = make_data(n=20000, m=20)
    sizes = dict(n_estimators=400) if name == "RandomForestRegressor" else dict(n_estimators=100)
    model = getattr(_core, name)(random_state=2, **sizes)  # a fit of many seconds
    model.fit(x[:50], y[:50])
    before = model.predict(x[:500])
    reports = []

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            model.fit(x, y, progress=lambda d, t: reports.append((d, t)))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The fit did not run to its end: the model is still the previous one.
    np.testing.assert_array_equal(model.predict(x[:500]), before)
    assert all(done < total for done, total in reports)


def test_progress_errors_and_reentry_stop_the_fit():
    x, y, _ = make_data(n=5000, m=10)
    model = _core.RandomForestRegressor(n_estimators=10, random_state=3)
    model.fit(x, y)
    before = model.predict(x)

    def fail(done, total):
        raise LookupError("stop")

    def fail_on_last(done, total):  # a fit faster than the check's interval reports only this
        if done == total:
            raise LookupError("stop")

    def reenter(done, total):
        model.predict(x)

    slow = _core.RandomForestRegressor(n_estimators=10, random_state=3)
    cases = ((fail, LookupError), (fail_on_last, LookupError), (reenter, RuntimeError))
    for callback, error in cases:
        with pytest.raises(error):
            model.fit(x, -y, progress=callback)
        np.testing.assert_array_equal(model.predict(x), before)
    with pytest.raises(TypeError, match="progress"):
        slow.fit(x, y, progress=3)


def test_n_jobs_never_changes_results():
    x, y, labels = make_data(n=2500, m=8)
    runs = []
    for n_jobs in (None, 1, 2, -1):
        forest = _core.RandomForestClassifier(n_estimators=10, random_state=9, n_jobs=n_jobs)
        forest.fit(x, labels)
        boosted = _core.CanopyRegressor(n_estimators=3, rf_n_estimators=4, random_state=9)
        boosted.fit(x, y, n_jobs=n_jobs)
        unsup = _core.RandomForestUnsupervised(n_estimators=8, random_state=9)
        unsup.fit(x[:200], n_jobs=n_jobs)
        runs.append([forest.predict_proba(x), forest.predict_proba(x, n_jobs=1),
                     boosted.predict_ci(x, n_jobs=n_jobs), unsup.proximity_matrix(n_jobs=n_jobs)])
    for run in runs[1:]:
        for a, b in zip(run, runs[0]):
            np.testing.assert_array_equal(a, b)
    with pytest.raises(ValueError, match="n_jobs"):
        _core.CanopyClassifier(n_jobs=-2)


# ---- One forest grown in parts ------------------------------------------------------------------


@pytest.mark.parametrize("name", ["RandomForestRegressor", "RandomForestClassifier", "RandomForestUnsupervised"])
def test_parts_join_into_the_whole_fit(name):
    x, y, labels = make_data(200, 5, seed=4)
    args = {"RandomForestRegressor": (x, y), "RandomForestClassifier": (x, labels)}.get(name, (x,))
    cls = getattr(_core, name)
    whole = cls(n_estimators=7, random_state=9)
    whole.fit(*args)
    parts = []
    for tree_range in [(0, 3), (3, 3), (3, 7)]:
        part = cls(n_estimators=7, random_state=9)
        part.fit(*args, tree_range=tree_range)
        assert part.tree_range == tree_range
        parts.append(part)
    joined = cls.join(parts)
    assert joined.tree_range is None and whole.tree_range is None
    if name == "RandomForestUnsupervised":
        assert joined.proximity_matrix().tobytes() == whole.proximity_matrix().tobytes()
        assert joined.feature_importances().tobytes() == whole.feature_importances().tobytes()
    else:
        assert joined.predict(x).tobytes() == whole.predict(x).tobytes()
    # Parts of another fit, a gap, or a missing seed are refused with the reason.
    other = cls(n_estimators=7, random_state=9)
    other.fit(*((a[::-1].copy() for a in args)), tree_range=(3, 7))
    with pytest.raises(ValueError, match="part 1 was fitted on other data than part 0"):
        cls.join([parts[0], other])
    with pytest.raises(ValueError, match=r"part 1 holds trees \[0, 3\) where trees from 3 on"):
        cls.join([parts[0], parts[0]])
    with pytest.raises(ValueError, match="needs a fixed random_state"):
        cls(n_estimators=7).fit(*args, tree_range=(0, 1))
