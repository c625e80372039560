"""The metric agreement table of docs/concepts/evaluating-online.md: each
metric against scikit-learn's batch function and river's metric of the same
name, on the same streams of progressive-validation predictions. The test
computes the table and checks that the page shows it; with
DREL_WRITE_AGREEMENT=1 it writes the table into the page instead."""

import math
import os
import pathlib

import pytest

import drel_ml
import drel_ml_ext
from drel_ml_ext import metrics as M

np = pytest.importorskip("numpy")
sk = pytest.importorskip("sklearn.metrics")
sk_datasets = pytest.importorskip("sklearn.datasets")
river = pytest.importorskip("river")
from river import datasets as river_datasets  # noqa: E402
from river import metrics as river_metrics  # noqa: E402

PAGE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "concepts" / "evaluating-online.md"
START, END = "<!-- agreement table: written by tests/python/test_metric_agreement.py -->", "<!-- end of table -->"

REGRESSION = {
    "MAE": (M.MAE, sk.mean_absolute_error),
    "MSE": (M.MSE, sk.mean_squared_error),
    "RMSE": (M.RMSE, lambda y, p: float(np.sqrt(sk.mean_squared_error(y, p)))),
    "R2": (M.R2, sk.r2_score),
}
CLASSIFICATION = {
    "Accuracy": (M.Accuracy, sk.accuracy_score),
    "Precision": (M.Precision, lambda y, p: sk.precision_score(y, p, zero_division=0)),
    "Recall": (M.Recall, lambda y, p: sk.recall_score(y, p, zero_division=0)),
    "F1": (M.F1, lambda y, p: sk.f1_score(y, p, zero_division=0)),
    # Clamped as this library and river clamp; scikit-learn's own default
    # clamps at the float epsilon instead.
    "LogLoss": (M.LogLoss, lambda y, p: sk.log_loss(y, np.clip(p, 1e-15, 1 - 1e-15), labels=[False, True])),
    "ROCAUC": (M.ROCAUC, sk.roc_auc_score),
}
LABEL_METRICS = {"Accuracy", "Precision", "Recall", "F1"}


def river_rows(dataset):
    rows, targets = [], []
    for x, y in dataset:
        rows.append([float(x[k]) for k in sorted(x)])
        targets.append(y)
    return np.array(rows), targets


def standardised(X):
    return (X - X.mean(axis=0)) / np.where(X.std(axis=0) > 0, X.std(axis=0), 1.0)


def regression_streams():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(3000, 4))
    yield "synthetic", X, X @ [1.0, -2.0, 0.5, 0.0] + rng.normal(size=3000)
    X, y = sk_datasets.load_diabetes(return_X_y=True)
    yield "diabetes", standardised(X), y / 100.0
    X, y = river_rows(river_datasets.TrumpApproval())
    yield "TrumpApproval", standardised(X), np.array(y) / 10.0


def classification_streams():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(3000, 4))
    yield "synthetic", X, (X @ [1.0, -2.0, 0.5, 0.0] + rng.normal(size=3000)) > 0
    X, y = sk_datasets.load_breast_cancer(return_X_y=True)
    yield "breast_cancer", standardised(X), y.astype(bool)
    for dataset in (river_datasets.Phishing(), river_datasets.Bananas()):
        X, y = river_rows(dataset)
        yield type(dataset).__name__, standardised(X), np.array(y, dtype=bool)


def predictions(model_class, X, y):
    """Each row's prediction before the model learns it."""
    model = model_class(X.shape[1], 0.01)
    return np.asarray(drel_ml_ext.progressive_validation(model, X, y, []).predictions)


def ulps(a, b):
    return abs(a - b) / math.ulp(b) if b != 0 else (0.0 if a == 0 else math.inf)


def agreement(name, metric_class, reference, streams):
    worst_sk = worst_river = 0.0
    river_gap = 0.0
    names = []
    for stream_name, y, p in streams:
        names.append(stream_name)
        ours = metric_class()
        ours.update_many(y, p)
        expected = float(reference(list(y), list(p)))
        worst_sk = max(worst_sk, ulps(ours.value, expected))
        theirs = getattr(river_metrics, name)()
        for t, q in zip(y.tolist(), p.tolist()):
            theirs.update(t, q)
        worst_river = max(worst_river, ulps(ours.value, theirs.get()))
        river_gap = max(river_gap, abs(ours.value - theirs.get()))
    return names, worst_sk, worst_river, river_gap


def ulp_text(n):
    return "equal" if n == 0 else f"within {int(n)} ulp" + ("s" if n > 1 else "")


NOTES = {
    ("R2", "sklearn"): "SST from Welford's one pass against two passes (and 1 - SSE/SST cancels near 0)",
    ("ROCAUC", "river"): "river's ROCAUC is approximate (a fixed set of thresholds)",
}


def table():
    rows = []
    streams = [(n, y, predictions(drel_ml.LinearRegression, X, y)) for n, X, y in regression_streams()]
    for name, (cls, ref) in REGRESSION.items():
        rows.append((name, *agreement(name, cls, ref, streams)))
    streams = [(n, y, predictions(drel_ml.LogisticRegression, X, y)) for n, X, y in classification_streams()]
    labelled = [(n, y, p >= 0.5) for n, y, p in streams]
    for name, (cls, ref) in CLASSIFICATION.items():
        rows.append((name, *agreement(name, cls, ref, labelled if name in LABEL_METRICS else streams)))
    lines = [
        "| Metric | Streams | vs scikit-learn | vs river | Note |",
        "|---|---|---|---|---|",
    ]
    for name, names, worst_sk, worst_river, gap in rows:
        river_text = ulp_text(worst_river) if worst_river < 1e6 else f"differs by up to {gap:.1e}"
        note = "; ".join(v for (m, _), v in NOTES.items() if m == name)
        lines.append(f"| `{name}` | {', '.join(names)} | {ulp_text(worst_sk)} | {river_text} | {note} |")
    return "\n".join(lines)


def test_the_page_shows_the_agreement_table():
    text = PAGE.read_text()
    start, end = text.index(START) + len(START), text.index(END)
    computed = "\n" + table() + "\n"
    if os.environ.get("DREL_WRITE_AGREEMENT") == "1":
        PAGE.write_text(text[:start] + computed + text[end:])
    else:
        assert text[start:end] == computed
