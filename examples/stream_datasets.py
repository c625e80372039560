#!/usr/bin/env python3
"""Stream two real data sets through drel_ml's pipelines, one sample at a time, and draw
their learning curves beside river's and scikit-learn's.

    python3 -m pip install '.[examples]' && python3 examples/stream_datasets.py

The data are the diabetes-progression and the breast-cancer (Wisconsin diagnostic) data
sets that scikit-learn ships inside its package: they are read from disk, nothing is
downloaded.

Each stream is shuffled with a fixed seed and validated progressively: every sample is
first predicted, then learned from, so each prediction is made on a sample the learner has
never seen. Every learner sees the same stream:

- drel_ml: a RegressionPipeline or ClassificationPipeline (standard scaler + linear model),
  validated in one native pass by drel_ml_ext.progressive_validation, which also keeps
  drel_ml_ext.metrics (MAE and RMSE, or accuracy and log-loss) and their learning curve;
- river, when installed: StandardScaler | LinearRegression or LogisticRegression, plain SGD;
- scikit-learn: StandardScaler.partial_fit, then SGDRegressor or SGDClassifier.partial_fit
  on the scaled sample, with the same constant learning rate and no penalty;
- a baseline that learns the same way: the running mean of the targets for regression,
  the majority class (with the running positive rate as its probability) for
  classification.

The error of each learner is followed by a drel_ml.EWMean (an exponentially weighted moving
average over roughly the last 50 samples) and drawn against the number of samples seen into
a PNG: stream_datasets.png in the current folder, or the path given with --output. The
totals over each stream are kept in drel_ml.Mean objects and printed at the end. A progress
bar on stderr follows the streaming.
"""

from __future__ import annotations

import argparse
import math
import random
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Generic, Protocol, TypeVar, cast

try:
    import drel_ml
    import drel_ml_ext
    from drel_ml_ext import metrics as drel_metrics
except ImportError:
    sys.exit("drel_ml is not installed: run  python3 -m pip install '.[examples]'  first")
try:
    import matplotlib
    import numpy as np
    from sklearn import datasets, linear_model, preprocessing
except ImportError as missing:
    sys.exit(f"this example needs {missing.name}: run  python3 -m pip install '.[examples]'")

SEED = 42
ALPHA = 0.02  # weight of the newest sample in the drawn moving averages
EPSILON = 1e-15  # probabilities are clipped to [EPSILON, 1 - EPSILON] for the log-loss

Features = list[float]
Target = TypeVar("Target", float, bool)
LearnedTarget = TypeVar("LearnedTarget", contravariant=True)


class Learner(Protocol[LearnedTarget]):
    """Anything that predicts a sample, then learns it. For a classifier the prediction is
    the probability of the positive class."""

    def predict(self, x: Features, /) -> float: ...
    def learn(self, x: Features, y: LearnedTarget, /) -> None: ...


# --- the learners -----------------------------------------------------------------------------


