import math

import numpy as np
import pytest

from canopy import Canopy, CanopyClassifier, CanopyRegressor

MASK64 = (1 << 64) - 1
MASK128 = (1 << 128) - 1
MULT = 0x2360ED051FC65DA44385DF649FCCF645


class Pcg64:
    """The estimators' generator, enough of it to replay the calibration split (its known
    vectors are in tests/cpp/test_rng.cpp; a wrong replica fails the replay)."""

    def __init__(self, seed):
        s, raw = seed, b""
        for _ in range(8):
            s = (s * 6364136223846793005 + 11634580027462260723) & MASK64
            x = (((s >> 18) ^ s) >> 27) & 0xFFFFFFFF
            r = s >> 59
            raw += (((x >> r) | (x << ((32 - r) & 31))) & 0xFFFFFFFF).to_bytes(4, "little")
        self.inc = int.from_bytes(raw[16:], "little") | 1
        self.state = (int.from_bytes(raw[:16], "little") + self.inc) & MASK128
        self.state = (self.state * MULT + self.inc) & MASK128

    def next_u64(self):
        self.state = (self.state * MULT + self.inc) & MASK128
        hi, lo = self.state >> 64, self.state & MASK64
        rot, x = hi >> 58, hi ^ lo
        return ((x >> rot) | (x << ((64 - rot) & 63))) & MASK64

    def shuffle(self, items):
        for i in range(len(items) - 1, 0, -1):
            n = i + 1
            zone = ((n << (32 - n.bit_length())) & 0xFFFFFFFF) - 1
            while True:
                m = (self.next_u64() & 0xFFFFFFFF) * n
                if (m & 0xFFFFFFFF) <= zone:
                    break
            j = m >> 32
            items[i], items[j] = items[j], items[i]


def regression_data(n=200, p=5, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, p))
    y = 2.0 * x[:, 0] + np.sin(3 * x[:, 1]) + 0.1 * rng.normal(size=n)
    return x, y


def small(cls, **kw):
    args = dict(n_estimators=4, rf_n_estimators=5, rf_max_depth=5, random_state=7)
    args.update(kw)
    return cls(**args)


def eval_regression_dict(d, x):
    """Evaluates an exported regression model row by row, in predict's order of additions."""
    pred = np.full(x.shape[0], d["init"][0])
    for rnd in d["rounds"]:
        trees = rnd["outputs"][0]["trees"]
        total = np.zeros(x.shape[0])
        for t in trees:
            leaves = []
            for row in x:
                i = 0
                while t["children_left"][i] != -1:
                    go_left = row[t["feature"][i]] <= t["threshold"][i]
                    i = t["children_left"][i] if go_left else t["children_right"][i]
                leaves.append(t["value"][i])
            total = total + np.array(leaves)
        pred = pred + d["learning_rate"] * (total / len(trees) if trees else np.zeros(x.shape[0]))
    return pred


def libm_softmax(z):
    top = max([v for v in z if not math.isnan(v)], default=-math.inf)
    e = [math.exp(v - top) for v in z]
    s = -0.0
    for v in e:
        s += v
    return [v / s for v in e]


def leaf_mean(targets, weights):
    ws, wt = 0.0, 0.0
    for t, w in zip(targets, weights):
        ws += w
        wt += w * t
    return wt / ws if ws > 0 else 0.0


# ---- Regressor --------------------------------------------------------------------------------


@pytest.mark.parametrize("n, fraction", [(10, 0.2), (100, 0.2), (300, 0.2), (251, 0.4)])
def test_calibration_split_and_order_statistic(n, fraction):
    # Without rounds the held-out prediction is the training part's weighted mean, so the
    # stored quantile can be replayed from the shuffle alone.
    rng = np.random.default_rng(n)
    x = rng.normal(size=(n, 2))
    y = rng.normal(size=n) * 3
    w = rng.uniform(0.5, 2.0, size=n)
    m = CanopyRegressor(n_estimators=0, random_state=99, conformal_fraction=fraction)
    m.fit(x, y, w)

    idx = list(range(n))
    Pcg64(99).shuffle(idx)
    n_cal = int(fraction * n)
    train, cal = idx[: n - n_cal], idx[n - n_cal :]
    start = leaf_mean([y[i] for i in train], [w[i] for i in train])
    scores = sorted(abs(y[j] - start) for j in cal)
    v = (1.0 / n_cal + 1.0) * 0.95 * n_cal
    k = min(math.ceil(v), n_cal - 1)
    d = m.to_dict()
    assert d["conformal_quantile"] == scores[k]
    assert d["init"] == [leaf_mean(y, w)]
    assert m.predict(x[:3]) == [leaf_mean(y, w)] * 3
    m = CanopyRegressor(n_estimators=2, learning_rate=0.0, random_state=1)
    m.fit(x, y, w)
    assert m.predict(x[:3]) == [leaf_mean(y, w)] * 3


