# Types of the native extension drel_ml_ext._native, for the type checkers that
# check drel_ml_ext itself. Users call the functions drel_ml_ext exports; the
# bulk functions' docstrings here are the runtime ones (a test keeps them so),
# for editors and the API reference.
# Each unit of the extension declares its functions in its own section.

from collections.abc import Iterable, Sequence
from typing import Any, TypeAlias, overload

from typing_extensions import Buffer

import drel_ml
from drel_ml_ext._classes import Mergeable as _Mergeable
from drel_ml_ext._classes import Model as _Model
from drel_ml_ext._config import LossSettings, OptimizerSettings, ScalerSettings, ScalerStatistics

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

def optimizer_table() -> dict[str, dict[str, float]]: ...

def intercept(model: _Model, /) -> float: ...
def weights(model: _Model, /) -> list[float]: ...
def feature_count(obj: drel_ml.StandardScaler | _Model, /) -> int: ...
def optimizer_settings(model: _Model, /) -> OptimizerSettings: ...
def loss_settings(model: _Model, /) -> LossSettings: ...
def scaler_settings(
    scaler: drel_ml.StandardScaler | drel_ml.RegressionPipeline | drel_ml.ClassificationPipeline, /
) -> ScalerSettings: ...
def scaler_statistics(
    scaler: drel_ml.StandardScaler | drel_ml.RegressionPipeline | drel_ml.ClassificationPipeline, /
) -> ScalerStatistics: ...
def pipeline_parts(
    pipeline: drel_ml.RegressionPipeline | drel_ml.ClassificationPipeline, /
) -> tuple[drel_ml.StandardScaler, drel_ml.LinearRegression | drel_ml.LogisticRegression]: ...

# ---- bulk functions (ext/bulk.cpp) -----------------------------------------

# X: a 2-D buffer of numbers (numpy arrays of any real dtype, memoryviews) or an
# iterable of feature vectors (each any sequence of numbers); scipy.sparse matrices,
# iterable too, are read natively.
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
def learn_many(model: _Model, X: _Rows, y: _Column) -> None:
    """Learn from every row of X in order, as model.learn_one(X[i], y[i]) would.

    Parameters
        model: a LinearRegression, LogisticRegression, RegressionPipeline or
            ClassificationPipeline, which learns from X and y; or a StandardScaler,
            which learns from X alone (y left out or None).
        X: the feature vectors. A 2-D buffer of numbers (numpy arrays of any
            real dtype, any order or strides; memoryviews) is read in place (a
            block of rows at a time is converted when they are not contiguous
            float64: X is never copied whole); any other iterable of feature
            vectors is converted row by row as learn_one converts one (rows may
            differ in length). A scipy.sparse matrix or array (CSR, CSC, COO;
            other formats through their tocsr()) gives what the rows of
            X.toarray() give; the linear models' rows then cost their stored
            values where that changes no bit.
        y: one target per row, as a 1-D buffer or any iterable. Regression
            targets are real numbers; classifier targets are booleans (numpy bool_
            arrays included) or integers that are 0 or 1.

    Returns
        None.

    Raises
        All or nothing: when any row is rejected, the model is left exactly as it
        was and the one-sample error is raised with " (row N)" appended, as
        RuntimeError for the core's errors and with its own type for a value that
        the library cannot convert. An exception raised by the caller's own code
        (a __float__, __index__, __getitem__ or iterator) is the very object
        raised, with its row added as a note. A classifier target that is an
        integer other than 0 or 1 is a ValueError naming the row. Ctrl-C stops
        the call between blocks of rows, leaving the model as it was.
        X and y of different lengths: ValueError, before anything is learned.
        The model is borrowed for the whole call: another thread using it
        meanwhile gets RuntimeError "Already borrowed" (or "Already mutably
        borrowed"). The interpreter lock is released while the core runs.

    Example
        >>> m = drel_ml.LinearRegression(2, 0.1)
        >>> learn_many(m, [[1.0, 2.0], [0.5, 1.0]], [3.0, 1.5])
        >>> m.samples_seen
        2
    """
