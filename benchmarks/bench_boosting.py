"""Boosted forests side by side with scikit-learn's HistGradientBoosting, LightGBM and XGBoost.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_boosting.py [--rows N] [--splits K]

Sections:
  1. fit / predict time and accuracy at default settings (regression R^2, binary and 5-class
     accuracy and log-loss) on make_regression / make_classification data, rows x 20;
  2. empirical coverage and mean width of CanopyRegressor.predict_ci at alpha 0.05 and 0.1 on
     held-out rows over several random splits, and of the binary Wilson intervals against the
     true class-1 probability of a known logistic model;
  3. trees per second of the inner forests against the random forest regressors;
  4. async_mode=True: trees used and fit time against the plain fit;
  5. prediction cost per tree and row of the boosted estimators beside the random forests,
     fitted on the same rows (--predict-rows training rows, as many rows predicted). A
     tree's cost grows with the nodes a row visits, so the table also gives the mean path
     length of the predicted rows and the cost per node visited. A node visit costs more in
     a larger tree (fewer of its nodes stay in cache), so the last column divides by the
     visit cost of the full-depth RandomForestRegressor, whose trees are about the size of
     the boosted ones (the small classification forests are listed for reference). Run it
     with an older build on PYTHONPATH for before / after.
Times are wall-clock seconds of one run (CPU seconds of all threads with --clock cpu); ratios
are canopy / peer.
"""

import argparse
import time

import numpy as np
from sklearn.datasets import make_classification, make_regression
from sklearn.ensemble import (
    HistGradientBoostingClassifier,
    HistGradientBoostingRegressor,
    RandomForestRegressor as SkRandomForestRegressor,
)
from sklearn.metrics import accuracy_score, log_loss, r2_score
from sklearn.model_selection import train_test_split

import canopy

try:
    import lightgbm
except ImportError:  # pragma: no cover
    lightgbm = None
try:
    import xgboost
except ImportError:  # pragma: no cover
    xgboost = None


# time.perf_counter, or time.process_time (--clock cpu): CPU seconds of every thread of the
# process, which a busy machine disturbs less than wall-clock time.
clock = time.perf_counter


def timed(fn):
    start = clock()
    out = fn()
    return out, clock() - start


def peers(task, n_classes=2):
    out = {}
    if task == "regression":
        out["HistGradientBoosting"] = HistGradientBoostingRegressor()
        if lightgbm:
            out["LightGBM"] = lightgbm.LGBMRegressor(verbose=-1)
        if xgboost:
            out["XGBoost"] = xgboost.XGBRegressor()
    else:
        out["HistGradientBoosting"] = HistGradientBoostingClassifier()
        if lightgbm:
            out["LightGBM"] = lightgbm.LGBMClassifier(verbose=-1)
        if xgboost:
            out["XGBoost"] = xgboost.XGBClassifier()
    return out


def score(task, model, x, y, is_canopy):
    if task == "regression":
        pred = np.asarray(model.predict(x))
        return {"R^2": r2_score(y, pred)}
    pred = np.asarray(model.predict(x))
    proba = np.asarray(model.predict_proba(x))
    return {"accuracy": accuracy_score(y, pred), "log-loss": log_loss(y, np.clip(proba, 1e-15, 1))}


