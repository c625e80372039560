# Types of the native extension drel_ml_ext._native, for the type checkers that
# check drel_ml_ext itself. Users call the functions drel_ml_ext exports.
# Each unit of the extension declares its functions in its own section.

from collections.abc import Iterable
from typing import Any, TypeAlias, TypeVar, overload

from typing_extensions import Buffer

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

# ---- bulk functions (ext/bulk.cpp) -----------------------------------------

# X: a 2-D buffer of numbers (numpy arrays of any real dtype, memoryviews) or an
# iterable of feature vectors (each any sequence of numbers).
_Rows: TypeAlias = Buffer | Iterable[Any]
# y and xs: a 1-D buffer or an iterable of numbers (classifier targets: booleans,
# or integers that are 0 or 1).
_Column: TypeAlias = Buffer | Iterable[Any]
# numpy.ndarray when numpy is importable, else a list (of lists for transform_many).
_Reals: TypeAlias = Any
_Flags: TypeAlias = Any
_Classifier: TypeAlias = drel_ml.LogisticRegression | drel_ml.ClassificationPipeline
_Regressor: TypeAlias = drel_ml.LinearRegression | drel_ml.RegressionPipeline

@overload
def learn_many(model: _Model, X: _Rows, y: _Column) -> None: ...
@overload
def learn_many(model: drel_ml.StandardScaler, X: _Rows, y: None = None) -> None: ...
@overload
def predict_many(model: _Regressor, X: _Rows) -> _Reals: ...
@overload
def predict_many(model: _Classifier, X: _Rows) -> _Flags: ...
def predict_proba_many(classifier: _Classifier, X: _Rows) -> _Reals: ...
def transform_many(scaler: drel_ml.StandardScaler, X: _Rows) -> _Reals: ...
def update_many(statistic: drel_ml.Mean | drel_ml.EWMean | drel_ml.Variance, xs: _Column) -> None: ...

# ---- merging (ext/merge.cpp) ---------------------------------------------------

_Mergeable = TypeVar(
    "_Mergeable",
    drel_ml.Mean,
    drel_ml.Variance,
    drel_ml.EWMean,
    drel_ml.StandardScaler,
    drel_ml.LinearRegression,
    drel_ml.LogisticRegression,
    drel_ml.RegressionPipeline,
    drel_ml.ClassificationPipeline,
)

def merge(a: _Mergeable, b: _Mergeable) -> _Mergeable: ...
def merge_from(start: _Mergeable, a: _Mergeable, b: _Mergeable) -> _Mergeable: ...
