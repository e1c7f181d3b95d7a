"""canopy.sklearn against canopy._rs on the same forests, side by side in one process.

fit on float64 input, predict and predict_proba of both random forests: the best wall and
CPU seconds of several calls, alternating between the two so that both see the same
machine state (CPU seconds, of every thread, are the steadier figure on a busy machine). The
_rs calls are timed as they return (lists, nothing after); the canopy.sklearn calls include
their input validation and return NumPy arrays. Both fit the same model, checked bit for
bit. Pickling (the native state as bytes) is timed and sized beside a pickled
scikit-learn forest of the same data when scikit-learn's forest is asked for.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_sklearn_interface.py
    PYTHONPATH=build/dev-pkg python benchmarks/bench_sklearn_interface.py --quick
"""

import argparse
import pickle
import time

import numpy as np

import canopy.sklearn as cs
from canopy import _rs


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return time.perf_counter() - wall, time.process_time() - cpu, result


def best(fn, repeats):
    times, result = [], None
    for _ in range(repeats):
        wall, _, result = timed(fn)
        times.append(wall)
    return min(times), result


def side_by_side(name, x, y, trees, repeats, predict_repeats):
    """Rows (call, wall _rs, wall sklearn, cpu _rs, cpu sklearn): best of alternating calls."""
    models = {"rs": getattr(_rs, name)(n_estimators=trees, random_state=0),
              "sk": getattr(cs, name)(n_estimators=trees, random_state=0)}
    methods = ["fit", "predict"] + (["predict_proba"] if hasattr(models["rs"], "predict_proba") else [])
    rows = []
    for method in methods:
        wall = {"rs": float("inf"), "sk": float("inf")}
        cpu = dict(wall)
        out = {}
        for _ in range(repeats if method == "fit" else predict_repeats):
            for lib, model in models.items():
                call = (lambda: model.fit(x, y)) if method == "fit" else (lambda: getattr(model, method)(x))
                w, c, out[lib] = timed(call)
                wall[lib], cpu[lib] = min(wall[lib], w), min(cpu[lib], c)
        if method != "fit":
            check(name, method, out)
        rows.append((method, wall["rs"], wall["sk"], cpu["rs"], cpu["sk"]))
    return models["sk"], rows


def check(name, method, out):
    expected = np.asarray(out["rs"])
    got = np.asarray(out["sk"], dtype=np.float64)
    if method == "predict" and name.endswith("Classifier"):
        # Equal top probabilities: canopy.sklearn takes the first class (as argmax and
        # scikit-learn do), canopy._rs the last.
        ties = int((got != expected).sum())
        if ties:
            print(f"  ({name}.predict: {ties} rows with tied top classes resolve differently)")
    else:
        assert got.tobytes() == expected.tobytes(), f"{name}.{method}"


def state_size(model, fit_s, label):
    dump_s, blob = best(lambda: pickle.dumps(model), 3)
    load_s, _ = best(lambda: pickle.loads(blob), 3)
    print(f"{label:40} fit {fit_s:7.2f} s  pickle {dump_s:7.3f} s  unpickle {load_s:7.3f} s  "
          f"{len(blob) / 1e6:9.1f} MB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=3, help="fits of each")
    parser.add_argument("--predict-repeats", type=int, default=9)
    parser.add_argument("--state", action="store_true", help="also pickle the classifier, beside scikit-learn's")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.trees, args.repeats, args.predict_repeats = 5_000, 5, 2, 2

    rng = np.random.default_rng(0)
    x = rng.normal(size=(args.rows, args.features))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.5, size=args.rows)
    labels = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)

    print(f"{args.rows} x {args.features} float64, {args.trees} trees, best of {args.repeats} "
          f"fits and {args.predict_repeats} predictions")
    print(f"{'estimator':24} {'call':14} {'wall _rs':>9} {'sklearn':>9} {'ratio':>6}"
          f" {'cpu _rs':>9} {'sklearn':>9} {'ratio':>6}")
    fitted = {}
    for name, target in (("RandomForestRegressor", y), ("RandomForestClassifier", labels)):
        model, rows = side_by_side(name, x, target, args.trees, args.repeats, args.predict_repeats)
        fitted[name] = (model, rows[0][2])
        for method, rs_w, sk_w, rs_c, sk_c in rows:
            print(f"{name:24} {method:14} {rs_w:9.3f} {sk_w:9.3f} {sk_w / rs_w:6.3f}"
                  f" {rs_c:9.3f} {sk_c:9.3f} {sk_c / rs_c:6.3f}")

    if args.state:
        from sklearn.ensemble import RandomForestClassifier

        model, fit_s = fitted["RandomForestClassifier"]
        print()
        state_size(model, fit_s, "canopy.sklearn.RandomForestClassifier")
        peer = RandomForestClassifier(n_estimators=args.trees, random_state=0, n_jobs=-1)
        peer_fit_s, _ = best(lambda: peer.fit(x, labels), 1)
        state_size(peer, peer_fit_s, "sklearn.ensemble.RandomForestClassifier")


if __name__ == "__main__":
    main()
