"""Online machine learning, one sample at a time, over a strict C++ core.

Every object keeps only its running state. Updates are all or nothing: a
rejected call raises and leaves the object exactly as it was, with one
exception spelled out on the pipelines: a pipeline is all or nothing per stage,
so a sample its model rejects after its scaler absorbed it stays in the scaler.

Raises:
    RuntimeError: the core refused a value, with a message naming the
        quantity ("non-finite value for `feature`: NaN"); also a rejected
        snapshot, and a borrow conflict ("Already borrowed", "Already mutably
        borrowed") when a call reaches an object that is busy in another call
        (possible only from Python code run while an argument is converted).
    TypeError: an argument of the wrong type or a wrong argument count, with
        the note "while processing '{name}'" for a parameter other than the
        feature vector ``x``.

Feature vectors (``x``) may be lists, tuples, ranges, one-dimensional numpy
arrays, ``array('d')`` or any other sequence of numbers, but not ``str``.
"""

from typing import Literal, Protocol, SupportsFloat, SupportsIndex, final, type_check_only

__all__ = [
    "Mean",
    "Variance",
    "EWMean",
    "StandardScaler",
    "LinearRegression",
    "LogisticRegression",
    "RegressionPipeline",
    "ClassificationPipeline",
    "Snapshot",
]

# A number as drel_ml converts it: a float, an int, a bool, or anything with
# __float__ or __index__.
_Real = SupportsFloat | SupportsIndex

