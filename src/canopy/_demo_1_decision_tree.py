"""A single exact tree: regression and classification on small generated data."""

import numpy as np

from canopy import DecisionTree


def run() -> None:
    print("DecisionTree: one tree grown with the exact split search")
    rng = np.random.default_rng(0)
    x = rng.uniform(-3, 3, size=(300, 2))
    y = np.sin(x[:, 0]) + 0.1 * rng.normal(size=300)

    reg = DecisionTree(task="regression", max_depth=4, random_state=0)
    reg.fit(x, y)
    grid = np.array([[-2.0, 0.0], [0.0, 0.0], [1.5, 0.0]])
    pred = reg.predict(grid)
    print(f"  regression, max_depth=4: depth {reg.get_depth()}, {reg.get_n_leaves()} leaves")
    for row, p in zip(grid, pred):
        print(f"    sin({row[0]:+.1f}) = {np.sin(row[0]):+.3f}, tree says {p:+.3f}")

    labels = (x[:, 0] * x[:, 1] > 0).astype(np.float64)  # quadrant parity
    clf = DecisionTree(task="classification", min_samples_leaf=5, random_state=0)
    clf.fit(x, labels)
    proba = clf.predict_proba(np.array([[1.0, 1.0], [-1.0, 1.0]]))
    accuracy = np.mean(np.asarray(clf.predict(x)) == labels)
    print(f"  classification: classes {clf.classes_}, depth {clf.get_depth()}, "
          f"training accuracy {accuracy:.3f}")
    print(f"    P(class) at (1, 1): {proba[0]}, at (-1, 1): {proba[1]}")
