"""DecisionTree against scikit-learn on the same data, in one run.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_decision_tree.py [--rows N] [--repeat R]
    PYTHONPATH=build/dev-pkg python benchmarks/bench_decision_tree.py --deep 200000

Full-depth trees on all features with min_samples_leaf=1; fit and predict times are the best
of R runs, measured as CPU time of this process (both libraries grow and walk one tree on one
thread, so this is fair on a busy machine); ratios are scikit-learn time / canopy time (above 1
means canopy is faster).
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
        start = time.process_time()
        result = fn()
        best = min(best, time.process_time() - start)
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


def deep_chain(n):
    """One feature, alternating classes: every split peels off one row, depth n - 1 (CPU times).
    The exact search sweeps every node, so the fit costs on the order of n * n / 2."""
    x = np.arange(n, dtype=np.float64).reshape(-1, 1)
    y = (np.arange(n) % 2).astype(np.float64)
    tree = DecisionTree(task="classification", random_state=0)
    start = time.process_time()
    tree.fit(x, y)
    fit = time.process_time() - start
    start = time.process_time()
    depth, leaves = tree.get_depth(), tree.get_n_leaves()
    walk = time.process_time() - start
    start = time.process_time()
    pred = tree.predict(x)
    predict = time.process_time() - start
    print(f"deep chain, {n} rows: fit {fit:.1f}s, depth {depth}, leaves {leaves} "
          f"(counted in {walk * 1e3:.1f}ms), predict all rows {predict:.1f}s, "
          f"correct {pred == list(y)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--deep", type=int, default=0, help="only the deep-chain run, N rows")
    args = parser.parse_args()
    if args.deep:
        deep_chain(args.deep)
        return
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
