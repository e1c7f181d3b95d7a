"""Two builds of canopy compared by the instructions each call executes, counted by
valgrind's callgrind on one thread: a figure that does not move with the machine's load,
for telling a real slowdown from noise when timings (ab_builds.py) disagree.

Each operation runs in a fresh process under callgrind, once with the call and once with
everything but the call; the difference is the call's count. Ratios are new / old.
Valgrind does not run AVX-512 code, so both builds take their AVX2 or baseline paths.

    python benchmarks/ab_instructions.py --old build/base-pkg --new build/dev-pkg
    python benchmarks/ab_instructions.py --old ... --new ... --ops tree.fit,shap.explain

--branches also counts mispredicted branches under callgrind's simple predictor model.
Valgrind's predictor is cruder than a processor's, so a change that only trades branches
for instructions can read better here than it runs; confirm such a change with a profile.
"""

import argparse
import os
import re
import subprocess
import sys

CHILD = r"""
import sys
import numpy as np
import canopy

op, call = sys.argv[1], sys.argv[2] == "call"
rng = np.random.default_rng(0)
n, m = 5000, 20
x = rng.normal(size=(2 * n, m))
y = 2.0 * x[:, 0] + np.sin(3.0 * x[:, 1]) + x[:, 2] * x[:, 3] + rng.normal(scale=0.5, size=2 * n)
y3 = np.searchsorted(np.quantile(y, [1 / 3, 2 / 3]), y).astype(float)
xtr, xte = x[:n], x[n:]
kind, method = op.split(".")
if kind == "tree":
    obj = canopy.DecisionTree(random_state=0)
elif kind.startswith("rf_"):
    # rf_clf / rf_reg search sqrt(m) features per node, rf_clf_all / rf_reg_all every one.
    cls = (canopy.RandomForestClassifier if kind.startswith("rf_clf")
           else canopy.RandomForestRegressor)
    obj = cls(n_estimators=10, random_state=0,
              max_features=None if kind.endswith("_all") else "sqrt")
elif kind == "unsup":
    obj = canopy.RandomForestUnsupervised(n_estimators=20, random_state=0)
elif kind == "boost":
    obj = canopy.CanopyRegressor(n_estimators=3, rf_n_estimators=5, random_state=0)
    obj.fit(xtr[:2000], y[:2000])
elif kind == "shap":
    tree = canopy.DecisionTree(task="regression", random_state=0, max_depth=8)
    tree.fit(xtr, y[:n])
    obj = canopy.TreeSHAP(tree, xtr, "regression")
fit_args = {"tree": (xtr, y3[:n]), "rf_clf": (xtr, y3[:n]), "rf_clf_all": (xtr, y3[:n]),
            "rf_reg": (xtr, y[:n]), "rf_reg_all": (xtr, y[:n]),
            "unsup": (xtr[:1000],)}.get(kind)
if method != "fit" and fit_args is not None:
    obj.fit(*fit_args)
calls = {
    "fit": lambda: obj.fit(*fit_args),
    "predict_proba": lambda: obj.predict_proba(xte),
    "predict_ci": lambda: obj.predict_ci(xte),
    "to_dict": lambda: obj.to_dict(),
    "explain": lambda: obj.explain(xte[:20]),
    "outlier_scores": lambda: obj.outlier_scores(),
}
if call:
    calls[method]()
"""

OPS = ("tree.fit,tree.predict_proba,rf_clf.fit,rf_clf.predict_proba,unsup.fit,"
       "unsup.outlier_scores,shap.explain,boost.predict_ci,boost.to_dict")


def counts(path, op, call, branches):
    """(instructions, mispredicted branches or 0) of one run."""
    # NumPy's BLAS threads spin for a while after each call: their count is noise. So is
    # the interpreter's string hashing, seeded afresh in every process unless fixed.
    env = dict(os.environ, PYTHONPATH=path, RAYON_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1",
               OMP_NUM_THREADS="1", PYTHONHASHSEED="0")
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
        + (["--branch-sim=yes"] if branches else [])
        + [os.path.realpath(sys.executable), "-c", CHILD, op, "call" if call else "setup"],
        env=env, capture_output=True, text=True)
    # "Collected : Ir", or with the branch model "Collected : Ir Bc Bcm Bi Bim".
    found = re.search(r"Collected : ([\d ]+)", done.stderr)
    if done.returncode != 0 or not found:
        sys.exit(done.stderr[-2000:])
    events = [int(v) for v in found.group(1).split()]
    return events[0], (events[2] + events[4] if branches else 0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--old", required=True, help="PYTHONPATH of the reference build")
    ap.add_argument("--new", required=True, help="PYTHONPATH of the build under test")
    ap.add_argument("--ops", default=OPS)
    ap.add_argument("--branches", action="store_true",
                    help="also count mispredicted branches (callgrind's predictor model)")
    args = ap.parse_args()
    header = f"{'call':24s} {'old instructions':>18s} {'new instructions':>18s} {'new/old':>8s}"
    if args.branches:
        header += f" {'old mispredicted':>17s} {'new mispredicted':>17s} {'new/old':>8s}"
    print(header, flush=True)
    for op in args.ops.split(","):
        (old, old_miss), (new, new_miss) = (
            tuple(a - b for a, b in zip(counts(p, op, True, args.branches),
                                        counts(p, op, False, args.branches)))
            for p in (args.old, args.new))
        line = f"{op:24s} {old:18,d} {new:18,d} {new / old:8.3f}"
        if args.branches:
            line += f" {old_miss:17,d} {new_miss:17,d} {new_miss / max(old_miss, 1):8.3f}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
