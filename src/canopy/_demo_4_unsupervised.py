"""Unsupervised forest: outliers and a 2-D map of unlabeled data."""

import numpy as np

from canopy import RandomForestUnsupervised


def run() -> None:
    print("== RandomForestUnsupervised: structure without labels ==")
    rng = np.random.default_rng(0)
    # Two columns that move together, one that is noise, and three rows that break the rule.
    z = rng.normal(size=120)
    x = np.column_stack([z, z + 0.1 * rng.normal(size=120), rng.normal(size=120)])
    x[:3, :2] = [[1.5, -1.5], [-1.5, 1.5], [2.0, -2.0]]
    model = RandomForestUnsupervised(n_estimators=100, random_state=0)
    model.fit(x)

    scores = np.array(model.outlier_scores())
    top = np.argsort(scores)[::-1][:3]
    print(f"fitted {model.n_estimators_} trees on {model.n_samples_} rows x {model.n_features_}")
    print("highest outlier scores:", ", ".join(f"row {i} ({scores[i]:.1f})" for i in top))
    print("  (rows 0-2 were planted against the x0 ~ x1 rule)")
    new = np.array([[1.0, 1.05, 0.0], [1.0, -1.0, 0.0]])
    print("new rows [1, 1.05, 0] and [1, -1, 0] score:",
          ", ".join(f"{s:.1f}" for s in model.predict_outlier_scores(new)))

    neighbours = model.proximity_sparse(k=3)[10]
    print("row 10's closest rows by proximity:",
          ", ".join(f"{j} ({p:.2f})" for j, p in neighbours))

    emb = np.array(model.transform(n_components=2))
    print(f"2-D embedding: {emb.shape[0]} points, spread {emb.std(axis=0).round(3).tolist()}")
    imp = model.feature_importances()
    print("permutation importances:", ", ".join(f"x{j} {v:.2f}" for j, v in enumerate(imp)))