def test_predict_ci_is_centred_with_scaled_half_width():
    x, y = regression_data()
    reg = small(CanopyRegressor)
    reg.fit(x, y)
    q = reg.to_dict()["conformal_quantile"]
    pred = reg.predict(x[:20])
    assert q > 0 and reg.predict_ci(x[:20]) == [[p - q, p + q] for p in pred]  # alpha 0.05
    half = 0.8392857142857143 * q  # 1.645 / 1.96
    assert reg.predict_ci(x[:20], alpha=0.1) == [[p - half, p + half] for p in pred]


def test_too_few_calibration_rows_give_unbounded_intervals():
    # Four rows leave none, and so does a NaN fraction (it passes the constructor's clamp).
    for n, fraction in ((4, 0.2), (50, float("nan"))):
        x, y = regression_data(n=n)
        m = CanopyRegressor(n_estimators=2, rf_n_estimators=2, conformal_fraction=fraction)
        m.fit(x, y)
        assert math.isinf(m.to_dict()["conformal_quantile"]) and len(m.predict(x)) == n
        assert m.predict_ci(x[:2], alpha=0.3) == [[-math.inf, math.inf]] * 2


def test_export_structure_and_numpy_evaluation_reproduce_predict():
    x, y = regression_data(n=300)
    m = small(CanopyRegressor, rf_max_features="sqrt", rf_max_depth=None)
    m.fit(x, y)
    d = m.to_dict()
    assert list(d) == ["task", "n_outputs", "learning_rate", "init", "n_estimators",
                       "conformal_quantile", "rounds"]
    assert (d["task"], d["n_outputs"], d["n_estimators"]) == ("regression", 1, 4)
    assert len(d["rounds"]) == 4 and all(len(r["outputs"]) == 1 for r in d["rounds"])
    for rnd in d["rounds"]:
        for t in rnd["outputs"][0]["trees"]:
            assert list(t) == ["children_left", "children_right", "feature", "threshold", "value"]
            left, right = t["children_left"], t["children_right"]
            # Pre-order: every child comes after its parent, the left child right after it,
            # and leaves carry -1 / NaN.
            for i, (l, r) in enumerate(zip(left, right)):
                if l == -1:
                    assert r == -1 and t["feature"][i] == -1 and math.isnan(t["threshold"][i])
                else:
                    assert l == i + 1 and r > l and t["feature"][i] >= 0
    x_new = np.random.default_rng(5).normal(size=(200, 5)) * 2
    assert eval_regression_dict(d, x_new).tolist() == m.predict(x_new)


def test_importances_share_of_split_samples_and_empty_forests():
    x, y = regression_data(n=400)
    m = small(CanopyRegressor, n_estimators=3)
    m.fit(x, y)
    imp = m.feature_importances()
    assert len(imp) == 5 and abs(sum(imp) - 1.0) < 1e-12
    assert imp[0] == max(imp)  # the target is driven by column 0
    # Stumps on one random column each: later trees split on columns the first does not
    # reach, and every column split anywhere has its share.
    m = small(CanopyRegressor, rf_max_depth=1, rf_max_features="0.2")
    m.fit(x, y)
    roots = [t["feature"][0] for r in m.to_dict()["rounds"] for t in r["outputs"][0]["trees"]]
    assert max(roots) > roots[0]
    imp = m.feature_importances()
    assert len(imp) == 5 and abs(sum(imp) - 1.0) < 1e-12
    assert {f for f in range(5) if imp[f] > 0} == set(roots) - {-1}
    m0 = small(CanopyRegressor, n_estimators=0)
    m0.fit(x, y)
    d = m0.to_dict()
    assert (d["n_estimators"], d["rounds"], m0.feature_importances()) == (0, [], [0.0] * 5)
    # Empty inner forests add nothing.
    m = small(CanopyRegressor, rf_n_estimators=0)
    m.fit(x, y)
    assert m.trees_used == [0] * 4 and m.feature_importances() == [0.0] * 5
    assert m.predict(x[:5]) == [m.to_dict()["init"][0]] * 5


