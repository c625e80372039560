"""Keyword factories for every configuration the core supports, and readers for the state drel_ml keeps hidden.

drel_ml's constructors build one fixed configuration: plain SGD without L2,
the squared-error loss, a scaler with its default settings. The core has more:
the AdaGrad optimizer, an L2 penalty, the Huber loss, a scaler that does not
centre or does not scale, another variance floor. The factories here build
genuine drel_ml objects in any of those configurations, through the core's
checked constructors: a bad setting is refused with the core's own message,
as a ``RuntimeError``, before anything is built.

The readers return what the classes keep to their snapshot: the intercept,
the feature count, the optimizer's, loss's and scaler's settings, and a
pipeline's two stages as objects of their own. Each reads its object under a
shared borrow, like any of drel_ml's own read-only members.

Settings that do not apply to the chosen variant (``adagrad_epsilon`` with
SGD, ``huber_delta`` with the squared error) are checked for their type only.
"""

from __future__ import annotations

from typing import Literal, NotRequired, TypedDict, overload

import drel_ml
from drel_ml_ext import _native
from drel_ml_ext._classes import Model, Scaled

__all__ = [
    "linear_regression",
    "logistic_regression",
    "standard_scaler",
    "regression_pipeline",
    "classification_pipeline",
    "intercept",
    "weights",
    "feature_count",
    "optimizer_settings",
    "loss_settings",
    "scaler_settings",
    "scaler_statistics",
    "pipeline_parts",
    "OptimizerSettings",
    "LossSettings",
    "ScalerSettings",
    "ScalerStatistics",
]

# The optimizers the factories offer, {name: {keyword: default}}, as the core declares them;
# the signatures and OptimizerName below are their documentation (a test compares them).
OPTIMIZERS: dict[str, dict[str, float]] = _native.optimizer_table()
# Every optimizer keyword of the factories, once, in the order the optimizers first name it.
OPTIMIZER_KEYWORDS: tuple[str, ...] = tuple(
    dict.fromkeys(keyword for settings in OPTIMIZERS.values() for keyword in settings)
)


def choices_text(names: tuple[str, ...] | list[str]) -> str:
    """``'a'``, ``'a' or 'b'``, ``'a', 'b' or 'c'``: the texts a setting takes, as messages name them."""
    quoted = [repr(name) for name in names]
    return quoted[0] if len(quoted) == 1 else f"{', '.join(quoted[:-1])} or {quoted[-1]}"


OptimizerName = Literal["sgd", "adagrad"]
LossName = Literal["squared", "huber"]


class OptimizerSettings(TypedDict):
    """What :func:`optimizer_settings` returns."""

    kind: OptimizerName
    learning_rate: float
    l2: float
    epsilon: NotRequired[float]  # AdaGrad only
    samples_seen: int  # the optimizer's own count of steps


class LossSettings(TypedDict):
    """What :func:`loss_settings` returns."""

    kind: Literal["squared", "huber", "log"]
    delta: NotRequired[float]  # the Huber loss only
    epsilon: NotRequired[float]  # the log loss only (stored, never used in arithmetic)


class ScalerSettings(TypedDict):
    """What :func:`scaler_settings` returns."""

    with_mean: bool
    with_std: bool
    epsilon: float


class ScalerStatistics(TypedDict):
    """What :func:`scaler_statistics` returns."""

    means: list[float]
    variances: list[float]  # population variances, 0.0 before a feature's first sample
    scales: list[float]  # the divisors transform_one applies (1.0 where it divides by none)
    count: int  # the samples seen


