"""Random forests side by side: canopy against scikit-learn, LightGBM and XGBoost.

Every estimator runs in a fresh subprocess so that its peak resident memory is its own.
Times are wall-clock seconds for fit and for predict (results converted to a Python list;
the best of --predict-repeats calls, the same count for every library);
accuracy is R^2 (regression) or accuracy (classification) on held-out rows.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_random_forest.py            # full size
    PYTHONPATH=build/dev-pkg python benchmarks/bench_random_forest.py --quick    # a smoke run
    PYTHONPATH=build/dev-pkg python benchmarks/bench_random_forest.py --max-features sqrt

--fit-table prints only canopy's fit time against scikit-learn's, for both tasks, with
every feature and with max_features="sqrt" searched per node, at 10,000 and 100,000 rows.
--fit-repeats N runs every fit of the table N times, each in a fresh process, and keeps each
library's fastest (the same count for both): on a shared machine one run can be slowed by
other tenants, and the short fits are hit hardest.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_random_forest.py --fit-table \
        --fit-repeats 3 --tasks regression --table-rows 10000 --table-features sqrt
"""

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, resource, sys, time
import numpy as np

cfg = json.loads(sys.argv[1])
rng = np.random.default_rng(cfg["seed"])
n, m = cfg["rows"], cfg["features"]
x = rng.normal(size=(2 * n, m))
signal = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + 0.5 * np.abs(x[:, 4])
y = signal + rng.normal(scale=0.5, size=2 * n)
if cfg["task"] == "classification":
    y = (y > np.median(y)).astype(float)
x_train, y_train, x_test, y_test = x[:n], y[:n], x[n:], y[n:]
trees, threads = cfg["trees"], cfg["threads"]
regression = cfg["task"] == "regression"
sqrt = cfg["max_features"] == "sqrt"

def make():
    lib = cfg["library"]
    if lib == "canopy":
        from canopy import RandomForestClassifier, RandomForestRegressor
        cls = RandomForestRegressor if regression else RandomForestClassifier
        return cls(n_estimators=trees, random_state=0, max_features="sqrt" if sqrt else None)
    if lib == "sklearn":
        from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor
        cls = RandomForestRegressor if regression else RandomForestClassifier
        return cls(n_estimators=trees, max_features="sqrt" if sqrt else 1.0, bootstrap=True,
                   n_jobs=threads, random_state=0)
    if lib == "lightgbm":
        import lightgbm
        cls = lightgbm.LGBMRegressor if regression else lightgbm.LGBMClassifier
        return cls(boosting_type="rf", n_estimators=trees, bagging_fraction=0.632,
                   bagging_freq=1, feature_fraction_bynode=m ** -0.5 if sqrt else 1.0, num_leaves=cfg["lgbm_leaves"],
                   max_depth=-1, min_child_samples=1, min_child_weight=0.0, max_bin=255,
                   histogram_pool_size=512, n_jobs=threads, random_state=0, verbose=-1)
    if lib == "xgboost":
        import xgboost
        cls = xgboost.XGBRFRegressor if regression else xgboost.XGBRFClassifier
        return cls(n_estimators=trees, tree_method="hist", max_depth=cfg["xgb_depth"],
                   subsample=0.632, colsample_bynode=m ** -0.5 if sqrt else 1.0, min_child_weight=1.0, max_bin=256,
                   n_jobs=threads, random_state=0)
    raise SystemExit("unknown library " + lib)

model = make()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t = time.perf_counter()
model.fit(x_train, y_train)
fit_s = time.perf_counter() - t
predict_s = float("inf")
for _ in range(cfg["predict_repeats"]):
    t = time.perf_counter()
    p = model.predict(x_test)
    p = p if isinstance(p, list) else p.tolist()
    predict_s = min(predict_s, time.perf_counter() - t)
p = np.asarray(p, dtype=float)
if regression:
    quality = 1.0 - np.sum((y_test - p) ** 2) / np.sum((y_test - y_test.mean()) ** 2)
else:
    quality = float(np.mean(p == y_test))
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"fit": fit_s, "predict": predict_s, "quality": quality,
                  "peak_mb": peak / 1024.0, "baseline_mb": before / 1024.0}))