@overload
def learn_many(model: drel_ml.StandardScaler, X: _Rows, y: None = None) -> None: ...
@overload
def predict_many(model: _Regressor, X: _Rows) -> _Reals:
    """Predict every row of X, as model.predict_one(X[i]) would.

    Parameters
        model: a LinearRegression, LogisticRegression, RegressionPipeline or
            ClassificationPipeline.
        X: the feature vectors, as for learn_many.

    Returns
        One prediction per row: a numpy float64 array for a regression model and a
        numpy bool array for a classifier; without numpy, a list of float or bool.

    Raises
        The one-sample error of the first rejected row with " (row N)" appended
        (RuntimeError for the core's errors, the conversion's own type otherwise).

    Example
        >>> predict_many(drel_ml.LinearRegression(2, 0.1), [[1.0, 2.0], [3.0, 4.0]])
        array([0., 0.])
    """
@overload
def predict_many(model: _Classifier, X: _Rows) -> _Flags: ...
def predict_proba_many(classifier: _Classifier, X: _Rows) -> _Reals:
    """The probability of True for every row of X, as
    classifier.predict_proba_one(X[i]) would give it.

    Parameters
        classifier: a LogisticRegression or ClassificationPipeline.
        X: the feature vectors, as for learn_many.

    Returns
        A numpy float64 array with one probability per row (a list of float
        without numpy).

    Raises
        As predict_many.

    Example
        >>> predict_proba_many(drel_ml.LogisticRegression(2, 0.1), [[1.0, 2.0]])
        array([0.5])
    """
def transform_many(scaler: drel_ml.StandardScaler, X: _Rows) -> _Reals:
    """Scale every row of X, as scaler.transform_one(X[i]) would.

    Parameters
        scaler: a StandardScaler.
        X: the feature vectors, as for learn_many.

    Returns
        A 2-D numpy float64 array of shape (rows, scaler's feature count); without
        numpy, a list of lists of float.

    Raises
        As predict_many.

    Example
        >>> s = drel_ml.StandardScaler(2)
        >>> learn_many(s, [[1.0, 10.0], [3.0, 30.0]])
        >>> transform_many(s, [[2.0, 20.0], [3.0, 30.0]])
        array([[0., 0.],
               [1., 1.]])
    """
def update_many(statistic: drel_ml.Mean | drel_ml.EWMean | drel_ml.Variance, xs: _Column) -> None:
    """Update the statistic with every value of xs in order, as
    statistic.update(x) would.

    Parameters
        statistic: a Mean, EWMean or Variance.
        xs: the values: a 1-D buffer of numbers or any iterable of real numbers.

    Returns
        None.

    Raises
        All or nothing, as learn_many: the one-sample error with " (row N)"
        appended, and the statistic left as it was.

    Example
        >>> v = drel_ml.Variance("sample")
        >>> update_many(v, [2, 4, 4, 4, 5, 5, 7, 9])
        >>> v.value
        4.571428571428571
    """

# ---- many objects by key (ext/bulk_by_key.cpp) -------------------------------------

# offsets: a 1-D buffer of integers or an iterable of ints.
_Offsets: TypeAlias = Buffer | Iterable[int]
_Statistic: TypeAlias = drel_ml.Mean | drel_ml.EWMean | drel_ml.Variance

def learn_many_by_key(
    objects: list[_Model] | tuple[_Model, ...]
    | list[drel_ml.StandardScaler] | tuple[drel_ml.StandardScaler, ...],
    X: _Rows,
    y: _Column | None,
    offsets: _Offsets,
    /,
) -> None:
    """Train many objects in one call: rows offsets[k]:offsets[k + 1] of X (and y)
    go to objects[k], in order.

    Each object ends exactly as learn_many(objects[k], X[offsets[k]:offsets[k + 1]],
    y[offsets[k]:offsets[k + 1]]) leaves it; X and y are converted once, as
    learn_many converts them, and the interpreter lock is released while the
    core runs.

    Parameters
        objects: a list or tuple of distinct objects of one class: LinearRegression,
            LogisticRegression, RegressionPipeline, ClassificationPipeline or
            StandardScaler.
        X: the feature vectors, grouped by key, as learn_many takes them.
        y: the targets, as learn_many takes them; None for StandardScaler.
        offsets: len(objects) + 1 row positions (a 1-D int64 array or any
            iterable of integers), from 0 to the number of rows, never decreasing.

    Returns
        None.

    Raises
        All or nothing for the whole call: when any row is rejected, every object
        is left as it was. A core error is RuntimeError with " (row N, objects[k])"
        appended, N counting rows of X; a conversion error is raised as
        learn_many raises it. The same object twice, offsets of the wrong length,
        not starting at 0, decreasing or not ending at the number of rows:
        ValueError. Objects of another class than objects[0]: TypeError. Every
        object is borrowed for the whole call (RuntimeError "Already borrowed
        (objects[k])" when one is in use).

    Example
        >>> a, b = drel_ml.LinearRegression(1, 0.1), drel_ml.LinearRegression(1, 0.1)
        >>> learn_many_by_key([a, b], [[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0], [0, 2, 3])
        >>> a.samples_seen, b.samples_seen
        (2, 1)
    """
