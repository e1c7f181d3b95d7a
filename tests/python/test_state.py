"""canopy._core's export_state / load_state: bit-identical round trips of every class, and
bytes that are not an intact state (other classes', newer, truncated, corrupted, hostile)
refused with ValueError, never a crash."""

import os
import struct
import zlib

import numpy as np
import pytest

from canopy import _core

HEADER = 28  # signature, version, kind, payload length, checksum


def make_data(n=120, m=4, seed=0):
    rng = np.random.default_rng(seed)
    x = np.round(rng.normal(size=(n, m)), 2)
    y = x[:, 0] - 2.0 * x[:, 1] + rng.normal(scale=0.2, size=n)
    labels = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)
    return x, y, labels


def fitted_models(n=120):
    """One fitted object of every class, with the queries that read its state."""
    x, y, labels = make_data(n)
    binary = (labels > 0).astype(float)
    boost = dict(n_estimators=3, rf_n_estimators=3, rf_max_depth=4, random_state=2)
    models = []

    def add(obj, fit_args, queries):
        if fit_args is not None:
            obj.fit(*fit_args)
        models.append((obj, queries))

    tree = _core.DecisionTree(max_depth=5, random_state=1)
    add(tree, (x, labels), [lambda m: m.predict(x), lambda m: m.predict_proba(x), lambda m: m.classes_])
    add(_core.DecisionTree(task="regression", random_state=1), (x, y), [lambda m: m.predict(x)])
    add(
        _core.RandomForestClassifier(n_estimators=4, random_state=1, n_jobs=2),
        (x, labels),
        [lambda m: m.predict_proba(x), lambda m: m.score(x, labels), lambda m: m.classes_],
    )
    add(_core.RandomForestRegressor(n_estimators=4, random_state=1), (x, y), [lambda m: m.predict(x)])
    add(
        _core.CanopyRegressor(**boost),
        (x, y),
        [lambda m: m.predict_ci(x, 0.1), lambda m: m.feature_importances(), lambda m: m.trees_used],
    )
    add(_core.CanopyClassifier(**boost), (x, binary), [lambda m: m.predict_ci(x), lambda m: m.predict(x)])
    add(_core.CanopyClassifier(**boost), (x, labels), [lambda m: m.predict_proba(x), lambda m: m.feature_importances()])
    forest = _core.RandomForestUnsupervised(n_estimators=8, random_state=3)
    forest.fit(x)
    forest.proximity_sparse(k=4)  # the kept lists feed outlier_scores(use_sparse=True)
    add(
        forest,
        None,
        [
            lambda m: m.proximity_matrix(),
            lambda m: m.predict_proximity(x[:9]),
            lambda m: m.outlier_scores(use_sparse=True),
            lambda m: m.predict_outlier_scores(x[:9]),
            lambda m: m.transform(2),
            lambda m: m.feature_importances(),
        ],
    )
    add(_core.TreeSHAP(tree, x[:40], "classification"), None, [lambda m: m.explain(x[:5])])
    return models


def answers(model, queries):
    return [np.asarray(q(model)).tobytes() for q in queries]


def test_every_class_loads_back_giving_the_same_bits():
    for model, queries in fitted_models():
        state = model.export_state()
        loaded = type(model).load_state(state)
        assert type(loaded) is type(model)
        assert answers(loaded, queries) == answers(model, queries), type(model).__name__
        assert loaded.export_state() == state  # nothing lost, nothing added

    # An unfitted object keeps its configuration and fits like the original.
    x, y, _ = make_data()
    fresh = _core.CanopyRegressor(n_estimators=2, rf_n_estimators=2, random_state=5, conformal_fraction=0.3, n_jobs=1)
    copy = _core.CanopyRegressor.load_state(fresh.export_state())
    assert not copy.is_fitted
    fresh.fit(x, y)
    copy.fit(x, y)
    assert copy.predict_ci(x).tobytes() == fresh.predict_ci(x).tobytes()


