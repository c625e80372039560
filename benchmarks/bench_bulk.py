#!/usr/bin/env python3
"""Bulk functions of drel_ml_ext against their native floors, a Python loop and a peer.

    python3 benchmarks/bench_bulk.py            full run (about a minute)
    python3 benchmarks/bench_bulk.py --quick    smoke run: few rounds, rough numbers
    python3 benchmarks/bench_bulk.py --json out.json   also write the results as JSON

For (100000, 10) and (20000, 100) float64 arrays, ns per row of learn_many and
predict_many for LinearRegression, LogisticRegression and RegressionPipeline,
against:
  chained  (learn_many of LinearRegression and LogisticRegression) the floor of
           the form learn_many runs for plain SGD: the pass that writes a row's
           new weights also sums the next row's output; the same arithmetic in
           the same order, with no check, no copy of the old weights and no
           error path (drel_bench_bulk_floor.learn_*_chained, results verified
           bit for bit). Target: learn_many at most 1.10x this floor.
  row floor  the benchmark-only extension drel_bench_bulk_floor
           (benchmarks/bulk_floor_ext.cpp): the identical arithmetic over the same
           array with no check at all, one row after the other (a learned row:
           its output, then its step; results verified bit for bit);
  loop     a Python loop of learn_one / predict_one over the numpy rows;
  sklearn  SGDRegressor.partial_fit over the whole array with the same constant
           learning rate (LinearRegression only; skipped without scikit-learn;
           its weights are compared with ours).
Then two models trained by learn_many in two worker threads at once (each
pinned to a core of its own where the platform allows; also printed unpinned)
against the same two trainings one after the other.

Every statement runs once per round, all of them in every round (interleaved),
and keeps its best round, so that a subject and its baselines meet the same
conditions on a busy machine. Single-threaded rows are timed in process CPU
time; the threads row, whose point is two cores at once, in wall time. drel_ml and drel_ml_ext are imported as installed.
When drel_bench_bulk_floor is not importable, this script builds it with CMake
into benchmarks/build/<python>/ (ignored by git), apart from the core (none of
its headers) and with its flags: -O2, -ffp-contract=off, no -ffast-math, the
x86-64 baseline instruction set. The chained floors therefore run SSE2 code,
as learn_many's chained loop does on every processor (only the row-by-row
passes have an AVX2 build, picked at run time). Where the core runs those
passes in their AVX2 build, AdaGrad's learn_many and the pipeline's learn_many
and predict_many are also measured against AVX2 floors: the same arithmetic
with each elementwise pass four features at a time, then two, then one, as
the core's build runs it (benchmarks/bulk_floor_vector.cpp, checked bit for
bit), the floors the vectorised passes are to be judged by.
"""

from __future__ import annotations

import one_blas_thread  # noqa: F401  (first: it must come before numpy)

import argparse
import json
import math
import os
import platform
import queue
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))
from bench import import_benchmark_extension  # noqa: E402

SHAPES = [(100_000, 10), (20_000, 100)]
RATE = 1e-3
ROUNDS, QUICK_ROUNDS = 15, 2
LOOP_ROWS = 5_000  # the Python loops run over this many rows (their cost is per row anyway)
# (shape's feature count) -> target ratio of learn_many over the floor, and over sklearn
LEARN_FLOOR_TARGET = {10: 1.5, 100: 1.3}
SKLEARN_TARGET = {10: 1 / 2.0, 100: 1 / 1.5}
PREDICT_FLOOR_TARGET = 1.2
# learn_many over the floor of its own chained form, where it runs one.
CHAINED_FLOOR_TARGET = 1.10
# Tighter targets of some rows against their floors (the strict -O2 loops,
# which the core's vector passes should beat): (model, call, feature count).
FLOOR_TARGETS = {
    ("RegressionPipeline", "learn", 10): 1.0,
    ("LinearRegression", "learn", 100): 0.8,
    ("RegressionPipeline", "predict", 10): 1.2,
}
THREADS_TARGET = 0.6
# A round of the threads row takes a few tens of ms; it gets more rounds, since
# on a shared machine a round where both cores are really ours is rarer.
THREADS_ROUNDS = 80