class DrelLearner(Generic[Target]):
    """A drel_ml pipeline, validated over the whole stream by one native pass of
    drel_ml_ext.progressive_validation: the predictions are made there, before each sample
    is learned, and `predict` hands them out in stream order."""

    def __init__(self, pipeline: Any, metrics: list[Any]) -> None:
        self.pipeline: Any = pipeline
        self.metrics: list[Any] = metrics
        self.predictions: list[float] = []
        self.curve: Any = None
        self.next: int = 0

    def validate(self, x_rows: list[Features], targets: list[Target]) -> None:
        result = drel_ml_ext.progressive_validation(
            self.pipeline, x_rows, targets, self.metrics, every=max(1, len(targets) // 100))
        self.predictions = list(result.predictions)
        self.curve = result

    def predict(self, _x: Features) -> float:
        p = self.predictions[self.next]
        self.next += 1
        return p

    def learn(self, _x: Features, _y: Target) -> None:
        pass  # learned by progressive_validation


def drel_regression(n_features: int, learning_rate: float) -> DrelLearner[float]:
    return DrelLearner(drel_ml.RegressionPipeline(n_features, learning_rate),
                       [drel_metrics.MAE(), drel_metrics.RMSE()])


def drel_classification(n_features: int, learning_rate: float) -> DrelLearner[bool]:
    return DrelLearner(drel_ml.ClassificationPipeline(n_features, learning_rate),
                       [drel_metrics.Accuracy(), drel_metrics.LogLoss()])


class RunningMean:
    """Regression baseline: predicts the mean of the targets seen so far (0 at first)."""

    def __init__(self) -> None:
        self.mean: drel_ml.Mean = drel_ml.Mean()

    def predict(self, _x: Features) -> float:
        return self.mean.value

    def learn(self, _x: Features, y: float) -> None:
        self.mean.update(y)


class MajorityClass:
    """Classification baseline: the running positive rate as the probability (0.5 at first),
    so its label is the majority class."""

    def __init__(self) -> None:
        self.rate: drel_ml.Mean = drel_ml.Mean()

    def predict(self, _x: Features) -> float:
        return self.rate.value if self.rate.count else 0.5

    def learn(self, _x: Features, y: bool) -> None:
        self.rate.update(float(y))


def _as_dict(x: Features) -> dict[str, float]:
    return {str(i): v for i, v in enumerate(x)}


class RiverLearner(Generic[Target]):
    """A river pipeline: dictionaries of features, one sample at a time."""

    def __init__(self, model: Any, classifier: bool) -> None:
        self.model: Any = model
        self.classifier: bool = classifier

    def predict(self, x: Features) -> float:
        if self.classifier:
            return float(self.model.predict_proba_one(_as_dict(x)).get(True, 0.5))
        return float(self.model.predict_one(_as_dict(x)))

    def learn(self, x: Features, y: Target) -> None:
        self.model.learn_one(_as_dict(x), y)


class SklearnLearner(Generic[Target]):
    """scikit-learn's partial_fit, one sample at a time: the scaler learns the sample before
    the model learns it scaled, as in drel_ml's pipelines. Before its first sample the model
    predicts 0 (regression) or 0.5 (classification), as a fresh drel_ml model does."""

    def __init__(self, model: Any, classifier: bool) -> None:
        self.scaler: Any = preprocessing.StandardScaler()
        self.model: Any = model
        self.classifier: bool = classifier
        self.fitted: bool = False

    def predict(self, x: Features) -> float:
        if not self.fitted:
            return 0.5 if self.classifier else 0.0
        row = self.scaler.transform([x])
        if self.classifier:
            return float(self.model.predict_proba(row)[0, 1])
        return float(self.model.predict(row)[0])

    def learn(self, x: Features, y: Target) -> None:
        self.scaler.partial_fit([x])
        extra = {"classes": [False, True]} if self.classifier else {}
        self.model.partial_fit(self.scaler.transform([x]), [y], **extra)
        self.fitted = True


def river_learner(classifier: bool, learning_rate: float) -> RiverLearner[Any] | None:
    try:
        from river import linear_model as river_linear, optim, preprocessing as river_pre
    except ImportError:
        return None
    model_class = river_linear.LogisticRegression if classifier else river_linear.LinearRegression
    model = river_pre.StandardScaler() | model_class(optimizer=optim.SGD(learning_rate))
    return RiverLearner(model, classifier)


def sklearn_learner(classifier: bool, learning_rate: float) -> SklearnLearner[Any]:
    """Plain SGD at a constant rate, no penalty, the samples in the order given."""
    settings: dict[str, Any] = {"learning_rate": "constant", "eta0": learning_rate,
                                "penalty": None, "shuffle": False}
    if classifier:
        return SklearnLearner(linear_model.SGDClassifier(loss="log_loss", **settings), True)
    return SklearnLearner(linear_model.SGDRegressor(**settings), False)


# --- progress and scores ----------------------------------------------------------------------


class ProgressBar:
    """A one-line bar on stderr, redrawn only when it visibly changes; drawn once, when
    complete, if stderr is not a terminal (a log file gets no carriage returns)."""

    WIDTH: int = 30

    def __init__(self, label: str, total: int) -> None:
        self.label: str = label
        self.total: int = total
        self.done: int = 0
        self.drawn: int = -1  # filled width last drawn
        self.live: bool = sys.stderr.isatty()
        self.start: float = time.perf_counter()

    def advance(self) -> None:
        self.done += 1
        filled = self.WIDTH * self.done // self.total
        if (self.live and filled != self.drawn) or self.done == self.total:
            self.drawn = filled
            bar = "#" * filled + "-" * (self.WIDTH - filled)
            elapsed = time.perf_counter() - self.start
            end = "\n" if self.done == self.total else ""
            print(f"\r{self.label} [{bar}] {self.done}/{self.total} {elapsed:5.1f}s", end=end,
                  file=sys.stderr, flush=True)


def log_loss(p: float, y: bool) -> float:
    p = min(max(p, EPSILON), 1.0 - EPSILON)
    return -math.log(p if y else 1.0 - p)


@dataclass
class Task(Generic[Target]):
    """One data set and how to score a prediction of it."""

    title: str
    x_rows: list[Features]
    targets: list[Target]
    curve: str  # the score drawn: a key of `score`
    score: Callable[[float, Target], dict[str, float]]  # per-sample losses by name
    totals: Callable[[dict[str, float]], dict[str, float]]  # reported from their means


@dataclass
class Run:
    """One learner over one stream: the drawn curve and the running totals."""

    name: str
    curve: list[float] = field(default_factory=list)
    means: dict[str, drel_ml.Mean] = field(default_factory=dict)


def stream(task: Task[Target], learners: dict[str, Learner[Target]]) -> list[Run]:
    """Predict-then-learn over the task's stream, every learner on every sample."""
    order = list(range(len(task.targets)))
    random.Random(SEED).shuffle(order)
    for learner in learners.values():
        if isinstance(learner, DrelLearner):
            learner.validate([task.x_rows[i] for i in order], [task.targets[i] for i in order])
    runs = {name: Run(name) for name in learners}
    averages = {name: drel_ml.EWMean(ALPHA) for name in learners}
    progress = ProgressBar(task.title, len(order))
    for i in order:
        x, y = task.x_rows[i], task.targets[i]
        for name, learner in learners.items():
            losses = task.score(learner.predict(x), y)
            learner.learn(x, y)
            run = runs[name]
            for key, loss in losses.items():
                run.means.setdefault(key, drel_ml.Mean()).update(loss)
            averages[name].update(losses[task.curve])
            run.curve.append(averages[name].value)
        progress.advance()
    return list(runs.values())


# --- the two data sets --------------------------------------------------------------------------


def load(loader: Callable[..., object], **options: bool) -> tuple[list[Features], list[float]]:
    """A data set bundled with scikit-learn, as lists of floats."""
    X, y = cast(tuple[object, object], loader(return_X_y=True, **options))
    return (cast(list[Features], np.asarray(X, dtype=np.float64).tolist()),
            cast(list[float], np.asarray(y, dtype=np.float64).tolist()))


def regression_task() -> Task[float]:
    X, y = load(datasets.load_diabetes, scaled=False)

    def score(prediction: float, target: float) -> dict[str, float]:
        error = target - prediction
        return {"MAE": abs(error), "RMSE": error * error}

    return Task("Diabetes progression", X, y, "MAE", score,
                lambda m: {"MAE": m["MAE"], "RMSE": math.sqrt(m["RMSE"])})


def classification_task() -> Task[bool]:
    X, y = load(datasets.load_breast_cancer)

    def score(p: float, target: bool) -> dict[str, float]:
        return {"error rate": float((p >= 0.5) != target), "log-loss": log_loss(p, target)}

    return Task("Breast tumour diagnosis", X, [t == 1.0 for t in y], "log-loss",
                score, lambda m: {"accuracy": 1.0 - m["error rate"], "log-loss": m["log-loss"]})


def peers(classifier: bool, learning_rate: float) -> dict[str, Learner[Any]]:
    """river (when installed) and scikit-learn, at the same learning rate."""
    river = river_learner(classifier, learning_rate)
    found: dict[str, Learner[Any]] = {} if river is None else {"river": river}
    found["scikit-learn partial_fit"] = sklearn_learner(classifier, learning_rate)
    return found


# --- report ---------------------------------------------------------------------------------


def report(task: Task[Any], runs: Sequence[Run], drel: DrelLearner[Any]) -> None:
    first = task.totals({k: m.value for k, m in runs[0].means.items()})
    n_features = len(task.x_rows[0])
    print(f"\n{task.title}: {len(task.targets)} samples, {n_features} features, "
          f"progressive validation")
    header = f"{'learner':<28}" + "".join(f"{key:>12}" for key in first)
    print(header)
    print("-" * len(header))
    for run in runs:
        totals = task.totals({k: m.value for k, m in run.means.items()})
        print(f"{run.name:<28}" + "".join(f"{v:12.4f}" for v in totals.values()))
    kept = ", ".join(f"{m!r}" for m in drel.metrics)
    print(f"drel_ml_ext.metrics kept by progressive_validation: {kept}")


STYLES: dict[str, dict[str, Any]] = {
    "drel_ml": {"color": "#1f5fbf", "linewidth": 3.0, "zorder": 2},
    "river": {"color": "#e07b00", "linewidth": 1.3, "zorder": 3},
    # drawn dotted over drel_ml's line, which it may follow exactly
    "scikit-learn partial_fit": {"color": "#1a1a1a", "linewidth": 1.4, "linestyle": ":",
                                 "zorder": 4},
}
BASELINE_STYLE: dict[str, Any] = {"color": "0.6", "linewidth": 1.3, "linestyle": "--",
                                  "zorder": 1}


def label(run: Run, runs: Sequence[Run]) -> str:
    """The run's name, noting when its curve lies on drel_ml's (a peer that runs the same
    algorithm in the same order)."""
    reference = next((other.curve for other in runs if other.name == "drel_ml"), None)
    if run.name == "drel_ml" or reference is None:
        return run.name
    if all(math.isclose(a, b, rel_tol=1e-9) for a, b in zip(run.curve, reference)):
        return f"{run.name} (on drel_ml's line)"
    return run.name


# Which way each drawn score improves, for the axes' labels.
HIGHER_IS_BETTER = {"Accuracy", "accuracy"}


def better(name: str) -> str:
    return "higher is better" if name in HIGHER_IS_BETTER else "lower is better"


def draw(panels: Iterable[tuple[Task[Any], Sequence[Run], DrelLearner[Any]]],
         output: Path) -> None:
    matplotlib.use("Agg")  # writes a file; no window needed
    from matplotlib import pyplot

    panel_list = list(panels)
    figure, axes = pyplot.subplots(2, len(panel_list), figsize=(13, 9), squeeze=False)
    for axis, curve_axis, (task, runs, drel) in zip(axes[0], axes[1], panel_list):
        for run in runs:
            axis.plot(range(1, len(run.curve) + 1), run.curve, label=label(run, runs),
                      **STYLES.get(run.name, BASELINE_STYLE))
        axis.set_title(f"{task.title} ({len(task.targets)} samples): every learner")
        axis.set_xlabel("samples seen")
        axis.set_ylabel(f"{task.curve} of recent predictions ({better(task.curve)})\n"
                        f"moving average, α = {ALPHA}")
        axis.set_ylim(bottom=0)
        axis.grid(alpha=0.3)
        axis.legend(frameon=False)
        # The learning curve of progressive_validation: each metric over all the samples
        # scored so far.
        result = drel.curve
        names = [type(metric).__name__ for metric in drel.metrics]
        for name, values in zip(names, result.curve):
            curve_axis.plot(result.checkpoints, values, label=f"{name} ({better(name)})")
        curve_axis.set_xlabel("samples seen")
        curve_axis.set_title(f"{task.title}: drel_ml's learning curve")
        curve_axis.set_ylabel(f"{' and '.join(names)} over all samples so far\n"
                              "(drel_ml_ext.progressive_validation)")
        curve_axis.grid(alpha=0.3)
        curve_axis.legend(frameon=False)
    figure.suptitle("Progressive validation: each sample is predicted, then learned", fontsize=13)
    figure.tight_layout()
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, dpi=110)
    pyplot.close(figure)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--output", type=Path, default=Path("stream_datasets.png"),
                        help="where to write the learning curves (PNG)")
    output: Path = parser.parse_args(argv).output

    if river_learner(False, 0.1) is None:
        print("river is not installed: its curves are left out (python3 -m pip install river)")
    reg = regression_task()
    reg_learners: dict[str, Learner[float]] = {
        "drel_ml": drel_regression(len(reg.x_rows[0]), 0.02), **peers(False, 0.02),
        "running mean (baseline)": RunningMean()}
    clf = classification_task()
    clf_learners: dict[str, Learner[bool]] = {
        "drel_ml": drel_classification(len(clf.x_rows[0]), 0.05), **peers(True, 0.05),
        "majority class (baseline)": MajorityClass()}

    panels: list[tuple[Task[Any], Sequence[Run], DrelLearner[Any]]] = [
        (reg, stream(reg, reg_learners), cast(DrelLearner[Any], reg_learners["drel_ml"])),
        (clf, stream(clf, clf_learners), cast(DrelLearner[Any], clf_learners["drel_ml"]))]
    for task, runs, drel in panels:
        report(task, runs, drel)
    draw(panels, output)
    print(f"\nlearning curves saved to {output.resolve()}")


if __name__ == "__main__":
    main()