def update_many_by_key(
    statistics: list[_Statistic] | tuple[_Statistic, ...],
    xs: _Column,
    offsets: _Offsets,
    /,
) -> None:
    """Update many statistics in one call: values offsets[k]:offsets[k + 1] of xs go
    to statistics[k], in order, exactly as update_many would feed them.

    Parameters
        statistics: a list or tuple of distinct objects of one class: Mean, EWMean
            or Variance.
        xs: the values, grouped by key, as update_many takes them.
        offsets: len(statistics) + 1 positions, as for learn_many_by_key.

    Returns
        None.

    Raises
        As learn_many_by_key: all or nothing for the whole call, a core error with
        " (row N, statistics[k])" appended.

    Example
        >>> a, b = drel_ml.Mean(), drel_ml.Mean()
        >>> update_many_by_key((a, b), [1.0, 3.0, 10.0], [0, 2, 3])
        >>> a.value, b.value
        (2.0, 10.0)
    """

def learn_each(
    models: list[_Regressor] | tuple[_Regressor, ...] | list[_Classifier] | tuple[_Classifier, ...],
    x: Buffer | Iterable[Any],
    ys: list[Any] | tuple[Any, ...],
    /,
) -> None:
    """One sample learned by many models of one class: models[k] learns x with
    target ys[k], by every model or, when one refuses it, by none.

    For the models of a one-versus-rest classifier, or for one pipeline, whose
    own learn_one keeps in its scaler a sample its model refuses. The models are
    LinearRegression, LogisticRegression, RegressionPipeline or
    ClassificationPipeline objects, distinct, all of one class; x is converted
    once, as learn_one converts it.

    Raises
        The refusing model's own error, as its learn_one raises it, with every
        model left as it was (a pipeline's scaler included). Targets of another
        number than the models: ValueError.
    """

# ---- merging (ext/merge.cpp) ---------------------------------------------------

def merge(a: _Mergeable, b: _Mergeable) -> _Mergeable: ...
def merge_from(start: _Mergeable, a: _Mergeable, b: _Mergeable) -> _Mergeable: ...

# ---- progressive validation (ext/progressive.cpp; drel_ml_ext.progressive_validation) ----

def _progressive_validation(
    model: Any,
    X: Any,
    y: Any,
    metrics: tuple[Any, ...],
    period: int,
    counts: tuple[int, ...],
    delay: int,
    /,
) -> tuple[Any, list[int], list[list[float | None]]]: ...

# ---- progressive validation by key (ext/progressive_by_key.cpp; drel_ml_ext.dask) ----

def _progressive_validation_by_key(
    models: list[Any] | tuple[Any, ...],
    X: Any,
    y: Any,
    offsets: Any,
    metrics: tuple[tuple[Any, ...], ...],
    delay: int,
    /,
) -> Any: ...

# ---- metrics (ext/metric_classes.cpp) -----------------------------------------


class _Metric:
    @property
    def value(self) -> float | None:
        """The metric's value, or None while it is undefined (no samples yet; for ROCAUC, until both classes have been seen)."""
    @property
    def count(self) -> int:
        """The number of samples scored."""
    def update_many(self, y_true: _Column, y_pred: _Column) -> None:
        """Scores two equally long arrays or iterables pair by pair, as update does, without the interpreter lock; all or nothing: a refused pair names its row."""
    def to_json(self) -> str: ...

class MAE(_Metric):
    """Mean absolute error: the mean of ``|y_true - y_pred|`` over the samples seen."""

    def __init__(self) -> None: ...
    def update(self, y_true: float, y_pred: float) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: MAE) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> MAE: ...

class MSE(_Metric):
    """Mean squared error: the mean of ``(y_true - y_pred)**2`` over the samples seen."""

    def __init__(self) -> None: ...
    def update(self, y_true: float, y_pred: float) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: MSE) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> MSE: ...

