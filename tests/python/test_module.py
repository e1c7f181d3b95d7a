"""The extension module, its classes and the unfitted state of every estimator."""

import importlib.machinery
import importlib.util

import numpy as np
import pytest

import canopy
from canopy import _rs

CLASS_NAMES = [
    "DecisionTree",
    "RandomForestRegressor",
    "RandomForestClassifier",
    "TreeSHAP",
    "Canopy",
    "CanopyClassifier",
    "CanopyRegressor",
    "RandomForestUnsupervised",
]

SIGNATURES = {
    "DecisionTree": '(max_depth=None, criterion="entropy", task="classification", '
    "random_state=None, min_samples_split=2, min_samples_leaf=1)",
    "RandomForestRegressor": "(n_estimators=50, max_depth=None, max_features=None, "
    "bootstrap=True, random_state=None, min_samples_split=2, min_samples_leaf=1)",
    "RandomForestClassifier": "(n_estimators=100, max_depth=None, max_features=None, "
    "bootstrap=True, random_state=None, min_samples_split=2, min_samples_leaf=1)",
    "TreeSHAP": "(tree, x_train, model_type)",
    "Canopy": "(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, rf_max_depth=None, "
    "rf_max_features=None, bootstrap=True, random_state=None, min_samples_split=2, "
    'min_samples_leaf=1, task="classification", use_histogram=True, async_mode=False, '
    "tol=1e-4, n_jobs=None)",
    "CanopyClassifier": "(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, "
    "rf_max_depth=None, rf_max_features=None, bootstrap=True, random_state=None, "
    "min_samples_split=2, min_samples_leaf=1, use_histogram=True, async_mode=False, "
    "tol=1e-4, n_jobs=None)",
    "CanopyRegressor": "(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, "
    "rf_max_depth=None, rf_max_features=None, bootstrap=True, random_state=None, "
    "min_samples_split=2, min_samples_leaf=1, use_histogram=True, async_mode=False, "
    "tol=1e-4, n_jobs=None, conformal_fraction=0.2)",
    "RandomForestUnsupervised": "(n_estimators=500, max_depth=None, max_features=None, "
    "random_state=None, min_samples_split=2, min_samples_leaf=1, n_jobs=None, "
    "n_neighbors=None)",
}

CONSTRUCTIBLE = [name for name in CLASS_NAMES if name != "TreeSHAP"]


def test_module_registers_the_eight_classes_in_order():
    assert _rs.__all__ == CLASS_NAMES
    assert _rs.__doc__ == ""
    for name in CLASS_NAMES:
        assert getattr(canopy, name) is getattr(_rs, name)
    assert [n for n in dir(_rs) if not n.startswith("_")] == sorted(CLASS_NAMES + ["PanicException"])


def test_panic_exception_derives_directly_from_base_exception():
    assert _rs.PanicException.__bases__ == (BaseException,)
    assert not issubclass(_rs.PanicException, Exception)
    assert "PanicException" not in _rs.__all__


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_identity_and_signature(name):
    cls = getattr(_rs, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__text_signature__ == SIGNATURES[name]
    assert "__init__" not in cls.__dict__
    assert cls.__repr__ is object.__repr__
    assert "__reduce__" not in cls.__dict__ and "__eq__" not in cls.__dict__


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_instances_have_no_dict_and_read_only_properties(name):
    obj = getattr(_rs, name)()
    assert repr(obj).startswith(f"<builtins.{name} object at ")
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything_new = 1
    properties = [k for k, v in vars(type(obj)).items() if isinstance(v, type(_rs.DecisionTree.is_fitted))]
    assert properties
    for prop in properties:
        with pytest.raises(AttributeError):
            setattr(obj, prop, 1)


def test_second_initialisation_raises_import_error():
    path = _rs.__file__
    loader = importlib.machinery.ExtensionFileLoader("_rs", path)
    spec = importlib.util.spec_from_file_location("_rs", path, loader=loader)
    with pytest.raises(ImportError, match="once"):
        importlib.util.module_from_spec(spec)


def test_unfitted_neutral_values():
    tree = _rs.DecisionTree()
    assert (tree.is_fitted, tree.classes_, tree.get_depth(), tree.get_n_leaves()) == (False, None, 0, 0)

    reg = _rs.RandomForestRegressor()
    assert reg.get_info() == {"n_estimators": 50, "is_fitted": 0}
    assert type(reg.get_info()["is_fitted"]) is int
    assert (reg.n_estimators, reg.is_fitted) == (50, False)

    clf = _rs.RandomForestClassifier()
    assert clf.get_info() == {"n_estimators": 100, "n_classes": 0, "is_fitted": 0}
    assert (clf.n_estimators, clf.n_classes, clf.classes_, clf.is_fitted) == (100, 0, None, False)

    for cls in (_rs.CanopyRegressor, _rs.CanopyClassifier, _rs.Canopy):
        est = cls()
        assert (est.n_estimators, est.is_fitted, est.trees_used) == (20, False, [])
        assert type(est.trees_used) is list
    assert _rs.CanopyClassifier().n_classes == 0
    assert not hasattr(_rs.Canopy(), "n_classes")

    unsup = _rs.RandomForestUnsupervised()
    assert (unsup.n_estimators_, unsup.is_fitted_, unsup.n_samples_) == (500, False, 0)
    with pytest.raises(ValueError, match="^Model has not been fitted$"):
        unsup.n_features_


def test_constructors_store_their_arguments():
    assert _rs.RandomForestRegressor(7).n_estimators == 7
    assert _rs.RandomForestClassifier(n_estimators=2**64 - 1).n_estimators == 2**64 - 1
    assert _rs.CanopyRegressor(3, 0.5, conformal_fraction=0.05).n_estimators == 3
    assert _rs.Canopy(n_estimators=4, task="regression").n_estimators == 4
    assert _rs.RandomForestUnsupervised(n_estimators=np.uint8(9)).n_estimators_ == 9


def test_decision_tree_task_is_checked_exactly():
    for task in ("Regression", "classification ", "", "CLASSIFICATION"):
        with pytest.raises(_rs.PanicException, match="^task must be 'classification' or 'regression'$"):
            _rs.DecisionTree(task=task)
    _rs.DecisionTree(task="regression", criterion="anything at all")


def test_n_jobs_sizes_the_pool_once(run_python):
    # The workers are native threads, invisible to `threading`; count them from /proc.
    out = run_python(
        "import os, canopy\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "canopy.RandomForestUnsupervised(n_jobs=0)\n"
        "zero = len(os.listdir('/proc/self/task'))\n"
        "canopy.CanopyClassifier(n_jobs=2)\n"
        "two = len(os.listdir('/proc/self/task'))\n"
        "canopy.CanopyRegressor(n_jobs=8)\n"
        "again = len(os.listdir('/proc/self/task'))\n"
        "print(zero - before, two - before, again - before)\n"
    )
    assert out.split() == ["0", "2", "2"]
