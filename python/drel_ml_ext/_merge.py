"""Merging the states of two objects that learned from different parts of a stream."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TypeVar

from drel_ml_ext import _native
from drel_ml_ext._classes import Mergeable

__all__ = ["merge", "merge_all", "tree_reduce"]


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
        return _native.merge(a, b)
    return _native.merge_from(start, a, b)


T = TypeVar("T")


def tree_reduce(items: Sequence[T], combine: Callable[[T, T], T]) -> T:
    """Combine ``items`` pairwise, level by level: (0, 1), (2, 3), ... then again.

    An odd item at the end of a level moves up unchanged. The pairing depends
    only on the number of items, so a reduction run on a cluster and the same
    reduction run here give the same result bit for bit.
    """
    if not items:
        raise ValueError("nothing to reduce")
    level = list(items)
    while len(level) > 1:
        pairs = [combine(level[i], level[i + 1]) for i in range(0, len(level) - 1, 2)]
        level = pairs + level[len(pairs) * 2 :]
    return level[0]


def merge_all(objects: Sequence[Mergeable], *, start: Mergeable | None = None) -> Mergeable:
    """Merge any number of objects of one class by :func:`tree_reduce` over :func:`merge`.

    With ``start``, every object continues ``start`` and every pairwise merge is
    given it, so the result holds ``start`` once plus what each object learned.
    """
    return tree_reduce(objects, lambda a, b: merge(a, b, start=start))
