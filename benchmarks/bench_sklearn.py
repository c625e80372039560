#!/usr/bin/env python3
"""fit of drel_ml's scikit-learn regressor against scikit-learn's own SGDRegressor.fit.

    python3 benchmarks/bench_sklearn.py          full run (a few seconds)
    python3 benchmarks/bench_sklearn.py --quick  smoke run: fewer rows and rounds

Both learn a linear model from a (100000, 10) float64 array with the same settings: one
pass over the rows in order, a constant learning rate of 0.01, the squared loss, no
penalty (SGDRegressor: max_iter=1, tol=None, shuffle=False, learning_rate="constant",
penalty=None). drel_ml's side is OnlineLinearRegressor(scale=False), whose fit validates the
array as scikit-learn does and then makes one call of drel_ml_ext.learn_many. For reference
also: that call alone on a drel_ml.LinearRegression (the core's share of the fit), and the
regressor with its scaler (scale=True, a RegressionPipeline).

The fits run in interleaved rounds (every subject once per round) and each figure is a
subject's best round: on a shared machine the best falls in a quiet moment, and subjects
meet the same conditions. The figure is the cost of the whole fit divided by the rows. The
two models learned are compared as well: the same algorithm in the same order gives the
same weights up to rounding.

Needs numpy and scikit-learn (python3 -m pip install '.[sklearn]').
"""

from __future__ import annotations

import one_blas_thread  # noqa: F401  (first: it must come before numpy)

import argparse
import os
import time
import warnings
from collections.abc import Callable

import drel_ml
import drel_ml_ext
import numpy as np
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import SGDRegressor

from drel_ml_ext.sklearn import OnlineLinearRegressor

ROWS, FEATURES = 100_000, 10
ROUNDS = 15
TARGET = 2.0  # SGDRegressor's cost over ours, at least
LEARNING_RATE = 0.01


def data(rows: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(7)
    X = rng.normal(size=(rows, FEATURES))
    y = X @ rng.normal(size=FEATURES) + 0.5 + rng.normal(scale=0.1, size=rows)
    return X, y


class LearnMany:
    """drel_ml_ext.learn_many on a fresh LinearRegression, shaped like an estimator."""

    def fit(self, X: np.ndarray, y: np.ndarray) -> None:
        drel_ml_ext.learn_many(drel_ml.LinearRegression(X.shape[1], LEARNING_RATE), X, y)


def subjects() -> dict[str, Callable[[], object]]:
    return {
        "OnlineLinearRegressor(scale=False).fit": lambda: OnlineLinearRegressor(
            learning_rate=LEARNING_RATE, scale=False),
        "SGDRegressor.fit (one epoch)": lambda: SGDRegressor(
            learning_rate="constant", eta0=LEARNING_RATE, penalty=None, max_iter=1, tol=None,
            shuffle=False),
        "learn_many(LinearRegression) alone": LearnMany,
        "OnlineLinearRegressor(scale=True).fit": lambda: OnlineLinearRegressor(
            learning_rate=LEARNING_RATE, scale=True),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rows and rounds")
    args = parser.parse_args()
    rows, rounds = (ROWS // 10, 2) if args.quick else (ROWS, ROUNDS)
    X, y = data(rows)
    makers = subjects()
    best = dict.fromkeys(makers, float("inf"))
    fitted: dict[str, object] = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)  # one epoch is what we ask for
        for _ in range(rounds):
            for name, make in makers.items():
                estimator = make()
                start = time.process_time_ns()  # single-threaded: CPU time
                estimator.fit(X, y)  # type: ignore[attr-defined]
                best[name] = min(best[name], time.process_time_ns() - start)
                fitted[name] = estimator

    ours, peer = "OnlineLinearRegressor(scale=False).fit", "SGDRegressor.fit (one epoch)"
    print(f"fit on a ({rows}, {FEATURES}) float64 array, best of {rounds} interleaved rounds of "
          f"process CPU time, load average {os.getloadavg()[0]:.1f}"
          f"{' (QUICK run, rough numbers)' if args.quick else ''}")
    for name, ns in best.items():
        print(f"  {name:<42} {ns / rows:8.1f} ns per row  {ns / 1e6:8.2f} ms")
    ratio = best[peer] / best[ours]
    verdict = "meets" if ratio >= TARGET else "MISSES"
    print(f"SGDRegressor.fit / OnlineLinearRegressor.fit: {ratio:.2f}x "
          f"({verdict} the target of at least {TARGET:.0f}x)")
    coef_gap = np.max(np.abs(fitted[ours].coef_ - fitted[peer].coef_))  # type: ignore[attr-defined]
    print(f"largest difference between the two models' weights: {coef_gap:.3g}")


if __name__ == "__main__":
    main()
