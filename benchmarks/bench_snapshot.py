#!/usr/bin/env python3
"""Snapshot speed: to_json / from_json of a 1,000-feature model against pickle.

    python3 benchmarks/bench_snapshot.py            full run (a few seconds)
    python3 benchmarks/bench_snapshot.py --quick    smoke run: few loops, rough numbers
    python3 benchmarks/bench_snapshot.py --json out.json   also write the results as JSON
    python3 benchmarks/bench_snapshot.py --pickle-features N   width of the pickle rows

The pickle rows: pickle.dumps / pickle.loads of a 100,000-feature
LinearRegression (its binary state) against the same calls on a fitted
SGDRegressor of the same width, in process CPU time, interleaved, best of the
rounds; target at most 1.5x.

The peer is what a scikit-learn user pays to save and restore a linear model:
pickle.dumps / pickle.loads of a fitted SGDRegressor with 1,000 coefficients
(its coefficients are one numpy buffer, so pickle copies raw bytes). Without
scikit-learn the peer falls back to pickle of a list of 1,000 floats, which is
said in the output. The target: each snapshot call at most 3x its pickle peer.
json.dumps / json.loads of the same document are shown beside them.

Two models, both with 1,000 features and weights from a few learning steps
(17-digit reals): LinearRegression with plain SGD (1,000 reals in its
document) and with AdaGrad (2,000 reals: the weights and their squared
gradient sums), the latter built by loading a snapshot text.

Timing as in benchmarks/bench.py (whose Bench and table this reuses): every
statement once per round, many short rounds, each statement's best round, in
ns per call; a ratio is the subject over its baseline, measured side by side.
"""

from __future__ import annotations

import one_blas_thread  # noqa: F401  (first: it must come before numpy)

import argparse
import dataclasses
import json
import math
import os
import pickle
import platform
import random
import sys
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import Bench, import_drel_ml, print_table  # noqa: E402

FEATURES = 1000
LOOPS = 200
JSON_LOOPS = 20  # the json module is a hundred times slower; keep its rounds short
ROUNDS = 40
TARGET = 3.0
PICKLE_FEATURES = 100_000
PICKLE_TARGET = 1.5


def trained_features(rng: random.Random) -> list[float]:
    return [rng.uniform(-1.0, 1.0) for _ in range(FEATURES)]


def sgd_model(drel_ml, rng: random.Random):
    model = drel_ml.LinearRegression(FEATURES, 0.001)
    for _ in range(3):
        model.learn_one(trained_features(rng), rng.uniform(-1.0, 1.0))
    return model


def adagrad_model(drel_ml, rng: random.Random):
    """The Python constructor makes SGD models; an AdaGrad one comes from a text."""
    document = json.loads(drel_ml.LinearRegression(FEATURES, 0.001).to_json())
    document["model"]["optimizer"] = {"AdaGrad": {
        "feature_count": FEATURES,
        "config": {"learning_rate": 0.01, "l2": 0.0, "epsilon": 1e-8},
        "grad_sq_weights": [0.0] * FEATURES, "grad_sq_intercept": 0.0, "samples_seen": 0}}
    model = drel_ml.LinearRegression.from_json(json.dumps(document, separators=(",", ":")))
    for _ in range(3):
        model.learn_one(trained_features(rng), rng.uniform(-1.0, 1.0))
    return model


def pickle_peer(rng: random.Random):
    """(description, object) of what pickle saves in the peer rows."""
    try:
        import numpy as np
        from sklearn.linear_model import SGDRegressor
    except ImportError:
        return ("pickle of a list of 1,000 floats (scikit-learn is not installed)",
                trained_features(rng))
    data = np.random.default_rng(0)
    x = data.normal(size=(20, FEATURES))
    y = x @ data.normal(size=FEATURES)
    peer = SGDRegressor(learning_rate="constant", eta0=0.001, max_iter=5, tol=None)
    peer.fit(x, y)
    return ("pickle of a fitted scikit-learn SGDRegressor with 1,000 coefficients", peer)


def cpu_best(statements: dict[str, tuple[Callable[[], object], int]], rounds: int) -> dict[str, float]:
    """Best ns per call of each statement in process CPU time, the statements
    taking turns within each round."""
    best = dict.fromkeys(statements, math.inf)
    for _ in range(rounds):
        for name, (run, loops) in statements.items():
            started = time.process_time_ns()
            for _ in range(loops):
                run()
            best[name] = min(best[name], (time.process_time_ns() - started) / loops)
    return best


