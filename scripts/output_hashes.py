"""Fixed-seed fingerprints of every estimator's outputs, to show that a change of structure
leaves every result identical to the bit.

Each output (predictions, probabilities, intervals, exported models, proximities, outlier
scores, embeddings, importances, attributions) is serialised exactly (floats by their bits)
and hashed. The whole set is computed in a fresh process per worker count, with
RAYON_NUM_THREADS set, so the pool is sized before first use.

    PYTHONPATH=build/dev-pkg python scripts/output_hashes.py > after.txt
    PYTHONPATH=build/base-pkg python scripts/output_hashes.py > before.txt
    diff before.txt after.txt

The streaming inner forest (async_mode=True) depends on timing with several workers, so it
is fingerprinted with one worker only.
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys

CHILD = r"""
import hashlib, json, math, struct, sys
import numpy as np
import canopy

threads = int(sys.argv[1])
out = {}

def canon(v):
    # Exact, order-preserving text for nested results; floats by their bits.
    if isinstance(v, float):
        return struct.pack("<d", v).hex()
    if isinstance(v, bool) or v is None or isinstance(v, (int, str)):
        return repr(v)
    if isinstance(v, dict):
        return "{" + ",".join(repr(k) + ":" + canon(x) for k, x in v.items()) + "}"
    if isinstance(v, (list, tuple)):
        return "[" + ",".join(canon(x) for x in v) + "]"
    raise TypeError(type(v))

def record(name, value):
    out[name] = hashlib.sha256(canon(value).encode()).hexdigest()[:16]

def outcome(fn):
    # A refused call is an output too: its exception type and message.
    try:
        return fn()
    except (ValueError, TypeError, OverflowError) as e:
        return "%s: %s" % (type(e).__name__, e)

def data(seed, n, m, kind="regression", classes=2):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, min(3, m - 1)]
    y = y + rng.normal(scale=0.5, size=n)
    if kind == "classification":
        edges = np.quantile(y, np.linspace(0, 1, classes + 1)[1:-1])
        y = np.searchsorted(edges, y).astype(float)
    return x, y

def with_nan(x):
    x = x.copy()
    x[::7, 1] = np.nan
    return x

# ---- DecisionTree ---------------------------------------------------------------------------
x, y = data(1, 600, 6)
xt, _ = data(2, 900, 6)
xt = with_nan(xt)
w = np.random.default_rng(3).uniform(0.0, 2.0, size=600)
dt = canopy.DecisionTree(task="regression", random_state=7, max_depth=12)
dt.fit(x, y, w)
record("dt_reg.predict", dt.predict(xt))
record("dt_reg.predict_fortran", dt.predict(np.asfortranarray(xt)))
record("dt_reg.shape", [dt.get_depth(), dt.get_n_leaves()])
xc, yc = data(4, 600, 6, "classification", 3)
dtc = canopy.DecisionTree(random_state=7)
dtc.fit(xc, yc)
record("dt_clf.predict", dtc.predict(xt))
record("dt_clf.predict_proba", dtc.predict_proba(xt))
record("dt_clf.shape", [dtc.get_depth(), dtc.get_n_leaves(), dtc.classes_])
dt12 = canopy.DecisionTree(random_state=3, min_samples_leaf=3)
record("dt_clf12.fit", outcome(lambda: dt12.fit(xc, yc + 1.0)))  # labels 1..3
record("dt_clf12.predict_proba", outcome(lambda: dt12.predict_proba(xt)))

# ---- TreeSHAP -------------------------------------------------------------------------------
xs, ys = data(5, 300, 8)
dts = canopy.DecisionTree(task="regression", random_state=1, max_depth=8)
dts.fit(xs, ys)
record("shap_reg.explain", canopy.TreeSHAP(dts, xs, "regression").explain(xs[:60]))
xsc, ysc = data(6, 300, 8, "classification", 3)
dtsc = canopy.DecisionTree(random_state=1, max_depth=7)
dtsc.fit(xsc, ysc)
record("shap_clf.explain", canopy.TreeSHAP(dtsc, xsc, "classification").explain(xsc[:60]))
record("shap_clf_bg.explain",
       canopy.TreeSHAP(dtsc, xsc[:97], "classification").explain(with_nan(xsc[100:140])))
record("shap_regtree_as_clf.explain",
       canopy.TreeSHAP(dts, xs, "classification").explain(xs[:10]))

# ---- Random forests -------------------------------------------------------------------------
x, y = data(10, 3000, 8)
xt, yt = data(11, 5000, 8)
xt = with_nan(xt)
w = np.random.default_rng(12).uniform(0.0, 2.0, size=3000)
for name, kw in [("rfr", {}), ("rfr_sqrt", {"max_features": "sqrt", "max_depth": 9}),
                 ("rfr_nb", {"bootstrap": False, "max_features": "0.5", "min_samples_leaf": 4})]:
    m = canopy.RandomForestRegressor(n_estimators=25, random_state=13, **kw)
    m.fit(x, y, w)
    record(name + ".predict", m.predict(xt))
