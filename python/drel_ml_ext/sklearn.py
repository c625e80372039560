"""scikit-learn estimators over drel_ml's models, pipelines and scaler.

Needs scikit-learn 1.6 or newer (``pip install 'drel_ml[sklearn]'``); importing
:mod:`drel_ml_ext` itself never imports it.

- :class:`OnlineLinearRegressor`: a ``LinearRegression``, or a ``RegressionPipeline``
  (a standard scaler in front of it) when ``scale`` is true.
- :class:`OnlineLogisticClassifier`: the same over ``LogisticRegression`` and
  ``ClassificationPipeline``, for any labels (one model per class, one versus the rest,
  beyond two).
- :class:`OnlineStandardScaler`: a transformer over ``StandardScaler``.
- :class:`ColumnHasher`: a transformer that hashes a frame's columns, categorical ones
  included, into a fixed number of columns.

``fit`` starts from a fresh object and passes over the data ``epochs`` times, in
order; ``partial_fit`` continues from the current state with one pass. Both run
through the bulk functions (``learn_many``), so a whole array costs one call into
the core, and a rejected array leaves the fitted object as it was. The fitted
``drel_ml`` object is the attribute ``model_`` (``scaler_`` for the transformer);
the learned attributes are read from it by drel_ml_ext's readers. Fitted estimators
pickle (and go through joblib) bit for bit: the drel_ml object travels as its binary
state (:func:`drel_ml_ext.to_bytes`), through the pickling support that importing
drel_ml_ext registers.

>>> import numpy as np
>>> from drel_ml_ext.sklearn import OnlineLinearRegressor
>>> X = np.array([[0.0, 1.0], [1.0, 0.0], [1.0, 1.0], [2.0, 1.0]] * 50)
>>> y = X @ [2.0, -1.0] + 0.5
>>> regressor = OnlineLinearRegressor(learning_rate=0.05, epochs=5).fit(X, y)
>>> regressor.score(X, y) > 0.99
True
"""

from __future__ import annotations

import copy
import numbers
from collections.abc import Callable, Sequence
from typing import Any, ClassVar, Literal, Self, TypeVar, cast

from drel_ml_ext._extras import missing_extra

try:
    import numpy as np
    import numpy.typing as npt
    from sklearn.base import (
        BaseEstimator,
        ClassifierMixin,
        OneToOneFeatureMixin,
        RegressorMixin,
        TransformerMixin,
    )
    from sklearn.utils import Tags
    from sklearn.utils.multiclass import check_classification_targets
    from sklearn.utils.validation import check_is_fitted, validate_data
except ModuleNotFoundError as error:
    raise missing_extra(__name__, "scikit-learn and numpy", "sklearn", error) from error
except ImportError as error:  # pragma: no cover - depends on the installed version
    raise ImportError(
        "drel_ml_ext.sklearn needs scikit-learn 1.6 or newer: "
        "python3 -m pip install 'drel_ml[sklearn]'"
    ) from error

import drel_ml_ext as _ext
from drel_ml_ext._classes import PIPELINES
from drel_ml_ext._fit_input import commit as _commit
from drel_ml_ext._fit_input import noting_input, on_stand_in
from drel_ml_ext._one_call import one_at_a_time
from drel_ml_ext._config import OPTIMIZER_KEYWORDS, OPTIMIZERS, OptimizerName, choices_text

from drel_ml_ext._column_hasher import ColumnHasher  # noqa: E402

__all__ = ["ColumnHasher", "OnlineLinearRegressor", "OnlineLogisticClassifier",
           "OnlineStandardScaler"]

FloatArray = npt.NDArray[np.float64]
Optimizer = OptimizerName
RegressionLoss = Literal["squared", "huber"]


# --- settings -------------------------------------------------------------------------------


def _require(estimator: object, name: str, ok: bool, expected: str, value: object) -> None:
    if not ok:
        raise ValueError(
            f"{type(estimator).__name__}: parameter `{name}` must be {expected}, got {value!r}"
        )


