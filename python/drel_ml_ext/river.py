"""river's dict API over drel_ml's models, pipelines and scaler.

Needs river (``pip install 'drel_ml[river]'``); importing :mod:`drel_ml_ext` itself never
imports it.

- :class:`LinearRegressor`: a ``river.base.Regressor`` over ``LinearRegression`` (or a
  ``RegressionPipeline`` when ``scale`` is true).
- :class:`LogisticClassifier`: a ``river.base.Classifier`` over ``LogisticRegression`` (or a
  ``ClassificationPipeline``); boolean labels use one model, any other labels one model per
  class, one versus the rest.
- :class:`StandardScaler`: a ``river.base.Transformer`` over ``StandardScaler``.

A sample ``x`` is a dict. It becomes the row a drel_ml model takes in one of two ways:

- ``features=None`` (the default): the hashing trick, through :class:`drel_ml_ext.FeatureHasher`
  with ``n_features`` columns. Any name fits (a name that is not a string is hashed as
  ``str(name)``); a string value ``v`` of feature ``f`` is the feature ``"f=v"`` with value 1.
- ``features=("a", "b", ...)``: a fixed list of names, one column each. A missing name is 0.0; a
  name outside the list is ignored, or refused with a ``KeyError`` when ``unknown="error"``. A
  string value ``v`` of feature ``f`` sets the column named ``"f=v"`` to 1.

Adapters pickle (and river's ``clone`` and ``copy.deepcopy`` work) through the drel_ml object's
binary state (:func:`drel_ml_ext.to_bytes`), bit for bit.

>>> from drel_ml_ext.river import LogisticClassifier
>>> model = LogisticClassifier(learning_rate=0.5, n_features=64)
>>> for _ in range(20):
...     model.learn_one({"colour": "red", "size": 1.0}, True)
...     model.learn_one({"colour": "blue", "size": 1.0}, False)
>>> model.predict_one({"colour": "red", "size": 1.0})
True
"""

from __future__ import annotations

import math
import sys
from collections.abc import Hashable, Mapping
from typing import Any, ClassVar, cast

from drel_ml_ext._extras import missing_extra

try:
    from river import base
except ModuleNotFoundError as error:
    raise missing_extra(__name__, "river", "river", error) from error

import drel_ml_ext as _ext
from drel_ml_ext import _native, _one_call
from drel_ml_ext._native import HashedSteps
from drel_ml_ext._config import OPTIMIZER_KEYWORDS

__all__ = ["LinearRegressor", "LogisticClassifier", "StandardScaler"]


class _Rows:
    """Turns a dict into a row: by a fixed list of names, or by the hasher, in one native call."""

    # A bare model's calls on a hashed dict, over the row's non-zeros (hashed rows only).
    steps: HashedSteps

    def __init__(self, features: tuple[str, ...] | None, n_features: int, unknown: str,
                 alternate_sign: bool) -> None:
        if unknown not in ("ignore", "error"):
            raise ValueError(f"`unknown` must be 'ignore' or 'error', got {unknown!r}")
        self.hasher = None
        self.columns: dict[str, int] = {}
        if features is None:
            self.hasher = _ext.FeatureHasher(n_features, alternate_sign=alternate_sign)
            self.width = n_features
        else:
            if isinstance(cast(object, features), (str, bytes)):  # despite the annotation
                # Its letters would be the names.
                raise TypeError(f"`features` must be a sequence of names, such as "
                                f"({features!r},), not one {type(features).__name__}")
            for name in features:
                # A sample's names are matched as they are: 0 would never meet the column "0".
                if not isinstance(cast(object, name), str):
                    raise TypeError(
                        f"`features` must hold names of type str, got {name!r} "
                        f"({type(name).__name__}); for samples keyed by numbers (another "
                        f"transformer's columns), leave `features` out: hashed names may be "
                        f"anything")
            self.columns = {str(name): i for i, name in enumerate(features)}
            if len(self.columns) != len(features) or not features:
                raise ValueError("`features` must be a non-empty sequence of distinct names")
            self.width = len(features)
        self.refuse_unknown = unknown == "error"
        self._start()

    def _start(self) -> None:
        self._named: _native.NamedColumns | None = None
        if self.hasher is None:
            self._named = _native.NamedColumns(self.columns, self.refuse_unknown)
        else:
            self.steps = HashedSteps(self.hasher, text_names=True)

    # The native objects are rebuilt from the settings, also for rows pickled before they
    # existed.
    def __getstate__(self) -> dict[str, Any]:
        return {k: v for k, v in self.__dict__.items() if k not in ("_named", "steps")}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._start()

    def row(self, x: Mapping[Hashable, Any]) -> Any:
        if self.hasher is None:
            return cast("_native.NamedColumns", self._named).row(x)
        try:
            return self.hasher.transform_one(x)
        except TypeError:
            if not hasattr(x, "items") or all(isinstance(name, str) for name, _ in x.items()):
                raise
            # Another transformer's output may be keyed by numbers (HashedSteps' text_names).
            return self.hasher.transform_one({str(name): v for name, v in x.items()})

    def names(self) -> list[Any]:
        """The name of each column: its feature name, or its index when hashed."""
        if self.hasher is not None:
            return list(range(self.width))
        return list(self.columns)


