"""canopy.sklearn: scikit-learn's estimator checks, labels and inputs of every kind, the
ecosystem's tools, pickling, n_jobs and verbose, and the same results as canopy._rs."""

import copy
import doctest
import os
import pickle
import subprocess
import sys
from pathlib import Path

import joblib
import numpy as np
import pandas as pd
import polars as pl
import pytest
from sklearn.base import clone
from sklearn.calibration import CalibratedClassifierCV
from sklearn.datasets import load_breast_cancer, load_diabetes, load_iris, load_wine
from sklearn.inspection import permutation_importance
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import canopy.sklearn as cs
from canopy import _core, _rs
from canopy.sklearn import _base

SMALL = dict(random_state=0)
BOOST = dict(n_estimators=5, rf_n_estimators=5, random_state=0)
ESTIMATORS = [
    cs.DecisionTreeClassifier(**SMALL),
    cs.DecisionTreeRegressor(**SMALL),
    cs.RandomForestClassifier(n_estimators=10, **SMALL),
    cs.RandomForestRegressor(n_estimators=10, **SMALL),
    cs.CanopyClassifier(**BOOST),
    cs.CanopyRegressor(**BOOST),
    cs.UnsupervisedForest(n_estimators=20, **SMALL),
    cs.TreeExplainer(cs.DecisionTreeRegressor(**SMALL)),
    cs.TreeExplainer(cs.DecisionTreeClassifier(**SMALL)),
]
CLASSIFIERS = [e for e in ESTIMATORS if hasattr(e, "predict_proba")]
REGRESSORS = [e for e in ESTIMATORS if type(e).__name__.endswith("Regressor")]

# The checks that cannot pass, with the reason.
_WEIGHTS_ARE_NOT_ROWS = (
    "each tree draws a bootstrap sample of rows (and the boosted fits hold out rows for "
    "calibration): a weight of 2 is not the same as a repeated row"
)
_TIES = (
    "the tree draws a feature order at every node it tries to split; a repeated row makes a "
    "node that one weighted row leaves as a leaf, which shifts the draws of later nodes and "
    "so the choice between features that tie"
)
EXPECTED_FAILED_CHECKS = {
    "DecisionTreeClassifier": {"check_sample_weight_equivalence_on_dense_data": _TIES},
    "DecisionTreeRegressor": {"check_sample_weight_equivalence_on_dense_data": _TIES},
    "RandomForestClassifier": {"check_sample_weight_equivalence_on_dense_data": _WEIGHTS_ARE_NOT_ROWS},
    "RandomForestRegressor": {"check_sample_weight_equivalence_on_dense_data": _WEIGHTS_ARE_NOT_ROWS},
    "CanopyClassifier": {"check_sample_weight_equivalence_on_dense_data": _WEIGHTS_ARE_NOT_ROWS},
    "CanopyRegressor": {"check_sample_weight_equivalence_on_dense_data": _WEIGHTS_ARE_NOT_ROWS},
}

def expected_failures(estimator):
    return EXPECTED_FAILED_CHECKS.get(type(estimator).__name__, {})


@parametrize_with_checks(ESTIMATORS, expected_failed_checks=expected_failures, xfail_strict=True)
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


# ---- Labels and inputs ----------------------------------------------------------------------


