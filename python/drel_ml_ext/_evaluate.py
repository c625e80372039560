"""Progressive validation: predict, score, then learn, for every row, in one
native pass."""

from __future__ import annotations

import operator
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple, SupportsIndex, Union

import drel_ml
from drel_ml_ext import _native
from drel_ml_ext.metrics import Metric

__all__ = ["progressive_validation", "Evaluation"]

Model = Union[
    drel_ml.LinearRegression,
    drel_ml.LogisticRegression,
    drel_ml.RegressionPipeline,
    drel_ml.ClassificationPipeline,
]


class Evaluation(NamedTuple):
    """What :func:`progressive_validation` returns.

    Attributes
    ----------
    predictions : numpy.ndarray or list of float
        Each row's prediction, made before the model learned the row: the
        probability of the positive class for a classifier.
    checkpoints : list of int
        The numbers of scored rows at which the metrics were read.
    curve : list of list of float or None
        ``curve[i][k]`` is ``metrics[i].value`` after ``checkpoints[k]`` rows
        were scored: the learning curve.
    """

    predictions: Any
    checkpoints: list[int]
    curve: list[list[float | None]]


def _integer(value: object, what: str) -> int:
    """``value`` as an int; a TypeError that says ``what`` it must be otherwise (a bool or a
    float is no count of rows)."""
    if isinstance(value, bool) or not isinstance(value, SupportsIndex):
        raise TypeError(f"{what}, not {type(value).__name__!r}")
    return operator.index(value)


def checked_count(value: object, name: str, least: int) -> int:
    """An argument that counts (rows of delay, rounds), refused by its name when it is no
    int or less than ``least``."""
    count = _integer(value, f"{name} must be an int")
    if count < least:
        raise ValueError(f"{name} must be at least {least}, got {count}")
    return count


def _checkpoints(every: int | Iterable[int] | None) -> tuple[int, tuple[int, ...]]:
    if every is None:
        return 0, ()
    expected = "every must be an int or a list of row counts"
    if isinstance(every, Iterable) and not isinstance(every, (str, bytes)):
        counts = sorted({_integer(n, f"{expected}, each an int") for n in every})
        if counts and counts[0] < 1:
            raise ValueError(f"every: row counts must be positive, got {counts[0]}") from None
        return 0, tuple(counts)
    period = _integer(every, expected)
    if period < 1:
        raise ValueError(f"every must be a positive number of rows, got {period}")
    return period, ()


def progressive_validation(
    model: Model,
    X: Any,
    y: Any,
    metrics: Metric | Sequence[Metric],
    *,
    every: int | Iterable[int] | None = None,
    delay: int = 0,
) -> Evaluation:
    """Score a model on a stream the way it will be used: predict, then learn.

    For each row, the model predicts it before learning it
    (``predict_proba_one`` for a classifier), every metric is updated with
    that prediction, then the model learns the row. The result is, bit for
    bit, that of the loop::

        for x, t in zip(X, y):
            p = model.predict_one(x)      # predict_proba_one for a classifier
            for m in metrics:
                m.update(t, p)            # Accuracy & co. take p >= 0.5
            model.learn_one(x, t)

    but it runs in one native pass over buffers, without the interpreter
    lock, a block of rows at a time. It is all or nothing: a rejected row
    raises (naming the row) and leaves the model and every metric as they
    were.

    Parameters
    ----------
    model : LinearRegression, LogisticRegression, RegressionPipeline or ClassificationPipeline
        The model; it learns every row.
    X : array-like of shape (n, features), or an iterable of rows
        The rows, read as :func:`drel_ml_ext.learn_many` reads them.
    y : array-like of shape (n,), or an iterable of targets
        The targets: reals for a regressor, bools for a classifier.
    metrics : metric or sequence of metrics
        Metrics of :mod:`drel_ml_ext.metrics` of the model's kind, each
        updated in place.
    every : int or iterable of int, optional
        Read every metric each ``every`` scored rows, or at the given numbers
        of scored rows: the learning curve.
    delay : int, default 0
        Rows between a row's prediction and the arrival of its label: row
        ``t`` is predicted when it arrives, and scored and learned right after
        row ``t + delay`` has been predicted (the last labels arrive, in
        order, after the last prediction). In river's
        ``progressive_val_score``, ``delay=k`` with ``k >= 1`` is
        ``delay=k - 1`` here (river's 0 and 1 both score a row just before
        the next one is predicted).

    Returns
    -------
    Evaluation
        ``(predictions, checkpoints, curve)``.

    Raises
    ------
    TypeError
        A metric of the wrong kind or class, or a model of no supported class.
    RuntimeError
        A rejected row, ``"... (row N)"``; nothing changed.

    Examples
    --------
    >>> import drel_ml
    >>> from drel_ml_ext import progressive_validation
    >>> from drel_ml_ext.metrics import MAE
    >>> model, mae = drel_ml.LinearRegression(1, 0.1), MAE()
    >>> result = progressive_validation(model, [[1.0], [2.0], [3.0]], [2.0, 4.0, 6.0], mae, every=1)
    >>> result.checkpoints
    [1, 2, 3]
    >>> mae.count
    3
    """
    if isinstance(metrics, Sequence):
        metrics = tuple(metrics)
    else:
        metrics = (metrics,)
    period, counts = _checkpoints(every)
    delay = checked_count(delay, "delay", 0)
    predictions, checkpoints, curve = _native._progressive_validation(  # pyright: ignore[reportPrivateUsage]
        model, X, y, metrics, period, counts, delay
    )
    return Evaluation(predictions, checkpoints, curve)


progressive_validation.__module__ = "drel_ml_ext"
Evaluation.__module__ = "drel_ml_ext"
