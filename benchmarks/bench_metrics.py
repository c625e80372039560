#!/usr/bin/env python3
"""Streaming metrics and progressive validation of drel_ml_ext.

    python3 benchmarks/bench_metrics.py            full run (a few minutes)
    python3 benchmarks/bench_metrics.py --quick    smoke run: few rounds, small sizes

Rows (CPU time of the calling thread's process, every statement of a group run
once per round, interleaved, best round kept; the loop rows warm each statement
with an untimed run right before its timed one):
  progressive   progressive_validation with two metrics (MAE, RMSE) over
                (100000, 10) and (20000, 100) float64 arrays, against learn_many
                plus predict_many over the same rows (target: at most 1.25x),
                and against a lower bound of its floor: the unchecked chained
                loop of plain SGD alone (drel_bench_bulk_floor, see
                bench_bulk.py), which learns the same weights and neither
                writes a prediction nor sums a metric's terms;
  river         river's evaluate.progressive_val_score with its own
                LinearRegression and MAE, against progressive_validation of a
                LinearRegression with MAE, per row (target: at least 30x faster;
                skipped without river);
  loop          the Python loop p = model.predict_one(x); mae.update(y, p);
                model.learn_one(x, y) over rows and targets as lists, per row, at
                10 and 100 features (target: at least 5x faster), and for a
                LogisticRegression with Accuracy and LogLoss
                (p = model.predict_proba_one(x), accuracy.update(y, p >= 0.5));
  update_many   each metric's update_many over 10^6 pairs against its floor in
                benchmarks/metric_floors.c: a C loop doing the arithmetic the
                metric must do (each term, its check, and an exact sum of the
                terms by per-exponent integer bins; the four confusion counts),
                compiled here with the system's cc -O2 (target: at most 2x);
  auc           ROCAUC.update_many cost per update after 10^4 ... 10^7 samples
                (O(log n) in the distinct scores: the cost grows by a constant per
                tenfold).
The load average is printed first: figures on a busy machine are pessimistic.
"""

from __future__ import annotations

import one_blas_thread  # noqa: F401  (first: it must come before numpy)

import argparse
import ctypes
import gc
import math
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import drel_ml
import drel_ml_ext
from drel_ml_ext import metrics as M

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import import_benchmark_extension  # noqa: E402

RATE = 1e-3

FLOORS_SOURCE = Path(__file__).with_name("metric_floors.c")


def c_floors():
    folder = Path(tempfile.mkdtemp(prefix="drel_metric_floor_"))
    library = folder / "metric_floors.so"
    subprocess.run(["cc", "-O2", "-fPIC", "-shared", "-ffp-contract=off", "-fno-math-errno",
                    str(FLOORS_SOURCE), "-o", str(library), "-lm"], check=True)
    lib = ctypes.CDLL(str(library))
    for name in ("abs_sum", "square_sum", "log_loss_sum"):
        getattr(lib, name).restype = ctypes.c_size_t
    lib.confusion.restype = None
    return lib


def pointer(a):
    return a.ctypes.data_as(ctypes.c_void_p)


def best_of(statements, rounds, warm=False):
    """Each statement once per round, interleaved; the best CPU time of each.

    As timeit does, the cyclic garbage collector is off while a statement
    runs: otherwise a collection that the previous statement's allocations
    made due lands on whichever statement comes next (a full collection costs
    more than a short statement itself). With `warm`, every statement runs
    once untimed right before its timed run: a statement whose data fits in
    the caches would otherwise pay for the previous statement having evicted
    it, which a short statement after a long one always does.
    """
    best = dict.fromkeys(statements, math.inf)
    for _ in range(rounds):
        for name, fn in statements.items():
            gc.collect()
            gc.disable()
            try:
                if warm:
                    fn()
                start = time.process_time()
                fn()
                best[name] = min(best[name], time.process_time() - start)
            finally:
                gc.enable()
    return best


