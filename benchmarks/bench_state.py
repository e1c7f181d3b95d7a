"""Saving and loading a fitted forest: canopy's state format against a pickled
scikit-learn forest of the same data and settings.

A full-depth forest of 100 classification trees on 100,000 x 20 rows (a noisy binary
target, so the trees are large; max_features="sqrt" on both sides). The forests differ in
size (canopy splits on quantile bins), so bytes per node are shown beside the totals. For canopy._core: fit, export_state, load_state and the
state's size; for scikit-learn's RandomForestClassifier: fit, pickle.dumps, pickle.loads
and the pickle's size. Times are wall-clock seconds (best of --repeats for export and
load); ratios put export and load against the fit, and canopy's bytes against
scikit-learn's.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_state.py
    PYTHONPATH=build/dev-pkg python benchmarks/bench_state.py --quick
"""

import argparse
import pickle
import struct
import time

import numpy as np


def data(rows, features, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, features))
    signal = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + 0.5 * np.abs(x[:, 4])
    y = signal + rng.normal(scale=0.5, size=rows)
    return x, (y > np.median(y)).astype(float)


def best(fn, repeats):
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t)
    return min(times), result


def count_nodes(state):
    """Nodes of a RandomForestClassifier state, read from its layout (docs/state_format.md)."""
    u64 = lambda at: struct.unpack_from("<Q", state, at)[0]  # noqa: E731
    at = 28
    at += 9 if state[at] else 1  # n_jobs
    at += 8  # n_estimators
    at += 9 if state[at] else 1  # max_depth
    at += 9 + u64(at + 1) if state[at] else 1  # max_features
    at += 1  # bootstrap
    at += 9 if state[at] else 1  # random_state
    at += 16 + 1  # min_samples_split, min_samples_leaf, fitted
    at += 1 + 8 + 8 * u64(at + 1)  # classes
    at += 8  # n_classes
    n_trees, at = u64(at), at + 8
    total = 0
    for _ in range(n_trees):
        n, at = u64(at), at + 8
        total += n
        at += 32 * n
        form, at = state[at], at + 1
        if form == 1:
            at += 2 * n
            at += 8 + 8 * u64(at)
        elif form == 2:
            at += 4 * (n + 1)
            at += 8 + 12 * u64(at)
    return total


def canopy_side(x, y, trees, jobs, repeats):
    from canopy import _core

    model = _core.RandomForestClassifier(n_estimators=trees, random_state=0, n_jobs=jobs, max_features="sqrt")
    fit, _ = best(lambda: model.fit(x, y), 1)
    export, state = best(model.export_state, repeats)
    load, loaded = best(lambda: _core.RandomForestClassifier.load_state(state), repeats)
    same = loaded.predict_proba(x[:2000]).tobytes() == model.predict_proba(x[:2000]).tobytes()
    return dict(fit=fit, save=export, load=load, bytes=len(state), nodes=count_nodes(state), same=same)


def sklearn_side(x, y, trees, jobs, repeats):
    from sklearn.ensemble import RandomForestClassifier

    model = RandomForestClassifier(n_estimators=trees, random_state=0, n_jobs=jobs, max_features="sqrt")
    fit, _ = best(lambda: model.fit(x, y), 1)
    dump, blob = best(lambda: pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL), repeats)
    load, _ = best(lambda: pickle.loads(blob), repeats)
    nodes = sum(t.tree_.node_count for t in model.estimators_)
    return dict(fit=fit, save=dump, load=load, bytes=len(blob), nodes=nodes, same=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--jobs", type=int, default=-1)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="10,000 rows, 10 trees")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.trees = 10_000, 10
    x, y = data(args.rows, args.features)
    print(f"{args.trees} full-depth classification trees on {args.rows:,} x {args.features}")
    results = {
        "canopy": canopy_side(x, y, args.trees, args.jobs, args.repeats),
        "sklearn": sklearn_side(x, y, args.trees, args.jobs, args.repeats),
    }
    print(f"{'':10}{'fit s':>9}{'save s':>9}{'load s':>9}{'save/fit':>10}{'load/fit':>10}{'bytes':>15}{'nodes':>12}{'bytes/node':>12}")
    for name, r in results.items():
        print(
            f"{name:10}{r['fit']:9.2f}{r['save']:9.3f}{r['load']:9.3f}"
            f"{r['save'] / r['fit']:10.4f}{r['load'] / r['fit']:10.4f}{r['bytes']:15,}"
            f"{r['nodes']:12,}{r['bytes'] / r['nodes']:12.1f}"
        )
    ratio = results["canopy"]["bytes"] / results["sklearn"]["bytes"]
    print(f"canopy state / scikit-learn pickle size: {ratio:.3f}")
    print(f"loaded canopy model predicts the same bits: {results['canopy']['same']}")


if __name__ == "__main__":
    main()
