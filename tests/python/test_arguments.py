"""Matching and conversion of constructor keywords. Every keyword goes through one of a
few conversions (the same ones the methods use), so each conversion is checked once."""

import inspect

import numpy as np
import pytest

from canopy import _rs

CLASSES = [n for n in _rs.__all__ if n != "TreeSHAP"]


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.25


def defaults(cls):
    return [p.default for p in inspect.signature(getattr(_rs, cls)).parameters.values()]


@pytest.mark.parametrize("cls", CLASSES)
def test_matching_errors_name_the_function_and_argument(cls):
    ctor, values = getattr(_rs, cls), defaults(cls)
    first = next(iter(inspect.signature(ctor).parameters))
    ctor(*values)  # every default, spelled out by position, is accepted
    with pytest.raises(TypeError, match=f"'bogus' is an invalid keyword argument for {cls}\\(\\)"):
        ctor(bogus=1)
    n = len(values)
    with pytest.raises(TypeError, match=f"{cls}\\(\\) takes at most {n} arguments \\({n + 1} given\\)"):
        ctor(*values, None)
    with pytest.raises(TypeError, match=f"argument for {cls}\\(\\) given by name \\('{first}'\\) and position \\(1\\)"):
        ctor(values[0], **{first: values[0]})


@pytest.mark.parametrize(
    "name, value, error",
    [
        ("n_estimators", -1, OverflowError), ("n_estimators", 2**64, OverflowError),
        ("n_estimators", Indexable(-3), OverflowError), ("n_estimators", 2.0, TypeError),
        ("n_estimators", np.array([1]), TypeError), ("rf_max_depth", "3", TypeError),
        ("learning_rate", "0.5", TypeError), ("bootstrap", 1, TypeError),
        ("bootstrap", np.bool_(True), TypeError), ("rf_max_features", b"sqrt", TypeError),
        ("rf_max_features", "sq\ud800rt", TypeError),  # a lone surrogate cannot be encoded
    ],
)
def test_each_conversion_rejects_with_the_exact_type_and_name(name, value, error):
    with pytest.raises(error, match=f"'{name}'") as by_name:
        _rs.CanopyRegressor(**{name: value})
    assert type(by_name.value) is error
    position = list(inspect.signature(_rs.CanopyRegressor).parameters).index(name)
    with pytest.raises(error, match=f"'{name}'"):
        _rs.CanopyRegressor(*defaults("CanopyRegressor")[:position], value)


def test_each_conversion_accepts_what_python_would():
    for value in (0, True, np.int64(4), np.uint8(9), Indexable(5), 2**64 - 1):
        assert _rs.RandomForestClassifier(n_estimators=value).n_estimators == int(value)
    for value in (1, np.float32(0.25), Floaty(), -1e300, float("nan")):
        _rs.CanopyRegressor(learning_rate=value, rf_max_depth=None, rf_max_features="ünï")
