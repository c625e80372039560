# Types of the native extension drel_ml_ext._native, for the type checkers that
# check drel_ml_ext itself. Users call the functions drel_ml_ext exports.
# Each unit of the extension declares its functions in its own section.

import drel_ml
from drel_ml_ext._config import LossSettings, OptimizerSettings, ScalerSettings

# ---- configuration (ext/config.cpp, ext/config_readers.cpp) ----------------

def linear_regression(
    feature_count: int,
    learning_rate: float,
    optimizer: str,
    l2: float,
    adagrad_epsilon: float,
    loss: str,
    huber_delta: float,
    /,
) -> drel_ml.LinearRegression: ...
def logistic_regression(
    feature_count: int,
    learning_rate: float,
    optimizer: str,
    l2: float,
    adagrad_epsilon: float,
    /,
) -> drel_ml.LogisticRegression: ...
def standard_scaler(
    feature_count: int, with_mean: bool, with_std: bool, epsilon: float, /
) -> drel_ml.StandardScaler: ...
def regression_pipeline(
    feature_count: int,
    learning_rate: float,
    optimizer: str,
    l2: float,
    adagrad_epsilon: float,
    loss: str,
    huber_delta: float,
    with_mean: bool,
    with_std: bool,
    scaler_epsilon: float,
    /,
) -> drel_ml.RegressionPipeline: ...
def classification_pipeline(
    feature_count: int,
    learning_rate: float,
    optimizer: str,
    l2: float,
    adagrad_epsilon: float,
    with_mean: bool,
    with_std: bool,
    scaler_epsilon: float,
    /,
) -> drel_ml.ClassificationPipeline: ...

_Model = (
    drel_ml.LinearRegression
    | drel_ml.LogisticRegression
    | drel_ml.RegressionPipeline
    | drel_ml.ClassificationPipeline
)

def intercept(model: _Model, /) -> float: ...
def feature_count(obj: drel_ml.StandardScaler | _Model, /) -> int: ...
def optimizer_settings(model: _Model, /) -> OptimizerSettings: ...
def loss_settings(model: _Model, /) -> LossSettings: ...
def scaler_settings(
    scaler: drel_ml.StandardScaler | drel_ml.RegressionPipeline | drel_ml.ClassificationPipeline, /
) -> ScalerSettings: ...
def pipeline_parts(
    pipeline: drel_ml.RegressionPipeline | drel_ml.ClassificationPipeline, /
) -> tuple[drel_ml.StandardScaler, drel_ml.LinearRegression | drel_ml.LogisticRegression]: ...