@type_check_only
class _FeatureVector(Protocol):
    """Any sequence of numbers: list, tuple, range, numpy array, array('d')."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Real: ...

@type_check_only
class _HasToJson(Protocol):
    def to_json(self) -> str: ...

@final
class Mean:
    """Online mean accumulator: the running arithmetic mean of a stream.

    Example:
        >>> import drel_ml
        >>> m = drel_ml.Mean()
        >>> for v in (1, 2, 3, 4):
        ...     m.update(v)
        >>> m.value, m.count
        (2.5, 4)
    """

    def __new__(cls) -> Mean:
        """A mean of no values: ``value`` 0.0, ``count`` 0.

        Example:
            >>> import drel_ml
            >>> drel_ml.Mean().value
            0.0
        """

    def update(self, x: _Real) -> None:
        """Absorb one value.

        Args:
            x: the value; any number the float conversion accepts.

        Raises:
            RuntimeError: ``x`` is NaN or infinite ("non-finite value for
                `value`: inf"), an intermediate overflowed ("non-finite
                value for `mean delta`: inf"), or the count is at its
                maximum; the mean is unchanged. Also "Already borrowed".
            TypeError: ``x`` is not a number (note "while processing 'x'").

        Example:
            >>> import drel_ml
            >>> m = drel_ml.Mean()
            >>> m.update(3.0)
            >>> m.value
            3.0
        """

    @property
    def value(self) -> float:
        """The mean of the values absorbed so far; 0.0 before the first.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.Mean(); m.update(1); m.update(2)
            >>> m.value
            1.5
        """

    @property
    def count(self) -> int:
        """The number of values absorbed.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.Mean(); m.update(7.0)
            >>> m.count
            1
        """

    def to_json(self) -> str:
        """The complete state as a compact JSON snapshot.

        Example:
            >>> import drel_ml
            >>> drel_ml.Mean().to_json()
            '{"format_version":1,"model":{"count":0,"mean":0.0}}'
        """

    @staticmethod
    def from_json(json: str) -> Mean:
        """A new ``Mean`` in the state a snapshot describes.

        Args:
            json: a snapshot document, as ``to_json`` writes it.

        Raises:
            RuntimeError: the document is refused, with the reader's message
                and position ("missing field `mean` at line 1 column 39"), or
                its version is not 1.
            TypeError: ``json`` is not a ``str`` (note "while processing
                'json'").

        Example:
            >>> import drel_ml
            >>> drel_ml.Mean.from_json('{"format_version":1,"model":{"count":2,"mean":1.5}}').value
            1.5
        """

@final
class Variance:
    """Online variance (Welford), population or sample.

    ``value`` and ``stddev`` are ``None`` until enough values have been seen:
    one for the population variance, two for the sample variance.

    Example:
        >>> import drel_ml
        >>> v = drel_ml.Variance("sample")
        >>> for x in (2, 4, 4, 4, 5, 5, 7, 9):
        ...     v.update(x)
        >>> v.mean, v.value
        (5.0, 4.571428571428571)
    """

    def __new__(cls, kind: Literal["population", "sample"]) -> Variance:
        """A variance of no values.

        Args:
            kind: ``"population"`` (divide by n) or ``"sample"`` (divide by
                n - 1); exact and case-sensitive.

        Raises:
            RuntimeError: any other text ("unknown variance kind: Sample
                (expected 'population' or 'sample')").
            TypeError: ``kind`` is not a ``str``.

        Example:
            >>> import drel_ml
            >>> drel_ml.Variance("Sample")
            Traceback (most recent call last):
              ...
            RuntimeError: unknown variance kind: Sample (expected 'population' or 'sample')
        """

    def update(self, x: _Real) -> None:
        """Absorb one value.

        Args:
            x: the value; any number the float conversion accepts.

        Raises:
            RuntimeError: ``x`` is NaN or infinite, an intermediate overflowed
                ("non-finite value for `variance delta`: inf"), or the count
                is at its maximum; the state is unchanged. Also "Already
                borrowed".
            TypeError: ``x`` is not a number (note "while processing 'x'").

        Example:
            >>> import drel_ml
            >>> v = drel_ml.Variance("population")
            >>> v.update(1.0)
            >>> v.value, v.stddev
            (0.0, 0.0)
        """

    @property
    def value(self) -> float | None:
        """The variance, or ``None`` before enough values (1 or 2) were seen.

        Example:
            >>> import drel_ml
            >>> v = drel_ml.Variance("sample"); v.update(1.0)
            >>> v.value is None
            True
            >>> v.update(3.0); v.value
            2.0
        """

    @property
    def stddev(self) -> float | None:
        """The square root of ``value``; ``None`` exactly when ``value`` is.

        Example:
            >>> import drel_ml
            >>> v = drel_ml.Variance("population"); v.update(1.0); v.update(3.0)
            >>> v.stddev
            1.0
        """

    @property
    def mean(self) -> float:
        """The running mean; 0.0 before the first value.

        Example:
            >>> import drel_ml
            >>> v = drel_ml.Variance("sample"); v.update(1.0); v.update(4.0)
            >>> v.mean
            2.5
        """

    @property
    def count(self) -> int:
        """The number of values absorbed.

        Example:
            >>> import drel_ml
            >>> v = drel_ml.Variance("sample"); v.update(1.0)
            >>> v.count
            1
        """

    def to_json(self) -> str:
        """The complete state as a compact JSON snapshot.

        The kind is written as "Population" or "Sample".

        Example:
            >>> import drel_ml
            >>> drel_ml.Variance("sample").to_json()
            '{"format_version":1,"model":{"count":0,"mean":0.0,"m2":0.0,"kind":"Sample"}}'
        """

    @staticmethod
    def from_json(json: str) -> Variance:
        """A new ``Variance`` in the state a snapshot describes.

        Args:
            json: a snapshot document, as ``to_json`` writes it.

        Raises:
            RuntimeError: the document is refused, with the reader's message
                and position, or its version is not 1.
            TypeError: ``json`` is not a ``str``.

        Example:
            >>> import drel_ml
            >>> v = drel_ml.Variance("sample"); v.update(2.0); v.update(4.0)
            >>> drel_ml.Variance.from_json(v.to_json()).value
            2.0
        """

@final
class EWMean:
    """Exponentially weighted mean: each new value weighs ``alpha``.

    The first value is taken as the mean outright; after it,
    mean = (1 - alpha) * mean + alpha * x.

    Example:
        >>> import drel_ml
        >>> m = drel_ml.EWMean(0.5)
        >>> for v in (10, 20, 0):
        ...     m.update(v)
        >>> m.value
        7.5
    """

    def __new__(cls, alpha: _Real) -> EWMean:
        """An exponentially weighted mean of no values.

        Args:
            alpha: the weight of the newest value, in (0, 1].

        Raises:
            RuntimeError: ``alpha`` is not finite ("non-finite value for
                `alpha`: NaN") or not in (0, 1] ("invalid parameter `alpha`:
                0").
            TypeError: ``alpha`` is not a number.

        Example:
            >>> import drel_ml
            >>> drel_ml.EWMean(1.5)
            Traceback (most recent call last):
              ...
            RuntimeError: invalid parameter `alpha`: 1.5
        """

    def update(self, x: _Real) -> None:
        """Absorb one value.

        Raises:
            RuntimeError: ``x`` is NaN or infinite, the new mean overflowed
                ("non-finite value for `EW mean`: inf"), or the count is at
                its maximum; the state is unchanged. Also "Already borrowed".
            TypeError: ``x`` is not a number (note "while processing 'x'").

        Example:
            >>> import drel_ml
            >>> m = drel_ml.EWMean(0.5)
            >>> m.update(10.0); m.update(20.0)
            >>> m.value
            15.0
        """

    @property
    def value(self) -> float:
        """The weighted mean; 0.0 before the first value.

        Example:
            >>> import drel_ml
            >>> drel_ml.EWMean(0.1).value
            0.0
        """

    def to_json(self) -> str:
        """The complete state (alpha, mean, count) as a compact JSON snapshot.

        Example:
            >>> import drel_ml
            >>> drel_ml.EWMean(0.5).to_json()
            '{"format_version":1,"model":{"alpha":0.5,"mean":0.0,"count":0}}'
        """

    @staticmethod
    def from_json(json: str) -> EWMean:
        """A new ``EWMean`` in the state a snapshot describes.

        Raises:
            RuntimeError: the document is refused, or its version is not 1.
            TypeError: ``json`` is not a ``str``.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.EWMean(0.5); m.update(4.0)
            >>> drel_ml.EWMean.from_json(m.to_json()).value
            4.0
        """

@final
class StandardScaler:
    """Online standard scaler: per-feature running mean and variance.

    ``transform_one`` centres each feature on its running mean and divides it
    by its running population standard deviation; a feature whose variance is
    below 1e-12 is not divided. ``drel_ml_ext.standard_scaler`` builds one
    with other settings.

    Example:
        >>> import drel_ml
        >>> s = drel_ml.StandardScaler(1)
        >>> s.learn_one([1.0]); s.learn_one([3.0])
        >>> s.transform_one([5.0])
        [3.0]
    """

    def __new__(cls, feature_count: SupportsIndex) -> StandardScaler:
        """A scaler of ``feature_count`` features with no statistics yet.

        Raises:
            RuntimeError: ``feature_count`` is 0 ("empty features are not
                allowed").
            OverflowError: ``feature_count`` is negative or too large.
            TypeError: ``feature_count`` is not an integer.

        Example:
            >>> import drel_ml
            >>> drel_ml.StandardScaler(0)
            Traceback (most recent call last):
              ...
            RuntimeError: empty features are not allowed
        """

    def transform_one(self, x: _FeatureVector) -> list[float]:
        """``x`` standardised by the current statistics, as a new list.

        Does not change the scaler. A scaler that has seen nothing returns
        ``x`` unchanged.

        Raises:
            RuntimeError: ``x`` is empty, of the wrong length ("dimension
                mismatch: expected 3, got 2") or holds a NaN or infinity
                ("non-finite value for `feature`: NaN"), or a result
                overflowed ("non-finite value for `transformed feature`:
                inf"). Also "Already mutably borrowed".
            TypeError: ``x`` is not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> s = drel_ml.StandardScaler(2)
            >>> s.transform_one([1.0, 2.0])
            [1.0, 2.0]
            >>> s.transform_one([1.0])
            Traceback (most recent call last):
              ...
            RuntimeError: dimension mismatch: expected 2, got 1
        """

    def fit_one(self, x: _FeatureVector) -> None:
        """Absorb one feature vector into the statistics, all or nothing.

        Raises:
            RuntimeError: ``x`` is empty, of the wrong length or not finite,
                or an intermediate overflowed ("non-finite value for
                `standard scaler delta`: inf"); no feature changes. Also
                "Already borrowed".
            TypeError: ``x`` is not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> s = drel_ml.StandardScaler(2)
            >>> s.fit_one([1.0, 2.0])
            >>> s.transform_one([4.0, 2.0])
            [3.0, 0.0]
        """

    def learn_one(self, x: _FeatureVector) -> None:
        """The same as ``fit_one``.

        Example:
            >>> import drel_ml
            >>> s = drel_ml.StandardScaler(1)
            >>> s.learn_one([5.0])
            >>> s.samples_seen
            1
        """

    @property
    def samples_seen(self) -> int:
        """The number of vectors absorbed.

        Example:
            >>> import drel_ml
            >>> s = drel_ml.StandardScaler(1); s.fit_one([1.0]); s.learn_one([2.0])
            >>> s.samples_seen
            2
        """

    def to_json(self) -> str:
        """The complete state (settings, counts, means, m2s) as a JSON snapshot.

        Example:
            >>> import drel_ml
            >>> drel_ml.StandardScaler(1).to_json()
            '{"format_version":1,"model":{"feature_count":1,"config":{"with_mean":true,"with_std":true,"epsilon":1e-12},"counts":[0],"means":[0.0],"m2s":[0.0]}}'
        """

    @staticmethod
    def from_json(json: str) -> StandardScaler:
        """A new ``StandardScaler`` in the state a snapshot describes.

        The state is validated (synchronised counts, finite statistics,
        non-negative m2s, ...).

        Raises:
            RuntimeError: the document is refused or the state is invalid
                ("invalid model state: standard scaler m2s must be
                non-negative at line 1 column 148"), or its version is not 1.
            TypeError: ``json`` is not a ``str``.

        Example:
            >>> import drel_ml
            >>> s = drel_ml.StandardScaler(1); s.learn_one([3.0])
            >>> drel_ml.StandardScaler.from_json(s.to_json()).transform_one([4.0])
            [1.0]
        """

@final
class LinearRegression:
    """Online linear regression: w . x + b, one gradient step per sample.

    Built with plain SGD at a constant rate, no L2 penalty and the squared
    error; ``drel_ml_ext.linear_regression`` builds AdaGrad, L2 and the Huber
    loss.

    Example:
        >>> import drel_ml
        >>> m = drel_ml.LinearRegression(2, 0.1)
        >>> m.learn_one([1.0, 2.0], 3.0)
        >>> m.weights
        [0.30000000000000004, 0.6000000000000001]
        >>> m.predict_one([1.0, 2.0])
        1.8000000000000003
    """

    def __new__(cls, feature_count: SupportsIndex, learning_rate: _Real) -> LinearRegression:
        """A model of ``feature_count`` zero weights and a zero intercept.

        Args:
            feature_count: the length of every feature vector, at least 1.
            learning_rate: the SGD step size, finite and above 0.

        Raises:
            RuntimeError: "empty features are not allowed", "non-finite value
                for `learning_rate`: inf", "invalid learning rate: 0 (must be
                finite and > 0)".
            OverflowError: ``feature_count`` is negative or too large.
            TypeError: an argument of the wrong type.

        Example:
            >>> import drel_ml
            >>> drel_ml.LinearRegression(3, 0.0)
            Traceback (most recent call last):
              ...
            RuntimeError: invalid learning rate: 0 (must be finite and > 0)
        """

    def predict_one(self, x: _FeatureVector) -> float:
        """The prediction w . x + b for one feature vector.

        Raises:
            RuntimeError: ``x`` is empty, of the wrong length or not finite,
                or the sum overflowed ("non-finite value for `linear
                prediction`: inf"). Also "Already mutably borrowed".
            TypeError: ``x`` is not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> drel_ml.LinearRegression(2, 0.1).predict_one([5.0, -7.0])
            0.0
        """

    def learn_one(self, x: _FeatureVector, y: _Real) -> None:
        """Take one gradient step on the sample (x, y), all or nothing.

        Raises:
            RuntimeError: ``x`` is empty, of the wrong length or not finite;
                ``y`` is not finite ("non-finite value for `target`: inf");
                an intermediate or a new weight is not finite; or the count
                is at its maximum. The model is unchanged. Also "Already
                borrowed".
            TypeError: ``x`` is not a sequence of numbers, or ``y`` not a
                number (note "while processing 'y'").

        Example:
            >>> import drel_ml
            >>> m = drel_ml.LinearRegression(2, 0.1)
            >>> m.learn_one([1.0, float("nan")], 3.0)
            Traceback (most recent call last):
              ...
            RuntimeError: non-finite value for `feature`: NaN
            >>> m.samples_seen
            0
        """

    @property
    def weights(self) -> list[float]:
        """A new list holding a copy of the weights.

        Example:
            >>> import drel_ml
            >>> drel_ml.LinearRegression(3, 0.1).weights
            [0.0, 0.0, 0.0]
        """

    @property
    def samples_seen(self) -> int:
        """The number of samples learned.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.LinearRegression(1, 0.1); m.learn_one([1.0], 2.0)
            >>> m.samples_seen
            1
        """

    def to_json(self) -> str:
        """The complete state (weights, intercept, optimizer, loss) as a JSON snapshot.

        Example:
            >>> import drel_ml
            >>> drel_ml.LinearRegression(1, 0.5).to_json()
            '{"format_version":1,"model":{"feature_count":1,"weights":[0.0],"intercept":0.0,"optimizer":{"Sgd":{"feature_count":1,"config":{"learning_rate":0.5,"l2":0.0},"samples_seen":0}},"loss":"SquaredError","samples_seen":0}}'
        """

    @staticmethod
    def from_json(json: str) -> LinearRegression:
        """A new ``LinearRegression`` in the state a snapshot describes.

        Raises:
            RuntimeError: the document is refused, or its version is not 1.
            TypeError: ``json`` is not a ``str``.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.LinearRegression(2, 0.1); m.learn_one([1.0, 2.0], 3.0)
            >>> drel_ml.LinearRegression.from_json(m.to_json()).predict_one([1.0, 2.0])
            1.8000000000000003
        """

@final
class LogisticRegression:
    """Online binary logistic regression, one gradient step per sample.

    Built with plain SGD and no L2 penalty; ``drel_ml_ext.logistic_regression``
    builds AdaGrad and L2.

    Example:
        >>> import drel_ml
        >>> m = drel_ml.LogisticRegression(2, 0.1)
        >>> m.learn_one([1.0, 2.0], True)
        >>> m.weights
        [0.05, 0.1]
        >>> m.predict_proba_one([1.0, 2.0])
        0.574442516811659
    """

    def __new__(cls, feature_count: SupportsIndex, learning_rate: _Real) -> LogisticRegression:
        """A model of ``feature_count`` zero weights and a zero intercept.

        Raises:
            RuntimeError: "empty features are not allowed", or a learning
                rate that is not finite or not above 0.
            OverflowError: ``feature_count`` is negative or too large.
            TypeError: an argument of the wrong type.

        Example:
            >>> import drel_ml
            >>> drel_ml.LogisticRegression(2, -0.5)
            Traceback (most recent call last):
              ...
            RuntimeError: invalid learning rate: -0.5 (must be finite and > 0)
        """

    def predict_one(self, x: _FeatureVector) -> bool:
        """``True`` when the probability of the positive class is at least 0.5.

        Raises:
            RuntimeError: as ``predict_proba_one``.
            TypeError: ``x`` is not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> drel_ml.LogisticRegression(2, 0.1).predict_one([3.0, -1.0])
            True
        """

    def predict_proba_one(self, x: _FeatureVector) -> float:
        """The probability of the positive class, in [0, 1].

        Raises:
            RuntimeError: ``x`` is empty, of the wrong length or not finite,
                or the logit overflowed ("non-finite value for `logit`:
                inf"). Also "Already mutably borrowed".
            TypeError: ``x`` is not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> drel_ml.LogisticRegression(2, 0.1).predict_proba_one([3.0, -1.0])
            0.5
        """

    def learn_one(self, x: _FeatureVector, y: bool) -> None:
        """Take one gradient step on the sample (x, y), all or nothing.

        Args:
            x: the feature vector.
            y: the class: ``True``, ``False`` or a numpy boolean (not 0 or 1).

        Raises:
            RuntimeError: ``x`` is empty, of the wrong length or not finite,
                an intermediate or a new weight is not finite, or the count
                is at its maximum; the model is unchanged. Also "Already
                borrowed".
            TypeError: ``y`` is not a boolean ("'int' object is not an
                instance of 'bool'", note "while processing 'y'"), or ``x``
                not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.LogisticRegression(2, 0.1)
            >>> m.learn_one([1.0, 2.0], 1)
            Traceback (most recent call last):
              ...
            TypeError: 'int' object is not an instance of 'bool'
            while processing 'y'
        """

    @property
    def weights(self) -> list[float]:
        """A new list holding a copy of the weights.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.LogisticRegression(2, 0.1); m.learn_one([1.0, 2.0], True)
            >>> m.weights
            [0.05, 0.1]
        """

    @property
    def samples_seen(self) -> int:
        """The number of samples learned.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.LogisticRegression(2, 0.1); m.learn_one([1.0, 2.0], False)
            >>> m.samples_seen
            1
        """

    def to_json(self) -> str:
        """The complete state (weights, intercept, optimizer, loss) as a JSON snapshot.

        Example:
            >>> import drel_ml
            >>> '"loss":{"epsilon":1e-15}' in drel_ml.LogisticRegression(1, 0.1).to_json()
            True
        """

    @staticmethod
    def from_json(json: str) -> LogisticRegression:
        """A new ``LogisticRegression`` in the state a snapshot describes.

        Raises:
            RuntimeError: the document is refused, or its version is not 1.
            TypeError: ``json`` is not a ``str``.

        Example:
            >>> import drel_ml
            >>> m = drel_ml.LogisticRegression(2, 0.1); m.learn_one([1.0, 2.0], True)
            >>> drel_ml.LogisticRegression.from_json(m.to_json()).weights
            [0.05, 0.1]
        """

@final
class RegressionPipeline:
    """Regression pipeline: ``StandardScaler`` + ``LinearRegression``.

    ``learn_one`` absorbs x into the scaler, then teaches the model x as
    scaled by statistics that already include it. The two stages commit
    separately: a sample the model rejects after the scaler absorbed it stays
    in the scaler (and in ``samples_seen``).

    Example:
        >>> import drel_ml
        >>> p = drel_ml.RegressionPipeline(2, 0.1)
        >>> p.learn_one([1.0, 2.0], 3.0)
        >>> p.predict_one([1.0, 2.0])
        0.30000000000000004
    """

    def __new__(cls, feature_count: SupportsIndex, learning_rate: _Real) -> RegressionPipeline:
        """A default scaler in front of a new ``LinearRegression``.

        Raises:
            RuntimeError: "empty features are not allowed" (from the scaler,
                before the learning rate is looked at), or a learning rate
                that is not finite or not above 0.
            OverflowError: ``feature_count`` is negative or too large.
            TypeError: an argument of the wrong type.

        Example:
            >>> import drel_ml
            >>> drel_ml.RegressionPipeline(0, 0.0)
            Traceback (most recent call last):
              ...
            RuntimeError: empty features are not allowed
        """

    def predict_one(self, x: _FeatureVector) -> float:
        """The model's prediction for x scaled by the current statistics.

        Raises:
            RuntimeError: ``x`` is empty, of the wrong length or not finite,
                or a scaled value or the prediction is not finite. Also
                "Already mutably borrowed".
            TypeError: ``x`` is not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> drel_ml.RegressionPipeline(2, 0.1).predict_one([1.0, 2.0])
            0.0
        """

    def learn_one(self, x: _FeatureVector, y: _Real) -> None:
        """Absorb x into the scaler, then learn (scaled x, y) in the model.

        Raises:
            RuntimeError: ``y`` is not finite (checked first; nothing
                changes); x is refused by the scaler (nothing changes); or the
                model refuses the sample (the scaler keeps it). Also "Already
                borrowed".
            TypeError: ``x`` is not a sequence of numbers, or ``y`` not a
                number (note "while processing 'y'").

        Example:
            >>> import drel_ml
            >>> p = drel_ml.RegressionPipeline(2, 0.1)
            >>> p.learn_one([1.0, 2.0], float("nan"))
            Traceback (most recent call last):
              ...
            RuntimeError: non-finite value for `target`: NaN
            >>> p.samples_seen
            0
        """

    @property
    def samples_seen(self) -> int:
        """The number of samples the scaler absorbed.

        Example:
            >>> import drel_ml
            >>> p = drel_ml.RegressionPipeline(1, 0.1); p.learn_one([1.0], 1.0)
            >>> p.samples_seen
            1
        """

    def to_json(self) -> str:
        """The complete state (scaler, then model) as a JSON snapshot.

        Example:
            >>> import drel_ml
            >>> text = drel_ml.RegressionPipeline(1, 0.1).to_json()
            >>> text.index('"transformer"') < text.index('"model":{"feature_count"')
            True
        """

    @staticmethod
    def from_json(json: str) -> RegressionPipeline:
        """A new ``RegressionPipeline`` in the state a snapshot describes.

        Raises:
            RuntimeError: the document is refused or its scaler state is
                invalid, or its version is not 1.
            TypeError: ``json`` is not a ``str``.

        Example:
            >>> import drel_ml
            >>> p = drel_ml.RegressionPipeline(2, 0.1); p.learn_one([1.0, 2.0], 3.0)
            >>> drel_ml.RegressionPipeline.from_json(p.to_json()).predict_one([1.0, 2.0])
            0.30000000000000004
        """

@final
class ClassificationPipeline:
    """Classification pipeline: ``StandardScaler`` + ``LogisticRegression``.

    Learns and commits stage by stage as ``RegressionPipeline`` does.

    Example:
        >>> import drel_ml
        >>> p = drel_ml.ClassificationPipeline(2, 0.1)
        >>> p.learn_one([1.0, 2.0], True)
        >>> p.predict_proba_one([1.0, 2.0])
        0.5124973964842103
    """

    def __new__(
        cls, feature_count: SupportsIndex, learning_rate: _Real
    ) -> ClassificationPipeline:
        """A default scaler in front of a new ``LogisticRegression``.

        Raises:
            RuntimeError: "empty features are not allowed" (from the scaler),
                or a learning rate that is not finite or not above 0.
            OverflowError: ``feature_count`` is negative or too large.
            TypeError: an argument of the wrong type.

        Example:
            >>> import drel_ml
            >>> drel_ml.ClassificationPipeline(2, float("inf"))
            Traceback (most recent call last):
              ...
            RuntimeError: non-finite value for `learning_rate`: inf
        """

    def predict_one(self, x: _FeatureVector) -> bool:
        """``True`` when ``predict_proba_one(x)`` is at least 0.5.

        Example:
            >>> import drel_ml
            >>> drel_ml.ClassificationPipeline(2, 0.1).predict_one([1.0, 2.0])
            True
        """

    def predict_proba_one(self, x: _FeatureVector) -> float:
        """The probability of the positive class for x scaled by the current statistics.

        Raises:
            RuntimeError: ``x`` is empty, of the wrong length or not finite,
                or a scaled value or the logit is not finite. Also "Already
                mutably borrowed".
            TypeError: ``x`` is not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> drel_ml.ClassificationPipeline(2, 0.1).predict_proba_one([7.0, -3.0])
            0.5
        """

    def learn_one(self, x: _FeatureVector, y: bool) -> None:
        """Absorb x into the scaler, then learn (scaled x, y) in the model.

        Raises:
            RuntimeError: x is refused by the scaler (nothing changes), or
                the model refuses the sample (the scaler keeps it). Also
                "Already borrowed".
            TypeError: ``y`` is not a boolean (note "while processing 'y'"),
                or ``x`` not a sequence of numbers.

        Example:
            >>> import drel_ml
            >>> p = drel_ml.ClassificationPipeline(2, 0.1)
            >>> p.learn_one([1.0, 2.0], True)
            >>> p.samples_seen
            1
        """

    @property
    def samples_seen(self) -> int:
        """The number of samples the scaler absorbed.

        Example:
            >>> import drel_ml
            >>> drel_ml.ClassificationPipeline(2, 0.1).samples_seen
            0
        """

    def to_json(self) -> str:
        """The complete state (scaler, then model) as a JSON snapshot.

        Example:
            >>> import drel_ml
            >>> '"transformer"' in drel_ml.ClassificationPipeline(1, 0.1).to_json()
            True
        """

    @staticmethod
    def from_json(json: str) -> ClassificationPipeline:
        """A new ``ClassificationPipeline`` in the state a snapshot describes.

        Raises:
            RuntimeError: the document is refused or its scaler state is
                invalid, or its version is not 1.
            TypeError: ``json`` is not a ``str``.

        Example:
            >>> import drel_ml
            >>> p = drel_ml.ClassificationPipeline(2, 0.1); p.learn_one([1.0, 2.0], True)
            >>> drel_ml.ClassificationPipeline.from_json(p.to_json()).predict_proba_one([1.0, 2.0])
            0.5124973964842103
        """

@final
class Snapshot:
    """Snapshot helper namespace; it cannot be instantiated.

    Example:
        >>> import drel_ml
        >>> drel_ml.Snapshot.format_version()
        1
        >>> drel_ml.Snapshot.to_json(drel_ml.Mean()) == drel_ml.Mean().to_json()
        True
    """

    @staticmethod
    def format_version() -> int:
        """The snapshot format version this build writes and reads: 1.

        Example:
            >>> import drel_ml
            >>> drel_ml.Snapshot.format_version()
            1
        """

    @staticmethod
    def to_json(obj: _HasToJson) -> str:
        """``obj.to_json()``, for any object that has that method.

        Raises:
            TypeError: ``obj.to_json()`` returned something else than a ``str``.
            Exception: whatever ``obj.to_json`` raises, ``AttributeError``
                when it has no such method.

        Example:
            >>> import drel_ml
            >>> drel_ml.Snapshot.to_json(drel_ml.EWMean(0.5))
            '{"format_version":1,"model":{"alpha":0.5,"mean":0.0,"count":0}}'
        """
