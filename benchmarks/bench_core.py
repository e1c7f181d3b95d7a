"""canopy._core against canopy._rs on the same forests, side by side in one process.

Fit (float64 input) and predict / predict_proba of both random forests, each the best of
--repeats calls, alternating between the modules so that both see the same machine state.
_rs returns lists (timed as returned, nothing after); _core returns NumPy arrays. Both fit
the same model, which is checked bit for bit.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_core.py            # 100,000 x 20
    PYTHONPATH=build/dev-pkg python benchmarks/bench_core.py --quick    # a smoke run
"""

import argparse
import time

import numpy as np

from canopy import _core, _rs


def best_time(fn, repeats):
    best, result = float("inf"), None
    for _ in range(repeats):
        t = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t)
    return best, result


def bench(name, x, y, trees, repeats):
    rs = getattr(_rs, name)(n_estimators=trees, random_state=0)
    core = getattr(_core, name)(n_estimators=trees, random_state=0)
    fit = {"rs": float("inf"), "core": float("inf")}
    for _ in range(repeats):
        for label, model in (("rs", rs), ("core", core)):
            t = time.perf_counter()
            model.fit(x, y)
            fit[label] = min(fit[label], time.perf_counter() - t)
    rows = [("fit", fit["rs"], fit["core"])]
    methods = ["predict"] + (["predict_proba"] if hasattr(rs, "predict_proba") else [])
    for method in methods:
        rs_s, rs_out = best_time(lambda: getattr(rs, method)(x), repeats)
        core_s, core_out = best_time(lambda: getattr(core, method)(x), repeats)
        assert np.asarray(rs_out).tobytes() == core_out.tobytes(), f"{name}.{method} differs"
        rows.append((method, rs_s, core_s))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.trees, args.repeats = 5_000, 5, 2

    rng = np.random.default_rng(0)
    x = rng.normal(size=(args.rows, args.features))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.5, size=args.rows)
    labels = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)

    print(f"{args.rows} x {args.features}, {args.trees} trees, best of {args.repeats}")
    print(f"{'estimator':24} {'call':14} {'_rs s':>9} {'_core s':>9} {'_core/_rs':>10}")
    for name, target in (("RandomForestRegressor", y), ("RandomForestClassifier", labels)):
        for method, rs_s, core_s in bench(name, x, target, args.trees, args.repeats):
            print(f"{name:24} {method:14} {rs_s:9.3f} {core_s:9.3f} {core_s / rs_s:10.3f}")


if __name__ == "__main__":
    main()
