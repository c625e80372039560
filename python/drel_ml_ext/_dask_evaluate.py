"""Evaluating while learning on a Dask cluster: progressive validation inside
the workers, per key or over all partitions (re-exported by
:mod:`drel_ml_ext.dask`)."""

# The evaluating half of drel_ml_ext.dask: it shares that module's private
# helpers (how rows are taken, where an error happened, how states travel),
# and is checked as that module is (pandas and Dask are not fully typed).
# pyright: standard, reportPrivateUsage=false

from __future__ import annotations

import copy
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple, cast

import numpy as np
import pandas as pd
from dask.delayed import Delayed, delayed

from drel_ml_ext import _native
from drel_ml_ext._classes import CLASSIFIERS, REGRESSORS, Learner, names
from drel_ml_ext._evaluate import checked_count
from drel_ml_ext._merge import tree_reduce
from drel_ml_ext._pickling import from_bytes, to_bytes
from drel_ml_ext.dask import (
    _compute,
    _check_mergeable,
    _Feed,
    _feed_for,
    _learn_by_key,
    _located,
    _made,
    _merge_texts,
    _parts,
    _state_bytes,
)
from drel_ml_ext.metrics import Metric

__all__ = ["evaluate_by_key", "evaluate_partitioned", "KeyedEvaluation", "PartitionedEvaluation"]

_MODELS = names(REGRESSORS + CLASSIFIERS)
_CLASSIFIERS = names(CLASSIFIERS)


class KeyedEvaluation(NamedTuple):
    """What :func:`evaluate_by_key` returns.

    Attributes
    ----------
    models : dict
        Each key's model (or its snapshot text), as
        :func:`drel_ml_ext.dask.learn_by_key` returns them.
    metrics : dict
        Each key's metrics, in the order given: the progressive validation score
        of that key's rows. Keys without rows in the frame have none.
    """

    models: dict[Hashable, Any]
    metrics: dict[Hashable, list[Metric]]


class PartitionedEvaluation(NamedTuple):
    """What :func:`evaluate_partitioned` returns.

    Attributes
    ----------
    model : model or str
        The model, as :func:`drel_ml_ext.dask.learn_partitioned` returns it.
    metrics : list
        The metrics, in the order given, merged over every partition of every round.
    """

    model: Any
    metrics: list[Metric]


def _model_feed(model: object, features: Sequence[str], target: str) -> _Feed:
    feed = _feed_for(model, features, target)
    if feed.class_name not in _MODELS:
        raise TypeError(f"progressive validation needs a model, got {feed.class_name!r}")
    return feed


def _templates(model: Any, feed: _Feed, metrics: Metric | Sequence[Metric]) -> tuple[Metric, ...]:
    """The metrics as a tuple, checked here rather than in a worker: a pass over no
    rows refuses what is not a metric or scores the other kind of model."""
    templates = tuple(metrics) if isinstance(metrics, Sequence) else (metrics,)
    y = np.empty(0, dtype=bool if feed.class_name in _CLASSIFIERS else np.float64)
    _native._progressive_validation(
        copy.copy(model), np.empty((0, len(feed.features))), y, templates, 0, (), 0
    )
    return templates


# ---- per key -------------------------------------------------------------------


@dataclass(frozen=True)
class _Validation:
    """Progressive validation of every key's rows, in one native call; each key scores
    with its own copies of the metrics, which come back as its result."""

    templates: tuple[Metric, ...]
    delay: int

    def __call__(
        self, models: list[Any], x: np.ndarray, y: np.ndarray | None, order: np.ndarray,
        offsets: np.ndarray,
    ) -> list[Any]:
        metrics = tuple(tuple(copy.copy(m) for m in self.templates) for _ in models)
        _native._progressive_validation_by_key(
            models, x[order], cast(np.ndarray, y)[order], offsets, metrics, self.delay
        )
        return [list(m) for m in metrics]