def section_quality(rows, tasks_wanted, seed=0):
    print(f"\n## 1. Defaults on {rows} x 20 rows (75% train / 25% test)")
    tasks = [
        ("regression", make_regression(n_samples=rows, n_features=20, n_informative=10,
                                       noise=10.0, random_state=seed), 0),
        ("binary", make_classification(n_samples=rows, n_features=20, n_informative=10,
                                       random_state=seed), 2),
        ("5-class", make_classification(n_samples=rows, n_features=20, n_informative=10,
                                        n_classes=5, n_clusters_per_class=1, random_state=seed), 5),
    ]
    for name, (x, y), k in tasks:
        if name not in tasks_wanted:
            continue
        task = "regression" if k == 0 else "classification"
        y = y.astype(float)
        xtr, xte, ytr, yte = train_test_split(x, y, test_size=0.25, random_state=seed)
        ours = canopy.CanopyRegressor(random_state=0) if k == 0 else canopy.CanopyClassifier(random_state=0)
        _, fit_t = timed(lambda: ours.fit(xtr, ytr))
        metrics, pred_t = timed(lambda: score(task, ours, xte, yte, True))
        rows_out = [("canopy", fit_t, pred_t, metrics)]
        for peer_name, model in peers(task, k).items():
            _, pfit = timed(lambda: model.fit(xtr, ytr))
            pm, ppred = timed(lambda: score(task, model, xte, yte, False))
            rows_out.append((peer_name, pfit, ppred, pm))
        print(f"\n### {name}")
        keys = list(metrics)
        print(f"| model | fit s | predict s | {' | '.join(keys)} | fit ratio | predict ratio |")
        print("|---|---|---|" + "---|" * len(keys) + "---|---|")
        for model_name, f, p, m in rows_out:
            vals = " | ".join(f"{m[k_]:.4f}" for k_ in keys)
            print(f"| {model_name} | {f:.2f} | {p:.3f} | {vals} | {fit_t / f:.1f} | {pred_t / p:.1f} |")


def section_intervals(rows, splits):
    print(f"\n## 2. Interval coverage on held-out rows ({rows} rows, {splits} random splits)")
    rng = np.random.default_rng(0)
    x = rng.uniform(-2, 2, size=(rows, 6))
    noise = rng.normal(scale=0.5 + 0.25 * np.abs(x[:, 1]), size=rows)
    y = np.sin(2 * x[:, 0]) + x[:, 1] ** 2 - x[:, 2] + noise
    results = {0.05: [], 0.1: []}
    for split in range(splits):
        xtr, xte, ytr, yte = train_test_split(x, y, test_size=0.3, random_state=split)
        m = canopy.CanopyRegressor(random_state=split)
        m.fit(xtr, ytr)
        for alpha in results:
            ci = np.asarray(m.predict_ci(xte, alpha=alpha))
            covered = np.mean((ci[:, 0] <= yte) & (yte <= ci[:, 1]))
            results[alpha].append((covered, np.mean(ci[:, 1] - ci[:, 0])))
    print("| CanopyRegressor.predict_ci | mean coverage | min coverage | mean width |")
    print("|---|---|---|---|")
    for alpha, vals in results.items():
        cov = np.array([v[0] for v in vals])
        width = np.mean([v[1] for v in vals])
        print(f"| alpha={alpha} (target {1 - alpha:.0%}) | {cov.mean():.3f} | {cov.min():.3f} | {width:.3f} |")

    # Wilson intervals of the binary classifier against the true probability of class 1.
    true_logit = 1.5 * x[:, 0] - x[:, 1] + 0.5 * x[:, 2] * x[:, 3]
    p_true = 1 / (1 + np.exp(-true_logit))
    labels = (rng.uniform(size=rows) < p_true).astype(float)
    cover, width = {0.05: [], 0.1: []}, {0.05: [], 0.1: []}
    for split in range(splits):
        idx_tr, idx_te = train_test_split(np.arange(rows), test_size=0.3, random_state=split)
        m = canopy.CanopyClassifier(random_state=split)
        m.fit(x[idx_tr], labels[idx_tr])
        for alpha in cover:
            ci = np.asarray(m.predict_ci(x[idx_te], alpha=alpha))
            pt = p_true[idx_te]
            cover[alpha].append(np.mean((ci[:, 0] <= pt) & (pt <= ci[:, 1])))
            width[alpha].append(np.mean(ci[:, 1] - ci[:, 0]))
    print("\n| CanopyClassifier.predict_ci (binary) | covers the true P(class 1) | mean width |")
    print("|---|---|---|")
    for alpha in cover:
        print(f"| alpha={alpha} | {np.mean(cover[alpha]):.3f} | {np.mean(width[alpha]):.3f} |")


