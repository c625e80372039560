"""Rows per second of drel_ml_ext.dask on a local cluster, against one process.

    python benchmarks/bench_dask.py [--rows N] [--repeat K]

Measures learn_by_key (one model per key) and learn_partitioned (one model from
all partitions, one round) on a distributed.LocalCluster of 1 and then 2
worker processes (one thread each), and the same work in this process with the
bulk functions: per key after a pandas groupby, and one model over the whole
stream. Both clusters run side by side, on data already in worker memory, and
the setups take turns within each of K rounds; each figure is the best of its
K runs. Prints the 2-worker/1-worker scaling ratio and the
machine's core count; on a machine shared with other work, read the ratios,
not the absolute rates.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import os
import time
from collections.abc import Callable

import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import drel_ml
from drel_ml_ext.dask import _feed_for, learn_by_key, learn_partitioned

FEATURES = ["x0", "x1", "x2", "x3"]
PARTITIONS = 8
KEYS = 256


def make_partition(number: int, rows: int) -> pd.DataFrame:
    rng = np.random.default_rng(number)
    x = rng.normal(size=(rows, len(FEATURES)))
    frame = pd.DataFrame(x, columns=FEATURES)
    frame["y"] = x @ np.arange(1.0, len(FEATURES) + 1) + rng.normal(scale=0.1, size=rows)
    frame["key"] = rng.integers(0, KEYS, rows)
    return frame


def make_model() -> drel_ml.RegressionPipeline:
    return drel_ml.RegressionPipeline(len(FEATURES), 0.01)


def one_process(parts: list[pd.DataFrame]) -> dict[str, Callable[[], object]]:
    whole = pd.concat(parts, ignore_index=True)
    feed = _feed_for(make_model(), FEATURES, "y")

    def by_key() -> None:
        for _, rows in whole.groupby("key", sort=False):
            feed.feed(make_model(), rows)

    def partitioned() -> None:
        feed.feed(make_model(), whole)

    return {"learn_by_key": by_key, "learn_partitioned": partitioned}


def in_client(client: Client, run: Callable[[], object]) -> object:
    with client.as_current():
        return run()


def on_cluster(frame: dd.DataFrame) -> dict[str, Callable[[], object]]:
    return {
        "learn_by_key": lambda: learn_by_key(frame, "key", FEATURES, "y", make_model, as_text=True),
        "learn_partitioned": lambda: learn_partitioned(frame, FEATURES, "y", make_model(), as_text=True),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=400_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    per_partition = args.rows // PARTITIONS
    rows = per_partition * PARTITIONS
    parts = [make_partition(i, per_partition) for i in range(PARTITIONS)]
    local = one_process(parts)

    with contextlib.ExitStack() as stack:
        # Both clusters live side by side, and each round runs every setup once in
        # turn, so that all of them meet the same machine load.
        setups: dict[str, dict[str, Callable[[], object]]] = {"one process": local}
        for workers in (1, 2):
            cluster = stack.enter_context(LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None))
            client = stack.enter_context(Client(cluster, set_as_default=False))
            with client.as_current():
                frame = dd.from_map(make_partition, range(PARTITIONS), args=(per_partition,)).persist()
            setups[f"{workers} worker{'s' * (workers > 1)}"] = {
                name: functools.partial(in_client, client, run) for name, run in on_cluster(frame).items()
            }
        best: dict[tuple[str, str], float] = {}
        for round_number in range(args.repeat + 1):  # round 0 warms imports and code
            for setup, runs in setups.items():
                for name, run in runs.items():
                    started = time.perf_counter()
                    run()
                    seconds = time.perf_counter() - started
                    if round_number > 0:
                        best[(name, setup)] = min(best.get((name, setup), float("inf")), seconds)
    rates = {key: rows / seconds for key, seconds in best.items()}

    print(f"{rows} rows in {PARTITIONS} partitions, {KEYS} keys, {len(FEATURES)} features; "
          f"best of {args.repeat}; cores: {os.cpu_count()}")
    print(f"{'':20}{'one process':>14}{'1 worker':>14}{'2 workers':>14}{'2w / 1w':>10}{'2w / one':>10}")
    for name in ("learn_by_key", "learn_partitioned"):
        one, w1, w2 = (rates[(name, c)] for c in ("one process", "1 worker", "2 workers"))
        print(f"{name:20}{one:>14,.0f}{w1:>14,.0f}{w2:>14,.0f}{w2 / w1:>10.2f}{w2 / one:>10.2f}")
    print("(rows per second)")


if __name__ == "__main__":
    main()
