"""Tour section: bagged random forests grown on quantile bins."""

import numpy as np

from canopy import RandomForestClassifier, RandomForestRegressor


def run() -> None:
    print("== Random forests ==")
    rng = np.random.default_rng(0)
    x = rng.normal(size=(2000, 6))
    y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.3, size=2000)
    train, test = slice(0, 1500), slice(1500, None)

    reg = RandomForestRegressor(n_estimators=60, max_features="0.5", random_state=7)
    reg.fit(x[train], y[train])
    pred = np.array(reg.predict(x[test]))
    r2 = 1.0 - np.sum((y[test] - pred) ** 2) / np.sum((y[test] - y[test].mean()) ** 2)
    print(f"RandomForestRegressor {reg.get_info()}: held-out R^2 = {r2:.3f}")

    labels = np.digitize(y, np.quantile(y, [1 / 3, 2 / 3])).astype(float)
    clf = RandomForestClassifier(n_estimators=60, max_features="sqrt", random_state=7)
    clf.fit(x[train], labels[train])
    print(f"RandomForestClassifier classes_={clf.classes_}: held-out accuracy = "
          f"{clf.score(x[test], labels[test]):.3f}")
    first = clf.predict_proba(x[test][:1])[0]
    print("  class probabilities of the first held-out row:", [round(p, 3) for p in first])

    again = RandomForestClassifier(n_estimators=60, max_features="sqrt", random_state=7)
    again.fit(x[train], labels[train])
    same = again.predict_proba(x[test]) == clf.predict_proba(x[test])
    print(f"  refit with the same random_state reproduces every probability: {same}")
