#!/usr/bin/env python3
"""Cost per call of drel_ml, against the cheapest thing that could do the same job.

    python3 benchmarks/bench.py                 full run (well under a minute)
    python3 benchmarks/bench.py --quick         smoke run: few loops, numbers are rough
    python3 benchmarks/bench.py --json out.json also write the results as JSON

drel_ml is imported as installed, or from PYTHONPATH. The baselines live in the
benchmark-only extension `drel_bench_baseline` (benchmarks/baseline_ext.cpp):
native functions that convert the same arguments and return None. When it is
not importable, this script builds it with CMake into benchmarks/build/<python>/
(ignored by git).

Every statement is timed as a timeit loop with a fixed number of calls, once
per round, over many short rounds; a statement's figure is its best round
(short rounds, so that on a busy machine the best falls in a quiet moment; all
statements in every round, so that a subject and its baseline meet the same
conditions). Figures are the whole cost of a call as a program sees it,
`obj.method(args)` included, like timeit reports; the baselines are called the
same way, as methods of a native object. A ratio is the subject's figure over
its baseline's. The timing loop's own cost is printed for reference.
"""

from __future__ import annotations

import one_blas_thread  # noqa: F401  (first: it must come before numpy)

import argparse
import dataclasses
import importlib
import itertools
import json
import math
import os
import platform
import random
import shutil
import subprocess
import sys
import time
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Loops per round for the cheapest calls; rows that cost more ask for fewer.
DEFAULT_LOOPS = 100_000
ROUNDS = 15
QUICK_DIVISOR = 50
QUICK_ROUNDS = 2


# ---- the baseline extension ---------------------------------------------------