@pytest.mark.parametrize("est", CLASSIFIERS, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize(
    "labels", [np.array(["setosa", "versicolor", "virginica"]), np.array([3, 1, 2]), np.array([True, False])], ids=["str", "int", "bool"]
)
def test_labels_of_any_kind_come_back(est, labels):
    X, codes = load_iris(return_X_y=True)
    codes = codes % len(labels)
    y = labels[codes]
    fitted = clone(est).fit(X, y)
    reference = clone(est).fit(X, np.searchsorted(np.unique(labels), y))
    assert fitted.classes_.tolist() == sorted(labels.tolist())
    proba = fitted.predict_proba(X)
    # Columns follow classes_: the same bits as a fit on the class indices.
    assert proba.tobytes() == reference.predict_proba(X).tobytes()
    assert fitted.predict(X).tolist() == fitted.classes_[proba.argmax(axis=1)].tolist()
    assert fitted.predict(X).dtype == y.dtype


@pytest.mark.filterwarnings("ignore:X does not have valid feature names")
@pytest.mark.parametrize("est", ESTIMATORS[:7], ids=lambda e: type(e).__name__)
def test_any_array_like_gives_the_same_model(est):
    X, y = load_wine(return_X_y=True)
    X = np.round(X, 1)  # exactly representable in float32 and as integers * 10
    method = next(m for m in ("predict_proba", "score_samples", "predict") if hasattr(est, m))
    expected = getattr(clone(est).fit(X, y), method)(X)
    names = [f"f{i}" for i in range(X.shape[1])]
    inputs = {
        "list": X.tolist(),
        "fortran": np.asfortranarray(X),
        "strided": np.repeat(X, 2, axis=1)[:, ::2],
        "float32": X.astype(np.float32),
        "pandas": pd.DataFrame(X, columns=names),
        "polars": pl.DataFrame(X, schema=names),
    }
    for kind, data in inputs.items():
        model = clone(est).fit(data, y)
        assert getattr(model, method)(data).tobytes() == expected.tobytes(), kind
    assert model.feature_names_in_.tolist() == names
    scaled = clone(est).fit((X * 10).astype(np.int64), y)
    assert getattr(scaled, method)((X * 10).astype(np.int32)).shape == expected.shape
    with pytest.raises(ValueError, match="X has 12 features, but .* is expecting 13 features"):
        getattr(model, method)(X[:, :12])


def test_same_bits_as_canopy_rs():
    X, y = load_breast_cancer(return_X_y=True)
    forest = dict(n_estimators=10, max_features="sqrt", random_state=1)
    boost = dict(n_estimators=4, rf_n_estimators=5, random_state=1)
    pairs = [
        (cs.DecisionTreeClassifier(max_depth=4, random_state=1), _rs.DecisionTree(max_depth=4, random_state=1)),
        (cs.RandomForestClassifier(**forest), _rs.RandomForestClassifier(**forest)),
        (cs.RandomForestRegressor(**forest), _rs.RandomForestRegressor(**forest)),
        (cs.CanopyClassifier(**boost), _rs.CanopyClassifier(**boost)),
        (cs.CanopyRegressor(**boost), _rs.CanopyRegressor(**boost)),
    ]
    for ours, theirs in pairs:
        ours.fit(X, y)
        theirs.fit(X, y.astype(np.float64))
        method = "predict_proba" if hasattr(ours, "predict_proba") else "predict"
        assert getattr(ours, method)(X).tobytes() == np.asarray(getattr(theirs, method)(X)).tobytes()
        if hasattr(ours, "predict_interval"):
            assert ours.predict_interval(X, 0.1).tobytes() == np.asarray(theirs.predict_ci(X, 0.1)).tobytes()
        if isinstance(ours, (cs.CanopyClassifier, cs.CanopyRegressor)):
            assert ours.feature_importances_.tolist() == theirs.feature_importances()


# ---- Parameters, n_jobs, verbose, failed fits ---------------------------------------------------


@pytest.mark.parametrize(
    "est, message",
    [
        (cs.RandomForestClassifier(n_estimators=0), "n_estimators must be an integer >= 1, got 0"),
        (cs.RandomForestRegressor(max_features="half"), "max_features must be None, \"sqrt\""),
        (cs.CanopyRegressor(conformal_fraction=0.9), r"conformal_fraction must be a number in \[0.1, 0.5\]"),
        (cs.CanopyClassifier(learning_rate=-1.0), r"learning_rate must be a number in \(0.0, inf\)"),
        (cs.UnsupervisedForest(contamination=0.7), r"contamination must be a number in \(0, 0.5\]"),
        (cs.DecisionTreeRegressor(random_state=-1), "random_state must be None, an integer"),
        (cs.RandomForestRegressor(n_jobs=0), "n_jobs must be None, -1"),
        (cs.RandomForestRegressor(verbose="loud"), "verbose must be an integer >= 0"),
    ],
    ids=lambda v: v if isinstance(v, str) else type(v).__name__,
)
def test_parameters_are_checked_at_fit(est, message):
    X, y = load_diabetes(return_X_y=True)
    with pytest.raises(ValueError, match=message):
        est.fit(X, y)


def test_predict_interval():
    X, y = load_diabetes(return_X_y=True)
    reg = cs.CanopyRegressor(**BOOST).fit(X, y)
    intervals = reg.predict_interval(X, alpha=0.1)
    assert intervals.shape == (len(X), 2)
    assert np.allclose(intervals.mean(axis=1), reg.predict(X))
    for alpha in (0.0, 1.0, "0.1"):
        with pytest.raises(ValueError, match="alpha must be a number in"):
            reg.predict_interval(X, alpha=alpha)
    Xc, yc = load_breast_cancer(return_X_y=True)
    clf = cs.CanopyClassifier(**BOOST).fit(Xc, np.where(yc == 1, "benign", "malignant"))
    bounds = clf.predict_interval(Xc)
    p = clf.predict_proba(Xc)[:, 1]  # classes_[1] == "malignant"
    assert np.all((bounds[:, 0] <= p) & (p <= bounds[:, 1])) and np.all((bounds >= 0) & (bounds <= 1))
    with pytest.raises(ValueError, match="needs exactly two classes; this model has 3"):
        cs.CanopyClassifier(**BOOST).fit(*load_iris(return_X_y=True)).predict_interval(Xc[:, :4])


def test_n_jobs_gives_identical_results():
    X, y = load_breast_cancer(return_X_y=True)
    models = [cs.RandomForestClassifier(n_estimators=20, random_state=3, n_jobs=n).fit(X, y) for n in (1, 2, -1, None)]
    probas = {m.predict_proba(X).tobytes() for m in models}
    assert len(probas) == 1


def test_verbose_reports_progress(capsys, monkeypatch):
    X, y = load_diabetes(return_X_y=True)
    cs.RandomForestRegressor(n_estimators=8, verbose=1, random_state=0).fit(X, y)
    assert "8/8" in capsys.readouterr().err  # the tqdm bar
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # tqdm not installed
    cs.CanopyRegressor(**BOOST, verbose=1).fit(X, y)
    err = capsys.readouterr().err
    assert err.startswith("\rCanopyRegressor.fit: ") and err.endswith(" rounds\n")
    cs.RandomForestRegressor(n_estimators=8, random_state=0).fit(X, y)
    assert capsys.readouterr().err == ""


def test_interrupted_fit_leaves_the_previous_model(monkeypatch):
    X, y = load_iris(return_X_y=True)
    model = cs.RandomForestClassifier(n_estimators=30, random_state=0, verbose=1).fit(X, y)
    before = model.predict_proba(X).tobytes()

    def interrupt(self, done, total):
        raise KeyboardInterrupt

    monkeypatch.setattr(_base._Progress, "__call__", interrupt)
    with pytest.raises(KeyboardInterrupt):
        model.fit(X[:, :3], np.array(["a", "b", "c", "d", "e"])[np.arange(len(X)) % 5])
    assert model.n_features_in_ == 4 and model.classes_.tolist() == [0, 1, 2]
    assert model.predict_proba(X).tobytes() == before


# ---- State: pickle, deepcopy, joblib ------------------------------------------------------------


@pytest.mark.parametrize("est", ESTIMATORS, ids=lambda e: type(e).__name__)
def test_copies_predict_the_same_bits(est, tmp_path):
    X, y = load_breast_cancer(return_X_y=True)
    X = X[:200]
    y = y[:200]
    model = clone(est).fit(X, y)
    methods = [m for m in ("predict", "predict_proba", "predict_interval", "score_samples", "transform", "shap_values") if hasattr(model, m)]
    joblib.dump(model, tmp_path / "model.joblib")
    for copied in (pickle.loads(pickle.dumps(model)), copy.deepcopy(model), joblib.load(tmp_path / "model.joblib")):
        for m in methods:
            assert getattr(copied, m)(X).tobytes() == getattr(model, m)(X).tobytes(), m


# ---- The ecosystem ----------------------------------------------------------------------------


def test_pipeline_with_grid_search():
    X, y = load_breast_cancer(return_X_y=True)
    pipe = make_pipeline(StandardScaler(), cs.RandomForestClassifier(n_estimators=10, random_state=0))
    search = GridSearchCV(pipe, {"randomforestclassifier__max_depth": [2, None]}, cv=3).fit(X, y)
    assert search.best_score_ > 0.9
    assert search.best_estimator_.predict(X[:5]).shape == (5,)


def test_cross_val_score():
    X, y = load_diabetes(return_X_y=True)
    scores = cross_val_score(cs.CanopyRegressor(**BOOST), X, y, cv=3)
    assert scores.shape == (3,) and scores.mean() > 0.2


def test_permutation_importance():
    X, y = load_diabetes(return_X_y=True)
    model = cs.RandomForestRegressor(n_estimators=20, random_state=0).fit(X, y)
    result = permutation_importance(model, X, y, n_repeats=3, random_state=0)
    # body mass index (column 2) and serum triglycerides (column 8) lead in this data set
    assert set(np.argsort(result.importances_mean)[-2:]) == {2, 8}


def test_calibrated_classifier():
    X, y = load_breast_cancer(return_X_y=True)
    calibrated = CalibratedClassifierCV(cs.CanopyClassifier(**BOOST), cv=3).fit(X, y)
    proba = calibrated.predict_proba(X)
    assert proba.shape == (len(X), 2) and np.allclose(proba.sum(axis=1), 1.0)
    assert (calibrated.predict(X) == y).mean() > 0.9


# ---- Unsupervised forest and explainer ------------------------------------------------------


def test_unsupervised_proximities_and_embedding():
    X = load_iris().data
    forest = cs.UnsupervisedForest(n_estimators=100, random_state=0).fit(X)
    prox = forest.proximities()
    assert prox.shape == (150, 150) and np.allclose(prox, prox.T)
    assert forest.proximities(X[:5]).shape == (5, 150)
    graph = forest.proximity_graph(n_neighbors=4)
    assert graph.shape == (150, 150) and graph.getnnz(axis=1).max() == 4
    # Training rows put back land near their own points of the embedding.
    placed = forest.transform(X)
    for c in range(2):
        assert np.corrcoef(placed[:, c], forest.embedding_[:, c])[0, 1] > 0.9
    # A row lands on the same point however the rows are batched (Dask places partitions).
    for lo, hi in ((0, 1), (3, 10), (17, 150), (100, 107)):
        assert forest.transform(X[lo:hi]).tobytes() == placed[lo:hi].tobytes()
    assert np.isclose(forest.feature_importances_.sum(), 1.0)


def test_unsupervised_without_embedding_forms_no_dense_proximities(monkeypatch):
    # The outlier surface must serve data far beyond what an n x n matrix allows: with
    # n_components=0, fit and transform never ask for one.
    calls = []

    class Recording:
        def __init__(self, **kwargs):
            self._inner = real(**kwargs)

        def __getattr__(self, name):
            calls.append(name)
            return getattr(self._inner, name)

    real = _core.RandomForestUnsupervised
    X = load_iris().data
    expected = cs.UnsupervisedForest(n_estimators=30, random_state=0).fit(X)
    monkeypatch.setattr(_core, "RandomForestUnsupervised", Recording)
    forest = cs.UnsupervisedForest(n_estimators=30, random_state=0, n_components=0).fit(X)
    assert forest.embedding_.shape == (150, 0) and forest.transform(X[:7]).shape == (7, 0)
    assert {"proximity_matrix", "transform", "predict_proximity"}.isdisjoint(calls), calls
    assert forest.score_samples(X).tobytes() == expected.score_samples(X).tobytes()
    assert forest.offset_ == expected.offset_
    with pytest.raises(ValueError, match="features"):
        forest.transform(X[:, :2])


@pytest.mark.parametrize("tree", [cs.DecisionTreeRegressor(max_depth=4, random_state=0), cs.DecisionTreeClassifier(max_depth=4, random_state=0)], ids=lambda t: type(t).__name__)
def test_explainer_attributions_add_up(tree):
    X, y = load_wine(return_X_y=True)
    tree.fit(X, y)
    explainer = cs.TreeExplainer(tree).fit(X)
    phi = explainer.shap_values(X)
    output = tree.predict_proba(X) if hasattr(tree, "classes_") else tree.predict(X)
    assert np.allclose(phi.sum(axis=1) + explainer.expected_value_, output)
    assert explainer.transform(X).shape == (len(X), phi[0].size)
    with pytest.raises(TypeError, match="^TreeExplainer explains .*; got UnsupervisedForest$"):
        cs.TreeExplainer(cs.UnsupervisedForest()).fit(X, y)


# ---- Packaging ------------------------------------------------------------------------------


def test_import_canopy_imports_neither_sklearn_nor_pandas(run_python):
    out = run_python("import sys, canopy; print(sorted({'sklearn', 'pandas'} & set(sys.modules)))")
    assert out.strip() == "[]"


def test_docstring_examples_run():
    from canopy.sklearn import _explain, _supervised, _unsupervised

    for module in (_supervised, _unsupervised, _explain):
        failed, attempted = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
        assert attempted > 0 and failed == 0, module.__name__


def test_type_stubs_match_the_modules(tmp_path):
    pytest.importorskip("mypy")
    import canopy

    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nignore_missing_imports = True\n")
    env = dict(os.environ)
    package_root = Path(canopy.__file__).parents[1]
    if package_root.name != "site-packages":  # mypy finds installed packages by itself
        env["MYPYPATH"] = env["PYTHONPATH"] = str(package_root)
    modules = ["canopy._rs", "canopy._core", "canopy.sklearn", "canopy.dask"]
    allowlist = Path(__file__).with_name("stubtest_allowlist.txt")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *modules, "--mypy-config-file", str(config), "--allowlist", str(allowlist)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
    )
    assert result.returncode == 0, result.stdout + result.stderr
