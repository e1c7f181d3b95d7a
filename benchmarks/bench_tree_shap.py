"""Explain time of canopy's TreeSHAP beside shap's TreeExplainer on the same tree.

The tree is grown twice on the same float32-representable data, by canopy's DecisionTree and
by scikit-learn's (both exact, midpoint thresholds, variance or Gini). Random sample weights
and min_samples_leaf=10 keep the split searches free of exact ties, which the two libraries
would break differently. The benchmark checks that the two trees predict identically on the
explained rows, hands scikit-learn's structure to shap as a custom tree dict (x <= threshold
goes left in both), with the unweighted node sizes as node_sample_weight, and compares the
attributions: with the training rows as background, canopy's branch weights are those same
node sizes, so the two must agree to rounding.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_tree_shap.py
"""

import time

import numpy as np
import shap
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from canopy import DecisionTree, TreeSHAP

N_TRAIN = 2000
N_EXPLAIN = 1000
N_FEATURES = 10
REPEATS = 7
MIN_SAMPLES_LEAF = 10


def make_data(seed, n):
    rng = np.random.default_rng(seed)
    # float32-representable, as scikit-learn's trees read float32.
    return rng.normal(size=(n, N_FEATURES)).astype(np.float32).astype(np.float64)


def targets(x, task):
    score = x[:, 0] + 0.8 * x[:, 1] * x[:, 2] - 0.6 * np.abs(x[:, 3]) + 0.3 * x[:, 4:].sum(axis=1)
    if task == "regression":
        return score + 0.1 * np.random.default_rng(7).normal(size=len(x))
    return np.digitize(score, np.quantile(score, [1 / 3, 2 / 3])).astype(np.float64)


def shap_tree_dict(sk):
    t = sk.tree_
    return {
        "trees": [
            {
                "children_left": t.children_left.copy(),
                "children_right": t.children_right.copy(),
                "children_default": t.children_left.copy(),
                "features": t.feature.copy(),
                "thresholds": t.threshold.copy(),
                "values": t.value.reshape(t.node_count, -1).copy(),
                "node_sample_weight": t.n_node_samples.astype(np.float64),
            }
        ]
    }


def best_time(fn):
    best = float("inf")
    result = None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def case(task, depth):
    x = make_data(0, N_TRAIN)
    y = targets(x, task)
    rows = make_data(1, N_EXPLAIN)
    w = np.random.default_rng(3).uniform(0.5, 1.5, len(x))
    ours = DecisionTree(task=task, max_depth=depth, random_state=0, min_samples_leaf=MIN_SAMPLES_LEAF)
    ours.fit(x, y, w)
    params = dict(max_depth=depth, random_state=0, min_samples_leaf=MIN_SAMPLES_LEAF)
    if task == "regression":
        sk = DecisionTreeRegressor(**params).fit(x, y, sample_weight=w)
        same = np.allclose(ours.predict(rows), sk.predict(rows), rtol=0, atol=1e-12)
    else:
        sk = DecisionTreeClassifier(**params).fit(x, y, sample_weight=w)
        same = np.allclose(ours.predict_proba(rows), sk.predict_proba(rows), rtol=0, atol=1e-12)
    same = same and ours.get_n_leaves() == sk.get_n_leaves() and ours.get_depth() == sk.get_depth()
    if not same:
        raise SystemExit(f"{task} depth {depth}: the two trees differ; no like-for-like comparison")

    explainer = TreeSHAP(ours, x, task)
    t_ours, phi_ours = best_time(lambda: explainer.explain(rows))
    theirs = shap.TreeExplainer(shap_tree_dict(sk), feature_perturbation="tree_path_dependent")
    t_shap, phi_shap = best_time(lambda: theirs.shap_values(rows, check_additivity=False))

    phi_ours = np.array(phi_ours)  # rows, outputs, features
    phi_shap = np.asarray(phi_shap)
    phi_shap = phi_shap[:, None, :] if phi_shap.ndim == 2 else phi_shap.transpose(0, 2, 1)
    diff = float(np.max(np.abs(phi_ours - phi_shap)))
    used = int(np.sum(sk.feature_importances_ > 0))
    return task, depth, ours.get_n_leaves(), used, t_ours, t_shap, diff


def main():
    print(f"TreeSHAP explain of {N_EXPLAIN} rows, {N_FEATURES} features, background {N_TRAIN} rows,"
          f" best of {REPEATS}", flush=True)
    header = f"{'task':<15}{'depth':>6}{'leaves':>8}{'M':>4}{'canopy ms':>11}{'shap ms':>10}"
    print(header + f"{'canopy/shap':>13}{'max |diff|':>12}")
    worst = 0.0
    for task in ("regression", "classification"):
        for depth in (4, 6, 8):
            task_, d, leaves, m, t_ours, t_shap, diff = case(task, depth)
            worst = max(worst, diff)
            print(f"{task_:<15}{d:>6}{leaves:>8}{m:>4}{t_ours * 1e3:>11.1f}{t_shap * 1e3:>10.1f}"
                  f"{t_ours / t_shap:>13.2f}{diff:>12.2e}", flush=True)
    print(f"largest attribution difference from shap: {worst:.2e}")


if __name__ == "__main__":
    main()