class RMSE(_Metric):
    """Root mean squared error: the square root of :class:`MSE`'s value."""

    def __init__(self) -> None: ...
    def update(self, y_true: float, y_pred: float) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: RMSE) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> RMSE: ...

class R2(_Metric):
    """Coefficient of determination: 1 minus the mean squared error over the targets' population variance."""

    def __init__(self) -> None: ...
    def update(self, y_true: float, y_pred: float) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: R2) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> R2: ...

class Accuracy(_Metric):
    """The share of bool predictions equal to their truths."""

    def __init__(self) -> None: ...
    def update(self, y_true: bool, y_pred: bool) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: Accuracy) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> Accuracy: ...

class Precision(_Metric):
    """True positives over predicted positives (0.0 while nothing was predicted positive)."""

    def __init__(self) -> None: ...
    def update(self, y_true: bool, y_pred: bool) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: Precision) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> Precision: ...

class Recall(_Metric):
    """True positives over actual positives (0.0 while no truth was positive)."""

    def __init__(self) -> None: ...
    def update(self, y_true: bool, y_pred: bool) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: Recall) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> Recall: ...

class F1(_Metric):
    """The harmonic mean of precision and recall, from the same confusion counts."""

    def __init__(self) -> None: ...
    def update(self, y_true: bool, y_pred: bool) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: F1) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> F1: ...

class LogLoss(_Metric):
    """Mean binary cross-entropy of predicted probabilities of the positive class, each clamped to [1e-15, 1 - 1e-15]."""

    def __init__(self) -> None: ...
    def update(self, y_true: bool, y_pred: float) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: LogLoss) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> LogLoss: ...

class ROCAUC(_Metric):
    """Area under the ROC curve, exact over every score seen, ties counted as one half."""

    def __init__(self) -> None: ...
    def update(self, y_true: bool, y_pred: float) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: ROCAUC) -> None:
        """Adds the samples `other` has seen, as if this metric had seen them after its own; `other` is unchanged."""
    @staticmethod
    def from_json(json: str) -> ROCAUC: ...

class Rolling(_Metric):
    """Any metric above over the last ``window`` samples only; a sample leaving the window is undone exactly."""

    def __init__(self, metric: MAE | MSE | RMSE | R2 | Accuracy | Precision | Recall | F1 | LogLoss | ROCAUC, window: int) -> None: ...
    @property
    def window(self) -> int:
        """The most samples the window holds."""
    @property
    def metric(self) -> str:
        """The name of the metric's class, e.g. 'MAE'."""
    def update(self, y_true: float | bool, y_pred: float | bool) -> None:
        """Scores one prediction against its truth; a refused pair changes nothing."""
    def merge(self, other: Rolling) -> None:
        """The window of `other`'s stream continuing this one's: its samples come after these, and the last `window` of both remain."""
    @staticmethod
    def from_json(json: str) -> Rolling: ...

# ---- feature hashing (ext/feature_hasher.cpp) ------------------------------

class FeatureHasher:
    """Maps named features to ``n_features`` columns by 32-bit MurmurHash3 (seed 0).

    A name goes to column ``|h| mod n_features``, ``h`` the hash of its UTF-8
    bytes. A string value ``v`` of feature ``f`` becomes the feature ``"f=v"``
    with value 1, so categorical fields need no vocabulary; a zero value adds
    nothing; names that land on one column in one row are summed. Indices, signs
    and sums are those of scikit-learn's ``FeatureHasher`` with the same settings.

    Args:
        n_features: the number of columns, in [1, 2**31 - 1].
        input_type: ``"dict"`` (a mapping from name to value), ``"pair"`` (an
            iterable of ``(name, value)`` pairs) or ``"string"`` (an iterable
            of names, each with value 1).
        alternate_sign: negate a value whose name hashes below 0, so that
            collisions cancel on average.

    Raises:
        ValueError: a NaN or infinite value, or a setting out of range.
        TypeError: a value that is neither a real number nor a string, or a
            name that is not ``str`` or ``bytes``.

    Example:
        >>> from drel_ml_ext import FeatureHasher
        >>> hasher = FeatureHasher(8)
        >>> row = hasher.transform_one({"device": "ios", "amount": 2.5})
        >>> len(row), sorted(abs(float(v)) for v in row if v)
        (8, [1.0, 2.5])
    """

    def __init__(
        self, n_features: int, *, input_type: str = "dict", alternate_sign: bool = True
    ) -> None: ...
    @property
    def n_features(self) -> int:
        """The number of columns."""
    @property
    def input_type(self) -> str:
        """``"dict"``, ``"pair"`` or ``"string"``."""
    @property
    def alternate_sign(self) -> bool:
        """Whether a hash's sign flips the value."""
    def transform_one(self, x: Any, /) -> Any:
        """One sample as a dense row of ``n_features`` floats, ready for a model's ``learn_one``.

        A numpy array when numpy is installed, else a list.
        """
    def transform_many(self, X: Iterable[Any], /) -> Any:
        """Samples as a ``scipy.sparse.csr_matrix`` of shape ``(n_samples, n_features)``.

        Its entries are sorted and summed, the matrix scikit-learn's hasher gives;
        without scipy, a list of dense rows. A refused sample raises with its
        number in a note.
        """