def row(label, ours, other, target, better="lower"):
    """A ratio against its target; a target of None shows the ratio only."""
    ratio = ours / other
    shown = f"{ratio:.2f}x" if better == "lower" else f"{1 / ratio:.1f}x faster"
    if target is None:
        print(f"{label:<58} {shown:>14}")
        return
    ok = ratio <= target if better == "lower" else (1 / ratio) >= target
    print(f"{label:<58} {shown:>14}  (target {'<=' if better == 'lower' else '>='} {target})"
          f"  {'ok' if ok else 'MISSED'}")


def progressive_rows(shapes, rounds):
    floor = import_benchmark_extension("drel_bench_bulk_floor")
    rng = np.random.default_rng(0)
    for rows, cols in shapes:
        X = rng.normal(size=(rows, cols))
        y = X @ rng.normal(size=cols) + rng.normal(size=rows)

        def validate():
            drel_ml_ext.progressive_validation(drel_ml.LinearRegression(cols, RATE), X, y,
                                               [M.MAE(), M.RMSE()])

        def learn_predict():
            model = drel_ml.LinearRegression(cols, RATE)
            drel_ml_ext.learn_many(model, X, y)
            drel_ml_ext.predict_many(model, X)

        def learn_floor():
            floor.learn_linear_chained(X, y, np.zeros(cols + 1), RATE)

        best = best_of({"pv": validate, "lp": learn_predict, "floor": learn_floor}, rounds)
        print(f"  progressive_validation {best['pv'] / rows * 1e9:7.1f} ns/row, "
              f"learn_many+predict_many {best['lp'] / rows * 1e9:7.1f} ns/row, "
              f"chained learning floor {best['floor'] / rows * 1e9:7.1f} ns/row")
        row(f"progressive ({rows}, {cols}) / learn_many+predict_many", best["pv"], best["lp"],
            1.25)
        row(f"progressive ({rows}, {cols}) / chained learning floor", best["pv"], best["floor"],
            None)


# The loop rows: a model, its width and its metrics, and the loop a user
# writes for them (over the rows and targets as Python lists).
def regression_loop(model, metrics, X, y):
    mae, = metrics
    for x, t in zip(X, y):
        mae.update(t, model.predict_one(x))
        model.learn_one(x, t)


def classification_loop(model, metrics, X, y):
    accuracy, log_loss = metrics
    for x, t in zip(X, y):
        p = model.predict_proba_one(x)
        accuracy.update(t, p >= 0.5)
        log_loss.update(t, p)
        model.learn_one(x, t)


LOOP_CASES = [
    ("LinearRegression", 10, lambda: [M.MAE()], regression_loop, 5),
    ("LinearRegression", 100, lambda: [M.MAE()], regression_loop, 5),
    ("LogisticRegression", 10, lambda: [M.Accuracy(), M.LogLoss()], classification_loop, None),
]


def loop_rows(rows, rounds):
    rng = np.random.default_rng(1)
    for name, cols, metrics, run_loop, target in LOOP_CASES:
        X = rng.normal(size=(rows, cols))
        y = X @ rng.normal(size=cols)
        if name == "LogisticRegression":
            y = y > 0
        X_list, y_list = X.tolist(), y.tolist()
        make = getattr(drel_ml, name)

        def validate():
            drel_ml_ext.progressive_validation(make(cols, RATE), X, y, metrics())

        def loop():
            run_loop(make(cols, RATE), metrics(), X_list, y_list)

        statements = {"pv": validate, "loop": loop}
        if name == "LinearRegression" and cols == 10:
            try:
                from river import evaluate, linear_model, metrics as river_metrics, optim, stream

                dataset = list(stream.iter_array(X, y))

                def river_run():
                    evaluate.progressive_val_score(dataset, linear_model.LinearRegression(
                        optimizer=optim.SGD(RATE), intercept_lr=RATE), river_metrics.MAE())

                statements["river"] = river_run
            except ImportError:
                print("  river is not installed: its row is left out")
        best = best_of(statements, rounds, warm=True)
        label = f"{name}, {cols} features, {'/'.join(type(m).__name__ for m in metrics())}"
        print(f"  {label} per row: progressive_validation {best['pv'] / rows * 1e9:.1f} ns, "
              f"Python loop {best['loop'] / rows * 1e9:.0f} ns"
              + (f", river {best['river'] / rows * 1e9:.0f} ns" if "river" in best else ""))
        row(f"Python loop / progressive_validation ({name}, {cols})", best["pv"], best["loop"],
            target, better="higher")
        if "river" in best:
            row("river progressive_val_score / progressive_validation", best["pv"], best["river"],
                30, better="higher")


