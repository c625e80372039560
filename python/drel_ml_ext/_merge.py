"""Merging the states of two objects that learned from different parts of a stream."""

from __future__ import annotations

from typing import TypeVar

import drel_ml

from drel_ml_ext import _native

__all__ = ["merge"]

Mergeable = TypeVar(
    "Mergeable",
    drel_ml.Mean,
    drel_ml.Variance,
    drel_ml.StandardScaler,
    drel_ml.LinearRegression,
    drel_ml.LogisticRegression,
    drel_ml.RegressionPipeline,
    drel_ml.ClassificationPipeline,
)


def merge(a: Mergeable, b: Mergeable, *, start: Mergeable | None = None) -> Mergeable:
    """Return a new object holding what ``a`` and ``b`` learned; neither is changed.

    ``a`` and ``b`` are objects of one class and one configuration that saw
    different parts of a stream, for example two partitions of a data set.

    * ``Mean``, ``Variance`` and ``StandardScaler`` combine exactly as if one
      object had seen both parts: counts add, means are count-weighted, and the
      sums of squared deviations combine by the parallel update. Merging with an
      empty object returns a copy of the other, bit for bit.
    * The linear models are averaged, each side weighted by the samples it
      learned: weights, intercept and AdaGrad accumulators alike; sample counters
      add. A pipeline merges its scaler as a statistic and its model as a model.

    With ``start``, ``a`` and ``b`` are copies of ``start`` that each learned
    more (one round of training on several partitions). The sides are then
    weighted by what each learned since ``start``, counters become ``start``'s
    plus both increments, and statistics count ``start``'s samples once. A side
    that learned nothing contributes nothing: if only one side learned, the
    parameters are that side's, bit for bit; if neither did, they are ``a``'s.

    Raises:
        TypeError: the objects are not of one ``drel_ml`` class.
        RuntimeError: ``EWMean`` (its value depends on the order of the values,
            so no merge is order-free); different configurations (the message
            names what differs); a counter that would exceed 2**64 - 1; a side
            that saw fewer samples than ``start``; a merged value that is not
            finite (named as the updates name it).

    >>> import drel_ml, drel_ml_ext
    >>> a, b = drel_ml.Mean(), drel_ml.Mean()
    >>> for x in (1.0, 2.0): a.update(x)
    >>> for x in (3.0, 4.0, 5.0, 6.0): b.update(x)
    >>> m = drel_ml_ext.merge(a, b)
    >>> m.count, m.value
    (6, 3.5)
    """
    if start is None:
        return _native.merge(a, b)  # type: ignore[no-any-return]
    return _native.merge_from(start, a, b)  # type: ignore[no-any-return]
