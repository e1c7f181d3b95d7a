"""Per-tree throughput of the boosted estimators' inner forests against RandomForestRegressor.

A CanopyRegressor with one round grows one forest on the training part (80% of the rows)
and one on all rows, both full depth; a RandomForestRegressor grows one forest on all rows.
Run: python benchmarks/bench_inner_throughput.py [--rows N] [--trees T]
"""

import argparse
import time

import numpy as np

from canopy import CanopyRegressor, RandomForestRegressor


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--trees", type=int, default=50)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    x = rng.normal(size=(args.rows, args.features))
    y = 2 * x[:, 0] + np.sin(3 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.5, size=args.rows)

    start = time.perf_counter()
    RandomForestRegressor(n_estimators=args.trees, random_state=0).fit(x, y)
    forest_s = time.perf_counter() - start
    start = time.perf_counter()
    CanopyRegressor(n_estimators=1, rf_n_estimators=args.trees, random_state=0).fit(x, y)
    boosted_s = time.perf_counter() - start

    # Tree-equivalents on all rows: the calibration forest sees 80% of them.
    boosted_trees = args.trees * (0.8 + 1.0)
    print(f"{args.rows} x {args.features}, full depth")
    print(f"RandomForestRegressor  {args.trees / forest_s:6.2f} trees/s")
    print(f"CanopyRegressor inner  {boosted_trees / boosted_s:6.2f} trees/s (row-weighted)")
    print(f"ratio inner / forest   {(boosted_trees / boosted_s) / (args.trees / forest_s):.2f}")


if __name__ == "__main__":
    main()
