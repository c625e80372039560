#!/usr/bin/env python3
"""Named features: drel_ml_ext's hasher and river adapter against scikit-learn's and river's.

    python3 benchmarks/bench_features.py            10^5 hashed rows (a minute or so)
    python3 benchmarks/bench_features.py --large    10^6 rows
    python3 benchmarks/bench_features.py --quick    smoke run

The data look like a click log: each event is a dict of about 30 features, 24 categorical
fields whose values come from Zipf-distributed vocabularies (a few tokens everywhere, most
rare) and 6 numeric ones, with a click drawn from a hidden logistic model. Rows hash into
2^18 columns.

- FeatureHasher.transform_many against scikit-learn's FeatureHasher.transform on the same
  dicts (target: 3x faster), and on the same events as (name, value) pairs and as
  "name=value" strings. The two matrices are compared: they must be equal bit for bit.
- The river adapter drel_ml_ext.river.LogisticClassifier (hashed names, constant-rate SGD,
  no scaler) inside river's evaluate.progressive_val_score, against river's own
  LogisticRegression (constant-rate SGD, the same rate) on the same dict stream, each
  categorical field one-hot as "field=value": 1 (target: 10x faster), at 2^10 and 2^18
  hashed columns (--river-bits) on a shorter stream (--river-rows). The adapter's bare model
  reads a hashed row's non-zeros only (HashedSteps), so its cost should not follow
  n_features. A classifier that learns nothing and always predicts 0.5 gives the cost of
  river's own loop and metric, which bounds any model's ratio. Where the adapter's own time
  goes is timed outside river, on the same dicts: the adapter's predict_proba_one +
  learn_one; HashedSteps' two native calls alone (one hashing: the learning call finds the
  dict it just hashed); and hashing alone (transform_many, per dict).
- The adapter's other row mapping, a fixed list of names (features=...): its native reading
  of a 30-feature dict against the Python loop over x.items() it replaced.

learn_many on a CSR matrix, against SGDClassifier.partial_fit and Vowpal Wabbit, is
benchmarks/bench_sparse.py.

Every figure is CPU time (time.process_time) per row, the best of the interleaved rounds
(each subject once per round); the machine's load average is printed with it.
"""

from __future__ import annotations

import one_blas_thread  # noqa: F401  (first: it must come before numpy)

import argparse
import math
import os
import random
import time
from collections.abc import Callable
from typing import Any

import numpy as np
from river import base, evaluate, linear_model, metrics, optim
from scipy import sparse
from sklearn.feature_extraction import FeatureHasher as SkFeatureHasher

import drel_ml_ext
from drel_ml_ext import _native
from drel_ml_ext.river import LogisticClassifier

BITS = 18
CATEGORICAL, NUMERIC = 24, 6
LEARNING_RATE = 0.01


def click_log(rows: int, seed: int = 3) -> list[tuple[dict[str, Any], bool]]:
    rng = random.Random(seed)
    vocabulary = 100_000
    ranks = range(vocabulary)
    weights = [1.0 / (r + 1) ** 1.1 for r in ranks]
    cumulative = np.cumsum(weights).tolist()
    tokens = rng.choices(ranks, cum_weights=cumulative, k=rows * CATEGORICAL)
    effect = [rng.gauss(0.0, 0.3) for _ in range(1000)]
    events = []
    for i in range(rows):
        x: dict[str, Any] = {f"c{j}": f"t{tokens[i * CATEGORICAL + j]}" for j in range(CATEGORICAL)}
        for j in range(NUMERIC):
            x[f"n{j}"] = rng.random()
        logit = sum(effect[tokens[i * CATEGORICAL + j] % 1000] for j in range(CATEGORICAL))
        events.append((x, rng.random() < 1.0 / (1.0 + math.exp(-logit))))
    return events


