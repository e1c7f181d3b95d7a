"""canopy.dask on a local cluster of 2 worker processes (1 thread each) against the local
fit of canopy.sklearn on 1 thread, in one run.

The main rows fit a 100-tree RandomForestClassifier on 100,000 x 20 rows both ways and
check that the two models are the same bit for bit (their state bytes). A shared 2-core
machine's speed drifts by 10-20% over a minute (and more between minutes), so every cluster
fit is timed between two local fits (local, cluster, local, cluster, ..., local; --repeats
cluster fits), each speed-up is the mean of the two local fits around it over the cluster
fit, which cancels a steady drift over the three, and the median is the figure to quote.
A second cluster, with the workers' statistical profiler off, shows what Dask's own
sampling costs.
The cluster fit is split into its stages: checking the inputs on the client, sending the
data to every worker, growing the trees (one contiguous range per worker thread, each sent
back as a part and loaded on the client as soon as its task ends) and joining the parts.
Then the overhead (sending + joining) is measured again with fewer rows and fewer trees, to
show how it grows.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_dask.py
    PYTHONPATH=build/dev-pkg python benchmarks/bench_dask.py --quick
"""

import argparse
import contextlib
import statistics
import time

import dask
import numpy as np
from distributed import Client, LocalCluster

import canopy.dask as cd
import canopy.sklearn as cs


def make_data(n, m=20, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, m))
    score = X[:, 0] + np.sin(2.0 * X[:, 1]) + X[:, 2] * X[:, 3] + rng.normal(scale=0.5, size=n)
    return X, np.digitize(score, [-1.0, 0.0, 1.0])


def cluster_fit(client, X, y, trees):
    forest = cd.RandomForestClassifier(n_estimators=trees, random_state=0)
    start = time.perf_counter()
    forest.fit(X, y, client=client)
    return time.perf_counter() - start, forest


def local_cluster():
    return LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                        dashboard_address=None)


def quiet_config():
    """The workers' statistical profiler off (it samples every thread's stack 100 times a
    second, on the cores the trees grow on)."""
    return dask.config.set({"distributed.worker.profile.enabled": False})


def local_fit(X, y, trees):
    start = time.perf_counter()
    forest = cs.RandomForestClassifier(n_estimators=trees, random_state=0, n_jobs=1).fit(X, y)
    return time.perf_counter() - start, forest


def bracketed_fits(X, y, trees, repeats, config):
    """`repeats` cluster fits, each between two local fits on 1 thread, on one cluster made
    under `config`. Returns (local before, cluster, local after, cluster stages) per cluster
    fit, the last local and cluster models."""
    rows = []
    with config, local_cluster() as cluster, Client(cluster) as client:
        cluster_fit(client, *make_data(2_000), 2)  # workers import canopy once, untimed
        before, here = local_fit(X, y, trees)
        for _ in range(repeats):
            there_seconds, there = cluster_fit(client, X, y, trees)
            after, here = local_fit(X, y, trees)
            rows.append((before, there_seconds, after, there._fit_seconds))
            before = after
    return rows, here, there


def speed_up(row):
    before, there, after, _ = row
    return (before + after) / 2 / there


def print_rows(label, rows):
    for i, row in enumerate(rows, 1):
        before, there, after, _ = row
        print(f"| {label}, fit {i} | {before:.2f} | {there:.2f} | {after:.2f} "
              f"| {speed_up(row):.2f} |")
    median = statistics.median(speed_up(row) for row in rows)
    print(f"| {label}, **median** | | | | **{median:.2f}** |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="20,000 rows and 20 trees")
    parser.add_argument("--repeats", type=int, default=3, help="cluster fits per cluster")
    args = parser.parse_args()
    rows, trees = (20_000, 20) if args.quick else (100_000, 100)
    X, y = make_data(rows)

    default, here, there = bracketed_fits(X, y, trees, args.repeats, contextlib.nullcontext())
    quiet, _, _ = bracketed_fits(X, y, trees, args.repeats, quiet_config())
    same = there._native.export_state() == here._native.export_state()
    print(f"{rows} x {X.shape[1]} rows, {trees} trees; identical state bytes: {same}\n")
    print("| cluster | local fit before, 1 thread, s | 2 workers x 1 thread, s "
          "| local fit after, s | speed-up |")
    print("|---|---:|---:|---:|---:|")
    print_rows("default Dask", default)
    print_rows("workers' profiler off", quiet)
    print()
    print("| stage of the cluster fit (default Dask, last fit) | wall s |")
    print("|---|---:|")
    s = default[-1][3]
    stages = [("check", "check inputs on the client"), ("send", "send data to the workers"),
              ("grow", "grow trees, return and load parts"),
              ("load", "of which loading parts on the client"), ("join", "join parts")]
    for stage, label in stages:
        print(f"| {label} | {s[stage]:.3f} |")
    print()

    print("| rows | trees | send s | load s (while growing) | join s | state MB |")
    print("|---:|---:|---:|---:|---:|---:|")
    variants = [(rows // 4, trees), (rows // 2, trees), (rows, trees // 4), (rows, trees // 2)]
    results = {(rows, trees): (s, len(there._native.export_state()))}
    with local_cluster() as cluster, Client(cluster) as client:
        for n, t in variants:
            _, forest = cluster_fit(client, *make_data(n), t)
            results[(n, t)] = (forest._fit_seconds, len(forest._native.export_state()))
    for (n, t), (sec, size) in sorted(results.items()):
        print(f"| {n} | {t} | {sec['send']:.3f} | {sec['load']:.3f} | {sec['join']:.3f}"
              f" | {size / 1e6:.1f} |")


if __name__ == "__main__":
    main()
