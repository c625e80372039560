"""Typed use of every drel_ml class and drel_ml_ext function.

Type checkers check it (mypy --strict, basedpyright in strict mode): each
assert_type states the type the stubs or drel_ml_ext's annotations must give.
It also runs as a plain script, so every line is a real, working call.
"""

from __future__ import annotations

import copy
import pickle
from array import array
from typing import Literal, assert_type

import drel_ml
import drel_ml_ext
from drel_ml_ext import LossSettings, OptimizerSettings, ScalerSettings


def statistics() -> None:
    mean = drel_ml.Mean()
    mean.update(1.0)
    mean.update(2)  # ints and bools are numbers too
    mean.update(True)
    assert_type(mean.value, float)
    assert_type(mean.count, int)

    variance = drel_ml.Variance("sample")
    variance.update(2.0)
    assert_type(variance.value, float | None)
    assert_type(variance.stddev, float | None)
    assert_type(variance.mean, float)
    assert_type(variance.count, int)
    one_value = variance.value
    assert one_value is None  # one value: no sample variance yet
    variance.update(4.0)
    two_values = variance.value
    assert two_values is not None
    assert_type(two_values, float)

    ew = drel_ml.EWMean(alpha=0.5)
    ew.update(10.0)
    assert_type(ew.value, float)

    for text in (mean.to_json(), drel_ml.Snapshot.to_json(mean)):
        assert_type(text, str)
    assert_type(drel_ml.Mean.from_json(mean.to_json()), drel_ml.Mean)
    assert_type(drel_ml.Variance.from_json(variance.to_json()), drel_ml.Variance)
    assert_type(drel_ml.EWMean.from_json(ew.to_json()), drel_ml.EWMean)
    assert_type(drel_ml.Snapshot.format_version(), int)


def models() -> None:
    scaler = drel_ml.StandardScaler(feature_count=2)
    scaler.fit_one([1.0, 2.0])
    scaler.learn_one((3, 4))
    assert_type(scaler.transform_one(array("d", [1.0, 2.0])), list[float])
    assert_type(scaler.samples_seen, int)
    assert_type(drel_ml.StandardScaler.from_json(scaler.to_json()), drel_ml.StandardScaler)

    linear = drel_ml.LinearRegression(2, 0.1)
    linear.learn_one([1.0, 2.0], 3.0)
    assert_type(linear.predict_one(range(2)), float)
    assert_type(linear.weights, list[float])
    assert_type(linear.samples_seen, int)
    assert_type(drel_ml.LinearRegression.from_json(linear.to_json()), drel_ml.LinearRegression)

    logistic = drel_ml.LogisticRegression(2, learning_rate=0.1)
    logistic.learn_one([1.0, 2.0], y=True)
    assert_type(logistic.predict_one([1.0, 2.0]), bool)
    assert_type(logistic.predict_proba_one([1.0, 2.0]), float)
    assert_type(logistic.weights, list[float])
    assert_type(
        drel_ml.LogisticRegression.from_json(logistic.to_json()), drel_ml.LogisticRegression
    )

    regression = drel_ml.RegressionPipeline(2, 0.1)
    regression.learn_one([1.0, 2.0], 3.0)
    assert_type(regression.predict_one([1.0, 2.0]), float)
    assert_type(regression.samples_seen, int)
    assert_type(
        drel_ml.RegressionPipeline.from_json(regression.to_json()), drel_ml.RegressionPipeline
    )

    classification = drel_ml.ClassificationPipeline(2, 0.1)
    classification.learn_one([1.0, 2.0], False)
    assert_type(classification.predict_one([1.0, 2.0]), bool)
    assert_type(classification.predict_proba_one([1.0, 2.0]), float)
    assert_type(
        drel_ml.ClassificationPipeline.from_json(classification.to_json()),
        drel_ml.ClassificationPipeline,
    )


def factories_and_readers() -> None:
    linear = drel_ml_ext.linear_regression(
        3, learning_rate=0.05, optimizer="adagrad", l2=0.01, loss="huber", huber_delta=1.35
    )
    assert_type(linear, drel_ml.LinearRegression)
    logistic = drel_ml_ext.logistic_regression(3, learning_rate=0.05, optimizer="sgd")
    assert_type(logistic, drel_ml.LogisticRegression)
    scaler = drel_ml_ext.standard_scaler(3, with_mean=False, epsilon=0.0)
    assert_type(scaler, drel_ml.StandardScaler)
    regression = drel_ml_ext.regression_pipeline(3, learning_rate=0.05, with_std=False)
    assert_type(regression, drel_ml.RegressionPipeline)
    classification = drel_ml_ext.classification_pipeline(
        3, learning_rate=0.05, optimizer="adagrad", adagrad_epsilon=1e-6, scaler_epsilon=1e-9
    )
    assert_type(classification, drel_ml.ClassificationPipeline)

    assert_type(drel_ml_ext.intercept(linear), float)
    assert_type(drel_ml_ext.intercept(classification), float)
    assert_type(drel_ml_ext.feature_count(scaler), int)
    assert_type(drel_ml_ext.feature_count(regression), int)

    optimizer: OptimizerSettings = drel_ml_ext.optimizer_settings(linear)
    assert optimizer["kind"] == "adagrad"
    assert_type(optimizer["learning_rate"], float)
    assert_type(optimizer.get("epsilon"), float | None)
    loss: LossSettings = drel_ml_ext.loss_settings(linear)
    assert_type(loss["kind"], Literal["squared", "huber", "log"])
    settings: ScalerSettings = drel_ml_ext.scaler_settings(regression)
    assert_type(settings["with_std"], bool)

    scaler_part, linear_part = drel_ml_ext.pipeline_parts(regression)
    assert_type(scaler_part, drel_ml.StandardScaler)
    assert_type(linear_part, drel_ml.LinearRegression)
    assert_type(drel_ml_ext.pipeline_parts(classification)[1], drel_ml.LogisticRegression)


def copies() -> None:
    model = drel_ml.RegressionPipeline(2, 0.1)
    model.learn_one([1.0, 2.0], 3.0)
    restored = drel_ml_ext.restore("RegressionPipeline", model.to_json())
    assert isinstance(restored, drel_ml.RegressionPipeline)
    loaded = drel_ml_ext.load(model.to_json().encode())
    assert isinstance(loaded, drel_ml.RegressionPipeline)
    assert_type(copy.deepcopy(model), drel_ml.RegressionPipeline)
    clone = pickle.loads(pickle.dumps(model))
    assert isinstance(clone, drel_ml.RegressionPipeline)
    assert clone.to_json() == model.to_json()
    assert_type(drel_ml_ext.__version__, str)


def misuse() -> None:
    """Never run: each line is an error both checkers must report (an unused
    ignore comment is itself an error under this folder's settings)."""
    model = drel_ml.LinearRegression(2, 0.1)
    model.learn_one("12", 1.0)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    model.learn_one([1.0], "1")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    model.weights = [1.0]  # type: ignore[misc]  # pyright: ignore[reportAttributeAccessIssue]
    drel_ml.Variance("Sample")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    drel_ml.LogisticRegression(2, 0.1).learn_one([1.0, 2.0], "yes")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    drel_ml.Mean().to_json(1)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    drel_ml_ext.linear_regression(2, learning_rate=0.1, optimizer="adam")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    drel_ml_ext.linear_regression(2, 0.1)  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    drel_ml_ext.intercept(drel_ml.Mean())  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    drel_ml_ext.pipeline_parts(model)  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]


if __name__ == "__main__":
    statistics()
    models()
    factories_and_readers()
    copies()
    print("typed usage ran")