# ---- one hashed sample through a bare model (ext/hashed_steps.cpp) ---------------

class HashedSteps:
    """A bare model's one-sample calls on dicts hashed by ``hasher``, over their non-zeros."""

    def __init__(self, hasher: FeatureHasher, *, text_names: bool = False) -> None: ...
    @property
    def hasher(self) -> FeatureHasher: ...
    def learn_one(
        self, model: drel_ml.LinearRegression | drel_ml.LogisticRegression, x: Any,
        y: float | bool,
    ) -> None: ...
    def learn_each(
        self,
        models: Sequence[drel_ml.LinearRegression] | Sequence[drel_ml.LogisticRegression],
        x: Any,
        ys: Sequence[float] | Sequence[bool],
    ) -> None: ...
    @overload
    def predict_one(self, model: drel_ml.LinearRegression, x: Any) -> float: ...
    @overload
    def predict_one(self, model: drel_ml.LogisticRegression, x: Any) -> bool: ...
    def predict_proba_one(self, model: drel_ml.LogisticRegression, x: Any) -> float: ...

# ---- fixed names (ext/named_columns.cpp) ----------------------------------------

class NamedColumns:
    """Dict samples as rows whose columns are named (river's adapters)."""

    def __init__(self, columns: dict[str, int], refuse_unknown: bool) -> None: ...
    @property
    def width(self) -> int: ...
    def row(self, x: Any, /) -> Any: ...

# ---- binary state (ext/state_bytes.cpp) ------------------------------------------

_Stateful: TypeAlias = (
    drel_ml.Mean
    | drel_ml.Variance
    | drel_ml.EWMean
    | drel_ml.StandardScaler
    | drel_ml.LinearRegression
    | drel_ml.LogisticRegression
    | drel_ml.RegressionPipeline
    | drel_ml.ClassificationPipeline
)

def to_bytes(obj: _Stateful, /) -> bytes:
    """The state of a drel_ml object as bytes: its raw values and settings.

    The compact form pickles use, read back by from_bytes. The layout is
    versioned and little-endian on every machine; it is meant for moving
    states between processes of one version, not for keeping them:
    keep to_json text for that.

    Raises TypeError when obj is not one of drel_ml's eight stateful objects.
    """
def from_bytes(data: Buffer, /) -> _Stateful:
    """A new drel_ml object from bytes that to_bytes wrote; its class is read
    from the bytes.

    The values are checked as from_json checks a snapshot (reals finite,
    a scaler's lengths and counts consistent, the format version), and
    besides the header, the length and every flag and variant byte.

    Raises TypeError when data is not bytes-like, RuntimeError naming the
    field and byte offset when the bytes are refused.
    """
def assign_state(obj: _Stateful, data: Buffer, /) -> None:
    """Puts the state that to_bytes wrote into obj, in place; the bytes must
    hold the state of an object of obj's class.

    The bytes are checked whole, as from_bytes checks them, before obj
    changes: a refused call leaves obj as it was. For undoing steps on an
    object that others hold references to.

    Raises TypeError when obj is not one of drel_ml's eight stateful objects
    or data is not bytes-like, RuntimeError naming the field and byte offset
    when the bytes are refused, another class's state among them.
    """

# ---- snapshot records (ext/record_keys.cpp) -----------------------------------

def record_keys() -> dict[str, tuple[str, ...]]: ...