def section_throughput(rows):
    print(f"\n## 3. Inner-forest trees per second ({rows} x 20 rows, depth-limited 8 and unlimited)")
    x, y = make_regression(n_samples=rows, n_features=20, n_informative=10, noise=10.0, random_state=1)
    print("| model | max_depth | trees | fit s | trees/s |")
    print("|---|---|---|---|---|")
    for depth in (8, None):
        n_trees = 20
        # One round on all rows: the refit stage grows n_trees trees on every row, the
        # calibration stage n_trees more on 90% of them.
        m = canopy.CanopyRegressor(n_estimators=1, rf_n_estimators=n_trees, rf_max_depth=depth,
                                   random_state=0, conformal_fraction=0.1)
        _, t = timed(lambda: m.fit(x, y))
        print(f"| CanopyRegressor inner forest | {depth} | {2 * n_trees} | {t:.2f} | {2 * n_trees / t:.1f} |")
        if hasattr(canopy, "RandomForestRegressor"):
            try:
                rf = canopy.RandomForestRegressor(n_estimators=n_trees, max_depth=depth, random_state=0)
                _, t = timed(lambda: rf.fit(x, y))
                print(f"| canopy RandomForestRegressor | {depth} | {n_trees} | {t:.2f} | {n_trees / t:.1f} |")
            except Exception as e:  # not available in this build
                print(f"| canopy RandomForestRegressor | {depth} | - | - | unavailable ({type(e).__name__}) |")
        sk = SkRandomForestRegressor(n_estimators=n_trees, max_depth=depth, n_jobs=-1, random_state=0)
        _, t = timed(lambda: sk.fit(x, y))
        print(f"| scikit-learn RandomForestRegressor | {depth} | {n_trees} | {t:.2f} | {n_trees / t:.1f} |")


def section_async(rows):
    print(f"\n## 4. async_mode=True against the plain fit ({rows} x 20 rows)")
    x, y = make_regression(n_samples=rows, n_features=20, n_informative=10, noise=10.0, random_state=2)
    xtr, xte, ytr, yte = train_test_split(x, y, test_size=0.25, random_state=0)
    print("| CanopyRegressor | tol | trees grown | fit s | R^2 |")
    print("|---|---|---|---|---|")
    for async_mode, tol in ((False, 1e-4), (True, 1e-4), (True, 0.0), (True, 1.0)):
        m = canopy.CanopyRegressor(async_mode=async_mode, tol=tol, random_state=0)
        _, t = timed(lambda: m.fit(xtr, ytr))
        r2 = r2_score(yte, m.predict(xte))
        print(f"| async_mode={async_mode} | {tol} | {sum(m.trees_used)} of {20 * 20} | {t:.2f} | {r2:.4f} |")


def tree_lists(model):
    """Every tree of a fitted model as (children_left, children_right, feature, threshold)."""
    if isinstance(model, dict):  # a boosted model's to_dict()
        trees = [t for r in model["rounds"] for o in r["outputs"] for t in o["trees"]]
    else:  # a canopy._core forest
        trees = model.tree_arrays()[1]
    return [tuple(np.asarray(t[k]) for k in ("children_left", "children_right", "feature", "threshold"))
            for t in trees]


def mean_nodes_and_path(trees, x):
    """Mean nodes per tree, and mean nodes a row of x visits per tree (root to leaf)."""
    visits = 0
    rows = np.arange(len(x))
    for left, right, feature, threshold in trees:
        node = np.zeros(len(x), dtype=np.int64)
        live = rows
        while live.size:
            visits += live.size
            at = node[live]
            inner = left[at] >= 0
            live, at = live[inner], at[inner]
            go_left = x[live, feature[at]] <= threshold[at]
            node[live] = np.where(go_left, left[at], right[at])
    return np.mean([len(t[0]) for t in trees]), visits / (len(trees) * len(x))