def _is_flag(value: object) -> bool:
    return isinstance(value, (bool, np.bool_))


def _check_flags(estimator: object, names: Sequence[str]) -> None:
    for name in names:
        value = getattr(estimator, name)
        _require(estimator, name, _is_flag(value), "True or False", value)


def _check_epochs(estimator: object, epochs: object) -> int:
    if isinstance(epochs, numbers.Integral) and not _is_flag(epochs) and int(epochs) >= 1:
        return int(epochs)
    raise ValueError(f"{type(estimator).__name__}: parameter `epochs` must be an integer of "
                     f"at least 1, got {epochs!r}")


def _build(estimator: object, factory: Callable[..., Any], n_features: int, **settings: Any) -> Any:
    """A fresh drel_ml object from a drel_ml_ext factory; the core's refusal of a setting
    (a learning rate of 0, a negative l2, ...) becomes the ValueError scikit-learn expects."""
    try:
        return factory(n_features, **settings)
    except (RuntimeError, TypeError, OverflowError) as error:
        raise ValueError(f"{type(estimator).__name__}: invalid settings: {_noted(error)}") from error


def _noted(error: BaseException) -> str:
    """An error's text with its notes (which name the setting refused)."""
    notes = getattr(error, "__notes__", [])
    return f"{error} ({'; '.join(notes)})" if notes else str(error)


# --- calls into scikit-learn's validation and drel_ml's core --------------------------------

# The core checks every value of X (and y) before it learns or predicts, and a bulk call that
# refuses a row changes nothing; so the estimators leave finiteness to it rather than pass
# over the data once more, and turn its refusal of a NaN or infinite input into the
# ValueError scikit-learn raises. Every other error of the core stays a RuntimeError.
_NON_FINITE_INPUT = ("non-finite value for `feature`", "non-finite value for `target`")
_T = TypeVar("_T")


def _core(operation: Callable[..., _T], *args: Any) -> _T:
    try:
        return operation(*args)
    except RuntimeError as error:
        if str(error).startswith(_NON_FINITE_INPUT):
            raise ValueError(str(error)) from error
        raise


def _validate(estimator: Any, X: Any, y: Any = "no_validation", *, reset: bool,
              **options: Any) -> Any:
    """scikit-learn's validation of X (and y) as float64 rows, finiteness left to the core.
    The linear models take CSR and CSC matrices as they are (other sparse formats become
    CSR): the bulk functions read them natively."""
    if getattr(estimator, "_reads_sparse", False):
        options.setdefault("accept_sparse", ("csr", "csc"))
    return noting_input(lambda: validate_data(estimator, X, y, reset=reset, dtype=np.float64,
                                              ensure_all_finite=False, **options), X)


# --- a refused call changes nothing -----------------------------------------------------------

# Validation runs the data's own code (a label's __eq__ while classes are found, a value's
# __float__), which may fit the same estimator again; a fit made in there would be
# overwritten by the outer one, so it is refused.
_alone = one_at_a_time("estimator is fitting")

def _validate_input(estimator: Any, X: Any, y: Any = "no_validation", *, reset: bool,
                    **options: Any) -> tuple[Any, dict[str, Any]]:
    """The validated data of a fit or partial_fit, and the input attributes it is to record
    once it succeeds. With ``reset`` the validation records them on a stand-in."""
    if not reset:
        return _validate(estimator, X, y, reset=False, **options), {}
    return on_stand_in(estimator, lambda e: _validate(e, X, y, reset=True, **options))


# --- learned attributes, read by drel_ml_ext's readers ---------------------------------------


