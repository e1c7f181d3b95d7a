"""Two builds of canopy side by side on the same workloads, to tell whether a change made
anything slower: forests, boosted forests, the unsupervised forest, the single tree and its
explainer.

Every measurement runs in a fresh subprocess per build; the builds alternate, each
workload is repeated, and the best time of each build is kept. Ratios are new / old (below
1 means the new build is faster). On a busy machine, CPU seconds on one thread
(--clock cpu --threads 1) are the steadier comparison.

    python benchmarks/ab_builds.py --old build/base-pkg --new build/dev-pkg
    python benchmarks/ab_builds.py --old build/base-pkg --new build/dev-pkg --quick
    python benchmarks/ab_builds.py --old build/base-pkg --new build/dev-pkg --clock cpu --threads 1
"""

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, sys, time
import numpy as np
import canopy

cfg = json.loads(sys.argv[1])
rng = np.random.default_rng(0)
n, m = cfg["rows"], cfg["features"]
x = rng.normal(size=(2 * n, m))
y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.5, size=2 * n)
yb = (y > np.median(y)).astype(float)
y3 = np.searchsorted(np.quantile(y, [1 / 3, 2 / 3]), y).astype(float)
xtr, xte = x[:n], x[n:]
times = {}

clock = time.process_time if cfg["clock"] == "cpu" else time.perf_counter

def timed(name, fn):
    t = clock()
    result = fn()
    times[name] = clock() - t
    return result

w = cfg["workload"]
if w == "forest":
    r = canopy.RandomForestRegressor(n_estimators=cfg["trees"], random_state=0)
    timed("rf_reg.fit", lambda: r.fit(xtr, y[:n]))
    timed("rf_reg.predict", lambda: r.predict(xte))
    c = canopy.RandomForestClassifier(n_estimators=cfg["trees"], random_state=0,
                                      max_features="sqrt")
    timed("rf_clf.fit", lambda: c.fit(xtr, y3[:n]))
    timed("rf_clf.predict_proba", lambda: c.predict_proba(xte))
elif w == "boosting":
    kw = dict(n_estimators=cfg["rounds"], rf_n_estimators=10, random_state=0)
    r = canopy.CanopyRegressor(**kw)
    timed("boost_reg.fit", lambda: r.fit(xtr, y[:n]))
    timed("boost_reg.predict_ci", lambda: r.predict_ci(xte))
    timed("boost_reg.to_dict", lambda: r.to_dict())
    c = canopy.CanopyClassifier(**kw)
    timed("boost_clf3.fit", lambda: c.fit(xtr, y3[:n]))
    timed("boost_clf3.predict_proba", lambda: c.predict_proba(xte))
    e = canopy.CanopyRegressor(use_histogram=False, rf_max_depth=8, **kw)
    timed("boost_exact.fit", lambda: e.fit(xtr[: n // 4], y[: n // 4]))
elif w == "unsupervised":
    k = cfg["unsup_rows"]
    u = canopy.RandomForestUnsupervised(n_estimators=cfg["trees"], random_state=0)
    timed("unsup.fit", lambda: u.fit(xtr[:k]))
    timed("unsup.proximity_matrix", lambda: u.proximity_matrix())
    timed("unsup.outlier_scores", lambda: u.outlier_scores())
    timed("unsup.predict_outlier_scores", lambda: u.predict_outlier_scores(xte[:200]))
    timed("unsup.proximity_sparse", lambda: u.proximity_sparse(k=10))
    timed("unsup.feature_importances", lambda: u.feature_importances())
elif w == "tree":
    t = canopy.DecisionTree(random_state=0)
    timed("tree.fit", lambda: t.fit(xtr, y3[:n]))
    timed("tree.predict_proba", lambda: t.predict_proba(xte))
    s = canopy.DecisionTree(task="regression", random_state=0, max_depth=8)
    s.fit(xtr, y[:n])
    timed("shap.build", lambda: canopy.TreeSHAP(s, xtr, "regression"))
    ex = canopy.TreeSHAP(s, xtr, "regression")
    timed("shap.explain", lambda: ex.explain(xte[:200]))
print(json.dumps(times))
"""


def run(path, cfg):
    env = dict(os.environ, PYTHONPATH=path, RAYON_NUM_THREADS=str(cfg["threads"]))
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(cfg)], env=env,
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(done.stderr)
    return json.loads(done.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--old", required=True, help="PYTHONPATH of the reference build")
    ap.add_argument("--new", required=True, help="PYTHONPATH of the build under test")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                    help="cpu: seconds of CPU over every thread, steadier on a busy machine "
                    "(use with --threads 1, where no worker waits on another)")
    ap.add_argument("--workloads", default="forest,boosting,unsupervised,tree")
    args = ap.parse_args()
    base = dict(rows=20_000, features=20, trees=50, rounds=10, unsup_rows=1500,
                threads=args.threads, clock=args.clock)
    if args.quick:
        base.update(rows=5_000, trees=20, rounds=5, unsup_rows=500)
    best = {"old": {}, "new": {}}
    for workload in args.workloads.split(","):
        cfg = dict(base, workload=workload)
        for _ in range(args.repeat):
            for side in ("old", "new"):
                for name, t in run(getattr(args, side), cfg).items():
                    best[side][name] = min(t, best[side].get(name, float("inf")))
    print(f"{'measurement':32s} {'old s':>9s} {'new s':>9s} {'new/old':>8s}")
    for name, old in best["old"].items():
        new = best["new"][name]
        print(f"{name:32s} {old:9.4f} {new:9.4f} {new / old:8.3f}")


if __name__ == "__main__":
    main()
