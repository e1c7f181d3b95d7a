"""Whole-model Shapley attributions: canopy beside shap's TreeExplainer on the same trees.

Each canopy model is handed to shap in shap's custom tree format (tree_arrays: the trees'
structure, their contributions to the raw output and their covers as node sample weights),
so both explain exactly the same trees with the same path-dependent definition
(feature_perturbation="tree_path_dependent"). The run reports, per model: the largest
difference of the attributions relative to the largest attribution, the efficiency error
(attributions plus expected value against the model's own prediction), and rows per
second for canopy on 1 and 2 threads and for shap (with the CPU/wall ratio of its call: the
threads it kept busy), and the ratio of CPU seconds of shap and of canopy on one thread,
which a machine shared with other work distorts less than wall time. Full-depth forests take seconds per row in either library, so they
are explained on fewer rows (--deep-rows); rows per second do not depend on the count.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_shap_models.py [--rows 1000] [--deep-rows 20]
"""

import argparse
import time

import numpy as np
import shap

from canopy import _core, _rs

N_TRAIN = 100_000
N_FEATURES = 20


def make_data(n, m, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] - np.abs(x[:, 4]) + 0.5 * rng.normal(size=n)
    return x, y


def shap_model(native):
    start, trees = native.tree_arrays()
    return {
        "base_offset": start,
        "trees": [
            {
                "children_left": t["children_left"],
                "children_right": t["children_right"],
                "children_default": t["children_right"],  # canopy sends NaN right
                "features": t["feature"],
                "thresholds": np.nan_to_num(t["threshold"]),
                "values": t["value"],
                "node_sample_weight": t["cover"],
            }
            for t in trees
        ],
    }


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    out = fn()
    return out, time.perf_counter() - wall, time.process_time() - cpu


def compare(name, model, rows):
    _, trees = model.tree_arrays()
    nodes = sum(len(t["cover"]) for t in trees)
    (ours, expected), t1, c1 = timed(lambda: model.shap_values(rows, n_jobs=1))
    (ours2, _), t2, _ = timed(lambda: model.shap_values(rows, n_jobs=2))
    assert np.array_equal(ours, ours2), "results depend on the thread count"
    explainer = shap.TreeExplainer(shap_model(model), feature_perturbation="tree_path_dependent")
    theirs, ts, ts_cpu = timed(lambda: explainer.shap_values(rows))
    theirs = np.asarray(theirs).reshape(ours.shape)
    agreement = np.abs(ours - theirs).max() / np.abs(theirs).max()
    efficiency = np.abs(ours.sum(axis=1)[:, 0] + expected[0] - model.predict(rows)).max()
    n = len(rows)
    print(
        f"| {name} | {len(trees)} / {nodes / len(trees):,.0f} | {n} | {n / t1:.3g} | {n / t2:.3g} | "
        f"{n / ts:.3g} ({ts_cpu / ts:.2f}) | {ts / t2:.1f}x | {ts_cpu / c1:.1f}x | {agreement:.1e} | "
        f"{efficiency:.1e} |",
        flush=True,
    )


def deep_tree_rate(n_rows):
    x, y = make_data(N_TRAIN, 30, seed=1)
    tree = _rs.DecisionTree(task="regression", random_state=0)
    tree.fit(x, y)
    explainer = _rs.TreeSHAP(tree, x, "regression")
    rows = x[:n_rows]
    phi, wall, _ = timed(lambda: explainer.explain(rows))
    used = np.count_nonzero(np.abs(np.array(phi)[:, 0, :]).sum(axis=0))
    base = np.mean(tree.predict(x))
    error = np.abs(np.array(phi)[:, 0, :].sum(axis=1) + base - np.array(tree.predict(rows))).max()
    print(
        f"\nTreeSHAP on one full-depth tree of {tree.get_n_leaves():,} leaves, depth "
        f"{tree.get_depth()}, splitting on {used} distinct features (the enumeration refused "
        f"more than 22): {n_rows / wall:,.1f} rows/s on 1 thread; efficiency error {error:.1e}"
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--deep-rows", type=int, default=20)
    args = parser.parse_args()
    x, y = make_data(N_TRAIN, N_FEATURES)
    rows = make_data(args.rows, N_FEATURES, seed=2)[0]
    print(f"shap {shap.__version__}; {N_TRAIN:,} x {N_FEATURES} training rows\n")
    print(
        "| model | trees / nodes per tree | rows | canopy 1 thread rows/s | canopy 2 threads rows/s "
        "| shap rows/s (CPU/wall) | shap / canopy 2 threads, wall | shap / canopy 1 thread, CPU "
        "| max rel. difference | efficiency error |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|")
    for depth, n in ((8, args.rows), (None, args.deep_rows)):
        forest = _core.RandomForestRegressor(n_estimators=100, max_depth=depth, random_state=0)
        forest.fit(x, y)
        compare(f"RandomForestRegressor, depth {depth or 'full'}", forest, rows[:n])
        del forest
    boosted = _core.CanopyRegressor(random_state=0)
    boosted.fit(x, y)
    compare("CanopyRegressor (defaults)", boosted, rows[: max(1, args.deep_rows // 4)])
    del boosted
    deep_tree_rate(max(1, args.deep_rows * 5))


if __name__ == "__main__":
    main()