def test_no_feature_columns_fit_constant_models():
    y = np.arange(30.0)
    m = small(CanopyRegressor)
    m.fit(np.zeros((30, 0)), y)
    (value,) = set(m.predict(np.zeros((3, 0))))
    assert m.predict(np.zeros((3, 0))) == [value] * 3 and m.feature_importances() == []
    c = small(CanopyClassifier)
    c.fit(np.zeros((30, 0)), (y > 10).astype(float))
    assert len(set(map(tuple, c.predict_proba(np.zeros((4, 0)))))) == 1


# ---- Classifier -------------------------------------------------------------------------------


def stump_classifier(**kw):
    # Single-leaf trees on every row: each forest's value is the weighted mean of its targets.
    args = dict(n_estimators=1, rf_n_estimators=2, rf_max_depth=0, bootstrap=False,
                random_state=3, learning_rate=0.5)
    args.update(kw)
    return CanopyClassifier(**args)


def test_binary_init_score_and_first_round_targets():
    x = np.arange(8.0).reshape(8, 1)
    y = np.array([0, 1, 1, 0, 1, 0, 0, 1.0])
    m = stump_classifier()
    m.fit(x, y)
    d = m.to_dict()
    assert d["init"] == [0.0]  # half ones
    # Targets are +-2 with weights 0.25: the leaf is their weighted mean.
    leaf = leaf_mean([(t - 0.5) / 0.25 for t in y], [0.25] * 8)
    assert d["rounds"][0]["outputs"][0]["trees"][0]["value"] == [leaf]

    w = np.array([1.0, 2.0, 0.5, 1.0, 3.0, 1.0, 0.0, 2.0])
    m.fit(x, y, w)
    p_bar = min(max(leaf_mean(y, w), 1e-5), 0.99999)
    init = math.log(p_bar / (1 - p_bar))
    p = min(max(1.0 / (math.exp(-init) + 1.0), 1e-5), 0.99999)
    h = p * (1 - p)
    leaf = leaf_mean([(t - p) / h for t in y], [h * wi for wi in w])
    d = m.to_dict()
    assert d["init"] == [init]
    assert [t["value"] for t in d["rounds"][0]["outputs"][0]["trees"]] == [[leaf], [leaf]]
    s = 1.0 / (1.0 + math.exp(-(init + 0.5 * leaf)))
    proba = m.predict_proba(x[:1])[0]
    assert proba == [1.0 - s, s]
    assert m.predict(x[:1]) == [1.0 if s > 0.5 else 0.0]


def test_multiclass_rounds_see_the_earlier_classes_of_the_same_round():
    x = np.arange(9.0).reshape(9, 1)
    y = np.array([0, 1, 2, 2, 1, 0, 2, 2, 1.0])
    w = np.array([1.0, 0.5, 2.0, 1.0, 1.0, 3.0, 0.2, 1.0, 1.0])
    m = stump_classifier(n_estimators=2)
    m.fit(x, y, w)
    d = m.to_dict()
    total = sum(w)
    init = [math.log(min(max(sum(wi for wi, yi in zip(w, y) if yi == c) / total, 1e-5), 0.99999))
            for c in range(3)]
    assert d["init"] == init
    scores = [list(init) for _ in y]
    for rnd in range(2):
        for c in range(3):
            targets, weights = [], []
            for row, yi, wi in zip(scores, y, w):
                q = min(max(libm_softmax(row)[c], 1e-5), 0.99999)
                h = q * (1 - q)
                targets.append(((1.0 if yi == c else 0.0) - q) / h)
                weights.append(h * wi)
            leaf = leaf_mean(targets, weights)
            assert d["rounds"][rnd]["outputs"][c]["trees"][0]["value"] == [leaf], (rnd, c)
            for row in scores:
                row[c] = row[c] + 0.5 * leaf
    assert m.predict_proba(x[:1])[0] == pytest.approx(libm_softmax(scores[0]), abs=1e-15)


