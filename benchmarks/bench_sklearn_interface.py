"""canopy.sklearn against canopy._rs on the same forests, side by side in one process.

fit on float64 input, predict and predict_proba of both random forests: each the best of
--repeats calls, alternating between the two so that both see the same machine state. The
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


def best(fn, repeats):
    times, result = [], None
    for _ in range(repeats):
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
    return min(times), result


def side_by_side(name, x, y, trees, repeats, predict_repeats):
    rs = getattr(_rs, name)(n_estimators=trees, random_state=0)
    sk = getattr(cs, name)(n_estimators=trees, random_state=0)
    fit = {"rs": [], "sk": []}
    for _ in range(repeats):
        t = time.perf_counter()
        rs.fit(x, y)
        fit["rs"].append(time.perf_counter() - t)
        t = time.perf_counter()
        sk.fit(x, y)
        fit["sk"].append(time.perf_counter() - t)
    rows = [("fit", min(fit["rs"]), min(fit["sk"]))]
    for method in ["predict"] + (["predict_proba"] if hasattr(rs, "predict_proba") else []):
        rs_s, sk_s = float("inf"), float("inf")
        for _ in range(predict_repeats):  # alternate, one call each
            s, rs_out = best(lambda: getattr(rs, method)(x), 1)
            rs_s = min(rs_s, s)
            s, sk_out = best(lambda: getattr(sk, method)(x), 1)
            sk_s = min(sk_s, s)
        expected = np.asarray(rs_out)
        got = np.asarray(sk_out, dtype=np.float64)
        if method == "predict" and hasattr(rs, "predict_proba"):
            # Equal top probabilities: canopy.sklearn takes the first class (as argmax and
            # scikit-learn do), canopy._rs the last.
            ties = int((got != expected).sum())
            if ties:
                print(f"  ({name}.predict: {ties} rows with tied top classes resolve differently)")
        else:
            assert got.tobytes() == expected.tobytes(), f"{name}.{method}"
        rows.append((method, rs_s, sk_s))
    return sk, rows


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
    print(f"{'estimator':24} {'call':14} {'_rs s':>9} {'sklearn s':>10} {'sklearn/_rs':>12}")
    fitted = {}
    for name, target in (("RandomForestRegressor", y), ("RandomForestClassifier", labels)):
        model, rows = side_by_side(name, x, target, args.trees, args.repeats, args.predict_repeats)
        fitted[name] = (model, rows[0][2])
        for method, rs_s, sk_s in rows:
            print(f"{name:24} {method:14} {rs_s:9.3f} {sk_s:10.3f} {sk_s / rs_s:12.3f}")

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