def section_predict_cost(rows, repeats=5):
    print(f"\n## 5. Prediction cost per tree and row ({rows} x 20 training rows, {rows} rows predicted)")
    from canopy import _core  # the same engine; only its forests export their trees

    xr, yr = make_regression(n_samples=2 * rows, n_features=20, n_informative=10, noise=10.0, random_state=3)
    xb, yb = make_classification(n_samples=2 * rows, n_features=20, n_informative=10, random_state=3)
    x5, y5 = make_classification(n_samples=2 * rows, n_features=20, n_informative=10, n_classes=5,
                                 n_clusters_per_class=1, random_state=3)
    cases = [("regression", xr, yr.astype(float)), ("2 classes", xb, yb.astype(float)),
             ("5 classes", x5, y5.astype(float))]
    print("| task | model | trees | nodes per tree | nodes visited per tree-row | predict s "
          "| ns per tree-row | ns per node visited | per node / regression forest |")
    print("|---|---|---|---|---|---|---|---|---|")
    reference = None  # the regression forest: (name, call, trees, nodes per tree, path)
    for task, x, y in cases:
        xtr, ytr, xte = x[:rows], y[:rows], x[rows:]
        regression = task == "regression"
        method = "predict" if regression else "predict_proba"
        kind = "RandomForestRegressor" if regression else "RandomForestClassifier"
        forest = getattr(canopy, kind)(n_estimators=100, random_state=0)
        twin = getattr(_core, kind)(n_estimators=100, random_state=0)
        boosted = (canopy.CanopyRegressor if regression else canopy.CanopyClassifier)(random_state=0)
        for m in (forest, twin, boosted):
            m.fit(xtr, ytr)
        if not np.array_equal(np.asarray(getattr(forest, method)(xte)), getattr(twin, method)(xte)):
            print(f"| {task} | (the forest's tree sizes below are of a different fit) |")
        measured = []
        for model, trees in ((forest, tree_lists(twin)), (boosted, tree_lists(boosted.to_dict()))):
            call = getattr(model, method)
            measured.append((f"{type(model).__name__}.{method}", lambda c=call, x=xte: c(x), len(trees),
                             *mean_nodes_and_path(trees, xte)))
        if reference is None:
            reference = measured[0]
        # Interleaved, so that the machine's load falls on the reference forest and on this
        # task's models alike; the best of the repeats counts.
        timings = [measured[0], reference, measured[1]] if measured[0] is not reference else measured
        best = {id(m): float("inf") for m in timings}
        for _ in range(repeats):
            for m in timings:
                best[id(m)] = min(best[id(m)], timed(m[1])[1])
        ref_visit = best[id(reference)] / (reference[2] * rows) * 1e9 / reference[4]
        for m in measured:
            name, _, n_trees, nodes, path = m
            t = best[id(m)]
            per_tree_row = t / (n_trees * rows) * 1e9
            print(f"| {task} | {name} | {n_trees} | {nodes:.0f} | {path:.1f} | {t:.3f} | {per_tree_row:.1f} "
                  f"| {per_tree_row / path:.2f} | {per_tree_row / path / ref_visit:.2f} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000, help="rows of sections 1, 3 and 4")
    parser.add_argument("--interval-rows", type=int, default=3000)
    parser.add_argument("--splits", type=int, default=10)
    parser.add_argument("--predict-rows", type=int, default=10_000, help="rows of section 5")
    parser.add_argument("--sections", default="12345")
    parser.add_argument("--tasks", default="regression,binary,5-class", help="tasks of section 1")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall")
    args = parser.parse_args()
    if args.clock == "cpu":
        global clock
        clock = time.process_time
    if "1" in args.sections:
        section_quality(args.rows, args.tasks.split(","))
    if "2" in args.sections:
        section_intervals(args.interval_rows, args.splits)
    if "3" in args.sections:
        section_throughput(args.rows)
    if "4" in args.sections:
        section_async(args.rows)
    if "5" in args.sections:
        section_predict_cost(args.predict_rows)


if __name__ == "__main__":
    main()