def import_floor():
    return import_benchmark_extension("drel_bench_bulk_floor")


def cpu_seconds():
    """The process's CPU time, for single-threaded statements."""
    return time.process_time_ns() * 1e-9


class Rounds:
    """Named statements, each timed once per round, all in every round; the
    best round of each is kept (seconds of `clock`: process CPU time unless
    told otherwise)."""

    def __init__(self, clock=cpu_seconds):
        self.statements: dict[str, object] = {}
        self.clock = clock

    def add(self, name, fn):
        self.statements[name] = fn

    def run(self, rounds):
        best = dict.fromkeys(self.statements, math.inf)
        clock = self.clock
        for _ in range(rounds):
            for name, fn in self.statements.items():
                start = clock()
                fn()
                best[name] = min(best[name], clock() - start)
        return best


def model_json(model):
    """The linear part of a model's snapshot: (weights, intercept)."""
    doc = json.loads(model.to_json())["model"]
    doc = doc.get("model", doc)
    return doc["weights"], doc["intercept"]


def scaler_state(doc_model, cols, np):
    t = json.loads(doc_model.to_json())["model"]["transformer"]
    return np.array(t["means"] + t["m2s"] + [float(t["counts"][0])])


def data(rows, cols, np):
    rng = np.random.default_rng(rows + cols)
    X = rng.standard_normal((rows, cols))
    y = X @ rng.standard_normal(cols) + 0.1 * rng.standard_normal(rows)
    return X, y, y > np.median(y)


def verify_floor(drel_ml, ext, floor, X, y, flags, np):
    """The floor computes what the core computes: same weights, bit for bit."""
    rows, cols = X.shape
    X, y, flags = X[:2000], y[:2000], flags[:2000]
    for name, target, learns, predict in (
            ("LinearRegression", y, (floor.learn_linear, floor.learn_linear_chained),
             floor.predict_linear),
            ("LogisticRegression", flags, (floor.learn_logistic, floor.learn_logistic_chained),
             floor.predict_logistic)):
        model = getattr(drel_ml, name)(cols, RATE)
        ext.learn_many(model, X, target)
        for learn in learns:
            w = np.zeros(cols + 1)
            learn(X, target, w, RATE)
            assert model_json(model) == (w[:-1].tolist(), w[-1]), \
                f"{learn.__name__} differs from {name}"
        out = np.empty(len(X), dtype=np.float64 if name == "LinearRegression" else np.bool_)
        predict(X, w, out)
        assert np.array_equal(out, ext.predict_many(model, X)), f"{predict.__name__} differs"
    model = drel_ml.RegressionPipeline(cols, RATE)
    ext.learn_many(model, X, y)
    w, s = np.zeros(cols + 1), np.zeros(2 * cols + 1)
    floor.learn_pipeline(X, y, w, s, RATE)
    assert model_json(model) == (w[:-1].tolist(), w[-1]), "floor differs from RegressionPipeline"
    assert np.array_equal(scaler_state(model, cols, np), s)
    out = np.empty(len(X))
    floor.predict_pipeline(X, w, s, out)
    assert np.array_equal(out, ext.predict_many(model, X)), "floor predictions differ"


def vector_floors(ext):
    """Whether to measure against the AVX2 floors: the core runs its AVX2 passes."""
    return vector_build(ext) == "avx2"


