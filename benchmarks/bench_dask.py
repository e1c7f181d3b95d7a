"""canopy.dask on a local cluster of 2 worker processes (1 thread each) against the local
fit of canopy.sklearn on 1 thread, in one run.

The main rows fit a 100-tree RandomForestClassifier on 100,000 x 20 rows both ways and
check that the two models are the same bit for bit (their state bytes). A shared 2-core
machine's speed drifts by 10-20% over a minute, so the two fits are timed as pairs, back to
back, several times (--repeats), and the median ratio is the figure to quote. A second
cluster, with the workers' statistical profiler off, shows what Dask's own sampling costs.
The cluster fit is split into its stages: checking the inputs on the client, sending the
data to every worker, growing the trees (one contiguous range per worker thread, each sent
back as a part) and joining the parts on the client. Then the overhead (sending + joining)
is measured again with fewer rows and fewer trees, to show how it grows.

    PYTHONPATH=build/dev-pkg python benchmarks/bench_dask.py
    PYTHONPATH=build/dev-pkg python benchmarks/bench_dask.py --quick
"""

import argparse
import contextlib
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


def paired_fits(X, y, trees, repeats, config):
    """`repeats` pairs of (local fit on 1 thread, cluster fit) timed back to back on one
    cluster made under `config`, so each ratio compares the two fits under the same load.
    Returns the pairs' seconds, the last local and cluster models."""
    pairs = []
    with config, local_cluster() as cluster, Client(cluster) as client:
        cluster_fit(client, *make_data(2_000), 2)  # workers import canopy once, untimed
        for _ in range(repeats):
            start = time.perf_counter()
            here = cs.RandomForestClassifier(n_estimators=trees, random_state=0, n_jobs=1).fit(X, y)
            local = time.perf_counter() - start
            there_seconds, there = cluster_fit(client, X, y, trees)
            pairs.append((local, there_seconds, there._fit_seconds))
    return pairs, here, there


def print_pairs(label, pairs):
    for i, (local, there, _) in enumerate(pairs, 1):
        print(f"| {label}, pair {i} | {local:.2f} | {there:.2f} | {local / there:.2f} |")
    ratios = sorted(local / there for local, there, _ in pairs)
    print(f"| {label}, **median** | | | **{ratios[len(ratios) // 2]:.2f}** |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="20,000 rows and 20 trees")
    parser.add_argument("--repeats", type=int, default=3, help="pairs of fits per cluster")
    args = parser.parse_args()
    rows, trees = (20_000, 20) if args.quick else (100_000, 100)
    X, y = make_data(rows)

    default, here, there = paired_fits(X, y, trees, args.repeats, contextlib.nullcontext())
    quiet, _, _ = paired_fits(X, y, trees, args.repeats, quiet_config())
    same = there._native.export_state() == here._native.export_state()
    print(f"{rows} x {X.shape[1]} rows, {trees} trees; identical state bytes: {same}\n")
    print("| cluster | local fit, 1 thread, s | 2 workers x 1 thread, s | speed-up |")
    print("|---|---:|---:|---:|")
    print_pairs("default Dask", default)
    print_pairs("workers' profiler off", quiet)
    print()
    print("| stage of the cluster fit (default Dask, last pair) | wall s |")
    print("|---|---:|")
    s = default[-1][2]
    for stage, label in [("check", "check inputs on the client"), ("send", "send data to the workers"),
                         ("grow", "grow trees and return parts"), ("join", "load and join parts")]:
        print(f"| {label} | {s[stage]:.3f} |")
    print()

    print("| rows | trees | send s | join s | state MB |")
    print("|---:|---:|---:|---:|---:|")
    variants = [(rows // 4, trees), (rows // 2, trees), (rows, trees // 4), (rows, trees // 2)]
    results = {(rows, trees): (s, len(there._native.export_state()))}
    with local_cluster() as cluster, Client(cluster) as client:
        for n, t in variants:
            _, forest = cluster_fit(client, *make_data(n), t)
            results[(n, t)] = (forest._fit_seconds, len(forest._native.export_state()))
    for (n, t), (sec, size) in sorted(results.items()):
        print(f"| {n} | {t} | {sec['send']:.3f} | {sec['join']:.3f} | {size / 1e6:.1f} |")


if __name__ == "__main__":
    main()
