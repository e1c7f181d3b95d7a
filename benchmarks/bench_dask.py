"""canopy.dask on a local cluster of 2 worker processes (1 thread each) against the local
fit of canopy.sklearn on 1 thread, in one run.

The main row fits a 100-tree RandomForestClassifier on 100,000 x 20 rows both ways and
checks that the two models are the same bit for bit (their state bytes). The cluster fit is
split into its stages: checking the inputs on the client, sending the data to every worker,
growing the trees (one contiguous range per worker thread, each sent back as a part) and
joining the parts on the client. A second cluster, with the workers' statistical profiler
off, shows what Dask's own sampling costs. Then the overhead (sending + joining) is measured
again with fewer rows and fewer trees, to show how it grows.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_dask.py
    PYTHONPATH=build/dev-pkg python benchmarks/bench_dask.py --quick
"""

import argparse
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


def without_profiler(X, y, trees):
    """The same cluster fit with the workers' statistical profiler switched off (it samples
    every thread's stack 100 times a second, on the cores the trees grow on)."""
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        with local_cluster() as cluster, Client(cluster) as client:
            cluster_fit(client, *make_data(2_000), 2)
            return cluster_fit(client, X, y, trees)[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="20,000 rows and 20 trees")
    args = parser.parse_args()
    rows, trees = (20_000, 20) if args.quick else (100_000, 100)
    X, y = make_data(rows)

    quiet = without_profiler(X, y, trees)
    with local_cluster() as cluster, Client(cluster) as client:
        cluster_fit(client, *make_data(2_000), 2)  # workers import canopy once, untimed

        start = time.perf_counter()
        here = cs.RandomForestClassifier(n_estimators=trees, random_state=0, n_jobs=1).fit(X, y)
        local = time.perf_counter() - start
        there_seconds, there = cluster_fit(client, X, y, trees)
        same = there._native.export_state() == here._native.export_state()
        s = there._fit_seconds
        print(f"{rows} x {X.shape[1]} rows, {trees} trees; identical state bytes: {same}\n")
        print("| fit | wall s | speed-up |")
        print("|---|---:|---:|")
        print(f"| canopy.sklearn, 1 thread | {local:.2f} | 1.00 |")
        print(f"| canopy.dask, 2 workers x 1 thread | {there_seconds:.2f} | {local / there_seconds:.2f} |")
        print(f"| the same, workers' profiler off | {quiet:.2f} | {local / quiet:.2f} |")
        print()
        print("| stage of the cluster fit | wall s |")
        print("|---|---:|")
        for stage, label in [("check", "check inputs on the client"), ("send", "send data to the workers"),
                             ("grow", "grow trees and return parts"), ("join", "load and join parts")]:
            print(f"| {label} | {s[stage]:.3f} |")
        print()

        print("| rows | trees | send s | join s | state MB |")
        print("|---:|---:|---:|---:|---:|")
        variants = [(rows // 4, trees), (rows // 2, trees), (rows, trees // 4), (rows, trees // 2)]
        results = {(rows, trees): (s, len(there._native.export_state()))}
        for n, t in variants:
            _, forest = cluster_fit(client, *make_data(n), t)
            results[(n, t)] = (forest._fit_seconds, len(forest._native.export_state()))
        for (n, t), (sec, size) in sorted(results.items()):
            print(f"| {n} | {t} | {sec['send']:.3f} | {sec['join']:.3f} | {size / 1e6:.1f} |")


if __name__ == "__main__":
    main()
