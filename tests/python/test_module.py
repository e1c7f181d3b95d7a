"""The extension module, its classes and what every estimator does before it is fitted."""

import importlib.machinery
import importlib.util
import inspect

import numpy as np
import pytest

import canopy
from canopy import _rs

CLASS_NAMES = [
    "DecisionTree", "RandomForestRegressor", "RandomForestClassifier", "TreeSHAP", "Canopy",
    "CanopyClassifier", "CanopyRegressor", "RandomForestUnsupervised",
]
CONSTRUCTIBLE = [name for name in CLASS_NAMES if name != "TreeSHAP"]


def test_module_registers_the_eight_classes_in_order():
    assert _rs.__all__ == CLASS_NAMES
    for name in CLASS_NAMES:
        assert getattr(canopy, name) is getattr(_rs, name)
    assert [n for n in dir(_rs) if not n.startswith("_")] == sorted(CLASS_NAMES + ["PanicException"])
    assert _rs.PanicException.__bases__ == (BaseException,)


def test_second_initialisation_raises_import_error():
    path = _rs.__file__
    loader = importlib.machinery.ExtensionFileLoader("_rs", path)
    spec = importlib.util.spec_from_file_location("_rs", path, loader=loader)
    with pytest.raises(ImportError, match="once"):
        importlib.util.module_from_spec(spec)


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_instances_are_plain_with_read_only_properties(name):
    cls = getattr(_rs, name)
    assert cls.__module__ == "builtins" and cls.__repr__ is object.__repr__
    assert "__reduce__" not in cls.__dict__
    obj = cls()
    with pytest.raises(AttributeError):
        obj.anything_new = 1
    properties = [k for k, v in vars(cls).items() if isinstance(v, type(_rs.DecisionTree.is_fitted))]
    assert properties
    for prop in properties:
        with pytest.raises(AttributeError):
            setattr(obj, prop, 1)


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_every_method_needing_a_model_says_so(name):
    cls = getattr(_rs, name)
    expected = {"Canopy": "CanopyClassifier", "RandomForestUnsupervised": "Model"}.get(name, name)
    methods = {m for m, v in vars(cls).items() if not m.startswith("_") and callable(v)}
    methods -= {"fit", "fit_transform", "get_depth", "get_n_leaves", "get_info"}
    assert methods
    for method in methods:
        call = getattr(cls(), method)
        needed = [p for p in inspect.signature(call).parameters.values() if p.default is p.empty]
        args = [np.zeros(3) if p.name == "y" else np.zeros((3, 2)) for p in needed]
        with pytest.raises(ValueError, match=f"^{expected} has not been fitted$"):
            call(*args)


def test_unfitted_properties_are_neutral():
    tree = _rs.DecisionTree()
    assert (tree.is_fitted, tree.classes_, tree.get_depth(), tree.get_n_leaves()) == (
        False, None, 0, 0)
    info = _rs.RandomForestClassifier().get_info()
    assert info == {"n_estimators": 100, "n_classes": 0, "is_fitted": 0}
    assert (_rs.Canopy().trees_used, _rs.RandomForestUnsupervised().n_samples_) == ([], 0)


def test_decision_tree_task_is_checked_exactly():
    for task in ("Regression", "classification ", ""):
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
