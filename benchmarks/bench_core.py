"""canopy._core against canopy._rs on the same forests, side by side in one process.

Fit (float64 input) and predict / predict_proba of both random forests, each the best of
--repeats calls in wall-clock and in process CPU time, alternating between the modules so
that both see the same machine state.
_rs returns lists (timed as returned, nothing after); _core returns NumPy arrays. Both fit
the same model, which is checked bit for bit.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_core.py            # 100,000 x 20
    PYTHONPATH=build/dev-pkg python benchmarks/bench_core.py --quick    # a smoke run
"""

import argparse
import time

import numpy as np

from canopy import _core, _rs


def timed(fn):
    """Wall-clock and process CPU seconds of one call (CPU time is the steadier of the two on
    a machine shared with other work)."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return time.perf_counter() - wall, time.process_time() - cpu, result


def bench(name, x, y, trees, repeats):
    """Per call: the best wall and CPU seconds of each module, the calls alternating."""
    models = {"rs": getattr(_rs, name)(n_estimators=trees, random_state=0),
              "core": getattr(_core, name)(n_estimators=trees, random_state=0)}
    methods = ["fit", "predict"] + (["predict_proba"] if name.endswith("Classifier") else [])
    best = {(m, k, lib): float("inf") for m in methods for k in ("wall", "cpu") for lib in models}
    outputs = {}
    for method in methods:
        for rep in range(repeats):
            order = ("rs", "core") if rep % 2 == 0 else ("core", "rs")
            for lib in order:
                model = models[lib]
                call = (lambda: model.fit(x, y)) if method == "fit" else (
                    lambda: getattr(model, method)(x))
                wall, cpu, out = timed(call)
                best[method, "wall", lib] = min(best[method, "wall", lib], wall)
                best[method, "cpu", lib] = min(best[method, "cpu", lib], cpu)
                outputs[lib] = out
        if method != "fit":
            same = np.asarray(outputs["rs"]).tobytes() == outputs["core"].tobytes()
            assert same, f"{name}.{method} differs"
    return [(m, best[m, "wall", "rs"], best[m, "wall", "core"], best[m, "cpu", "rs"],
             best[m, "cpu", "core"]) for m in methods]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--trees", type=int, default=20)
    parser.add_argument("--repeats", type=int, default=4)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.trees, args.repeats = 5_000, 5, 2

    rng = np.random.default_rng(0)
    x = rng.normal(size=(args.rows, args.features))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.5, size=args.rows)
    labels = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)

    print(f"{args.rows} x {args.features}, {args.trees} trees, best of {args.repeats}")
    print(f"{'estimator':24} {'call':14} {'wall _rs':>9} {'_core':>8} {'ratio':>6}"
          f" {'cpu _rs':>9} {'_core':>8} {'ratio':>6}")
    for name, target in (("RandomForestRegressor", y), ("RandomForestClassifier", labels)):
        for method, rs_w, core_w, rs_c, core_c in bench(name, x, target, args.trees, args.repeats):
            print(f"{name:24} {method:14} {rs_w:9.3f} {core_w:8.3f} {core_w / rs_w:6.3f}"
                  f" {rs_c:9.3f} {core_c:8.3f} {core_c / rs_c:6.3f}")


if __name__ == "__main__":
    main()