def bench_adagrad(drel_ml, ext, floor, np, rounds):
    """learn_many of an AdaGrad LinearRegression against the row-by-row floor of
    the same arithmetic, one weight at a time and (where the core runs its AVX2
    passes) four at a time, each checked bit for bit: ns/row of each, per shape
    (the AVX2 floor None where not measured)."""
    floors = {"floor": floor.learn_linear_adagrad}
    if vector_floors(ext):
        floors["avx2"] = floor.learn_linear_adagrad_avx2
    per_row = {}
    for rows, cols in SHAPES:
        X, y, _ = data(rows, cols, np)
        make = lambda: ext.linear_regression(cols, learning_rate=RATE, optimizer="adagrad")  # noqa: E731
        model = make()
        ext.learn_many(model, X[:2000], y[:2000])
        r = Rounds()
        r.add("bulk", lambda: ext.learn_many(make(), X, y))
        for name, learn in floors.items():
            w, acc = np.zeros(cols + 1), np.zeros(cols + 1)
            learn(X[:2000], y[:2000], w, acc, RATE)
            assert model_json(model) == (w[:-1].tolist(), w[-1]), f"{learn.__name__} differs"
            r.add(name, lambda learn=learn: learn(X, y, np.zeros(cols + 1), np.zeros(cols + 1), RATE))
        best = {k: v / rows * 1e9 for k, v in r.run(rounds).items()}
        per_row[(rows, cols)] = (best["bulk"], best["floor"], best.get("avx2"))
    return per_row


def bench_pipeline_avx2(drel_ml, ext, floor, np, rounds):
    """RegressionPipeline's learn_many and predict_many against the AVX2 floors
    of the same arithmetic, checked bit for bit: {(rows, cols): {call: (bulk,
    floor)}} in ns/row; empty where the core does not run its AVX2 passes."""
    if not vector_floors(ext):
        return {}
    per_row = {}
    for rows, cols in SHAPES:
        X, y, _ = data(rows, cols, np)
        model = drel_ml.RegressionPipeline(cols, RATE)
        ext.learn_many(model, X, y)
        w, s = np.zeros(cols + 1), np.zeros(2 * cols + 1)
        floor.learn_pipeline_avx2(X, y, w, s, RATE)
        assert model_json(model) == (w[:-1].tolist(), w[-1]), "AVX2 pipeline floor differs"
        assert np.array_equal(scaler_state(model, cols, np), s), "AVX2 scaler floor differs"
        out = np.empty(rows)
        floor.predict_pipeline_avx2(X, w, s, out)
        assert np.array_equal(out, ext.predict_many(model, X)), "AVX2 prediction floor differs"
        r = Rounds()
        r.add(("learn", "bulk"), lambda: ext.learn_many(drel_ml.RegressionPipeline(cols, RATE), X, y))
        r.add(("learn", "avx2"), lambda: floor.learn_pipeline_avx2(
            X, y, np.zeros(cols + 1), np.zeros(2 * cols + 1), RATE))
        r.add(("predict", "bulk"), lambda: ext.predict_many(model, X))
        r.add(("predict", "avx2"), lambda: floor.predict_pipeline_avx2(X, w, s, out))
        best = {k: v / rows * 1e9 for k, v in r.run(rounds).items()}
        per_row[(rows, cols)] = {call: (best[(call, "bulk")], best[(call, "avx2")])
                                 for call in ("learn", "predict")}
    return per_row


def sklearn_agreement(drel_ml, ext, X, y, np, sklearn_linear):
    """Max relative difference of SGDRegressor's weights from ours."""
    ours = drel_ml.LinearRegression(X.shape[1], RATE)
    ext.learn_many(ours, X, y)
    peer = sklearn_linear()
    peer.partial_fit(X, y)
    w, b = model_json(ours)
    ours_all, theirs = np.array(w + [b]), np.append(peer.coef_, peer.intercept_)
    return float(np.max(np.abs(ours_all - theirs)) / np.max(np.abs(ours_all)))


