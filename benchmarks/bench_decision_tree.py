"""DecisionTree against scikit-learn on the same data, in one run.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_decision_tree.py [--rows N] [--repeat R]

Full-depth trees on all features with min_samples_leaf=1; fit and predict times are the best
of R runs; ratios are scikit-learn time / canopy time (above 1 means canopy is faster).
"""

import argparse
import time

import numpy as np
from sklearn.datasets import make_classification, make_friedman1
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from canopy import DecisionTree


def best_time(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def compare(name, x, y, ours, theirs, repeat):
    fit_ours, _ = best_time(lambda: ours.fit(x, y), repeat)
    fit_theirs, _ = best_time(lambda: theirs.fit(x, y), repeat)
    pred_ours, p_ours = best_time(lambda: ours.predict(x), repeat)
    pred_theirs, p_theirs = best_time(lambda: theirs.predict(x), repeat)
    agree = np.mean(np.asarray(p_ours) == p_theirs)
    print(
        f"{name:<15} fit {fit_ours:7.3f}s vs {fit_theirs:7.3f}s  x{fit_theirs / fit_ours:5.2f}   "
        f"predict {pred_ours * 1e3:7.1f}ms vs {pred_theirs * 1e3:7.1f}ms  "
        f"x{pred_theirs / pred_ours:5.2f}   depth {ours.get_depth()} / {theirs.get_depth()}   "
        f"leaves {ours.get_n_leaves()} / {theirs.get_n_leaves()}   same predictions {agree:.3f}"
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    n, m = args.rows, args.features
    print(f"{n} rows x {m} float64 features, full depth, min_samples_leaf=1; "
          "canopy vs scikit-learn, best of", args.repeat)

    x, y = make_friedman1(n_samples=n, n_features=m, noise=1.0, random_state=0)
    x = np.ascontiguousarray(x, dtype=np.float64)
    compare("regression", x, y.astype(np.float64),
            DecisionTree(task="regression", random_state=0),
            DecisionTreeRegressor(random_state=0), args.repeat)

    x, y = make_classification(n_samples=n, n_features=m, n_informative=10, flip_y=0.05,
                               random_state=0)
    x = np.ascontiguousarray(x, dtype=np.float64)
    compare("classification", x, y.astype(np.float64),
            DecisionTree(task="classification", random_state=0),
            DecisionTreeClassifier(random_state=0), args.repeat)


if __name__ == "__main__":
    main()
