"""The roles of drel_ml's stateful classes: the one list the companions read.

Pickling, merging, Dask transport, the configuration readers and the
scikit-learn estimators all take their classes from here. Each role is written
once, in the form type checkers follow (a ``Union`` or a constrained
``TypeVar``), and its runtime tuple is derived from it. The C++ side has its own
single list (src/stateful_classes.hpp); tests/python/test_class_lists.py checks
that this module, the stubs and the runtime name the same classes.

Adding a class: add it to ``Stateful`` and to each role it plays.
"""

from __future__ import annotations

from typing import TypeVar, Union, get_args

import drel_ml

# Every stateful class, in drel_ml's own order (its ``__all__``, less Snapshot).
Stateful = Union[
    drel_ml.Mean,
    drel_ml.Variance,
    drel_ml.EWMean,
    drel_ml.StandardScaler,
    drel_ml.LinearRegression,
    drel_ml.LogisticRegression,
    drel_ml.RegressionPipeline,
    drel_ml.ClassificationPipeline,
]

# Running statistics: updated one value at a time.
Statistic = TypeVar("Statistic", drel_ml.Mean, drel_ml.Variance, drel_ml.EWMean)
# The statistics with an order-free merge.
MergeableStatistic = TypeVar("MergeableStatistic", drel_ml.Mean, drel_ml.Variance)
# Everything that merges: all but the order-dependent EWMean.
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
# What learns from feature vectors (and targets, except the scaler).
Learner = TypeVar(
    "Learner",
    drel_ml.StandardScaler,
    drel_ml.LinearRegression,
    drel_ml.LogisticRegression,
    drel_ml.RegressionPipeline,
    drel_ml.ClassificationPipeline,
)
# The linear models, bare or behind a scaler.
Model = Union[
    drel_ml.LinearRegression,
    drel_ml.LogisticRegression,
    drel_ml.RegressionPipeline,
    drel_ml.ClassificationPipeline,
]
# What holds a standard scaler.
Scaled = Union[drel_ml.StandardScaler, drel_ml.RegressionPipeline, drel_ml.ClassificationPipeline]

STATEFUL: tuple[type, ...] = get_args(Stateful)
STATISTICS: tuple[type, ...] = Statistic.__constraints__
MERGEABLE: tuple[type, ...] = Mergeable.__constraints__
LEARNERS: tuple[type, ...] = Learner.__constraints__
MODELS: tuple[type, ...] = get_args(Model)
SCALED: tuple[type, ...] = get_args(Scaled)
SCALERS: tuple[type, ...] = (drel_ml.StandardScaler,)
REGRESSORS: tuple[type, ...] = (drel_ml.LinearRegression, drel_ml.RegressionPipeline)
CLASSIFIERS: tuple[type, ...] = (drel_ml.LogisticRegression, drel_ml.ClassificationPipeline)
PIPELINES: tuple[type[drel_ml.RegressionPipeline], type[drel_ml.ClassificationPipeline]] = (
    drel_ml.RegressionPipeline,
    drel_ml.ClassificationPipeline,
)


def names(classes: tuple[type, ...]) -> tuple[str, ...]:
    """The classes' names in drel_ml, for places where classes travel by name."""
    return tuple(cls.__name__ for cls in classes)