def best_of(subjects: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    best = dict.fromkeys(subjects, math.inf)
    for _ in range(rounds):
        for name, run in subjects.items():
            start = time.process_time()
            run()
            best[name] = min(best[name], time.process_time() - start)
    return best


def report(title: str, best: dict[str, float], rows: int, ours: str, theirs: str,
           target: float) -> None:
    print(f"\n{title} ({rows} rows, load {os.getloadavg()[0]:.2f})")
    for name, seconds in best.items():
        print(f"  {name:<52} {seconds / rows * 1e6:9.2f} us/row")
    ratio = best[theirs] / best[ours]
    verdict = "meets" if ratio >= target else "misses"
    print(f"  {ratio:.1f}x faster ({verdict} the {target:g}x target)")


def as_input(x: dict[str, Any], input_type: str) -> Any:
    if input_type == "pair":
        return list(x.items())
    if input_type == "string":
        return [f"{k}={v}" for k, v in x.items()]
    return x


def bench_hashing(dicts: list[dict[str, Any]], rounds: int) -> None:
    for input_type in ("dict", "pair", "string"):
        samples = [as_input(x, input_type) for x in dicts]
        ours = drel_ml_ext.FeatureHasher(2**BITS, input_type=input_type)
        theirs = SkFeatureHasher(2**BITS, input_type=input_type)
        a, b = ours.transform_many(samples), sparse.csr_matrix(theirs.transform(samples))
        assert (a.indptr == b.indptr).all() and (a.indices == b.indices).all()
        assert (a.data.view(np.int64) == b.data.view(np.int64)).all(), "hashers disagree"
        ours_name = f"drel_ml_ext.FeatureHasher.transform_many ({input_type})"
        their_name = f"sklearn FeatureHasher.transform ({input_type})"
        best = best_of({ours_name: lambda: ours.transform_many(samples),
                        their_name: lambda: theirs.transform(samples)}, rounds)
        report(f"Hashing {input_type} samples into 2^{BITS} columns", best, len(samples),
               ours_name, their_name, 3.0)


def one_hot(x: dict[str, Any]) -> dict[str, float]:
    """The event with each categorical field f=v as a feature "f=v" of value 1, as river's
    linear models need numbers; the hasher makes the same names of the original."""
    return {(f"{k}={v}" if isinstance(v, str) else k): (1.0 if isinstance(v, str) else v)
            for k, v in x.items()}


class IdleClassifier(base.Classifier):
    """Learns nothing and always predicts 0.5: river's loop and metric, and nothing else."""

    def learn_one(self, x: dict[str, Any], y: bool) -> None:
        pass

    def predict_proba_one(self, x: dict[str, Any]) -> dict[bool, float]:
        return {False: 0.5, True: 0.5}


def adapter_alone(events: list[tuple[dict[str, Any], bool]], bits: int) -> Callable[[], None]:
    """What progressive validation asks of the adapter, without river's loop."""
    def run() -> None:
        model = LogisticClassifier(n_features=2**bits, learning_rate=LEARNING_RATE, scale=False)
        for x, y in events:
            model.predict_proba_one(x)
            model.learn_one(x, y)
    return run


def native_alone(events: list[tuple[dict[str, Any], bool]], bits: int) -> Callable[[], None]:
    """The adapter's two native calls per event, without the adapter's Python."""
    def run() -> None:
        steps = _native.HashedSteps(drel_ml_ext.FeatureHasher(2**bits), text_names=True)
        model = drel_ml_ext.logistic_regression(2**bits, learning_rate=LEARNING_RATE)
        for x, y in events:
            steps.predict_proba_one(model, x)
            steps.learn_one(model, x, y)
    return run


def hashing_alone(events: list[tuple[dict[str, Any], bool]], bits: int) -> Callable[[], None]:
    hasher = drel_ml_ext.FeatureHasher(2**bits)
    dicts = [x for x, _ in events]
    return lambda: hasher.transform_many(dicts)


def bench_river(events: list[tuple[dict[str, Any], bool]], bits: list[int], rounds: int) -> None:
    events = [(one_hot(x), y) for x, y in events]

    def validated(make: Callable[[], base.Classifier]) -> Callable[[], None]:
        return lambda: evaluate.progressive_val_score(events, make(), metrics.LogLoss())

    their_name = "river LogisticRegression in progressive_val_score"
    idle_name = "river's loop and LogLoss alone (a model that learns nothing)"
    subjects = {
        their_name: validated(
            lambda: linear_model.LogisticRegression(optimizer=optim.SGD(LEARNING_RATE))),
        idle_name: validated(IdleClassifier),
    }
    for b in bits:
        subjects[f"LogisticClassifier(n_features=2^{b}) in progressive_val_score"] = validated(
            lambda b=b: LogisticClassifier(n_features=2**b, learning_rate=LEARNING_RATE,
                                           scale=False))
        subjects[f"  its predict_proba_one + learn_one alone, 2^{b}"] = adapter_alone(events, b)
        subjects[f"  HashedSteps' two native calls alone, 2^{b}"] = native_alone(events, b)
    subjects["  hashing each dict once alone (transform_many)"] = hashing_alone(events, bits[0])
    best = best_of(subjects, rounds)
    for b in bits:
        ours_name = f"LogisticClassifier(n_features=2^{b}) in progressive_val_score"
        parts = (f"  its predict_proba_one + learn_one alone, 2^{b}",
                 f"  HashedSteps' two native calls alone, 2^{b}",
                 "  hashing each dict once alone (transform_many)")
        report(f"river's dict API, progressive validation, 2^{b} columns",
               {name: best[name] for name in (their_name, idle_name, ours_name, *parts)},
               len(events), ours_name, their_name, 10.0)
    print(f"  at most {best[their_name] / best[idle_name]:.1f}x faster for any model: river's "
          "loop and metric alone")


def python_named_row(columns: dict[str, int], x: dict[str, Any]) -> list[float]:
    """The fixed-names row as a Python loop makes it (unknown names ignored)."""
    row = [0.0] * len(columns)
    for name, value in x.items():
        if isinstance(value, str):
            name, value = f"{name}={value}", 1.0
        column = columns.get(name)
        if column is not None:
            row[column] = float(value)
    return row


def bench_named_rows(events: list[tuple[dict[str, Any], bool]], rounds: int) -> None:
    x0 = events[0][0]
    names = [f"{k}={v}" if isinstance(v, str) else k for k, v in x0.items()]
    columns = {name: i for i, name in enumerate(names)}
    named = _native.NamedColumns(columns, False)
    samples = [x for x, _ in events]
    assert list(named.row(x0)) == python_named_row(columns, x0)
    ours, theirs = "NamedColumns.row (the adapter's features=...)", "Python loop over x.items()"
    best = best_of({ours: lambda: [named.row(x) for x in samples],
                    theirs: lambda: [python_named_row(columns, x) for x in samples]}, rounds)
    report(f"A dict as the row of {len(names)} fixed names", best, len(samples), ours, theirs,
           1.0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="10^6 rows instead of 10^5")
    parser.add_argument("--quick", action="store_true", help="few rows and rounds")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--river-rows", type=int, default=5_000)
    parser.add_argument("--river-bits", default="10,18",
                        help="the adapter's n_features as powers of two, comma-separated")
    args = parser.parse_args()
    rows = 10**4 if args.quick else 10**6 if args.large else 10**5
    rounds = 1 if args.quick else args.rounds
    events = click_log(rows)
    print(f"{rows} events, {CATEGORICAL + NUMERIC} features each")
    bench_hashing([x for x, _ in events], rounds)
    bench_named_rows(events[: min(rows, 50_000)], rounds)
    bench_river(events[: min(rows, 500 if args.quick else args.river_rows)],
                [int(b) for b in args.river_bits.split(",")], rounds)


if __name__ == "__main__":
    main()