def _scaler_statistics(scaler: Any) -> tuple[FloatArray, FloatArray, FloatArray, int]:
    """Running means, population variances, the divisors the scaler applies (1 where a
    feature has no sample yet or a variance under the scaler's floor), and the count."""
    statistics = _ext.scaler_statistics(scaler)
    return (np.asarray(statistics["means"], dtype=np.float64),
            np.asarray(statistics["variances"], dtype=np.float64),
            np.asarray(statistics["scales"], dtype=np.float64),
            statistics["count"])


def _linear_terms(obj: Any) -> tuple[FloatArray, float]:
    """Weights and intercept of the fitted object as a function of the raw features: for a
    pipeline the model's weights are divided by the scaler's divisors and the centring is
    folded into the intercept, so ``X @ coef + intercept`` is the prediction (up to
    rounding)."""
    weights = np.asarray(_ext.weights(obj), dtype=np.float64)
    intercept = _ext.intercept(obj)
    if not isinstance(obj, PIPELINES):
        return weights, intercept
    means, _, scales, _ = _scaler_statistics(obj)
    coef = weights / scales
    if _ext.scaler_settings(obj)["with_mean"]:
        intercept -= float(coef @ means)
    return coef, intercept


# --- the linear estimators -------------------------------------------------------------------


class _OnlineLinearModel(BaseEstimator):  # type: ignore[misc]  # scikit-learn is untyped
    """What the regressor and the classifier share: settings, building, learning, and the
    learned attributes."""

    _model_factory: ClassVar[str]
    _pipeline_factory: ClassVar[str]

    learning_rate: float
    optimizer: Optimizer
    l2: float
    adagrad_epsilon: float
    scale: bool
    with_mean: bool
    with_std: bool
    scaler_epsilon: float
    epochs: int
    model_: Any
    n_features_in_: int

    _reads_sparse = True

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        return tags

    def _model_settings(self) -> dict[str, Any]:
        names = tuple(OPTIMIZERS)
        _require(self, "optimizer", self.optimizer in names, choices_text(names), self.optimizer)
        return {"optimizer": self.optimizer,
                **{keyword: getattr(self, keyword) for keyword in OPTIMIZER_KEYWORDS}}

    def _new_model(self, n_features: int) -> Any:
        """A fresh drel_ml model or pipeline configured by the parameters."""
        _check_flags(self, ("scale", "with_mean", "with_std"))
        settings = self._model_settings()
        if not self.scale:
            return _build(self, getattr(_ext, self._model_factory), n_features, **settings)
        return _build(self, getattr(_ext, self._pipeline_factory), n_features, **settings,
                      with_mean=self.with_mean, with_std=self.with_std,
                      scaler_epsilon=self.scaler_epsilon)

    def _learn(self, X: FloatArray, y: npt.NDArray[Any], attributes: dict[str, Any], *,
               fresh: bool, epochs: int) -> Self:
        """``epochs`` passes over the rows, from a fresh model or the fitted one. A fresh
        model replaces the fitted one, and ``attributes`` are set, only once every pass
        succeeded; each pass over the fitted one is all or nothing."""
        model = self._new_model(X.shape[1]) if fresh else self.model_
        for _ in range(epochs):
            _core(_ext.learn_many, model, X, y)
        _commit(self, {**attributes, "model_": model})
        return self

    def _fit(self, X: FloatArray, y: npt.NDArray[Any], attributes: dict[str, Any]) -> Self:
        return self._learn(X, y, attributes, fresh=True, epochs=_check_epochs(self, self.epochs))

    def _partial_fit(self, X: FloatArray, y: npt.NDArray[Any],
                     attributes: dict[str, Any]) -> Self:
        return self._learn(X, y, attributes, fresh=not hasattr(self, "model_"), epochs=1)

    def _validated_features(self, X: Any) -> FloatArray:
        check_is_fitted(self)
        return cast(FloatArray, _validate(self, X, reset=False))

    @property
    def coef_(self) -> FloatArray:
        """Weights over the raw features, read from ``model_``."""
        check_is_fitted(self)
        return self._shape_coef(_linear_terms(self.model_)[0])

    @property
    def intercept_(self) -> FloatArray:
        """Intercept over the raw features (shape ``(1,)``), read from ``model_``."""
        check_is_fitted(self)
        return np.array([_linear_terms(self.model_)[1]])

    def _shape_coef(self, coef: FloatArray) -> FloatArray:
        return coef