def linear_regression(
    feature_count: int,
    *,
    learning_rate: float,
    optimizer: OptimizerName = "sgd",
    l2: float = 0.0,
    adagrad_epsilon: float = 1e-8,
    loss: LossName = "squared",
    huber_delta: float = 1.0,
) -> drel_ml.LinearRegression:
    """A new ``drel_ml.LinearRegression`` with the given optimizer and loss.

    Parameters:
        feature_count: the length of every feature vector, at least 1.
        learning_rate: the step size, finite and above 0.
        optimizer: ``"sgd"`` (constant rate) or ``"adagrad"`` (per-weight
            rates scaled by the root of the summed squared gradients).
        l2: the L2 penalty on the weights (not the intercept), finite and >= 0.
        adagrad_epsilon: added under AdaGrad's square root, finite and >= 0.
        loss: ``"squared"`` (gradient: the residual) or ``"huber"`` (the
            residual clipped to ``huber_delta`` in magnitude).
        huber_delta: the Huber loss's bound, finite and >= 0.

    Raises:
        RuntimeError: the core refused a setting, with its own message, checked
            in this order: the feature count, then the finiteness of
            learning_rate, l2 and adagrad_epsilon, then their ranges, then the
            Huber delta.
        ValueError: ``optimizer`` or ``loss`` is not one of its texts.
        TypeError, OverflowError: an argument of the wrong type, with the note
            "while processing '{keyword}'".

    With the defaults this is exactly ``drel_ml.LinearRegression(feature_count,
    learning_rate)``.

    >>> import drel_ml_ext
    >>> m = drel_ml_ext.linear_regression(2, learning_rate=0.1, optimizer="adagrad", loss="huber")
    >>> m.learn_one([1.0, 2.0], 3.0)
    >>> drel_ml_ext.optimizer_settings(m)["kind"]
    'adagrad'
    >>> drel_ml_ext.linear_regression(2, learning_rate=0.1, l2=-1.0)
    Traceback (most recent call last):
      ...
    RuntimeError: invalid parameter `l2`: -1
    """
    return _native.linear_regression(
        feature_count, learning_rate, optimizer, l2, adagrad_epsilon, loss, huber_delta
    )


def logistic_regression(
    feature_count: int,
    *,
    learning_rate: float,
    optimizer: OptimizerName = "sgd",
    l2: float = 0.0,
    adagrad_epsilon: float = 1e-8,
) -> drel_ml.LogisticRegression:
    """A new ``drel_ml.LogisticRegression`` with the given optimizer.

    The parameters, their checks and errors are those of
    :func:`linear_regression`; the loss is always the binary log loss.

    >>> import drel_ml_ext
    >>> m = drel_ml_ext.logistic_regression(2, learning_rate=0.5, l2=0.01)
    >>> m.learn_one([1.0, -1.0], True)
    >>> m.predict_proba_one([1.0, -1.0]) > 0.5
    True
    >>> drel_ml_ext.logistic_regression(2, learning_rate=0.5, optimizer="adam")
    Traceback (most recent call last):
      ...
    ValueError: unknown optimizer: 'adam' (expected 'sgd' or 'adagrad')
    while processing 'optimizer'
    """
    return _native.logistic_regression(feature_count, learning_rate, optimizer, l2, adagrad_epsilon)


def standard_scaler(
    feature_count: int,
    *,
    with_mean: bool = True,
    with_std: bool = True,
    epsilon: float = 1e-12,
) -> drel_ml.StandardScaler:
    """A new ``drel_ml.StandardScaler`` with the given settings.

    Parameters:
        feature_count: the length of every feature vector, at least 1.
        with_mean: subtract each feature's running mean.
        with_std: divide each feature by its running standard deviation.
        epsilon: the variance floor, finite and >= 0: a feature whose
            variance is below it is not divided.

    ``with_mean`` and ``with_std`` take ``True``, ``False`` or a numpy
    boolean, as drel_ml's own boolean parameters do. The statistics are kept
    whatever the settings; they only change what ``transform_one`` returns.

    Raises:
        RuntimeError: a feature count of 0, or an epsilon that is not finite
            or below 0, with the core's message.
        TypeError, OverflowError: an argument of the wrong type.

    >>> import drel_ml_ext
    >>> s = drel_ml_ext.standard_scaler(1, with_std=False)
    >>> s.learn_one([1.0]); s.learn_one([3.0])
    >>> s.transform_one([5.0])
    [3.0]
    """
    return _native.standard_scaler(feature_count, with_mean, with_std, epsilon)


