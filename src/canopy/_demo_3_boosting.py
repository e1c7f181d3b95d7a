"""Boosted forests: every round fits a small random forest to the residuals."""

import numpy as np

from canopy import Canopy, CanopyClassifier, CanopyRegressor


def _data(n, seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2, 2, size=(n, 4))
    y = np.sin(2 * x[:, 0]) + x[:, 1] ** 2 - x[:, 2] + rng.normal(scale=0.3, size=n)
    return x, y


def run() -> None:
    print("== Boosted forests ==")
    x, y = _data(1200, 0)
    x_new, y_new = _data(400, 1)

    reg = CanopyRegressor(n_estimators=20, rf_n_estimators=10, rf_max_depth=6, random_state=0)
    reg.fit(x, y)
    pred = np.array(reg.predict(x_new))
    r2 = 1 - np.mean((pred - y_new) ** 2) / np.var(y_new)
    print(f"CanopyRegressor: R^2 on new rows {r2:.3f}")
    for alpha in (0.05, 0.1, 0.2):
        ci = np.array(reg.predict_ci(x_new, alpha=alpha))
        covered = np.mean((ci[:, 0] <= y_new) & (y_new <= ci[:, 1]))
        print(f"  conformal interval at alpha={alpha}: width {ci[0, 1] - ci[0, 0]:.3f}, "
              f"covers {covered:.1%} of new rows")
    imp = reg.feature_importances()
    print("  split-share importances:", ", ".join(f"{v:.2f}" for v in imp))
    model = reg.to_dict()
    n_nodes = sum(len(t["value"]) for r in model["rounds"] for t in r["outputs"][0]["trees"])
    print(f"  to_dict: {model['n_estimators']} rounds, {n_nodes} nodes in flat arrays")

    labels = (y > np.median(y)).astype(float)
    clf = CanopyClassifier(n_estimators=15, rf_n_estimators=10, rf_max_depth=6, random_state=0)
    clf.fit(x, labels)
    acc = np.mean(np.array(clf.predict(x_new)) == (y_new > np.median(y)))
    print(f"CanopyClassifier (two classes): accuracy {acc:.3f}")
    for row, (p, (lo, hi)) in enumerate(zip(clf.predict_proba(x_new[:3]), clf.predict_ci(x_new[:3]))):
        print(f"  row {row}: P(class 1) = {p[1]:.3f}, Wilson 95% interval [{lo:.3f}, {hi:.3f}]")

    three = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)
    unified = Canopy(task="classification", n_estimators=10, rf_n_estimators=8, random_state=0)
    unified.fit(x, three)
    print(f"Canopy(task='classification') on three classes: first probabilities "
          f"{[round(v, 3) for v in unified.predict_proba(x_new[:1])[0]]}")

    fast = CanopyRegressor(n_estimators=10, rf_n_estimators=20, rf_max_depth=6, random_state=0,
                           async_mode=True, tol=0.2)
    fast.fit(x, y)
    print(f"async_mode=True: trees per round {fast.trees_used} (at most 20)")