def reseal(state):
    """The state with its checksum recomputed, so a change of the payload reaches the
    structural checks."""
    state = bytearray(state)
    state[24:28] = struct.pack("<I", zlib.crc32(bytes(state[HEADER:])))
    return bytes(state)


def test_foreign_newer_cut_and_corrupted_bytes_are_refused_by_name():
    tree, _ = fitted_models()[0]
    state = tree.export_state()
    cases = [
        (b"", "not a canopy state"),
        (b"\x80" + state[1:], "not a canopy state"),
        (state[:8] + struct.pack("<I", 2) + state[12:], r"format version 2 is newer than this canopy reads \(1\)"),
        (state[:-1], "truncated"),
        (state[:HEADER + 5], "truncated"),
        (state + b"\0", "unexpected bytes"),
        (state[:-3] + bytes([state[-3] ^ 4]) + state[-2:], "checksum mismatch"),
        # A count far beyond the bytes that follow is refused before anything is allocated.
        (reseal(state[: HEADER + 10] + struct.pack("<Q", 2**62) + state[HEADER + 18 :]), "does not fit"),
        # A text (here the criterion's) that Python could not decode.
        (reseal(state[: HEADER + 18] + b"\xff" + state[HEADER + 19 :]), "not UTF-8"),
    ]
    for data, message in cases:
        with pytest.raises(ValueError, match=message):
            _core.DecisionTree.load_state(data)
    with pytest.raises(ValueError, match="the state is for DecisionTree, not RandomForestClassifier"):
        _core.RandomForestClassifier.load_state(state)
    with pytest.raises(TypeError):
        _core.DecisionTree.load_state(state.decode("latin-1"))


def mutations(state, rng, count):
    """Truncations, bit flips, overwritten and huge fields, inserted and deleted bytes."""
    n = len(state)
    for i in range(count):
        s = bytearray(state)
        kind = i % 6
        at = int(rng.integers(0, n))
        if kind == 0:
            yield bytes(s[: int(rng.integers(0, n))])
        elif kind == 1:
            s[at] ^= 1 << int(rng.integers(0, 8))
        elif kind == 2:
            s[at] = (s[at] + int(rng.integers(1, 256))) % 256
        elif kind == 3:
            at = min(at, n - 8)
            huge = [2**32, 2**63 - 1, 2**64 - 1, n, n * 7][int(rng.integers(0, 5))]
            s[at : at + 8] = struct.pack("<Q", huge)
        elif kind == 4:
            s[at:at] = bytes(rng.integers(0, 256, size=int(rng.integers(1, 9)), dtype=np.uint8))
        else:
            del s[at : at + int(rng.integers(1, 9))]
        yield bytes(s)


def test_mutated_states_give_value_error_or_a_model_safe_to_query():
    # Under the sanitizers (the instrumented build is much slower) a fifth of the cases.
    per_model = 150 if "libasan" in os.environ.get("LD_PRELOAD", "") else 750
    rng = np.random.default_rng(7)
    raw = resealed = loaded = 0
    for model, queries in fitted_models(n=40):
        cls = type(model)
        state = model.export_state()
        for data in mutations(state, rng, per_model):
            # Untouched checksums: every change is caught.
            if data != state:
                raw += 1
                with pytest.raises(ValueError):
                    cls.load_state(data)
            # Resealed: the structural checks decide; what loads must be safe to query, and
            # a query it cannot answer (a tree testing a feature beyond the rows) is bad input.
            if len(data) < HEADER:
                continue
            resealed += 1
            try:
                copy = cls.load_state(reseal(data))
            except ValueError:
                continue
            loaded += 1
            for query in queries:
                try:
                    query(copy)
                except ValueError:
                    pass
    print(f"fuzzed states: {raw} with the checksum kept, {resealed} resealed ({loaded} loaded)")
    assert raw > 6 * per_model and loaded > 0
