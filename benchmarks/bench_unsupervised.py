"""RandomForestUnsupervised: timings of every method, the exact dense proximity counting
against the pair-by-pair loop, the memory of proximity_sparse, outlier detection beside
scikit-learn's IsolationForest, and how the methods that never form an n x n table grow
with the number of rows (20,000 to 100,000 rows, 100 trees, 2 threads, peak memory of each
size in a process of its own).

    PYTHONPATH=build/dev-pkg python benchmarks/bench_unsupervised.py [--quick] [--scaling-only]

The pair-by-pair reference exists only in the C++ test binary (a disabled GoogleTest case
that fits the same forest in C++, times both computations and checks they agree exactly);
this script runs it when build/dev/canopy_tests is present. Figures are wall-clock seconds of
one run each; the machine's other load shows in them, so read the ratios.
"""

import argparse
import json
import os
import resource
import re
import subprocess
import sys
import textwrap
import time

import numpy as np
from sklearn.ensemble import IsolationForest
from sklearn.metrics import roc_auc_score

from canopy import RandomForestUnsupervised


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t


def structured(n, p, rng, outlier_share=0.02):
    """Rows driven by three latent factors, with planted outliers of two kinds: rows whose
    columns are drawn independently from the marginals (they break the dependence between
    columns) and rows pushed far out along the main factor."""
    factors = rng.normal(size=(n, 3))
    loadings = rng.normal(size=(3, p))
    x = factors @ loadings + 0.3 * rng.normal(size=(n, p))
    labels = np.zeros(n, dtype=int)
    n_out = max(2, int(outlier_share * n))
    idx = rng.choice(n, size=n_out, replace=False)
    half = n_out // 2
    for j in range(p):  # kind 1: each column from another random row
        x[idx[:half], j] = x[rng.integers(0, n, size=half), j]
    x[idx[half:]] = 3.0 * x[idx[half:]]  # kind 2: far along the data's own directions
    labels[idx[:half]] = 1
    labels[idx[half:]] = 2
    return x, labels


def method_timings(n, p, n_trees, seed):
    rng = np.random.default_rng(seed)
    x, labels = structured(n, p, rng)
    model = RandomForestUnsupervised(n_estimators=n_trees, random_state=seed)
    row = {"rows": n, "trees": n_trees}
    _, row["fit"] = timed(lambda: model.fit(x))
    if n <= 4000:  # the dense result as nested lists costs n^2 Python floats
        _, row["proximity_matrix"] = timed(lambda: model.proximity_matrix())
    _, row["proximity_sparse(k=10)"] = timed(lambda: model.proximity_sparse(10))
    scores, row["outlier_scores"] = timed(lambda: model.outlier_scores())
    _, row["predict_outlier_scores(200)"] = timed(lambda: model.predict_outlier_scores(x[:200]))
    _, row["transform"] = timed(lambda: model.transform(2))
    _, row["feature_importances"] = timed(lambda: model.feature_importances())

    iso = IsolationForest(n_estimators=n_trees, random_state=seed)
    _, row["IsolationForest fit"] = timed(lambda: iso.fit(x))
    ours, theirs = auc_by_kind(labels, scores), auc_by_kind(labels, -iso.score_samples(x))
    for name in ours:
        row[f"AUC {name}: canopy"] = ours[name]
        row[f"AUC {name}: IsolationForest"] = theirs[name]
    return row


def auc_by_kind(labels, scores):
    """ROC AUC of the scores against all planted outliers and against each kind alone."""
    out = {}
    for kind, name in ((None, "all"), (1, "independent columns"), (2, "far along factors")):
        mask = np.ones(len(labels), dtype=bool) if kind is None else np.isin(labels, [0, kind])
        out[name] = roc_auc_score((labels[mask] > 0).astype(int), np.asarray(scores)[mask])
    return out


