"""Tour section: exact Shapley attributions of a decision tree."""

import numpy as np

from canopy import DecisionTree, TreeSHAP


def _terms(phi):
    return "  ".join(f"x{i}:{v:+.3f}" for i, v in enumerate(phi))


def run() -> None:
    print("TreeSHAP: where a tree's prediction comes from")
    rng = np.random.default_rng(0)
    x = rng.normal(size=(400, 4))
    # Column 3 plays no part in the target.
    y = 2.0 * x[:, 0] + 3.0 * (x[:, 1] > 0.0) - x[:, 2]
    tree = DecisionTree(task="regression", max_depth=4, random_state=0)
    tree.fit(x, y)
    explainer = TreeSHAP(tree, x, "regression")
    base = float(np.mean(tree.predict(x)))
    rows = x[:3]
    print(f"  regression tree of depth {tree.get_depth()}, background mean {base:.3f}")
    for pred, (phi,) in zip(tree.predict(rows), explainer.explain(rows)):
        print(f"  {pred:+7.3f} = {base:.3f} + [{_terms(phi)}]  (sum {sum(phi):+.3f})")

    labels = np.digitize(x[:, 0] + x[:, 1], [-0.7, 0.7]).astype(np.float64)
    clf = DecisionTree(task="classification", max_depth=3, random_state=0)
    clf.fit(x, labels)
    per_class = TreeSHAP(clf, x, "classification").explain(x[:1])[0]
    proba = clf.predict_proba(x[:1])[0]
    print(f"  classifier, first row: probabilities {[round(p, 3) for p in proba]}")
    for c, phi in enumerate(per_class):
        print(f"    class {c}: [{_terms(phi)}]")