m = canopy.RandomForestRegressor(n_estimators=9, random_state=2)
m.fit(x, y)
record("rfr9.predict_layouts", [m.predict(np.asfortranarray(xt)), m.predict(xt[::3])])
xc, yc = data(14, 3000, 8, "classification", 3)
for name, kw, labels in [("rfc", {}, yc), ("rfc_log2", {"max_features": "log2"}, yc),
                         ("rfc_k12", {"max_depth": 6}, yc + 1.0),
                         ("rfc_k11", {}, np.floor(yc * 3.7))]:
    m = canopy.RandomForestClassifier(n_estimators=20, random_state=15, **kw)
    record(name + ".fit", outcome(lambda: m.fit(xc, labels)))
    record(name + ".predict_proba", outcome(lambda: m.predict_proba(xt)))
    record(name + ".predict", outcome(lambda: m.predict(xt)))
    record(name + ".score", outcome(lambda: m.score(xc, labels)))

# ---- Boosted estimators ---------------------------------------------------------------------
x, y = data(20, 1500, 7)
xt, _ = data(21, 2000, 7)
xt = with_nan(xt)
w = np.random.default_rng(22).uniform(0.1, 2.0, size=1500)
boost = dict(n_estimators=6, rf_n_estimators=5, random_state=23)
variants = [("", {}), ("_exact", {"use_histogram": False, "rf_max_depth": 6}),
            ("_sqrt", {"rf_max_features": "sqrt", "bootstrap": False, "learning_rate": 0.3})]
if threads == 1:
    # Enough trees per round that the stop rules cut some: with tol=1e9 every round stops
    # at the least tree count, with tol=0 at the settled-rows rule.
    variants.append(("_async", {"async_mode": True, "tol": 0.0, "rf_n_estimators": 16}))
    variants.append(("_async_tol", {"async_mode": True, "tol": 1e9, "rf_n_estimators": 12}))
    variants.append(("_async_exact", {"async_mode": True, "use_histogram": False,
                                      "rf_n_estimators": 10, "rf_max_depth": 4}))
for suffix, kw in variants:
    r = canopy.CanopyRegressor(**dict(boost, **kw))
    r.fit(x, y, w)
    record("cr%s.predict" % suffix, r.predict(xt))
    record("cr%s.predict_ci" % suffix, [r.predict_ci(xt, 0.05), r.predict_ci(xt, 0.1)])
    record("cr%s.to_dict" % suffix, r.to_dict())
    record("cr%s.importances" % suffix, [r.feature_importances(), r.trees_used])
    yb = (y > np.median(y)).astype(float)
    c = canopy.CanopyClassifier(**dict(boost, **kw))
    c.fit(x, yb, w)
    record("cc2%s.predict_proba" % suffix, c.predict_proba(xt))
    record("cc2%s.predict" % suffix, c.predict(xt))
    record("cc2%s.predict_ci" % suffix, c.predict_ci(xt, 0.01))
    record("cc2%s.to_dict" % suffix, c.to_dict())
    record("cc2%s.importances" % suffix, [c.feature_importances(), c.trees_used])
    _, y3 = data(20, 1500, 7, "classification", 3)
    c3 = canopy.CanopyClassifier(**dict(boost, **kw))
    c3.fit(x, y3)
    record("cc3%s.predict_proba" % suffix, c3.predict_proba(xt))
    record("cc3%s.predict" % suffix, c3.predict(xt))
    record("cc3%s.to_dict" % suffix, c3.to_dict())
    record("cc3%s.importances" % suffix, [c3.feature_importances(), c3.trees_used])
cw = canopy.Canopy(task="regression", **boost)
cw.fit(x, y)
record("canopy_reg", [cw.predict(xt), cw.predict_ci(xt), cw.feature_importances()])
cw = canopy.Canopy(**boost)
cw.fit(x, (y > 0).astype(float))
record("canopy_clf", [cw.predict(xt), cw.predict_proba(xt), cw.predict_ci(xt)])

# ---- Unsupervised forest --------------------------------------------------------------------
xu, _ = data(30, 260, 5)
xu[:5] *= 6.0  # a few outliers
xn, _ = data(31, 40, 5)
for name, kw in [("rfu", {}), ("rfu_d4", {"max_depth": 4, "max_features": "sqrt"}),
                 ("rfu_leaf5", {"min_samples_leaf": 5, "n_neighbors": 4})]:
    u = canopy.RandomForestUnsupervised(n_estimators=40, random_state=32, **kw)
    u.fit(xu)
    record(name + ".proximity_matrix", [u.proximity_matrix(), u.proximity_matrix(use_oob=False)])
    record(name + ".predict_proximity", u.predict_proximity(xn))
    record(name + ".outlier_scores", u.outlier_scores())
    record(name + ".predict_outlier_scores", u.predict_outlier_scores(xn))
    record(name + ".proximity_sparse", [u.proximity_sparse(), u.proximity_sparse(k=6)])
    record(name + ".outlier_scores_sparse", u.outlier_scores(use_sparse=True))
    record(name + ".transform", u.transform(3))
    record(name + ".feature_importances", u.feature_importances())
u = canopy.RandomForestUnsupervised(n_estimators=30, random_state=33)
record("rfu.fit_transform", u.fit_transform(np.asfortranarray(xu), 2))

print(json.dumps(out))
"""


def run(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    done = subprocess.run([sys.executable, "-c", CHILD, str(threads)], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(done.stderr)
    return json.loads(done.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--threads", default="1,2")
    args = ap.parse_args()
    for t in [int(v) for v in args.threads.split(",")]:
        hashes = run(t)
        for name, h in hashes.items():
            print(f"{t} {name} {h}")
        whole = hashlib.sha256(json.dumps(hashes, sort_keys=True).encode()).hexdigest()[:16]
        print(f"{t} ALL {whole}")


if __name__ == "__main__":
    main()
