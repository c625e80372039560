"""Types of the native functions of drel_ml_ext (re-exported by drel_ml_ext)."""

from collections.abc import Iterable
from typing import Any, TypeAlias, overload

from typing_extensions import Buffer

import drel_ml

# ---- bulk functions -------------------------------------------------------------

# X: a 2-D buffer of numbers (numpy arrays of any real dtype, memoryviews) or an
# iterable of feature vectors (each any sequence of numbers).
_Rows: TypeAlias = Buffer | Iterable[Any]
# y and xs: a 1-D buffer or an iterable of numbers (classifier targets: booleans,
# or integers that are 0 or 1).
_Column: TypeAlias = Buffer | Iterable[Any]
# numpy.ndarray when numpy is importable, else a list (of lists for transform_many).
_Reals: TypeAlias = Any
_Flags: TypeAlias = Any

_Model: TypeAlias = (
    drel_ml.LinearRegression
    | drel_ml.LogisticRegression
    | drel_ml.RegressionPipeline
    | drel_ml.ClassificationPipeline
)
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