def regression_pipeline(
    feature_count: int,
    *,
    learning_rate: float,
    optimizer: OptimizerName = "sgd",
    l2: float = 0.0,
    adagrad_epsilon: float = 1e-8,
    loss: LossName = "squared",
    huber_delta: float = 1.0,
    with_mean: bool = True,
    with_std: bool = True,
    scaler_epsilon: float = 1e-12,
) -> drel_ml.RegressionPipeline:
    """A new ``drel_ml.RegressionPipeline``: a scaler and a linear regression.

    The model's keywords are those of :func:`linear_regression`, the
    scaler's those of :func:`standard_scaler` (its ``epsilon`` is called
    ``scaler_epsilon`` here). The scaler is built first, so its errors (a
    feature count of 0 among them) are reported before the model's.

    >>> import drel_ml_ext
    >>> p = drel_ml_ext.regression_pipeline(2, learning_rate=0.1, loss="huber", huber_delta=0.5)
    >>> p.learn_one([1.0, 2.0], 3.0)
    >>> drel_ml_ext.loss_settings(p)
    {'kind': 'huber', 'delta': 0.5}
    """
    return _native.regression_pipeline(
        feature_count,
        learning_rate,
        optimizer,
        l2,
        adagrad_epsilon,
        loss,
        huber_delta,
        with_mean,
        with_std,
        scaler_epsilon,
    )


def classification_pipeline(
    feature_count: int,
    *,
    learning_rate: float,
    optimizer: OptimizerName = "sgd",
    l2: float = 0.0,
    adagrad_epsilon: float = 1e-8,
    with_mean: bool = True,
    with_std: bool = True,
    scaler_epsilon: float = 1e-12,
) -> drel_ml.ClassificationPipeline:
    """A new ``drel_ml.ClassificationPipeline``: a scaler and a logistic regression.

    The keywords are those of :func:`logistic_regression` and of
    :func:`standard_scaler` (``scaler_epsilon`` for its ``epsilon``); the
    scaler's errors are reported first.

    >>> import drel_ml_ext
    >>> p = drel_ml_ext.classification_pipeline(3, learning_rate=0.1, optimizer="adagrad")
    >>> drel_ml_ext.scaler_settings(p)
    {'with_mean': True, 'with_std': True, 'epsilon': 1e-12}
    """
    return _native.classification_pipeline(
        feature_count,
        learning_rate,
        optimizer,
        l2,
        adagrad_epsilon,
        with_mean,
        with_std,
        scaler_epsilon,
    )


def intercept(model: Model) -> float:
    """The intercept (bias) of a linear model, or of a pipeline's model.

    Raises:
        TypeError: ``model`` is not one of the two models or two pipelines.
        RuntimeError: "Already mutably borrowed", when called on a model
            while that model is learning (from inside a conversion of its
            arguments).

    >>> import drel_ml, drel_ml_ext
    >>> m = drel_ml.LinearRegression(2, 0.1)
    >>> m.learn_one([1.0, 2.0], 3.0)
    >>> drel_ml_ext.intercept(m)
    0.30000000000000004
    """
    return _native.intercept(model)


def weights(model: Model) -> list[float]:
    """The weights of a linear model, or of a pipeline's model (over scaled features).

    Raises:
        TypeError: ``model`` is not one of the two models or two pipelines.
        RuntimeError: the borrow error, as for :func:`intercept`.

    >>> import drel_ml, drel_ml_ext
    >>> m = drel_ml.LinearRegression(2, 0.1)
    >>> m.learn_one([1.0, 2.0], 3.0)
    >>> drel_ml_ext.weights(m) == m.weights
    True
    """
    return _native.weights(model)


def feature_count(obj: drel_ml.StandardScaler | Model) -> int:
    """The number of features of a scaler, a model or a pipeline.

    For a pipeline this is its scaler's count: the length of the vectors it
    takes.

    Raises:
        TypeError: ``obj`` has no feature count (a statistic, for example).
        RuntimeError: the borrow error, as for :func:`intercept`.

    >>> import drel_ml, drel_ml_ext
    >>> drel_ml_ext.feature_count(drel_ml.RegressionPipeline(4, 0.1))
    4
    """
    return _native.feature_count(obj)