def bench_shape(rows, cols, drel_ml, ext, floor, np, sklearn_linear, rounds):
    X, y, flags = data(rows, cols, np)
    verify_floor(drel_ml, ext, floor, X, y, flags, np)
    Xs, ys, fs = X[:LOOP_ROWS], y[:LOOP_ROWS], flags[:LOOP_ROWS].tolist()
    r = Rounds()
    models = {
        "LinearRegression": (y, ys, floor.learn_linear, floor.predict_linear, "reals",
                             floor.learn_linear_chained),
        "LogisticRegression": (flags, fs, floor.learn_logistic, floor.predict_logistic, "flags",
                               floor.learn_logistic_chained),
        "RegressionPipeline": (y, ys, floor.learn_pipeline, floor.predict_pipeline, "reals", None),
    }
    trained = {}
    for name, (target, loop_target, floor_learn, floor_predict, kind, chained) in models.items():
        cls = getattr(drel_ml, name)
        pipeline = name == "RegressionPipeline"
        model = cls(cols, RATE)
        ext.learn_many(model, X, target)
        trained[name] = model
        w = np.array(model_json(model)[0] + [model_json(model)[1]])
        s = scaler_state(model, cols, np) if pipeline else None
        out = np.empty(rows, dtype=np.float64 if kind == "reals" else np.bool_)

        def learn_floor(floor_learn=floor_learn, target=target, pipeline=pipeline):
            args = (X, target, np.zeros(cols + 1)) + ((np.zeros(2 * cols + 1),) if pipeline else ())
            floor_learn(*args, RATE)

        def learn_loop(cls=cls, loop_target=loop_target):
            m = cls(cols, RATE)
            for x, t in zip(Xs, loop_target):
                m.learn_one(x, t)

        def predict_floor(floor_predict=floor_predict, w=w, s=s, out=out, pipeline=pipeline):
            floor_predict(X, w, *((s,) if pipeline else ()), out)

        def predict_loop(model=model):
            for x in Xs:
                model.predict_one(x)

        r.add((name, "learn", "bulk"), lambda cls=cls, target=target: ext.learn_many(cls(cols, RATE), X, target))
        r.add((name, "learn", "floor"), learn_floor)
        if chained is not None:
            def learn_chained(chained=chained, target=target):
                chained(X, target, np.zeros(cols + 1), RATE)

            r.add((name, "learn", "chained"), learn_chained)
        r.add((name, "learn", "loop"), learn_loop)
        r.add((name, "predict", "bulk"), lambda model=model: ext.predict_many(model, X))
        r.add((name, "predict", "floor"), predict_floor)
        r.add((name, "predict", "loop"), predict_loop)
    agreement = None
    if sklearn_linear is not None:
        r.add(("LinearRegression", "learn", "sklearn"), lambda: sklearn_linear().partial_fit(X, y))
        agreement = sklearn_agreement(drel_ml, ext, X, y, np, sklearn_linear)
    best = r.run(rounds)
    per_row = {k: v * 1e9 / (LOOP_ROWS if k[2] == "loop" else rows) for k, v in best.items()}
    return per_row, agreement


class Workers:
    """Two long-lived worker threads, each given one job per round.

    With `pinned`, each worker first binds itself to a core of its own
    (os.sched_setaffinity, where the platform has it), so that the figure
    measures the library rather than thread placement: unpinned, the OS at
    times wakes both workers on one core and leaves the other idle for a few
    milliseconds, as long as a whole job here. Threads are started once, not
    per round, for the same reason.
    """

    def __init__(self, pinned: bool):
        cores = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []
        self.pinned = pinned and hasattr(os, "sched_setaffinity") and len(cores) >= 2
        self.jobs = [queue.SimpleQueue() for _ in range(2)]
        self.done = queue.SimpleQueue()
        self.threads = [threading.Thread(target=self._serve, args=(i, cores), daemon=True)
                        for i in range(2)]
        for t in self.threads:
            t.start()

    def _serve(self, index, cores):
        if self.pinned:
            os.sched_setaffinity(0, {cores[index]})
        while (job := self.jobs[index].get()) is not None:
            job()
            self.done.put(index)

    def run(self, first, second):
        """Runs first() and second() at once, one per worker; returns when both end."""
        self.jobs[0].put(first)
        self.jobs[1].put(second)
        self.done.get()
        self.done.get()

    def close(self):
        for jobs in self.jobs:
            jobs.put(None)
        for t in self.threads:
            t.join()