"""


def run(cfg, pythonpath=None):
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = pythonpath
    threads = str(cfg["threads"])
    env.update(RAYON_NUM_THREADS=threads, OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS="1",
               MKL_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", CHILD, json.dumps(cfg)], env=env,
                         capture_output=True, text=True)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1] if out.stderr else "failed"}
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--features", type=int, default=20)
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--quick", action="store_true", help="10,000 rows and 10 trees")
    ap.add_argument("--libraries", default="canopy,sklearn,lightgbm,xgboost")
    ap.add_argument("--tasks", default="regression,classification")
    ap.add_argument("--predict-repeats", type=int, default=3)
    ap.add_argument("--max-features", choices=("all", "sqrt"), default="all",
                    help="features searched per node, for every library")
    ap.add_argument("--fit-table", action="store_true",
                    help="canopy against scikit-learn fit times only, both feature settings")
    ap.add_argument("--fit-repeats", type=int, default=1,
                    help="with --fit-table: fits per library and setting, the fastest kept")
    ap.add_argument("--table-rows", default="10000,100000", help="with --fit-table: row counts")
    ap.add_argument("--table-features", default="sqrt,all",
                    help="with --fit-table: max_features settings (sqrt, all)")
    ap.add_argument("--baseline", metavar="PYTHONPATH",
                    help="with --fit-table: also time the canopy build found on this path")
    # Unlimited trees are impractical for both peers (LightGBM keeps per-leaf histograms,
    # XGBoost's loss-guided growth without limits runs for hours at full size), so they get
    # the largest limits that finish in minutes; their accuracy is printed beside the times.
    ap.add_argument("--lgbm-leaves", type=int, default=4096)
    ap.add_argument("--xgb-depth", type=int, default=14)
    args = ap.parse_args()
    if args.quick:
        args.rows, args.trees = 10_000, 10
    if args.fit_table:
        unknown = set(args.table_features.split(",")) - {"sqrt", "all"}
        if unknown:
            ap.error(f"--table-features takes sqrt and all, not {', '.join(sorted(unknown))}")
        fit_table(args)
        return
    libraries = args.libraries.split(",")
    print(f"{args.rows} rows x {args.features} features, {args.trees} trees, full depth, "
          f"bootstrap, {args.threads} threads, max_features {args.max_features}; "
          f"predict on {args.rows} held-out rows")
    for task in args.tasks.split(","):
        results = {}
        for lib in libraries:
            cfg = dict(task=task, library=lib, rows=args.rows, features=args.features,
                       trees=args.trees, threads=args.threads, seed=0,
                       lgbm_leaves=args.lgbm_leaves, xgb_depth=args.xgb_depth,
                       predict_repeats=max(1, args.predict_repeats),
                       max_features=args.max_features)
            results[lib] = run(cfg)
        print(f"\n{task} ({'R^2' if task == 'regression' else 'accuracy'} on held-out rows)")
        print(f"{'library':<10} {'fit s':>8} {'predict s':>10} {'peak MB':>9} {'quality':>8}"
              f" {'fit vs canopy':>14} {'predict vs canopy':>18}")
        ours = results.get("canopy", {})
        for lib, r in results.items():
            if "error" in r:
                print(f"{lib:<10} failed: {r['error']}")
                continue
            fit_ratio = r["fit"] / ours["fit"] if "fit" in ours else float("nan")
            pred_ratio = r["predict"] / ours["predict"] if "predict" in ours else float("nan")
            print(f"{lib:<10} {r['fit']:>8.2f} {r['predict']:>10.3f} {r['peak_mb']:>9.0f}"
                  f" {r['quality']:>8.4f} {fit_ratio:>13.2f}x {pred_ratio:>17.2f}x")
        peers = [results[k]["fit"] for k in ("lightgbm", "xgboost")
                 if k in results and "fit" in results[k]]
        if "fit" in ours and peers:
            print(f"canopy fit / fastest of LightGBM, XGBoost: {ours['fit'] / min(peers):.2f}")


def fit_table(args):
    repeats = max(1, args.fit_repeats)
    runs_text = "one run each" if repeats == 1 else f"best of {repeats} runs each"
    print(f"fit seconds, {args.features} features, {args.trees} trees, full depth, bootstrap, "
          f"{args.threads} threads, {runs_text}")
    print(f"{'task':<15} {'rows':>7} {'max_features':>12} {'canopy':>8} {'sklearn':>8}"
          f" {'sklearn / canopy':>17}" + (f" {'baseline':>8} {'sklearn / baseline':>19}"
                                           if args.baseline else ""))
    for task in args.tasks.split(","):
        for rows in (int(r) for r in args.table_rows.split(",")):
            for max_features in args.table_features.split(","):
                fits = {}
                runs = [("canopy", "canopy", None), ("sklearn", "sklearn", None)]
                if args.baseline:
                    runs.append(("baseline", "canopy", args.baseline))
                for name, lib, path in runs:
                    cfg = dict(task=task, library=lib, rows=rows, features=args.features,
                               trees=args.trees, threads=args.threads, seed=0,
                               lgbm_leaves=0, xgb_depth=0, predict_repeats=1,
                               max_features=max_features)
                    fits[name] = min(run(cfg, path).get("fit", float("nan"))
                                     for _ in range(repeats))
                line = (f"{task:<15} {rows:>7} {max_features:>12} {fits['canopy']:>8.2f}"
                        f" {fits['sklearn']:>8.2f} {fits['sklearn'] / fits['canopy']:>16.1f}x")
                if args.baseline:
                    line += (f" {fits['baseline']:>8.2f}"
                             f" {fits['sklearn'] / fits['baseline']:>18.1f}x")
                print(line, flush=True)


if __name__ == "__main__":
    main()