class OnlineLinearRegressor(RegressorMixin, _OnlineLinearModel):  # type: ignore[misc]  # scikit-learn is untyped
    """Linear regression learned online, one gradient step per sample, in drel_ml's core.

    Parameters
    ----------
    learning_rate : float, default 0.01
        Step size, finite and > 0.
    optimizer : {"sgd", "adagrad"}, default "sgd"
        Plain SGD with a constant rate, or AdaGrad's per-weight rate.
    l2 : float, default 0.0
        L2 penalty on the weights (not on the intercept).
    adagrad_epsilon : float, default 1e-8
        Added under AdaGrad's square root.
    loss : {"squared", "huber"}, default "squared"
        The squared error, or Huber's loss (the residual clipped to ``huber_delta``).
    huber_delta : float, default 1.0
        Bound of the Huber loss's residual.
    scale : bool, default True
        Put an online standard scaler in front of the model (a ``RegressionPipeline``).
    with_mean, with_std : bool, default True
        The scaler's centring and scaling (used when ``scale``).
    scaler_epsilon : float, default 1e-12
        Variance under which the scaler leaves a feature undivided.
    epochs : int, default 1
        Passes over the data in ``fit``; ``partial_fit`` makes one.

    Attributes
    ----------
    model_ : drel_ml.RegressionPipeline or drel_ml.LinearRegression
        The fitted object.
    coef_ : ndarray of shape (n_features_in_,)
        The weights over the raw features, the scaler folded in.
    intercept_ : ndarray of shape (1,)
        The intercept over the raw features.
    n_features_in_ : int
    feature_names_in_ : ndarray of str, when fitted on a frame with column names
    """

    _model_factory = "linear_regression"
    _pipeline_factory = "regression_pipeline"

    def __init__(self, *, learning_rate: float = 0.01, optimizer: Optimizer = "sgd",
                 l2: float = 0.0, adagrad_epsilon: float = 1e-8,
                 loss: RegressionLoss = "squared", huber_delta: float = 1.0,
                 scale: bool = True, with_mean: bool = True, with_std: bool = True,
                 scaler_epsilon: float = 1e-12, epochs: int = 1) -> None:
        self.learning_rate = learning_rate
        self.optimizer = optimizer
        self.l2 = l2
        self.adagrad_epsilon = adagrad_epsilon
        self.loss = loss
        self.huber_delta = huber_delta
        self.scale = scale
        self.with_mean = with_mean
        self.with_std = with_std
        self.scaler_epsilon = scaler_epsilon
        self.epochs = epochs

    def _model_settings(self) -> dict[str, Any]:
        _require(self, "loss", self.loss in ("squared", "huber"), "'squared' or 'huber'",
                 self.loss)
        return {**super()._model_settings(), "loss": self.loss, "huber_delta": self.huber_delta}

    def _validated(self, X: Any, y: Any, *,
                   reset: bool) -> tuple[FloatArray, FloatArray, dict[str, Any]]:
        (X, y), attributes = _validate_input(self, X, y, reset=reset, y_numeric=True)
        return X, np.asarray(y, dtype=np.float64), attributes

    @_alone
    def fit(self, X: Any, y: Any) -> Self:
        """Learn from fresh state, ``epochs`` passes over the rows in order."""
        return self._fit(*self._validated(X, y, reset=True))

    @_alone
    def partial_fit(self, X: Any, y: Any) -> Self:
        """One more pass over these rows, continuing from the current state."""
        return self._partial_fit(*self._validated(X, y, reset=not hasattr(self, "model_")))

    def predict(self, X: Any) -> FloatArray:
        """Predictions, one per row."""
        X = self._validated_features(X)
        predictions: FloatArray = _core(_ext.predict_many, self.model_, X)
        return predictions


