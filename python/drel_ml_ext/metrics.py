"""Streaming metrics: exact, mergeable, saved and restored like every model.

Each metric scores one prediction at a time with ``update(y_true, y_pred)``,
or whole arrays with ``update_many`` (without the interpreter lock, all or
nothing), and reports its current ``value`` (``None`` while undefined) and
``count``, like ``drel_ml``'s statistics do. ``merge(other)`` adds what
another metric of the same class has seen (exactly, except R2's target
moments, which follow the parallel formula), ``to_json``/``from_json`` write
and read the state as a snapshot, and pickling goes through that snapshot.

Regression metrics take real truths and predictions: :class:`MAE`,
:class:`MSE`, :class:`RMSE`, :class:`R2`. Classification metrics take bool
truths: :class:`Accuracy`, :class:`Precision`, :class:`Recall`, :class:`F1`
with bool predictions; :class:`LogLoss` with probabilities of the positive
class; :class:`ROCAUC` with any real scores. :class:`Rolling` keeps any of
them over the last ``window`` samples only.

>>> from drel_ml_ext.metrics import MAE, ROCAUC, Rolling
>>> mae = MAE()
>>> mae.update_many([3.0, -0.5, 2.0, 7.0], [2.5, 0.0, 2.0, 8.0])
>>> mae.value
0.5
>>> auc = Rolling(ROCAUC(), window=3)
>>> auc.update_many([True, False, True, False], [0.9, 0.1, 0.4, 0.5])
>>> auc.value
0.5
"""

from __future__ import annotations

import copyreg
from collections.abc import Callable
from typing import Any, Union

from drel_ml_ext._native import (
    F1,
    MAE,
    MSE,
    R2,
    RMSE,
    ROCAUC,
    Accuracy,
    LogLoss,
    Precision,
    Recall,
    Rolling,
)

__all__ = [
    "MAE",
    "MSE",
    "RMSE",
    "R2",
    "Accuracy",
    "Precision",
    "Recall",
    "F1",
    "LogLoss",
    "ROCAUC",
    "Rolling",
    "Metric",
    "restore_metric",
]

Metric = Union[MAE, MSE, RMSE, R2, Accuracy, Precision, Recall, F1, LogLoss, ROCAUC, Rolling]

_CLASSES = {
    cls.__name__: cls
    for cls in (MAE, MSE, RMSE, R2, Accuracy, Precision, Recall, F1, LogLoss, ROCAUC, Rolling)
}


def restore_metric(class_name: str, text: str) -> Metric:
    """Rebuild a metric from its class name and its snapshot text.

    What every pickle of a metric calls when it is loaded.

    Parameters
    ----------
    class_name : str
        The metric's class name, ``"MAE"`` to ``"Rolling"``.
    text : str
        The metric's snapshot, as its ``to_json`` wrote it.

    Raises
    ------
    ValueError
        ``class_name`` names no metric class.
    RuntimeError
        The snapshot is refused, with the loader's message.
    """
    try:
        cls = _CLASSES[class_name]
    except (KeyError, TypeError):
        raise ValueError(
            f"unknown metric class: {class_name!r} (expected one of {', '.join(_CLASSES)})"
        ) from None
    return cls.from_json(text)


def _reduce(metric: Any) -> tuple[Callable[..., Any], tuple[str, str]]:
    return restore_metric, (type(metric).__name__, metric.to_json())


for _cls in _CLASSES.values():
    copyreg.pickle(_cls, _reduce)
