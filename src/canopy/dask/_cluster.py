"""Growing one forest's trees on the workers of a Dask cluster, and running predictions
partition by partition there.

A forest's trees depend only on random_state and their index, so the trees [a, b) can be
grown anywhere: each task grows one contiguous range with the native
``fit(..., tree_range=(a, b))`` and returns the part in canopy's state format, and the client
joins the parts in tree order into exactly the forest one machine grows.
"""

import os
import time

import numpy as np

from canopy import _core


def get_client(client=None):
    """The given distributed.Client, else the current default one (ValueError when there is
    none)."""
    if client is not None:
        return client
    from distributed import default_client

    return default_client()


def tree_ranges(n_trees, n_tasks):
    """n_trees split into at most n_tasks contiguous ranges of nearly equal size, in order."""
    n_tasks = max(1, min(n_tasks, n_trees))
    bounds = [n_trees * k // n_tasks for k in range(n_tasks + 1)]
    return [(bounds[k], bounds[k + 1]) for k in range(n_tasks)]


def grow_part(class_name, params, tree_range, *data):
    """One task, on a worker: grow the trees of tree_range on one core (the cluster's
    threads are the parallelism) and return the part's state bytes."""
    native = getattr(_core, class_name)(**params)
    native.fit(*data, tree_range=tree_range, n_jobs=1)
    return native.export_state()


def fit_forest(client, class_name, params, data):
    """The native estimator of a whole fit of ``class_name(**params)`` on ``data`` (the
    positional arguments of its fit, None entries allowed), its trees grown on the cluster.

    Returns the native estimator and the seconds spent checking the inputs, sending the
    data, growing the trees (with each part returned and loaded as it ends; the loading
    alone is given too) and joining the parts.
    """
    client = get_client(client)
    native_class = getattr(_core, class_name)
    params = dict(params)
    if params["random_state"] is None:
        # One fresh seed for every part: each must follow the same plan.
        params["random_state"] = int.from_bytes(os.urandom(8), "little")
    seconds = {}
    start = time.perf_counter()
    # An empty range checks the inputs exactly as a whole fit does, before any tree grows.
    native_class(**params).fit(*data, tree_range=(0, 0))
    seconds["check"] = time.perf_counter() - start

    start = time.perf_counter()
    arrays = [a for a in data if a is not None]
    futures = iter(client.scatter(arrays, broadcast=True, hash=False))
    remote = [None if a is None else next(futures) for a in data]
    seconds["send"] = time.perf_counter() - start

    start = time.perf_counter()
    # One range per thread: every task prepares the data for growing (binning, checks) on
    # its own, which costs more than the balance finer ranges would buy.
    n_tasks = sum(client.nthreads().values())
    tasks = [
        client.submit(grow_part, class_name, params, r, *remote, pure=False)
        for r in tree_ranges(params["n_estimators"], n_tasks)
    ]
    # Each part is fetched and loaded as soon as its task ends, while the others still grow
    # (a worker done early leaves its core to the client).
    from distributed import as_completed

    position = {task.key: k for k, task in enumerate(tasks)}
    parts = [None] * len(tasks)
    seconds["load"] = 0.0  # within "grow"
    for done, blob in as_completed(tasks, with_results=True):
        loading = time.perf_counter()
        parts[position[done.key]] = native_class.load_state(blob)
        seconds["load"] += time.perf_counter() - loading
    seconds["grow"] = time.perf_counter() - start
    # The scattered data and the parts leave the workers (there is always a task).
    del tasks, done, blob, remote, futures

    start = time.perf_counter()
    native = native_class.join(parts)
    seconds["join"] = time.perf_counter() - start
    return native, seconds


# ---- Predictions on Dask collections -------------------------------------------------------------


def is_dask_array(X):
    try:
        import dask.array as da
    except ImportError:
        return False
    return isinstance(X, da.Array)


def is_dask_frame(X):
    try:
        import dask.dataframe as dd
    except ImportError:
        return False
    return isinstance(X, dd.DataFrame)


def is_dask_collection(X):
    from dask import is_dask_collection as check

    return check(X)


def as_local(X):
    """A Dask collection computed into memory; anything else as it is."""
    if is_dask_collection(X):
        return X.compute()
    return X


def _apply(block, model, method):
    return getattr(model, method)(block)


def _apply_frame(frame, model, method, columns):
    import pandas as pd

    out = getattr(model, method)(frame)
    if columns is None:
        return pd.Series(out, index=frame.index)
    return pd.DataFrame(out, index=frame.index, columns=columns)


def map_rows(model, method, X, dtype, columns=None):
    """``model.<method>`` over the rows of a Dask array (blocks of rows) or DataFrame
    (partitions), lazily. The model goes to every worker once, ahead of the tasks.

    ``columns``: None for one value per row, else the labels of the output's columns.
    Arrays give a Dask array; DataFrames a Dask Series (one value per row) or DataFrame,
    on the partitions' index.
    """
    client = get_client()
    remote = client.scatter(model, broadcast=True, hash=False)
    dtype = np.dtype(dtype)
    if is_dask_frame(X):
        import pandas as pd

        if columns is None:
            meta = pd.Series([], dtype=dtype)
        else:
            meta = pd.DataFrame({c: pd.Series([], dtype=dtype) for c in columns})
        return X.map_partitions(_apply_frame, remote, method, columns, meta=meta)
    if X.ndim != 2:
        raise ValueError(f"Expected a 2D Dask array, got {X.ndim} dimension(s)")
    if X.numblocks[1] > 1:
        X = X.rechunk({1: -1})  # every task needs whole rows
    if columns is None:
        return X.map_blocks(_apply, remote, method, drop_axis=1, dtype=dtype, meta=np.empty((0,), dtype))
    chunks = (X.chunks[0], (len(columns),))
    return X.map_blocks(_apply, remote, method, chunks=chunks, dtype=dtype, meta=np.empty((0, 0), dtype))