def test_classifier_structure_by_class_count():
    x, y = regression_data(n=150)
    three = np.digitize(y, [-1.0, 1.0]).astype(float)
    m = small(CanopyClassifier, n_estimators=5)
    m.fit(x, three)
    d = m.to_dict()
    assert (d["task"], d["n_outputs"], d["n_classes"], d["n_estimators"]) == ("multiclass", 3, 3, 5)
    assert [len(r["outputs"]) for r in d["rounds"]] == [3] * 5 and m.trees_used == [5] * 5
    assert all(abs(sum(p) - 1) < 1e-12 for p in m.predict_proba(x))
    assert np.mean(np.array(m.predict(x)) == three) > 0.8
    with pytest.raises(ValueError, match="^predict_ci only supports binary classification$"):
        m.predict_ci(x)

    one = small(CanopyClassifier)
    one.fit(x, np.zeros(150))
    # One output column: exported under the "binary" task name, told apart by n_classes 1.
    d = one.to_dict()
    assert (one.n_classes, d["task"], d["n_outputs"], d["n_classes"]) == (1, "binary", 1, 1)
    assert one.predict_proba(x[:2]) == [[1.0], [1.0]] and one.predict(x[:2]) == [0.0, 0.0]

    # Labels 1 and 2 would be read as 0/1 targets: refused, and the model stays.
    for model in (one, Canopy(n_estimators=1, rf_n_estimators=2, random_state=0)):
        with pytest.raises(ValueError, match=r"k-1, each at least once; .* 2 classes: \[1, 2\]$"):
            model.fit(x, (y > 0) + 1.0)
    assert one.n_classes == 1 and one.predict_proba(x[:2]) == [[1.0], [1.0]]


def test_binary_wilson_intervals_bracket_the_probability():
    x, y = regression_data(n=200)
    m = small(CanopyClassifier)
    m.fit(x, (y > 0).astype(float))
    p1 = [p[1] for p in m.predict_proba(x)]
    n_trials = sum(m.trees_used)
    for alpha, z in ((0.01, 2.576), (0.05, 1.96), (0.1, 1.645), (0.2, 1.28)):
        for p, (lo, hi) in zip(p1, m.predict_ci(x, alpha)):
            d = z * z / n_trials + 1
            centre = (p + z * z / (2 * n_trials)) / d
            half = z * math.sqrt(p * (1 - p) / n_trials + z * z / (4 * n_trials**2)) / d
            assert lo == pytest.approx(max(centre - half, 0.0), abs=1e-14)
            assert hi == pytest.approx(min(centre + half, 1.0), abs=1e-14)
            assert 0.0 <= lo <= hi <= 1.0


# ---- Canopy -----------------------------------------------------------------------------------


def test_canopy_matches_the_inner_estimators():
    x, y = regression_data(n=150)
    kw = dict(n_estimators=3, rf_n_estimators=4, rf_max_depth=4, random_state=11)
    for task, cls, target in (("regression", CanopyRegressor, y),
                              ("classification", CanopyClassifier, (y > 0).astype(float))):
        outer, inner = Canopy(task=task, **kw), cls(**kw)
        outer.fit(x, target)
        inner.fit(x, target)
        names = ["predict", "predict_ci"] + (["predict_proba"] if task == "classification" else [])
        for name in names:
            assert getattr(outer, name)(x) == getattr(inner, name)(x), name
        assert outer.feature_importances() == inner.feature_importances()
        assert outer.trees_used == inner.trees_used and outer.n_estimators == 3


def test_canopy_task_choice():
    x, y = regression_data(n=40)
    for task in ("regression", "Classification", "anything"):  # only the exact word classifies
        c = Canopy(task=task, n_estimators=1, rf_n_estimators=2)
        with pytest.raises(ValueError, match="^CanopyRegressor has not been fitted$"):
            c.predict(x)
        c.fit(x, y)
        with pytest.raises(ValueError, match="^predict_proba is only available for classification$"):
            c.predict_proba(x)
    with pytest.raises(ValueError, match="^CanopyClassifier has not been fitted$"):
        Canopy(n_estimators=6).predict(x)
