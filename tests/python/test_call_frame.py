"""How arrays cross into native code and results come back: the shared call frame,
exercised through DecisionTree (every class uses the same frame)."""

import numpy as np
import pytest

from canopy import (
    Canopy,
    CanopyClassifier,
    CanopyRegressor,
    DecisionTree,
    PanicException,
    RandomForestUnsupervised,
)

rng = np.random.default_rng(0)
X = rng.normal(size=(40, 3))
Y = (X[:, 0] > 0).astype(np.float64)


def fitted(task="classification"):
    tree = DecisionTree(task=task, random_state=0)
    tree.fit(X, Y)
    return tree


def test_arrays_must_be_float64_of_the_right_rank():
    # One case per check: not an array, another dtype, another rank.
    tree = fitted()
    for bad in (X.tolist(), X.astype(np.float32), X[:, 0]):
        with pytest.raises(TypeError, match="'x'"):
            tree.fit(bad, Y)
        with pytest.raises(TypeError, match="'x'"):
            tree.predict(bad)
    for bad in (Y.tolist(), Y.astype(np.float32), Y[:, None]):
        with pytest.raises(TypeError, match="'y'"):
            tree.fit(X, bad)
        with pytest.raises(TypeError, match="'sample_weight'"):
            tree.fit(X, Y, sample_weight=bad)


def test_argument_errors_come_before_the_fitted_check():
    with pytest.raises(TypeError, match="'x'"):
        DecisionTree().predict([[1.0]])
    with pytest.raises(ValueError, match="^DecisionTree has not been fitted$"):
        DecisionTree().predict(X)


def test_missing_duplicate_and_surplus_arguments():
    # (Constructors go through the same matching: tests/python/test_arguments.py.)
    with pytest.raises(TypeError, match=r"fit\(\) missing required argument 'y'"):
        DecisionTree().fit(X)
    with pytest.raises(TypeError, match=r"argument for fit\(\) given by name \('x'\)"):
        DecisionTree().fit(X, x=X, y=Y)
    with pytest.raises(TypeError, match=r"predict\(\) takes at most 1 argument \(2 given\)"):
        fitted().predict(X, z=X)


def test_odd_arrays_read_the_same_values():
    # (Orders and strides: tests/python/test_estimators.py.)
    tree = fitted()
    expected = tree.predict(X)
    readonly = X.copy()
    readonly.setflags(write=False)
    assert tree.predict(readonly) == expected
    unaligned = np.frombuffer(b"\0" + X.tobytes(), dtype=np.float64, offset=1).reshape(X.shape)
    assert not unaligned.flags.aligned
    assert tree.predict(unaligned) == expected
    with pytest.raises(TypeError, match="'x'"):
        tree.predict(X.astype(">f8"))  # byte-swapped

    class Sub(np.ndarray):
        pass

    assert tree.predict(X.view(Sub)) == expected


def test_results_are_plain_python_objects():
    tree = fitted()
    predictions = tree.predict(X)
    assert type(predictions) is list and all(type(v) is float for v in predictions)
    proba = tree.predict_proba(X[:3])
    assert type(proba) is list and all(type(row) is list for row in proba)
    assert type(tree.get_depth()) is int and type(tree.is_fitted) is bool
    assert tree.predict(np.empty((0, 3))) == []


def test_internal_errors_raise_panic_exception_and_leave_the_object_usable():
    tree = fitted()
    with pytest.raises(PanicException):
        tree.predict(np.empty((2, 0)))  # rows too short for the tested feature
    try:
        tree.predict(np.empty((2, 0)))
    except Exception:  # noqa: BLE001 - a handler for Exception must not catch it
        pytest.fail("PanicException was caught as an Exception")
    except BaseException:
        pass
    assert len(tree.predict(X)) == len(X)


def _boosted(cls, **kw):
    model = cls(n_estimators=2, rf_n_estimators=3, random_state=0, **kw)
    model.fit(X, Y)
    return model


# Every method taking an array and a converted number: (make, call, number).
NUMBER_AFTER_ARRAY = {
    "CanopyRegressor.predict_ci": (lambda: _boosted(CanopyRegressor), "predict_ci", 0.05),
    "CanopyClassifier.predict_ci": (lambda: _boosted(CanopyClassifier), "predict_ci", 0.05),
    "Canopy.predict_ci": (lambda: _boosted(Canopy), "predict_ci", 0.05),
    "Canopy(regression).predict_ci": (
        lambda: _boosted(Canopy, task="regression"), "predict_ci", 0.05
    ),
    "RandomForestUnsupervised.fit_transform": (
        lambda: RandomForestUnsupervised(n_estimators=3, random_state=0),
        "fit_transform",
        2,
    ),
}


@pytest.mark.parametrize("rows", [400, 20], ids=["grow", "shrink"])
@pytest.mark.parametrize("name", list(NUMBER_AFTER_ARRAY))
def test_a_number_that_resizes_the_array_is_converted_before_the_array_is_read(name, rows):
    make, method, value = NUMBER_AFTER_ARRAY[name]
    x = np.random.default_rng(1).normal(size=(200, 3))

    class Resizing:
        def __index__(self):
            x.resize((rows, 3), refcheck=False)
            return value

        def __float__(self):
            return float(self.__index__())

    result = getattr(make(), method)(x, Resizing())
    assert x.shape == (rows, 3)
    assert result == getattr(make(), method)(x.copy(), value)
