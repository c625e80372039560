#!/usr/bin/env python3
"""Stream two real data sets through drel_ml's pipelines, one sample at a time.

    python3 -m pip install '.[examples]' && python3 examples/stream_datasets.py

The data are the diabetes-progression and the breast-cancer (Wisconsin
diagnostic) data sets that scikit-learn ships inside its package: they are read
from disk, nothing is downloaded. scikit-learn is used for nothing else.

Each stream is shuffled with a fixed seed and validated progressively: every
sample is first predicted, then learned from, so each prediction is made on a
sample the model has never seen. The scores are kept in drel_ml.Mean objects,
per block of samples and over the whole stream, next to a trivial baseline that
learns the same way: the running mean of the targets for regression, the
majority class (with the running positive rate as its probability) for
classification.
"""

from __future__ import annotations

import math
import random
import sys

try:
    import drel_ml
except ImportError:
    sys.exit("drel_ml is not installed: run  python3 -m pip install '.[examples]'  first")
try:
    from sklearn.datasets import load_breast_cancer, load_diabetes
except ImportError:
    sys.exit("this example reads the data sets bundled with scikit-learn: "
             "python3 -m pip install scikit-learn")

SEED = 42
BLOCK = 100  # samples per progress line
EPSILON = 1e-15  # probabilities are clipped to [EPSILON, 1 - EPSILON] for the log-loss


def shuffled_stream(x_rows, targets, convert):
    """The samples as (list of floats, target) pairs, in a fixed random order."""
    stream = [([float(v) for v in x], convert(t)) for x, t in zip(x_rows, targets)]
    random.Random(SEED).shuffle(stream)
    return stream


class Scores:
    """Running means of per-sample losses, named like the columns they fill."""

    def __init__(self, *names):
        self.means = {name: drel_ml.Mean() for name in names}

    def add(self, **losses):
        for name, loss in losses.items():
            self.means[name].update(loss)

    def value(self, name):
        mean = self.means[name].value
        return math.sqrt(mean) if name.endswith("RMSE") else mean


def run(title, stream, learner, baseline, score, columns):
    """Predict-then-learn over `stream`; prints the scores of every block and of
    the whole stream. `score(learner, baseline, x, y)` returns the per-sample
    losses by column name (squared errors under the RMSE columns)."""
    print(title)
    header = f"{'samples':>11}" + "".join(f"{c:>14}" for c in columns)
    print(header)
    print("-" * len(header))

    def line(label, scores):
        print(f"{label:>11}" + "".join(f"{scores.value(c):14.4f}" for c in columns))

    total, block = Scores(*columns), Scores(*columns)
    for i, (x, y) in enumerate(stream, start=1):
        losses = score(learner, baseline, x, y)
        total.add(**losses)
        block.add(**losses)
        learner.learn_one(x, y)
        baseline.update(float(y))
        if i % BLOCK == 0 or i == len(stream):
            line(f"{(i - 1) // BLOCK * BLOCK + 1}-{i}", block)
            block = Scores(*columns)
    print("-" * len(header))
    line(f"all {len(stream)}", total)
    return total


def score_regression(model, target_mean, x, y):
    error = y - model.predict_one(x)
    base_error = y - target_mean.value  # 0.0 before the first sample
    return {"MAE": abs(error), "RMSE": error * error,
            "mean MAE": abs(base_error), "mean RMSE": base_error * base_error}


def log_loss(p, y):
    p = min(max(p, EPSILON), 1.0 - EPSILON)
    return -math.log(p if y else 1.0 - p)


def score_classification(model, positive_rate, x, y):
    p = model.predict_proba_one(x)
    base_p = positive_rate.value if positive_rate.count else 0.5
    return {"accuracy": float(model.predict_one(x) == y), "log-loss": log_loss(p, y),
            "major. acc.": float((base_p >= 0.5) == y), "major. loss": log_loss(base_p, y)}


def check_snapshot(model, x):
    """A pipeline's whole state is one JSON text; the restored copy predicts alike."""
    text = model.to_json()
    restored = type(model).from_json(text)
    same = restored.predict_one(x) == model.predict_one(x)
    print(f"snapshot: {len(text)} characters of JSON; the restored copy predicts the same: {same}")
    print()


def stream_data_set(description, data, convert, pipeline_class, learning_rate, against, score,
                    columns):
    """Loads, shuffles and streams one data set; returns the scores over all of it."""
    stream = shuffled_stream(*data, convert)
    n_features = len(stream[0][0])
    pipeline = pipeline_class(n_features, learning_rate)
    title = (f"{description}: {len(stream)} samples, {n_features} features\n"
             f"{pipeline_class.__name__}(learning_rate={learning_rate}) against {against}")
    scores = run(title, stream, pipeline, drel_ml.Mean(), score, columns)
    check_snapshot(pipeline, stream[0][0])
    return scores


def main():
    reg = stream_data_set(
        "Diabetes progression one year on (raw features)",
        load_diabetes(return_X_y=True, scaled=False), float,
        drel_ml.RegressionPipeline, 0.02, "the running mean of the targets",
        score_regression, ["MAE", "RMSE", "mean MAE", "mean RMSE"])
    clf = stream_data_set(
        "Breast tumour diagnosis (target: benign)",
        load_breast_cancer(return_X_y=True), bool,
        drel_ml.ClassificationPipeline, 0.05, "the majority class",
        score_classification, ["accuracy", "log-loss", "major. acc.", "major. loss"])

    print(f"regression:     MAE {reg.value('MAE'):.1f} vs {reg.value('mean MAE'):.1f} for the "
          f"running mean; RMSE {reg.value('RMSE'):.1f} vs {reg.value('mean RMSE'):.1f}")
    print(f"classification: accuracy {clf.value('accuracy'):.1%} vs "
          f"{clf.value('major. acc.'):.1%} for the majority class; log-loss "
          f"{clf.value('log-loss'):.3f} vs {clf.value('major. loss'):.3f}")


if __name__ == "__main__":
    main()