def evaluate_by_key(
    frame: Any,
    key: str,
    features: Sequence[str],
    target: str,
    make_model: Callable[[], Learner],
    metrics: Metric | Sequence[Metric],
    *,
    delay: int = 0,
    states: Mapping[Hashable, Learner | str] | None = None,
    as_text: bool = False,
    partitioned_by_key: bool = False,
) -> KeyedEvaluation:
    """Train one model per value of ``key`` and score it while it learns.

    Each key's model learns its rows as :func:`drel_ml_ext.dask.learn_by_key`
    trains it, by progressive validation
    (:func:`drel_ml_ext.progressive_validation`): every row is predicted
    before it is learned, and the key's own copies of ``metrics`` score those
    predictions. Per key, models and metrics are bit for bit what
    ``progressive_validation(model, X_key, y_key, metrics_key, delay=delay)``
    over the key's rows in frame order gives in one process. Every partition
    runs all its keys in one native pass.

    ``frame``, ``key``, ``features``, ``target``, ``make_model``, ``states``,
    ``as_text`` and ``partitioned_by_key`` are as for
    :func:`drel_ml_ext.dask.learn_by_key`; a model is needed (a scaler has
    nothing to score).

    Args:
        metrics: metrics of :mod:`drel_ml_ext.metrics` of the model's kind.
            They are templates, left unchanged: each key scores with copies.
        delay: rows between a row's prediction and its label, within a key.

    Returns:
        ``KeyedEvaluation(models, metrics)``: each key's model and its list of
        metrics.

    Raises:
        RuntimeError: a rejected row (from the worker, naming its key,
            partition and index label); nothing is returned then.

    Example::

        result = evaluate_by_key(frame, "customer", ["x0", "x1"], "spent",
                                 lambda: drel_ml.LinearRegression(2, 0.01), [MAE()])
        result.metrics[17][0].value
    """
    prototype = _made(make_model, "make_model")
    feed: _Feed = _model_feed(prototype, features, target)
    templates = _templates(prototype, feed, metrics)
    delay = checked_count(delay, "delay", 0)
    start = {k: _state_bytes(k, s, feed) for k, s in states.items()} if states else None
    keys, learned, metrics = _learn_by_key(
        frame, key, feed, to_bytes(prototype), start, partitioned_by_key,
        _Validation(templates, delay),
    )
    models: dict[Hashable, bytes] = dict(start or {})
    models.update(zip(keys, learned))
    restore = (lambda b: from_bytes(b).to_json()) if as_text else from_bytes
    return KeyedEvaluation({k: restore(b) for k, b in models.items()}, dict(zip(keys, metrics)))


# ---- over all partitions ------------------------------------------------------------


def _validate_copy(
    part: pd.DataFrame, feed: _Feed, start: str, templates: tuple[Metric, ...], delay: int,
    number: int,
) -> tuple[str, list[Metric]]:
    model = feed.restore(start)
    metrics = [copy.copy(m) for m in templates]
    x, y = feed.arrays(part)
    x = np.ascontiguousarray(x)
    with _located(f"partition {number}", part):
        _native._progressive_validation(
            model, x, cast(np.ndarray, y), tuple(metrics), 0, (), delay
        )
    return model.to_json(), metrics


def _merge_metrics(a: list[Metric], b: list[Metric]) -> list[Metric]:
    merged = [copy.copy(m) for m in a]  # the inputs may be shared with other tasks
    for m, other in zip(merged, b):
        cast(Any, m).merge(other)  # of one class: both copy the same templates
    return merged


def evaluate_partitioned(
    frame: Any,
    features: Sequence[str],
    target: str,
    model: Learner,
    metrics: Metric | Sequence[Metric],
    rounds: int = 1,
    *,
    delay: int = 0,
    as_text: bool = False,
) -> PartitionedEvaluation:
    """Train one model from all partitions and score it while it learns.

    The model learns as :func:`drel_ml_ext.dask.learn_partitioned` trains it.
    Each round, every partition runs progressive validation of a copy of the
    round's model over its rows (:func:`drel_ml_ext.progressive_validation`,
    with ``delay``), scored by its own copies of ``metrics``; the models are
    merged as that function merges them, and the metrics of every partition
    and round are merged (``Metric.merge``) by the same tree of tasks. Counts, sums and ROC AUC merge exactly: the metrics are what one
    metric fed every prediction would hold (R2's moments within rounding).

    ``frame``, ``features``, ``target``, ``model``, ``rounds`` and ``as_text``
    are as for :func:`drel_ml_ext.dask.learn_partitioned`; the model is needed.

    Args:
        metrics: metrics of :mod:`drel_ml_ext.metrics` of the model's kind,
            used as templates and left unchanged.
        delay: rows between a row's prediction and its label, within a partition.

    Returns:
        ``PartitionedEvaluation(model, metrics)``.
    """
    rounds = checked_count(rounds, "rounds", 1)
    feed: _Feed = _model_feed(model, features, target)
    templates = _templates(model, feed, metrics)
    delay = checked_count(delay, "delay", 0)
    _check_mergeable(model)
    parts = _parts(frame, feed.columns)
    validate = delayed(_validate_copy, nout=2)
    merge_models, merge_metrics = delayed(_merge_texts), delayed(_merge_metrics)
    state: Delayed | str = model.to_json()
    scored: list[Delayed] = []
    for _ in range(rounds):
        round_start: Delayed | str = state

        def merge_copies(a: Delayed, b: Delayed, start: Delayed | str = round_start) -> Delayed:
            return cast(Delayed, merge_models(feed, start, a, b))

        # Each task gives two outputs (nout=2): the model's text and the metrics.
        copies = [cast(tuple[Delayed, Delayed],
                       validate(part, feed, round_start, templates, delay, number))
                  for number, part in enumerate(parts)]
        scored.extend(c[1] for c in copies)
        state = tree_reduce([c[0] for c in copies], merge_copies)
    text, merged = _compute(state, tree_reduce(scored, merge_metrics) if scored else list(templates))
    return PartitionedEvaluation(text if as_text else feed.restore(text), list(merged))
