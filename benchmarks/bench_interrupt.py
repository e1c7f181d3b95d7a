"""Ctrl-C latency of the long calls: how long after SIGINT each call gives up.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_interrupt.py [--full] [name ...]

For each call a process timer raises KeyboardInterrupt (through a SIGALRM handler)
`--after` seconds in; the figure is the time from the signal to the exception. `--full` times the uninterrupted call
instead (to see how long it would have run).
"""

import argparse
import signal
import time

import numpy as np

import canopy


def data(n, m, seed=0, classes=None):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, m))
    y = x[:, 0] + 0.5 * np.sin(3 * x[:, 1]) + 0.3 * rng.normal(size=n)
    if classes:
        y = np.digitize(y, np.quantile(y, np.linspace(0, 1, classes + 1)[1:-1])).astype(float)
    return x, y


def fitted(est, x, *args):
    est.fit(x, *args)
    return est


def repeat(times, call, *args):
    for _ in range(times):
        call(*args)  # each result dropped at once: freeing many big lists takes time too


def scenarios():
    """name -> callable running one long call (set-up done when the callable is made)."""
    x, y = data(200_000, 8)
    _, y2 = data(200_000, 8, classes=2)
    _, y3 = data(200_000, 8, classes=3)
    xs, ys = data(3000, 6)
    xu = data(2500, 6)[0]
    xb, yb = x[:10_000], y[:10_000]
    yb2, yb3 = y2[:10_000], y3[:10_000]
    boost = dict(n_estimators=100, rf_n_estimators=10, rf_max_depth=6, random_state=0)
    tree = canopy.DecisionTree(task="regression", random_state=0)
    tree.fit(xs, ys)
    shap_tree = canopy.DecisionTree(task="regression", max_depth=14, random_state=0)
    xw, yw = data(20_000, 20, seed=1)
    shap_tree.fit(xw, yw)
    uf = fitted(canopy.RandomForestUnsupervised(n_estimators=300, random_state=0), xu)
    rf = fitted(canopy.RandomForestRegressor(n_estimators=100, random_state=0), x[:50_000],
                y[:50_000])
    rfc = fitted(canopy.RandomForestClassifier(n_estimators=100, random_state=0), x[:50_000],
                 y3[:50_000])
    big = np.tile(x, (5, 1))
    cr = fitted(canopy.CanopyRegressor(**boost), x[:5_000], y[:5_000])
    return {
        "DecisionTree.fit": lambda: canopy.DecisionTree(task="regression").fit(x, y),
        "DecisionTree.predict": lambda: repeat(20, tree.predict, big),
        "RandomForestRegressor.fit": lambda: canopy.RandomForestRegressor(
            n_estimators=50, random_state=0).fit(x, y),
        "RandomForestClassifier.fit": lambda: canopy.RandomForestClassifier(
            n_estimators=50, random_state=0).fit(x, y3),
        "RandomForestRegressor.predict": lambda: rf.predict(big),
        "RandomForestClassifier.predict_proba": lambda: rfc.predict_proba(big),
        "CanopyRegressor.fit": lambda: canopy.CanopyRegressor(**boost).fit(xb, yb),
        "CanopyRegressor.fit(async)": lambda: canopy.CanopyRegressor(
            **boost, async_mode=True, tol=1e-12).fit(xb, yb),
        "CanopyRegressor.predict": lambda: cr.predict(big),
        "CanopyClassifier.fit(binary)": lambda: canopy.CanopyClassifier(**boost).fit(xb, yb2),
        "CanopyClassifier.fit(3 classes, async)": lambda: canopy.CanopyClassifier(
            **boost, async_mode=True, tol=1e-12).fit(xb, yb3),
        "Canopy.fit": lambda: canopy.Canopy(**boost, task="regression").fit(xb, yb),
        "RandomForestUnsupervised.fit": lambda: canopy.RandomForestUnsupervised(
            n_estimators=300, random_state=0).fit(x[:40_000]),
        "RandomForestUnsupervised.proximity_matrix": lambda: uf.proximity_matrix(True),
        "RandomForestUnsupervised.proximity_sparse": lambda: uf.proximity_sparse(50),
        "RandomForestUnsupervised.outlier_scores": lambda: uf.outlier_scores(False),
        "RandomForestUnsupervised.predict_outlier_scores": lambda: uf.predict_outlier_scores(xu),
        "RandomForestUnsupervised.transform": lambda: uf.transform(40),
        "RandomForestUnsupervised.feature_importances": lambda: repeat(
            10, uf.feature_importances),
        "TreeSHAP.explain": lambda: canopy.TreeSHAP(shap_tree, xw[:200], "regression").explain(
            xw[:1]),
    }


def raise_keyboard_interrupt(signum, frame):
    raise KeyboardInterrupt


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("names", nargs="*")
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--after", type=float, default=0.5)
    args = parser.parse_args()
    signal.signal(signal.SIGALRM, raise_keyboard_interrupt)
    calls = scenarios()
    for name, call in calls.items():
        if args.names and not any(n in name for n in args.names):
            continue
        start = time.perf_counter()
        if args.full:
            call()
            print(f"{name:48s} full call {time.perf_counter() - start:7.2f} s", flush=True)
            continue
        # A process timer: it fires whatever the interpreter is doing, as Ctrl-C would.
        sent = time.perf_counter() + args.after
        signal.setitimer(signal.ITIMER_REAL, args.after)
        try:
            call()
            finished = time.perf_counter()
            time.sleep(args.after + 1)  # the signal lands here when the call was quick
            outcome = "finished before the signal"
            if finished > sent:
                outcome = f"not interrupted: finished {finished - sent:.2f} s after the signal"
        except KeyboardInterrupt:
            outcome = f"KeyboardInterrupt {1000 * (time.perf_counter() - sent):7.1f} ms after the signal"
        print(f"{name:48s} {outcome}", flush=True)


if __name__ == "__main__":
    main()