class _Adapter(base.Estimator):
    """Settings, the row mapping and the drel_ml object the adapters share."""

    _model_factory: ClassVar[str]
    _pipeline_factory: ClassVar[str]
    # Set per adapter; False for one pickled before it existed, whose rows stay dense.
    _sparse: bool = False

    def __init__(self, *, features: tuple[str, ...] | None = None, n_features: int = 2**10,
                 unknown: str = "ignore", alternate_sign: bool = True,
                 learning_rate: float = 0.01, optimizer: str = "sgd", l2: float = 0.0,
                 adagrad_epsilon: float = 1e-8, scale: bool = True) -> None:
        self.features = features
        self.n_features = n_features
        self.unknown = unknown
        self.alternate_sign = alternate_sign
        self.learning_rate = learning_rate
        self.optimizer = optimizer
        self.l2 = l2
        self.adagrad_epsilon = adagrad_epsilon
        self.scale = scale
        self._rows = _Rows(features, n_features, unknown, alternate_sign)
        # A bare model takes a hashed dict as its non-zeros; the scaler updates every column.
        self._sparse = features is None and not scale
        self._start()

    def _start(self) -> None:
        """Fresh learned state, from the settings (which it checks)."""
        raise NotImplementedError

    def _new_model(self) -> Any:
        factory = self._pipeline_factory if self.scale else self._model_factory
        return getattr(_ext, factory)(self._rows.width, **self._optimizer_settings())

    def _optimizer_settings(self) -> dict[str, Any]:
        return {"optimizer": self.optimizer,
                **{keyword: getattr(self, keyword) for keyword in OPTIMIZER_KEYWORDS}}

    @classmethod
    def _unit_test_params(cls) -> Any:
        yield {}
        yield {"n_features": 64, "scale": False, "optimizer": "adagrad"}


class LinearRegressor(_Adapter, base.Regressor):
    """Linear regression learned one dict at a time, in drel_ml's core.

    Parameters
    ----------
    features : tuple of str, optional
        Fixed names, one column each; ``None`` hashes the names instead.
    n_features : int, default 1024
        Columns of the hasher (used when ``features`` is ``None``).
    unknown : {"ignore", "error"}, default "ignore"
        What a name outside ``features`` does.
    alternate_sign : bool, default True
        The hasher's sign trick.
    learning_rate : float, default 0.01
    optimizer : {"sgd", "adagrad"}, default "sgd"
    l2 : float, default 0.0
    adagrad_epsilon : float, default 1e-8
    scale : bool, default True
        Put drel_ml's standard scaler in front of the model (a ``RegressionPipeline``). Its
        statistics cover every column, so a hashed row then costs ``n_features`` whatever
        its non-zeros; without it, the model reads a hashed row's non-zeros only (when
        ``l2`` is 0), with the same results.
    loss : {"squared", "huber"}, default "squared"
    huber_delta : float, default 1.0

    Attributes
    ----------
    model : drel_ml.LinearRegression or drel_ml.RegressionPipeline
        The learned object.
    """

    _model_factory = "linear_regression"
    _pipeline_factory = "regression_pipeline"

    def __init__(self, *, features: tuple[str, ...] | None = None, n_features: int = 2**10,
                 unknown: str = "ignore", alternate_sign: bool = True,
                 learning_rate: float = 0.01, optimizer: str = "sgd", l2: float = 0.0,
                 adagrad_epsilon: float = 1e-8, scale: bool = True, loss: str = "squared",
                 huber_delta: float = 1.0) -> None:
        self.loss = loss
        self.huber_delta = huber_delta
        super().__init__(features=features, n_features=n_features, unknown=unknown,
                         alternate_sign=alternate_sign, learning_rate=learning_rate,
                         optimizer=optimizer, l2=l2, adagrad_epsilon=adagrad_epsilon,
                         scale=scale)

    def _start(self) -> None:
        self.model = self._new_model()

    def _new_model(self) -> Any:
        settings = {"loss": self.loss, "huber_delta": self.huber_delta}
        factory = self._pipeline_factory if self.scale else self._model_factory
        return getattr(_ext, factory)(self._rows.width, **self._optimizer_settings(), **settings)

    def learn_one(self, x: dict[Any, Any], y: float) -> None:
        # The target goes to drel_ml as it is, converted by its own rules: a str such as
        # "3.0" is refused there, as a model's learn_one refuses it.
        if not self._sparse:
            (_learn_whole if self.scale else _learn)(self.model, self._rows.row(x), y)
            return
        self._rows.steps.learn_one(self.model, x, y)

    def predict_one(self, x: dict[Any, Any]) -> float:
        prediction: float
        if not self._sparse:
            prediction = self.model.predict_one(self._rows.row(x))
            return prediction
        prediction = self._rows.steps.predict_one(self.model, x)
        return prediction