def import_benchmark_extension(name: str):
    """The benchmark-only extension `name`, built with CMake into
    benchmarks/build/<python>/ when it is not importable (never installed)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        pass
    build = ROOT / "benchmarks" / "build" / sys.implementation.cache_tag
    print(f"building {name} into {build} ...", flush=True)
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    steps = [
        ["cmake", "-S", str(ROOT), "-B", str(build), *generator,
         f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
         "-DDREL_BUILD_PYTHON=OFF", "-DDREL_BUILD_BENCH_EXT=ON"],
        ["cmake", "--build", str(build), "--target", name, "-j", "2"],
    ]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"building {name} failed: {' '.join(step)}\n{done.stdout}{done.stderr}")
    sys.path.insert(0, str(build))
    importlib.invalidate_caches()
    return importlib.import_module(name)


def import_baseline():
    return import_benchmark_extension("drel_bench_baseline")


def import_drel_ml():
    try:
        return importlib.import_module("drel_ml")
    except ImportError as e:
        sys.exit(f"cannot import drel_ml ({e}); install it (python3 -m pip install .) "
                 "or put its build directory on PYTHONPATH")


# ---- a pure-Python running mean -------------------------------------------------


class PyMean:
    """The arithmetic of drel_ml.Mean.update in plain Python, without its
    finiteness and counter checks (so it is the cheapest fair rival)."""

    __slots__ = ("count", "mean")

    def __init__(self):
        self.count = 0
        self.mean = 0.0

    def update(self, x):
        n = self.count + 1
        self.mean += (float(x) - self.mean) / n
        self.count = n

    @property
    def value(self):
        return self.mean


# ---- timing and rows ----------------------------------------------------------------


@dataclasses.dataclass
class Row:
    name: str
    ns: float
    baseline: str
    baseline_ns: float
    target: float | None = None  # the ratio should not exceed this

    @property
    def ratio(self) -> float:
        return self.ns / self.baseline_ns

    @property
    def verdict(self) -> str:
        if self.target is None:
            return ""
        return f"<= {self.target:g} {'met' if self.ratio <= self.target else 'MISSED'}"


class Bench:
    """Collects timed statements and comparisons, then times everything in
    rounds: each round runs every statement once, so that a subject and its
    baseline meet the same conditions, and each keeps its best round."""

    LOOP = "(timing loop)"

    def __init__(self, quick: bool):
        self.divisor = QUICK_DIVISOR if quick else 1
        self.rounds = QUICK_ROUNDS if quick else ROUNDS
        self.timers: dict[str, tuple[timeit.Timer, int]] = {}
        self.comparisons: list[tuple[str, str, float | None]] = []
        self.timings: dict[str, float] = {}  # ns per call
        self.loop_ns = 0.0
        self.time(self.LOOP, "pass", {})

    def time(self, name: str, stmt: str, namespace: dict, loops: int = DEFAULT_LOOPS) -> str:
        """Registers `stmt` under `name` (a name already taken keeps its statement)."""
        if name not in self.timers:
            # A copy: the caller may rebind names for the next statement.
            timer = timeit.Timer(stmt, timer=cpu_seconds, globals=dict(namespace))
            self.timers[name] = (timer, max(1, loops // self.divisor))
        return name

    def compare(self, subject: str, baseline: str, target: float | None = None) -> None:
        self.comparisons.append((subject, baseline, target))

    def row(self, name: str, stmt: str, namespace: dict, baseline: str,
            target: float | None = None, loops: int = DEFAULT_LOOPS) -> None:
        self.compare(self.time(name, stmt, namespace, loops), baseline, target)

    def run(self) -> list[Row]:
        best = dict.fromkeys(self.timers, math.inf)
        for _ in range(self.rounds):
            for name, (timer, loops) in self.timers.items():
                best[name] = min(best[name], timer.timeit(loops) / loops * 1e9)
        self.loop_ns = best.pop(self.LOOP)
        self.timings = best
        return [Row(subject, self.timings[subject], baseline, self.timings[baseline], target)
                for subject, baseline, target in self.comparisons]


def cpu_seconds() -> float:
    """The process's CPU time: a single-threaded statement's cost, whatever
    else the machine runs meanwhile (wall time swings with the load)."""
    return time.process_time_ns() * 1e-9


def features(n: int, seed: int) -> list[float]:
    rng = random.Random(seed)
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]


# ---- the suites -----------------------------------------------------------------------


def bench_mean(bench: Bench, drel_ml, base) -> None:
    ns = {"m": drel_ml.Mean(), "p": PyMean(), "base": base.Baseline()}
    baseline = bench.time("noop_float(1.5)", "base.noop_float(1.5)", ns)
    bench.row("Mean.update(1.5)", "m.update(1.5)", ns, baseline, target=1.3)
    bench.row("Mean.value", "m.value", ns, baseline)
    bench.row("PyMean.update(1.5)", "p.update(1.5)", ns, baseline)
    bench.row("PyMean.value", "p.value", ns, baseline)
    # How much a pure-Python class costs over the native one.
    bench.compare("PyMean.update(1.5)", "Mean.update(1.5)")
    bench.compare("PyMean.value", "Mean.value")


MODELS = [
    # class name, the y given to learn_one, ratio targets by (method, feature count)
    ("LinearRegression", 1.0, {("learn_one", 10): 2.0}),
    ("LogisticRegression", True, {}),
    ("RegressionPipeline", 1.0, {}),
    ("ClassificationPipeline", True, {}),
]


def bench_models(bench: Bench, drel_ml, base) -> None:
    for n in (10, 100):
        loops = DEFAULT_LOOPS // (1 if n <= 10 else 4)
        ns = {"x": features(n, seed=n), "base": base.Baseline()}
        baseline = bench.time(f"convert_list(x[{n}])", "base.convert_list(x)", ns, loops)
        for class_name, y, targets in MODELS:
            ns["model"] = getattr(drel_ml, class_name)(n, 0.001)
            ns["y"] = y
            for call in ("learn_one(x, y)", "predict_one(x)"):
                method = call.split("(")[0]
                bench.row(f"{class_name}.{method} [{n}]", f"model.{call}", ns, baseline,
                          target=targets.get((method, n)), loops=loops)


@dataclasses.dataclass(frozen=True)
class FloorCall:
    call: str                 # what the row is called
    model: str | None         # the drel_ml class (None: Mean)
    method: str               # the drel_ml method; the floor's is the same unless `floor_method`
    arguments: str
    n: int | None             # feature count (None: a scalar call)
    target: float | None
    floor_method: str = ""
    split: bool = True        # the floor also has core_<method> and native_ns covers it
    # Samples that `next(xs)` cycles through (in `arguments`): a pipeline that
    # learns one fixed x keeps every variance at zero, which real data does
    # not; the pipeline rows show both.
    samples: int = 1

    @property
    def floor(self) -> str:
        return self.floor_method or self.method


FLOOR_CALLS = [
    FloorCall("Mean.update(1.5)", None, "mean_update", "1.5", None, 1.15),
    FloorCall("LinearRegression.predict_one", "LinearRegression", "predict_one", "x", 10, 1.2),
    FloorCall("LinearRegression.learn_one", "LinearRegression", "learn_one", "x, y", 10, 1.3),
    FloorCall("LinearRegression.predict_one", "LinearRegression", "predict_one", "x", 100, None),
    FloorCall("LinearRegression.learn_one", "LinearRegression", "learn_one", "x, y", 100, 1.3),
    FloorCall("LogisticRegression.learn_one", "LogisticRegression", "learn_one", "x, t", 10, 1.2,
              floor_method="logistic_learn_one"),
    FloorCall("RegressionPipeline.learn_one, one fixed sample", "RegressionPipeline", "learn_one",
              "next(xs), y", 10, 1.2, floor_method="pipeline_learn_one", split=False),
    FloorCall("RegressionPipeline.learn_one, 16 samples in turn", "RegressionPipeline",
              "learn_one", "next(xs), y", 10, 1.2, floor_method="pipeline_learn_one",
              split=False, samples=16),
]


@dataclasses.dataclass
class Split:
    """One call's cost in three parts: the floor (conversion and arithmetic),
    what the core adds to the arithmetic, and what the binding adds."""
    call: str
    floor_ns: float
    core_ns: float
    binding_ns: float
    native: tuple[float, float]  # core, floor arithmetic: ns in a C++ loop


def floor_names(c: FloorCall) -> tuple[str, str, str]:
    suffix = "" if c.n is None else f" [{c.n}]"
    subject = c.call if c.n is None else f"{c.call}{suffix}"
    # A floor fed other samples is another statement, so another name.
    floor_suffix = suffix if c.samples == 1 else f" [{c.n}, {c.samples} samples]"
    return subject, f"Floor.{c.floor}{floor_suffix}", f"Floor.core_{c.floor}{floor_suffix}"


def bench_floors(bench: Bench, drel_ml, base) -> None:
    """Each one-sample call against its floor, and (where the floor has it)
    the floor's conversion followed by the real core operation, which splits
    the difference."""
    for c in FLOOR_CALLS:
        width = c.n or 1
        loops = DEFAULT_LOOPS // (1 if width <= 10 else 4)
        ns = {"x": features(width, seed=width), "y": 1.0, "t": True,
              "xs": itertools.cycle([features(width, seed=k) for k in range(c.samples)]),
              "f": base.Floor(width, 0.001),
              "m": drel_ml.Mean() if c.model is None else getattr(drel_ml, c.model)(width, 0.001)}
        subject, floor, core = floor_names(c)
        statement = "m.update(1.5)" if c.model is None else f"m.{c.method}({c.arguments})"
        bench.time(subject, statement, ns, loops)
        bench.time(floor, f"f.{c.floor}({c.arguments})", ns, loops)
        bench.compare(subject, floor, c.target)
        if c.split:
            bench.row(core, f"f.core_{c.floor}({c.arguments})", ns, floor, loops=loops)


def floor_splits(bench: Bench, base, quick: bool) -> list[Split]:
    splits = []
    for c in FLOOR_CALLS:
        if not c.split:
            continue
        subject, floor, core = floor_names(c)
        t = bench.timings
        native = base.native_ns(c.floor, c.n or 1, 20_000 if quick else 200_000)
        splits.append(Split(subject, t[floor], t[core] - t[floor], t[subject] - t[core], native))
    return splits


def print_splits(splits: list[Split]) -> None:
    print("\nWhere a one-sample call's time goes (ns per call): the floor; what the core adds "
          "(Floor.core_* - Floor.*: the floor's conversion, then the real core operation); what "
          "the binding adds (drel_ml - Floor.core_*; the core is compiled into both extensions, so a "
          "difference in how the compiler inlines it into drel_ml shows up here too). Native: the "
          "core operation and the floor arithmetic alone, timed in a C++ loop.")
    header = ("call", "floor", "+core", "+binding", "ratio", "native core", "native floor")
    lines = [(s.call, f"{s.floor_ns:.1f}", f"{s.core_ns:+.1f}", f"{s.binding_ns:+.1f}",
              f"{(s.floor_ns + s.core_ns + s.binding_ns) / s.floor_ns:.2f}",
              f"{s.native[0]:.1f}", f"{s.native[1]:.1f}") for s in splits]
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]
    for line in [header, *lines]:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                        for i, (c, w) in enumerate(zip(line, widths))).rstrip())


def bench_snapshots(bench: Bench, drel_ml) -> None:
    cls = drel_ml.LinearRegression
    for n in (10, 1000):
        loops = 5_000 if n <= 10 else 200
        model = cls(n, 0.001)
        for seed in range(3):
            model.learn_one(features(n, seed), 0.5)
        text = model.to_json()
        ns = {"model": model, "cls": cls, "text": text, "doc": json.loads(text), "json": json}
        dumps = bench.time(f"json.dumps [{n}]", "json.dumps(doc)", ns, loops)
        loads = bench.time(f"json.loads [{n}]", "json.loads(text)", ns, loops)
        bench.row(f"LinearRegression.to_json [{n}]", "model.to_json()", ns, dumps, 1.0, loops)
        bench.row(f"LinearRegression.from_json [{n}]", "cls.from_json(text)", ns, loads, 1.0, loops)


# ---- output ---------------------------------------------------------------------------


def print_table(rows: list[Row]) -> None:
    header = ("benchmark", "ns/call", "baseline", "ns/call", "ratio", "target")
    lines = [(r.name, f"{r.ns:.1f}", r.baseline, f"{r.baseline_ns:.1f}", f"{r.ratio:.2f}", r.verdict)
             for r in rows]
    widths = [max(len(line[i]) for line in [header, *lines]) for i in range(len(header))]
    right = {1, 3, 4}
    for line in [header, *lines]:
        cells = [c.rjust(w) if i in right else c.ljust(w)
                 for i, (c, w) in enumerate(zip(line, widths))]
        print("  ".join(cells).rstrip())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few loops: checks that the script runs")
    parser.add_argument("--json", metavar="PATH", help="also write the results to PATH")
    args = parser.parse_args()

    base = import_baseline()
    drel_ml = import_drel_ml()
    bench = Bench(args.quick)
    bench_mean(bench, drel_ml, base)
    bench_models(bench, drel_ml, base)
    bench_floors(bench, drel_ml, base)
    has_snapshots = hasattr(drel_ml.LinearRegression, "to_json")
    if has_snapshots:
        bench_snapshots(bench, drel_ml)
    load_before = os.getloadavg()[0]
    rows = bench.run()
    load, cpus = os.getloadavg()[0], os.cpu_count() or 1

    print(f"Python {platform.python_version()} ({platform.python_implementation()}), "
          f"{platform.machine()}; drel_ml from {drel_ml.__file__}")
    print("Baselines: drel_bench_baseline.Baseline().noop_float / convert_list, native methods that "
          "convert the same argument (a float; a list into a std::vector<double>) and return None; "
          "Floor.*, the same conversion and arithmetic with no checks, borrow or state copy; "
          "snapshots against the json module on the same document.")
    print(f"Figures are the best of {bench.rounds} interleaved rounds of process CPU time, whole "
          f"cost per call (the timing loop alone: {bench.loop_ns:.1f} ns per iteration)"
          f"{'; QUICK run, rough numbers' if args.quick else ''}.")
    print(f"Load average {load_before:.1f} before, {load:.1f} after, on {cpus} CPUs"
          f"{': other work competes (CPU time discounts most of it)' if load > cpus else ''}.")
    print()
    print_table(rows)
    splits = floor_splits(bench, base, args.quick)
    print_splits(splits)
    if not has_snapshots:
        print("\n(snapshot rows skipped: this drel_ml has no LinearRegression.to_json)")

    if args.json:
        result = {
            "python": platform.python_version(),
            "implementation": platform.python_implementation(),
            "quick": args.quick,
            "rounds": bench.rounds,
            "loop_ns": bench.loop_ns,
            "load_average": load,
            "load_average_before": load_before,
            "clock": "process CPU time",
            "timings_ns": bench.timings,
            "rows": [dict(dataclasses.asdict(r), ratio=r.ratio, verdict=r.verdict) for r in rows],
            "splits": [dataclasses.asdict(s) for s in splits],
        }
        Path(args.json).write_text(json.dumps(result, indent=2) + "\n")


if __name__ == "__main__":
    main()