def optimizer_settings(model: Model) -> OptimizerSettings:
    """The optimizer of a model or of a pipeline's model, as a new dict.

    Keys: ``kind`` (``"sgd"`` or ``"adagrad"``), ``learning_rate``, ``l2``,
    ``epsilon`` (AdaGrad only) and ``samples_seen``, the optimizer's own
    count of steps.

    Raises:
        TypeError: ``model`` is not one of the two models or two pipelines.
        RuntimeError: the borrow error, as for :func:`intercept`.

    >>> import drel_ml, drel_ml_ext
    >>> drel_ml_ext.optimizer_settings(drel_ml.LogisticRegression(2, 0.5))
    {'kind': 'sgd', 'learning_rate': 0.5, 'l2': 0.0, 'samples_seen': 0}
    """
    return _native.optimizer_settings(model)


def loss_settings(model: Model) -> LossSettings:
    """The loss of a model or of a pipeline's model, as a new dict.

    ``{"kind": "squared"}``, ``{"kind": "huber", "delta": ...}`` for the
    regression models, ``{"kind": "log", "epsilon": ...}`` for the
    classifiers (the log loss stores its epsilon but never uses it).

    Raises:
        TypeError: ``model`` is not one of the two models or two pipelines.
        RuntimeError: the borrow error, as for :func:`intercept`.

    >>> import drel_ml, drel_ml_ext
    >>> drel_ml_ext.loss_settings(drel_ml.ClassificationPipeline(2, 0.1))
    {'kind': 'log', 'epsilon': 1e-15}
    """
    return _native.loss_settings(model)


def scaler_settings(scaler: Scaled) -> ScalerSettings:
    """The settings of a scaler or of a pipeline's scaler, as a new dict.

    Raises:
        TypeError: ``scaler`` is neither a scaler nor a pipeline.
        RuntimeError: the borrow error, as for :func:`intercept`.

    >>> import drel_ml, drel_ml_ext
    >>> drel_ml_ext.scaler_settings(drel_ml.StandardScaler(3))
    {'with_mean': True, 'with_std': True, 'epsilon': 1e-12}
    """
    return _native.scaler_settings(scaler)


def scaler_statistics(scaler: Scaled) -> ScalerStatistics:
    """The running statistics of a scaler or of a pipeline's scaler, as a new dict.

    ``scales`` are the divisors the scaler applies, by the scaler's own rule:
    the standard deviation, or 1.0 for a feature without samples, with a
    variance under the scaler's ``epsilon``, or when ``with_std`` is off.

    Raises:
        TypeError: ``scaler`` is neither a scaler nor a pipeline.
        RuntimeError: the borrow error, as for :func:`intercept`.

    >>> import drel_ml, drel_ml_ext
    >>> s = drel_ml.StandardScaler(2)
    >>> for x in ([1.0, 5.0], [3.0, 5.0]): s.learn_one(x)
    >>> drel_ml_ext.scaler_statistics(s)
    {'means': [2.0, 5.0], 'variances': [1.0, 0.0], 'scales': [1.0, 1.0], 'count': 2}
    """
    return _native.scaler_statistics(scaler)


@overload
def pipeline_parts(
    pipeline: drel_ml.RegressionPipeline,
) -> tuple[drel_ml.StandardScaler, drel_ml.LinearRegression]: ...
@overload
def pipeline_parts(
    pipeline: drel_ml.ClassificationPipeline,
) -> tuple[drel_ml.StandardScaler, drel_ml.LogisticRegression]: ...
def pipeline_parts(
    pipeline: drel_ml.RegressionPipeline | drel_ml.ClassificationPipeline,
) -> tuple[drel_ml.StandardScaler, drel_ml.LinearRegression | drel_ml.LogisticRegression]:
    """A pipeline's scaler and model, as two new independent objects.

    They are copies in the pipeline's current state: learning on them leaves
    the pipeline as it is, and the other way round.

    Raises:
        TypeError: ``pipeline`` is not a pipeline.
        RuntimeError: the borrow error, as for :func:`intercept`.

    >>> import drel_ml, drel_ml_ext
    >>> p = drel_ml.RegressionPipeline(2, 0.1)
    >>> p.learn_one([1.0, 2.0], 3.0)
    >>> scaler, model = drel_ml_ext.pipeline_parts(p)
    >>> scaler.samples_seen, model.samples_seen, model.weights
    (1, 1, [0.0, 0.0])
    """
    return _native.pipeline_parts(pipeline)