class OnlineLogisticClassifier(ClassifierMixin, _OnlineLinearModel):  # type: ignore[misc]  # scikit-learn is untyped
    """Logistic regression learned online, one gradient step per sample.

    Any labels are accepted; ``classes_`` holds them sorted. With two classes the second is
    the positive class of one drel_ml model (``True``), and ``predict`` gives it when its
    probability is at least 0.5, as ``predict_one`` does. With more, one binary model per
    class learns that class against the rest (as scikit-learn's ``SGDClassifier`` does),
    each in one bulk pass over the rows; ``predict_proba`` normalises the models'
    probabilities to sum to 1 and ``predict`` gives the most probable class.
    ``partial_fit`` needs ``classes`` on its first call unless that call's ``y`` already
    holds every label.

    Parameters are those of :class:`OnlineLinearRegressor` without ``loss`` and
    ``huber_delta`` (the loss is the log loss); ``scale`` chooses a
    ``ClassificationPipeline`` over a bare ``LogisticRegression``.

    Attributes
    ----------
    model_ : drel_ml.ClassificationPipeline or drel_ml.LogisticRegression
        The fitted object, with two classes.
    models_ : tuple of drel_ml.ClassificationPipeline or drel_ml.LogisticRegression
        One fitted object per class, with more than two.
    classes_ : ndarray of shape (n_classes,)
    coef_ : ndarray of shape (1, n_features_in_) or (n_classes, n_features_in_)
        The weights of each model's logit over the raw features, the scaler folded in.
    intercept_ : ndarray of shape (1,) or (n_classes,)
        The intercept of each model's logit over the raw features.
    n_features_in_ : int
    """

    _model_factory = "logistic_regression"
    _pipeline_factory = "classification_pipeline"
    classes_: npt.NDArray[Any]
    models_: tuple[Any, ...]

    def __init__(self, *, learning_rate: float = 0.01, optimizer: Optimizer = "sgd",
                 l2: float = 0.0, adagrad_epsilon: float = 1e-8, scale: bool = True,
                 with_mean: bool = True, with_std: bool = True, scaler_epsilon: float = 1e-12,
                 epochs: int = 1) -> None:
        self.learning_rate = learning_rate
        self.optimizer = optimizer
        self.l2 = l2
        self.adagrad_epsilon = adagrad_epsilon
        self.scale = scale
        self.with_mean = with_mean
        self.with_std = with_std
        self.scaler_epsilon = scaler_epsilon
        self.epochs = epochs

    def _validated(self, X: Any, y: Any, *,
                   reset: bool) -> tuple[FloatArray, npt.NDArray[Any], dict[str, Any]]:
        (X, y), attributes = _validate_input(self, X, y, reset=reset)
        check_classification_targets(y)
        return X, y, attributes

    def _checked_classes(self, labels: npt.NDArray[Any], when: str) -> npt.NDArray[Any]:
        if len(labels) < 2:
            raise ValueError(
                f"{type(self).__name__} needs samples of two classes or more; {when} holds one "
                f"class only: {labels.tolist()!r}"
            )
        if not np.all(labels == labels):
            raise ValueError(
                f"{type(self).__name__}: {when} holds a label not equal to itself (a NaN), "
                f"which no sample's label can match: {labels.tolist()!r}"
            )
        return labels

    def _checked_labels(self, y: npt.NDArray[Any], classes: npt.NDArray[Any]) -> None:
        unknown = np.setdiff1d(y, classes)
        if len(unknown):
            raise ValueError(
                f"{type(self).__name__}: y holds labels outside classes_ "
                f"{classes.tolist()!r}: {unknown.tolist()!r}"
            )

    def _learn_classes(self, X: FloatArray, y: npt.NDArray[Any], classes: npt.NDArray[Any],
                       attributes: dict[str, Any], *, fresh: bool, epochs: int) -> Self:
        """``epochs`` passes, each one bulk pass per class model, on fresh models or on copies
        of the fitted ones: the estimator takes them only once every pass succeeded."""
        self._checked_labels(y, classes)
        if len(classes) == 2:
            return self._learn(X, y == classes[1], {**attributes, "models_": None},
                               fresh=fresh, epochs=epochs)
        if fresh:
            models = [self._new_model(X.shape[1]) for _ in classes]
        else:
            models = [copy.copy(model) for model in self.models_]
        targets = [y == label for label in classes]
        for _ in range(epochs):
            for model, target in zip(models, targets):
                _core(_ext.learn_many, model, X, target)
        _commit(self, {**attributes, "models_": tuple(models), "model_": None})
        return self

    @_alone
    def fit(self, X: Any, y: Any) -> Self:
        """Learn from fresh state, ``epochs`` passes over the rows in order."""
        X, y, attributes = self._validated(X, y, reset=True)
        classes = self._checked_classes(np.unique(y), "y")
        return self._learn_classes(X, y, classes, {**attributes, "classes_": classes},
                                   fresh=True, epochs=_check_epochs(self, self.epochs))

    @_alone
    def partial_fit(self, X: Any, y: Any, classes: Any = None) -> Self:
        """One more pass over these rows, continuing from the current state.

        ``classes`` (every label) is needed on the first call unless ``y`` holds them all.
        """
        first = not hasattr(self, "classes_")
        X, y, attributes = self._validated(X, y, reset=first)
        if first and classes is not None:
            known = self._checked_classes(np.unique(classes), "classes")
        elif first:
            known = self._checked_classes(np.unique(y), "y (pass `classes` on the first call)")
        else:
            known = self.classes_
            if classes is not None and not np.array_equal(np.unique(classes), known):
                raise ValueError(
                    f"{type(self).__name__}: classes {np.unique(classes).tolist()!r} differ "
                    f"from classes_ {known.tolist()!r} of the earlier calls"
                )
        if first:
            attributes["classes_"] = known
        return self._learn_classes(X, y, known, attributes, fresh=first, epochs=1)

    def _fitted_models(self) -> tuple[Any, ...]:
        check_is_fitted(self)
        return self.models_ if len(self.classes_) > 2 else (self.model_,)

    def _probabilities(self, X: Any) -> FloatArray:
        """Each model's probability of its class, one column per model."""
        models = self._fitted_models()
        X = self._validated_features(X)
        return np.column_stack([_core(_ext.predict_proba_many, model, X) for model in models])

    def predict_proba(self, X: Any) -> FloatArray:
        """Probabilities of each class of ``classes_``, one row per sample."""
        p = self._probabilities(X)
        if p.shape[1] == 1:
            return np.column_stack([1.0 - p[:, 0], p[:, 0]])
        total = p.sum(axis=1, keepdims=True)
        uniform = np.full_like(p, 1.0 / p.shape[1])
        return cast(FloatArray, np.divide(p, total, out=uniform, where=total > 0))

    def predict_log_proba(self, X: Any) -> FloatArray:
        """Logarithms of :meth:`predict_proba`."""
        with np.errstate(divide="ignore"):
            return cast(FloatArray, np.log(self.predict_proba(X)))

    def decision_function(self, X: Any) -> FloatArray:
        """The logit of each model: ``X @ coef_.T + intercept_``; one value per row with two
        classes (positive for ``classes_[1]``), one per class with more."""
        models = self._fitted_models()
        X = self._validated_features(X)
        terms = [_linear_terms(model) for model in models]
        coef = np.vstack([weights for weights, _ in terms])
        intercept = np.array([bias for _, bias in terms])
        scores: FloatArray = X @ coef.T + intercept
        return scores[:, 0] if len(models) == 1 else scores

    def predict(self, X: Any) -> npt.NDArray[Any]:
        """The label of each row: with two classes ``classes_[1]`` when its probability is at
        least 0.5; with more, the class whose model gives the highest probability."""
        p = self._probabilities(X)
        if p.shape[1] == 1:
            return self.classes_[(p[:, 0] >= 0.5).astype(np.intp)]
        labels: npt.NDArray[Any] = self.classes_[np.argmax(p, axis=1)]
        return labels

    @property
    def coef_(self) -> FloatArray:
        """Weights over the raw features, one row per model, read from ``model_`` or ``models_``."""
        return np.vstack([_linear_terms(model)[0] for model in self._fitted_models()])

    @property
    def intercept_(self) -> FloatArray:
        """Intercept of each model over the raw features, read from ``model_`` or ``models_``."""
        return np.array([_linear_terms(model)[1] for model in self._fitted_models()])