def threads_ratio(drel_ml, ext, np, rounds):
    """Two models by learn_many in two threads, over one after the other:
    (pinned ratio, unpinned ratio); pinned is None where threads cannot be pinned."""
    X, y, _ = data(200_000, 10, np)

    def train():
        ext.learn_many(drel_ml.LinearRegression(10, RATE), X, y)

    def sequential():
        train()
        train()

    pools = {"pinned": Workers(pinned=True), "unpinned": Workers(pinned=False)}
    # Wall time: the point of the row is two cores busy at once, which
    # process CPU time would add up.
    r = Rounds(clock=time.perf_counter)
    r.add("sequential", sequential)
    for name, pool in pools.items():
        r.add(name, lambda pool=pool: pool.run(train, train))
    try:
        best = r.run(rounds)
    finally:
        for pool in pools.values():
            pool.close()
    pinned = best["pinned"] / best["sequential"] if pools["pinned"].pinned else None
    return pinned, best["unpinned"] / best["sequential"]


def vector_build(ext):
    """Which build of the elementwise passes the core runs here."""
    forced = os.environ.get("DREL_ML_VECTOR") == "baseline"
    has_avx2 = "avx2" in Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else False
    return "baseline (forced)" if forced else ("avx2" if has_avx2 else "baseline")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few rounds: checks that the script runs")
    parser.add_argument("--json", metavar="PATH", help="also write the results to PATH")
    args = parser.parse_args()
    try:
        import numpy as np
    except ImportError:
        sys.exit("the bulk benchmark needs numpy")
    floor = import_floor()
    import drel_ml
    import drel_ml_ext as ext
    try:
        from sklearn.linear_model import SGDRegressor

        def sklearn_linear():
            return SGDRegressor(loss="squared_error", penalty=None, learning_rate="constant",
                                eta0=RATE, shuffle=False, average=False)
    except ImportError:
        sklearn_linear = None
    rounds = QUICK_ROUNDS if args.quick else ROUNDS
    load_before = os.getloadavg()[0]

    results = {"python": platform.python_version(), "rounds": rounds, "shapes": {}}
    lines = []
    header = ("shape", "model", "call", "ns/row", "chained", "x chained", "row floor",
              "x row floor", "loop", "x faster", "sklearn", "x faster", "targets")
    for rows, cols in SHAPES:
        per_row, agreement = bench_shape(rows, cols, drel_ml, ext, floor, np, sklearn_linear, rounds)
        results["shapes"][f"{rows}x{cols}"] = {"|".join(k): v for k, v in per_row.items()}
        results["shapes"][f"{rows}x{cols}"]["sklearn_max_relative_difference"] = agreement
        for name in ("LinearRegression", "LogisticRegression", "RegressionPipeline"):
            for call in ("learn", "predict"):
                bulk, fl, lp = (per_row[(name, call, k)] for k in ("bulk", "floor", "loop"))
                sk = per_row.get((name, call, "sklearn"))
                ch = per_row.get((name, call, "chained"))
                verdicts = []
                if ch is not None:
                    verdicts.append(f"chained<={CHAINED_FLOOR_TARGET:g}:"
                                    f"{'met' if bulk / ch <= CHAINED_FLOOR_TARGET else 'MISSED'}")
                floor_target = FLOOR_TARGETS.get(
                    (name, call, cols),
                    LEARN_FLOOR_TARGET[cols] if call == "learn" else PREDICT_FLOOR_TARGET)
                verdicts.append(f"row floor<={floor_target:g}:"
                                f"{'met' if bulk / fl <= floor_target else 'MISSED'}")
                if call == "learn" and sk is not None:
                    need = 1 / SKLEARN_TARGET[cols]
                    verdicts.append(f"sklearn>={need:g}x:{'met' if sk / bulk >= need else 'MISSED'}")
                lines.append((f"{rows}x{cols}", name, f"{call}_many", f"{bulk:.1f}",
                              f"{ch:.1f}" if ch else "-", f"{bulk / ch:.2f}" if ch else "-",
                              f"{fl:.1f}", f"{bulk / fl:.2f}", f"{lp:.1f}", f"{lp / bulk:.1f}",
                              f"{sk:.1f}" if sk else "-", f"{sk / bulk:.1f}" if sk else "-",
                              " ".join(verdicts)))
    adagrad = bench_adagrad(drel_ml, ext, floor, np, rounds)
    pipeline_avx2 = bench_pipeline_avx2(drel_ml, ext, floor, np, rounds)
    pinned, unpinned = threads_ratio(drel_ml, ext, np, QUICK_ROUNDS if args.quick else THREADS_ROUNDS)
    ratio = pinned if pinned is not None else unpinned
    cores = os.cpu_count() or 1
    results["threads_ratio"], results["threads_ratio_unpinned"] = pinned, unpinned
    results["cores"] = cores

    load = os.getloadavg()[0]
    results["load_average"] = [load_before, load]
    print(f"Python {platform.python_version()}, {platform.machine()}, {cores} cores, "
          f"load average {load_before:.1f} before, {load:.1f} after; best of {rounds} interleaved "
          f"rounds of process CPU time ({QUICK_ROUNDS if args.quick else THREADS_ROUNDS} rounds of "
          f"wall time for the threads row)"
          f"{'; QUICK run, rough numbers' if args.quick else ''}; "
          f"vector passes: {vector_build(ext)} "
          "(the chained learn loop: x86-64 baseline everywhere).")
    print("ns/row: learn_many / predict_many on the whole float64 array; chained: the floor of "
          "learn_many's chained plain-SGD loop (each weight pass also sums the next row's output), "
          f"target <= {CHAINED_FLOOR_TARGET:g}x; row floor: the same arithmetic one row after the "
          "other; both unchecked, strict -O2, x86-64 baseline, verified bit for bit (the "
          "pipeline's predictions work out each divisor once per call); loop: learn_one / "
          "predict_one over numpy rows; sklearn: SGDRegressor.partial_fit, same constant rate.")
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]
    for line in [header, *lines]:
        print("  ".join(c.rjust(w) if 3 <= i <= 11 else c.ljust(w)
                        for i, (c, w) in enumerate(zip(line, widths))).rstrip())
    for (rows, cols), (bulk, fl, avx2) in adagrad.items():
        results["shapes"][f"{rows}x{cols}"]["adagrad_learn_ns_per_row"] = [bulk, fl, avx2]
        print(f"{rows}x{cols} LinearRegression with AdaGrad, learn_many: {bulk:.1f} ns/row, its "
              f"row-by-row floor (strict -O2, one weight at a time) {fl:.1f}: x floor {bulk / fl:.2f}"
              + (f"; four weights at a time (AVX2) {avx2:.1f}: x {bulk / avx2:.2f}" if avx2 else ""))
    for (rows, cols), calls in pipeline_avx2.items():
        results["shapes"][f"{rows}x{cols}"]["pipeline_avx2_ns_per_row"] = calls
        for call, (bulk, fl) in calls.items():
            print(f"{rows}x{cols} RegressionPipeline, {call}_many: {bulk:.1f} ns/row, its AVX2 floor "
                  f"(the scaler's and the model's elementwise passes four features at a time, "
                  f"unchecked) {fl:.1f}: x {bulk / fl:.2f}")
    for rows, cols in SHAPES:
        agreement = results["shapes"][f"{rows}x{cols}"]["sklearn_max_relative_difference"]
        if agreement is not None:
            print(f"sklearn weights vs ours at {rows}x{cols}: max relative difference {agreement:.1e}")
    verdict = "met" if ratio <= THREADS_TARGET else "MISSED"
    how = "threads pinned to a core each" if pinned is not None else "threads not pinned"
    print(f"threads (wall time): two models in two threads / one after the other = {ratio:.2f} "
          f"({how}) on {cores} cores (target <= {THREADS_TARGET} on >= 2 cores: "
          f"{verdict if cores >= 2 else 'not applicable'})")
    if pinned is not None:
        print(f"threads, not pinned (placement left to the OS): {unpinned:.2f}")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