class LogisticClassifier(_Adapter, base.Classifier):
    """Logistic regression learned one dict at a time, in drel_ml's core.

    Boolean labels (``True``/``False``, numpy's included) train one binary model, and
    ``predict_proba_one`` gives ``{False: p, True: q}``. Any other labels train one model
    per class seen, one versus the rest, each on every sample; their probabilities are
    normalised to sum to 1, as scikit-learn's one-versus-rest does. A class first seen late
    starts from a fresh model. A sample is learned by every class's model or, when one of
    them refuses it, by none. Before any sample, ``predict_proba_one`` gives ``{}``. A
    label must be hashable and equal to itself (a NaN is refused). A ``learn_one`` called
    while another runs on the same classifier (from a label's ``__eq__`` or ``__hash__``,
    a value's ``__float__``, or another thread) is refused with a ``RuntimeError``.

    Parameters are those of :class:`LinearRegressor` without ``loss`` and ``huber_delta``.

    Attributes
    ----------
    models : dict
        The drel_ml object of each class (``{True: model}`` for boolean labels).
    """

    _model_factory = "logistic_regression"
    _pipeline_factory = "classification_pipeline"

    def _start(self) -> None:
        self._new_model()  # settings are checked now, not at the first sample
        self.models: dict[Any, Any] = {}
        self._boolean: bool | None = None  # decided by the first label

    @property
    def _multiclass(self) -> bool:
        return True

    @staticmethod
    def _is_boolean(y: Any) -> bool:
        # numpy's own boolean type, never a class that only bears its name; numpy not
        # imported yet means y cannot be one.
        numpy = sys.modules.get("numpy")
        return isinstance(y, bool) or (numpy is not None and isinstance(y, numpy.bool_))

    def learn_one(self, x: dict[Any, Any], y: Any) -> None:
        if self._boolean and self._sparse and (y is True or y is False) and True in self.models:
            # The usual sample of a bare binary model, as below, with less Python on the way.
            # Its model is in place already, so a call from inside it (a feature's
            # conversion) cannot be lost: the core takes both samples, as a model's own
            # learn_one does.
            self._rows.steps.learn_one(self.models[True], x, y)
            return
        # A label's __eq__ or __hash__, or a feature's conversion, may call this classifier
        # again; what such a call learned would be lost when this one puts its classes in
        # place.
        key = _one_call.enter(self, "learn_one", "classifier is learning another sample")
        try:
            self._learn_one(x, y)
        finally:
            _one_call.leave(key)

    def _learn_one(self, x: dict[Any, Any], y: Any) -> None:
        boolean = self._is_boolean(y)
        if self._boolean is not None and boolean != self._boolean:
            raise ValueError(
                f"{type(self).__name__}: label {y!r} mixes boolean and other labels"
            )
        learn, sample = self._calls(x, "learn_one")
        if boolean:
            learn = _learn_whole if self.scale else learn
            model = self.models.get(True) or self._new_model()
            learn(model, sample, bool(y))
            self.models[True] = model
            self._boolean = True
        else:
            _check_label(self, y)
            models = dict(self.models)
            fresh = None
            if y not in models:
                models[y] = fresh = self._new_model()
            # Every class learns the sample, positive for its own label; all or none. A
            # label's __eq__ is read for its truth, as the dict's lookup reads it.
            ys = [bool(label == y) for label in models]
            try:
                if self._sparse:
                    self._rows.steps.learn_each(tuple(models.values()), x, ys)
                else:
                    _native.learn_each(tuple(models.values()), sample, ys)
            finally:
                # Ctrl-C is raised once the native call has returned: the other classes
                # took the sample then, so the new class that took it too is kept.
                if fresh is None or fresh.samples_seen:
                    self.models = models
                    self._boolean = False

    def predict_proba_one(self, x: dict[Any, Any], **kwargs: Any) -> dict[Any, float]:
        if not self.models:
            return {}
        if self._boolean:
            model = self.models[True]
            if self._sparse:
                p = self._rows.steps.predict_proba_one(model, x)
            else:
                p = model.predict_proba_one(self._rows.row(x))
            return {False: 1.0 - p, True: p}
        proba, sample = self._calls(x, "predict_proba_one")
        scores = {label: proba(model, sample) for label, model in self.models.items()}
        total = math.fsum(scores.values())
        if total == 0.0:
            return {label: 1.0 / len(scores) for label in scores}
        return {label: score / total for label, score in scores.items()}

    def predict_one(self, x: dict[Any, Any], **kwargs: Any) -> Any:
        if self._boolean and self.models:
            predict, sample = self._calls(x, "predict_one")
            return bool(predict(self.models[True], sample))
        return super().predict_one(x, **kwargs)

    def _calls(self, x: dict[Any, Any], name: str) -> tuple[Any, Any]:
        """(call, sample), where call(model, sample, ...) is model.<name> on the row of x:
        the hashed dict itself for a bare model, else its dense row, made once here."""
        if self._sparse:
            return getattr(self._rows.steps, name), x
        return _DENSE_CALLS[name], self._rows.row(x)