# --- the scaler ------------------------------------------------------------------------------


class OnlineStandardScaler(
    OneToOneFeatureMixin, TransformerMixin, BaseEstimator  # type: ignore[misc]
):
    """Standardises features with running means and variances, learned online.

    A feature with no sample yet, or with a variance under ``epsilon``, is left undivided.

    Parameters
    ----------
    with_mean : bool, default True
        Subtract the running mean.
    with_std : bool, default True
        Divide by the running standard deviation (population).
    epsilon : float, default 1e-12
        Variance floor under which a feature is not divided.

    Attributes
    ----------
    scaler_ : drel_ml.StandardScaler
    mean_, var_, scale_ : ndarray of shape (n_features_in_,)
        Running means, population variances and the divisors applied.
    n_samples_seen_ : int
    n_features_in_ : int
    """

    scaler_: Any
    n_features_in_: int

    def __init__(self, *, with_mean: bool = True, with_std: bool = True,
                 epsilon: float = 1e-12) -> None:
        self.with_mean = with_mean
        self.with_std = with_std
        self.epsilon = epsilon

    def _new_scaler(self, n_features: int) -> Any:
        _check_flags(self, ("with_mean", "with_std"))
        return _build(self, _ext.standard_scaler, n_features, with_mean=self.with_mean,
                      with_std=self.with_std, epsilon=self.epsilon)

    @_alone
    def fit(self, X: Any, y: Any = None) -> Self:
        """Statistics of these rows, from fresh state."""
        return self._fit(X)

    def _fit(self, X: Any) -> Self:
        X, attributes = _validate_input(self, X, reset=True)
        scaler = self._new_scaler(X.shape[1])
        _core(_ext.learn_many, scaler, X)
        _commit(self, {**attributes, "scaler_": scaler})
        return self

    @_alone
    def partial_fit(self, X: Any, y: Any = None) -> Self:
        """Adds these rows to the statistics."""
        if not hasattr(self, "scaler_"):
            return self._fit(X)
        X = _validate(self, X, reset=False)
        _core(_ext.learn_many, self.scaler_, X)
        return self

    def transform(self, X: Any) -> FloatArray:
        """The rows standardised by the current statistics."""
        check_is_fitted(self)
        X = _validate(self, X, reset=False)
        transformed: FloatArray = _core(_ext.transform_many, self.scaler_, X)
        return transformed

    def _statistics(self) -> tuple[FloatArray, FloatArray, FloatArray, int]:
        check_is_fitted(self)
        return _scaler_statistics(self.scaler_)

    @property
    def mean_(self) -> FloatArray:
        """Running mean of each feature."""
        return self._statistics()[0]

    @property
    def var_(self) -> FloatArray:
        """Population variance of each feature."""
        return self._statistics()[1]

    @property
    def scale_(self) -> FloatArray:
        """The divisor applied to each feature (1 where it is left undivided)."""
        return self._statistics()[2]

    @property
    def n_samples_seen_(self) -> int:
        """Rows learned so far."""
        return self._statistics()[3]
