"""Argument matching and conversion of every constructor keyword of every class."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from canopy import _rs

COUNT, OPT_COUNT, REAL, FLAG, TEXT, OPT_TEXT = "count", "opt_count", "real", "flag", "text", "opt_text"

BOOST = [
    ("n_estimators", COUNT), ("learning_rate", REAL), ("rf_n_estimators", COUNT),
    ("rf_max_depth", OPT_COUNT), ("rf_max_features", OPT_TEXT), ("bootstrap", FLAG),
    ("random_state", OPT_COUNT), ("min_samples_split", COUNT), ("min_samples_leaf", COUNT),
]
BOOST_TAIL = [("use_histogram", FLAG), ("async_mode", FLAG), ("tol", REAL), ("n_jobs", OPT_COUNT)]
FOREST = [
    ("n_estimators", COUNT), ("max_depth", OPT_COUNT), ("max_features", OPT_TEXT),
    ("bootstrap", FLAG), ("random_state", OPT_COUNT), ("min_samples_split", COUNT),
    ("min_samples_leaf", COUNT),
]

KEYWORDS = {
    "DecisionTree": [
        ("max_depth", OPT_COUNT), ("criterion", TEXT), ("task", TEXT),
        ("random_state", OPT_COUNT), ("min_samples_split", COUNT), ("min_samples_leaf", COUNT),
    ],
    "RandomForestRegressor": FOREST,
    "RandomForestClassifier": FOREST,
    "CanopyRegressor": BOOST + BOOST_TAIL + [("conformal_fraction", REAL)],
    "CanopyClassifier": BOOST + BOOST_TAIL,
    "Canopy": BOOST + [("task", TEXT)] + BOOST_TAIL,
    "RandomForestUnsupervised": [
        ("n_estimators", COUNT), ("max_depth", OPT_COUNT), ("max_features", OPT_TEXT),
        ("random_state", OPT_COUNT), ("min_samples_split", COUNT), ("min_samples_leaf", COUNT),
        ("n_jobs", OPT_COUNT), ("n_neighbors", OPT_COUNT),
    ],
}


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.25


BAD = {
    COUNT: [(-1, OverflowError), (2**64, OverflowError), (-(2**70), OverflowError),
            (Indexable(-3), OverflowError), (2.0, TypeError), (np.float64(3.0), TypeError),
            ("3", TypeError), (None, TypeError), ([1], TypeError), (np.array([1]), TypeError)],
    REAL: [("0.5", TypeError), (None, TypeError), ([0.5], TypeError), (1j, TypeError)],
    FLAG: [(1, TypeError), (0, TypeError), (None, TypeError), ("True", TypeError),
           (np.bool_(True), TypeError), (1.0, TypeError)],
    TEXT: [(1, TypeError), (None, TypeError), (b"regression", TypeError), (["a"], TypeError)],
}
BAD[OPT_COUNT] = [case for case in BAD[COUNT] if case[0] is not None]
BAD[OPT_TEXT] = [case for case in BAD[TEXT] if case[0] is not None]

# Values every kind accepts; n_jobs stays small because it sizes the process-wide pool.
GOOD = {
    COUNT: [0, 3, True, np.int64(4), Indexable(5), 2**64 - 1],
    OPT_COUNT: [None, 0, 2, np.uint64(7)],
    REAL: [0.5, 1, np.float32(0.25), Floaty(), -1e300, float("nan")],
    FLAG: [True, False],
    TEXT: ["classification", "", "ünïcode"],
    OPT_TEXT: [None, "sqrt", "0.5"],
}

CASES = [
    (cls, position, name, kind)
    for cls, params in KEYWORDS.items()
    for position, (name, kind) in enumerate(params)
]


def valid_for(cls, name, value):
    """A DecisionTree task must also name a task; a pool size must stay small."""
    if cls == "DecisionTree" and name == "task":
        return value in ("classification", "regression")
    if name == "n_jobs":
        return value is None or int(value) <= 2
    return True


@pytest.mark.parametrize("cls, position, name, kind", CASES)
def test_bad_values_raise_the_exact_type_and_name_the_argument(cls, position, name, kind):
    ctor = getattr(_rs, cls)
    for value, error in BAD[kind]:
        with pytest.raises(error) as by_name:
            ctor(**{name: value})
        assert type(by_name.value) is error
        assert f"'{name}'" in str(by_name.value)
        with pytest.raises(error) as by_position:
            ctor(*([_default(cls, p) for p in range(position)] + [value]))
        assert type(by_position.value) is error
        assert f"'{name}'" in str(by_position.value)


@pytest.mark.parametrize("cls, position, name, kind", CASES)
def test_good_values_are_accepted(cls, position, name, kind):
    ctor = getattr(_rs, cls)
    for value in GOOD[kind]:
        if valid_for(cls, name, value):
            ctor(**{name: value})


def _default(cls, position):
    """The keyword's default, spelled as a Python value, from the class signature."""
    import inspect

    params = list(inspect.signature(getattr(_rs, cls)).parameters.values())
    return params[position].default


@pytest.mark.parametrize("cls", list(KEYWORDS))
def test_matching_errors_name_the_function_and_argument(cls):
    ctor = getattr(_rs, cls)
    n = len(KEYWORDS[cls])
    first = KEYWORDS[cls][0][0]
    with pytest.raises(TypeError, match=f"'bogus' is an invalid keyword argument for {cls}\\(\\)"):
        ctor(bogus=1)
    with pytest.raises(TypeError, match=f"{cls}\\(\\) takes at most {n} arguments \\({n + 1} given\\)"):
        ctor(*[_default(cls, p) for p in range(n)], None)
    with pytest.raises(TypeError, match=f"argument for {cls}\\(\\) given by name \\('{first}'\\) and position \\(1\\)"):
        ctor(_default(cls, 0), **{first: _default(cls, 0)})


def test_defaults_round_trip_through_the_signature():
    # Passing every default explicitly, by position, is the same as passing nothing.
    for cls in KEYWORDS:
        params = [_default(cls, p) for p in range(len(KEYWORDS[cls]))]
        getattr(_rs, cls)(*params)


@settings(max_examples=200, deadline=None)
@given(
    cls=st.sampled_from(sorted(KEYWORDS)),
    value=st.one_of(
        st.none(), st.booleans(), st.integers(min_value=-(2**80), max_value=2**80),
        st.floats(allow_nan=True), st.text(max_size=5), st.binary(max_size=3),
        st.lists(st.integers(), max_size=2),
    ),
    data=st.data(),
)
def test_any_value_is_accepted_or_rejected_cleanly(cls, value, data):
    name, kind = data.draw(st.sampled_from(KEYWORDS[cls]))
    if name == "n_jobs" and isinstance(value, int) and value > 2:
        return  # would size the shared pool
    try:
        getattr(_rs, cls)(**{name: value})
    except (TypeError, OverflowError) as error:
        assert f"'{name}'" in str(error)
    except _rs.PanicException as error:
        assert cls == "DecisionTree" and name == "task", error