def scaling_child(n, n_trees, threads, with_auc):
    """One size in a fresh process: the pool gets `threads` workers and ru_maxrss is this
    size's own peak. Prints one JSON object."""
    x, labels = structured(n, 10, np.random.default_rng(0))
    x_new, _ = structured(1000, 10, np.random.default_rng(1))
    model = RandomForestUnsupervised(n_estimators=n_trees, random_state=0, n_jobs=threads)
    row = {}
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    _, row["fit"] = timed(lambda: model.fit(x))
    scores, row["outlier_scores"] = timed(model.outlier_scores)
    _, row["proximity_sparse(k=10)"] = timed(lambda: model.proximity_sparse(10))
    # The training rows' square sums, which outlier_scores has just computed, serve the first
    # call too; a cold first call, on a model that has computed nothing yet, follows below.
    first, row["predict_outlier_scores(1000), first, after outlier_scores"] = timed(
        lambda: model.predict_outlier_scores(x_new))
    second, row["predict_outlier_scores(1000), second"] = timed(
        lambda: model.predict_outlier_scores(x_new))
    if first != second:
        raise RuntimeError("a second predict_outlier_scores gave other scores")
    row["peak memory (MiB)"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    row["  of which before fit (imports, data)"] = before
    del model
    fresh = RandomForestUnsupervised(n_estimators=n_trees, random_state=0, n_jobs=threads)
    fresh.fit(x)
    cold, row["predict_outlier_scores(1000), first on a fresh fit"] = timed(
        lambda: fresh.predict_outlier_scores(x_new))
    if cold != first:
        raise RuntimeError("a fresh fit's predict_outlier_scores gave other scores")
    if with_auc:
        iso = IsolationForest(n_estimators=n_trees, random_state=0, n_jobs=threads)
        _, row["IsolationForest fit"] = timed(lambda: iso.fit(x))
        row["auc canopy"] = auc_by_kind(labels, scores)
        row["auc IsolationForest"] = auc_by_kind(labels, -iso.score_samples(x))
    print(json.dumps(row))


def scaling(sizes, n_trees, threads):
    """The scaling table over `sizes`, and the AUC table at the largest size."""
    rows = {}
    for n in sizes:
        out = subprocess.run(
            [sys.executable, __file__, "--scaling-child", str(n), str(n_trees), str(threads),
             "1" if n == sizes[-1] else "0"],
            capture_output=True, text=True, check=True,
        ).stdout
        rows[n] = json.loads(out.splitlines()[-1])
    print(f"== scaling: 10 features, {n_trees} trees, {threads} threads, seconds per call ==")
    keys = [k for k in rows[sizes[0]] if not k.startswith("auc") and "Isolation" not in k]
    print(f"  {'':58}" + "".join(f"{n:>12,}" for n in sizes))
    for key in keys:
        print(f"  {key:<58}" + "".join(f"{rows[n][key]:>12.3f}" for n in sizes))
    last = rows[sizes[-1]]
    print(f"\n== outlier detection at {sizes[-1]:,} rows: ROC AUC against planted outliers ==")
    print(f"  {'outliers':<24}{'canopy':>10}{'IsolationForest':>18}")
    for name in last["auc canopy"]:
        print(f"  {name:<24}{last['auc canopy'][name]:>10.3f}"
              f"{last['auc IsolationForest'][name]:>18.3f}")
    print(f"  fit seconds: canopy {last['fit']:.2f}, IsolationForest "
          f"{last['IsolationForest fit']:.2f}\n")


def dense_against_pair_loop(binary, n, n_trees):
    env = dict(os.environ, CANOPY_BENCH_ROWS=str(n), CANOPY_BENCH_TREES=str(n_trees))
    out = subprocess.run(
        [binary, "--gtest_also_run_disabled_tests",
         "--gtest_filter=UnsupervisedTiming.DISABLED_DenseProximityAgainstPairLoop"],
        env=env, capture_output=True, text=True, check=True,
    ).stdout
    m = re.search(r"fast_s=([\d.]+) naive_s=([\d.]+)", out)
    if m is None or "[  PASSED  ] 1 test" not in out:
        raise RuntimeError("timing case did not pass:\n" + out)
    return float(m.group(1)), float(m.group(2))


SPARSE_SCRIPT = textwrap.dedent(
    """
    import sys
    import numpy as np
    from canopy import RandomForestUnsupervised

    def status(key):
        for line in open("/proc/self/status"):
            if line.startswith(key):
                return int(line.split()[1]) * 1024

    n, k, trees = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    x = np.random.default_rng(0).normal(size=(n, 10))
    model = RandomForestUnsupervised(n_estimators=trees, random_state=0)
    model.fit(x)
    base = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:  # restart the peak from here
        f.write("5")
    rows = model.proximity_sparse(k)
    peak = status("VmHWM")
    python_bytes = sys.getsizeof(rows) + sum(
        sys.getsizeof(r) + sum(sys.getsizeof(t) + sys.getsizeof(t[0]) + sys.getsizeof(t[1])
                               for t in r)
        for r in rows
    )
    print(base, peak, python_bytes, sum(len(r) for r in rows))
    """
)


def sparse_memory(n, k, n_trees):
    out = subprocess.run(
        [sys.executable, "-c", SPARSE_SCRIPT, str(n), str(k), str(n_trees)],
        capture_output=True, text=True, check=True,
    ).stdout.split()
    base, peak, python_bytes, pairs = map(int, out)
    return peak - base, python_bytes, pairs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--scaling-only", action="store_true",
                        help="only the scaling and outlier-detection tables")
    parser.add_argument("--tests-binary", default="build/dev/canopy_tests")
    parser.add_argument("--scaling-child", nargs=4, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.scaling_child:
        n, n_trees, threads, with_auc = args.scaling_child
        scaling_child(n, n_trees, threads, bool(with_auc))
        return

    scaling([2000, 5000, 10000] if args.quick else [20000, 50000, 100000], 100, 2)
    if args.scaling_only:
        return

    sizes = [(500, 100)] if args.quick else [(2000, 500), (10000, 200)]
    print("== RandomForestUnsupervised, 10 features, seconds per call ==")
    for n, trees in sizes:
        row = method_timings(n, 10, trees, seed=0)
        for key, value in row.items():
            print(f"  {key:<40} {value:.4f}" if isinstance(value, float) else f"  {key:<40} {value}")
        print()

    if os.path.exists(args.tests_binary):
        n, trees = (300, 50) if args.quick else (2000, 500)
        fast, naive = dense_against_pair_loop(args.tests_binary, n, trees)
        print(f"== dense proximities, {n} x 10, {trees} trees (C++ only, results equal) ==")
        print(f"  counting with leaf groups and bitsets  {fast:.4f} s")
        print(f"  pair-by-pair loop                      {naive:.4f} s")
        print(f"  speed-up                               {naive / fast:.1f}x\n")
    else:
        print(f"(no {args.tests_binary}: the pair-by-pair comparison is skipped)\n")

    n, k, trees = (5000, 5, 10) if args.quick else (50000, 5, 50)
    grown, python_bytes, pairs = sparse_memory(n, k, trees)
    bound = n * (2 * k + 1) * 16  # (index, proximity) pairs of 8 + 8 bytes
    print(f"== proximity_sparse, {n} rows, k={k}, {trees} trees ==")
    print(f"  pairs returned                          {pairs}")
    print(f"  n(2k+1) pairs                           {bound / 2**20:.1f} MiB")
    print(f"  peak resident growth during the call    {grown / 2**20:.1f} MiB")
    print(f"  of which the returned Python objects    {python_bytes / 2**20:.1f} MiB")
    print(f"  native working memory (the difference)  {(grown - python_bytes) / 2**20:.1f} MiB"
          f" (the per-tree leaf grouping adds about {n * 49 / 2**20:.1f} MiB to the lists)")


if __name__ == "__main__":
    main()