def _check_label(classifier: object, y: Any) -> None:
    """Refuses a label that cannot key a class: one without a hash, or one not equal to
    itself (a NaN), which would start a new class at every sample."""
    try:
        hash(y)
    except TypeError as error:
        raise TypeError(
            f"{type(classifier).__name__}: label {y!r} must be hashable (a str, number, "
            f"bool or tuple), not {type(y).__name__!r}"
        ) from error
    if not y == y:
        raise ValueError(
            f"{type(classifier).__name__}: label {y!r} is not equal to itself (a NaN?), so it "
            f"cannot name a class"
        )


def _learn_whole(model: Any, row: Any, y: Any) -> None:
    """``model.learn_one(row, y)``, all or nothing: a pipeline's own learn_one keeps in its
    scaler a sample that its model then refuses."""
    try:
        _native.learn_each((model,), row, (y,))
    except (TypeError, ValueError) as error:
        notes = getattr(error, "__notes__", None)
        if notes and notes[-1] == "while processing 'ys'":  # the one target: y
            notes[-1] = "while processing 'y'"
        raise


def _learn(model: Any, row: Any, y: Any) -> None:
    model.learn_one(row, y)  # a bare model's step is all or nothing itself


# A model's own call, in the argument order of HashedSteps' calls.
_DENSE_CALLS = {
    "learn_one": _learn,
    "predict_one": lambda model, row: model.predict_one(row),
    "predict_proba_one": lambda model, row: model.predict_proba_one(row),
}


class StandardScaler(_Adapter, base.Transformer):
    """Standardises dicts with running means and variances, in drel_ml's core.

    ``transform_one`` gives a dict keyed by the names in ``features``, or by column index
    when the names are hashed (then only columns whose value is not 0.0 appear).

    Parameters
    ----------
    features : tuple of str, optional
        Fixed names, one column each; ``None`` hashes the names instead.
    n_features : int, default 1024
        Columns of the hasher (used when ``features`` is ``None``).
    unknown : {"ignore", "error"}, default "ignore"
    alternate_sign : bool, default True
    with_mean, with_std : bool, default True
        Centre; divide by the running standard deviation.
    epsilon : float, default 1e-12
        Variance under which a feature is left undivided.

    Attributes
    ----------
    scaler : drel_ml.StandardScaler
    """

    def __init__(self, *, features: tuple[str, ...] | None = None, n_features: int = 2**10,
                 unknown: str = "ignore", alternate_sign: bool = True, with_mean: bool = True,
                 with_std: bool = True, epsilon: float = 1e-12) -> None:
        self.features = features
        self.n_features = n_features
        self.unknown = unknown
        self.alternate_sign = alternate_sign
        self.with_mean = with_mean
        self.with_std = with_std
        self.epsilon = epsilon
        self._rows = _Rows(features, n_features, unknown, alternate_sign)
        self.scaler = _ext.standard_scaler(self._rows.width, with_mean=with_mean,
                                           with_std=with_std, epsilon=epsilon)

    @classmethod
    def _unit_test_params(cls) -> Any:
        yield {}
        yield {"n_features": 64, "with_mean": False}

    def learn_one(self, x: dict[Any, Any]) -> None:
        self.scaler.learn_one(self._rows.row(x))

    def transform_one(self, x: dict[Any, Any]) -> dict[Any, float]:
        values = self.scaler.transform_one(self._rows.row(x))
        names = self._rows.names()
        if self._rows.hasher is None:
            return dict(zip(names, values))
        return {name: value for name, value in zip(names, values) if value != 0.0}