def update_many_rows(n, rounds):
    lib = c_floors()
    rng = np.random.default_rng(2)
    y, p = rng.normal(size=n), rng.normal(size=n)
    flags, guesses = rng.random(n) < 0.4, rng.random(n) < 0.5
    probs = rng.random(n)
    flag_bytes, guess_bytes = flags.view(np.uint8), guesses.view(np.uint8)
    counts = np.zeros(4, dtype=np.uint64)
    cases = [
        ("MAE", M.MAE, (y, p), lambda: lib.abs_sum(pointer(y), pointer(p), ctypes.c_size_t(n))),
        ("MSE", M.MSE, (y, p), lambda: lib.square_sum(pointer(y), pointer(p), ctypes.c_size_t(n))),
        ("LogLoss", M.LogLoss, (flags, probs),
         lambda: lib.log_loss_sum(pointer(flag_bytes), pointer(probs), ctypes.c_size_t(n))),
        ("Accuracy", M.Accuracy, (flags, guesses),
         lambda: lib.confusion(pointer(flag_bytes), pointer(guess_bytes), ctypes.c_size_t(n),
                               pointer(counts))),
    ]
    statements = {}
    for name, cls, args, floor in cases:
        statements[name] = lambda cls=cls, args=args: cls().update_many(*args)
        statements[name + " floor"] = floor
    best = best_of(statements, rounds)
    for name, *_ in cases:
        print(f"  {name}.update_many {best[name] / n * 1e9:5.2f} ns/pair, floor "
              f"{best[name + ' floor'] / n * 1e9:5.2f} ns/pair")
        row(f"{name}.update_many / floor", best[name], best[name + " floor"], 2)


def auc_rows(sizes, probe, rounds):
    rng = np.random.default_rng(3)
    print(f"  ROCAUC: cost of {probe} more updates after n samples (scores on a 2^-24 grid)")
    for n in sizes:
        auc = M.ROCAUC()
        for first in range(0, n, 1_000_000):
            count = min(1_000_000, n - first)
            auc.update_many(rng.random(count) < 0.3,
                            np.floor(rng.random(count) * 2**24) / 2**24)
        labels = rng.random(probe) < 0.3
        scores = np.floor(rng.random(probe) * 2**24) / 2**24
        best = math.inf
        for _ in range(rounds):
            work = M.ROCAUC.from_json(auc.to_json()) if n <= 10**5 else auc
            start = time.process_time()
            work.update_many(labels, scores)
            best = min(best, time.process_time() - start)
        print(f"  after {n:>10} samples: {best / probe * 1e9:7.1f} ns/update")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    load = os.getloadavg()
    print(f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} cores")
    rounds = 2 if quick else 7
    progressive_rows([(20_000, 10), (4_000, 100)] if quick else [(100_000, 10), (20_000, 100)],
                     rounds)
    loop_rows(2_000 if quick else 10_000, rounds)
    update_many_rows(100_000 if quick else 1_000_000, rounds)
    auc_rows([10**4, 10**5] if quick else [10**4, 10**5, 10**6, 10**7], 10_000, rounds)


if __name__ == "__main__":
    main()