def pickle_rows(drel_ml, features: int, quick: bool) -> None:
    """pickle.dumps / loads of a wide model against a fitted SGDRegressor of its width."""
    try:
        import numpy as np
        from sklearn.linear_model import SGDRegressor
    except ImportError:
        print("\n(pickle rows skipped: they need numpy and scikit-learn)")
        return
    import drel_ml_ext  # noqa: F401  (registers the pickling of drel_ml objects)

    data = np.random.default_rng(1)
    x = data.normal(size=(8, features))
    y = x @ data.normal(size=features)
    peer = SGDRegressor(learning_rate="constant", eta0=1e-4, max_iter=2, tol=None).fit(x, y)
    model = drel_ml.LinearRegression(features, 1e-4)
    drel_ml_ext.learn_many(model, x, y)
    model_bytes, peer_bytes = pickle.dumps(model), pickle.dumps(peer)
    assert pickle.loads(model_bytes).to_json() == model.to_json()
    loops, rounds = (3, 3) if quick else (20, 25)
    best = cpu_best({
        "dumps model": (lambda: pickle.dumps(model), loops),
        "dumps peer": (lambda: pickle.dumps(peer), loops),
        "loads model": (lambda: pickle.loads(model_bytes), loops),
        "loads peer": (lambda: pickle.loads(peer_bytes), loops),
    }, rounds)
    print(f"\nPickle of a {features:,}-feature LinearRegression ({len(model_bytes):,} bytes) against "
          f"a fitted SGDRegressor ({len(peer_bytes):,} bytes); process CPU time, best of {rounds} "
          f"interleaved rounds, load average {os.getloadavg()[0]:.1f}:")
    print(f"{'':28}{'drel_ml us':>12}{'sklearn us':>12}{'ratio':>8}{'target':>8}")
    for call in ("dumps", "loads"):
        ours, theirs = best[f"{call} model"] / 1e3, best[f"{call} peer"] / 1e3
        verdict = "met" if ours / theirs <= PICKLE_TARGET else "MISSED"
        print(f"{'pickle.' + call:28}{ours:>12.1f}{theirs:>12.1f}{ours / theirs:>8.2f}"
              f"{'<= ' + format(PICKLE_TARGET, 'g'):>8} {verdict}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few loops: checks that the script runs")
    parser.add_argument("--json", metavar="PATH", help="also write the results to PATH")
    parser.add_argument("--pickle-features", type=int, default=PICKLE_FEATURES,
                        help="width of the model in the pickle rows (0: leave them out)")
    args = parser.parse_args()

    drel_ml = import_drel_ml()
    rng = random.Random(20240611)
    peer_description, peer = pickle_peer(rng)
    peer_bytes = pickle.dumps(peer)
    bench = Bench(args.quick)
    if not args.quick:
        bench.rounds = ROUNDS  # short rounds, many of them: the best falls in a quiet moment
    ns = {"pickle": pickle, "peer": peer, "peer_bytes": peer_bytes, "json": json}
    dumps = bench.time("pickle.dumps(peer)", "pickle.dumps(peer)", ns, LOOPS)
    loads = bench.time("pickle.loads(peer)", "pickle.loads(peer_bytes)", ns, LOOPS)

    for label, model in (("Sgd", sgd_model(drel_ml, rng)), ("AdaGrad", adagrad_model(drel_ml, rng))):
        text = model.to_json()
        ns.update(model=model, cls=type(model), text=text, doc=json.loads(text))
        to_json = bench.time(f"to_json [{label}]", "model.to_json()", ns, LOOPS)
        from_json = bench.time(f"from_json [{label}]", "cls.from_json(text)", ns, LOOPS)
        json_dumps = bench.time(f"json.dumps [{label}]", "json.dumps(doc)", ns, JSON_LOOPS)
        json_loads = bench.time(f"json.loads [{label}]", "json.loads(text)", ns, JSON_LOOPS)
        bench.compare(to_json, dumps, TARGET)
        bench.compare(from_json, loads, TARGET)
        bench.compare(json_dumps, dumps)
        bench.compare(json_loads, loads)
        bench.compare(to_json, json_dumps)
        bench.compare(from_json, json_loads)
    rows = bench.run()
    load = os.getloadavg()[0]
    report(rows, bench, drel_ml, peer_description, len(peer_bytes), load, args.quick)
    if args.pickle_features > 0:
        pickle_rows(drel_ml, args.pickle_features, args.quick)
    if args.json:
        rows_out = [dict(dataclasses.asdict(r), ratio=r.ratio, verdict=r.verdict) for r in rows]
        summary = {"python": platform.python_version(), "peer": peer_description,
                   "quick": args.quick, "rounds": bench.rounds, "load_average": load,
                   "timings_ns": bench.timings, "rows": rows_out}
        Path(args.json).write_text(json.dumps(summary, indent=2) + "\n")


def report(rows, bench, drel_ml, peer_description, peer_size, load, quick) -> None:
    print(f"Python {platform.python_version()}, {platform.machine()}; drel_ml from {drel_ml.__file__}")
    print(f"LinearRegression with {FEATURES} features; peer: {peer_description} "
          f"({peer_size} bytes pickled).")
    notes = [f"best of {bench.rounds} interleaved rounds of process CPU time",
             f"timing loop alone {bench.loop_ns:.1f} ns per iteration"]
    if quick:
        notes.append("QUICK run, rough numbers")
    notes.append(f"load average {load:.1f}")
    print("ns per call, " + "; ".join(notes) + ".\n")
    print_table(rows)
    missed = [r.name for r in rows if r.target is not None and r.ratio > r.target]
    print(f"\nTarget: each snapshot call at most {TARGET:g}x its pickle peer: "
          f"{'met by every row' if not missed else 'MISSED by ' + ', '.join(missed)}.")

if __name__ == "__main__":
    main()
